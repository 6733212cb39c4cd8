// The registry values that make the installed runtimes known on the device.
#pragma once

// Each writes its table, row after row; answers how many rows could not be
// written (a row that fails does not stop the rows after it).
int VbRegistration();
int AdoRegistration();

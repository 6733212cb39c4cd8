// Resource numbers of the driver's test subject, shared by its .rc and code.
#pragma once

#define IDD_TARGET 100

#define IDC_OPTION 1001       // automatic check box
#define IDC_DISABLED 1002     // push button, created disabled
#define IDC_HIDDEN 1003       // push button, created hidden
#define IDC_SHOW_MESSAGE 1004 // opens a message box owned by the dialog
#define IDC_STATUS 1005       // what happened last
#define IDC_EXIT_SEVEN 1006   // ends the program with exit code 7
#define IDC_GROUP 1007        // group box
#define IDC_ENABLE 1008       // enables IDC_DISABLED

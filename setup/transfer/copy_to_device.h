// Copies one desktop file into a device path, moving a file already there
// aside into \Temp\ first.
#pragma once

#include <windows.h>

enum { PathBytes = 260, CopyChunkBytes = 4096 };

// 1 when the whole file is on the device, 0 otherwise. A failed copy leaves
// the device as it found it: the partial file removed, a displaced file put
// back. It stops, as failed, between chunks once the transfer is cancelled.
int CopyToDevice(const char* sourcePath, const char* devicePath, const char* fileName);

// Finishes the undo of a failed copy that could not reach the device at the
// time (the link broke under it); 1 when no such undo is left. The transfer
// calls it once the connection is renewed, before it cleans up \temp\.
int FinishInterruptedCopy();

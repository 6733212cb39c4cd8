// Copies one desktop file into a device path, moving a file already there
// aside into \Temp\ first.
#pragma once

#include <windows.h>

enum { PathBytes = 260, CopyChunkBytes = 4096 };

// Whether `head` followed by `tail` fits a path buffer of PathBytes with its
// terminator: the one test of every path and text a copy builds.
bool FitsPathBuffer(const char* head, const char* tail);

// 1 when the whole file is on the device, 0 otherwise. A failed copy leaves
// the device as it found it: the partial file removed, a displaced file put
// back. It stops, as failed, between chunks once the transfer is cancelled.
int CopyToDevice(const char* sourcePath, const char* devicePath, const char* fileName);

// Puts right what a failed copy left when the link broke under it: an undo
// that could not reach the device, or a step whose answer was lost (the file
// may have been made, or moved into \Temp\, all the same). 1 when nothing is
// left to put right. The transfer calls it once the connection is renewed,
// before it cleans up \temp\.
int FinishInterruptedCopy();

// Requests with an argument the caller left out, as librapi2 (the RAPI
// client that real devices have met for years) sends them: an absent
// optional parameter is a single 0 word, whatever its kind. Written out by
// hand from the layout. rapi.dll must send exactly these bytes, and the
// device must answer each as the call succeeds.
#pragma once

#include <cstdint>

namespace absentarguments {

// The handle the requests name: the first one a fresh device gives.
constexpr uint32_t kHandle = 0x1004;

struct Case {
  const char* call;
  const char* requestHex; // the packet's payload, without its length word
};

inline constexpr Case kCases[] = {
    {"CeReadFile(handle, NULL, 0, &read, NULL)",
     "06000000 04100000"
     "00000000"  // the buffer: absent (no size, no flag)
     "00000000"}, // no overlapped structure
    {"CeWriteFile(handle, NULL, 0, &written, NULL)",
     "07000000 04100000"
     "00000000"  // the buffer: absent (no size)
     "00000000"}, // no overlapped structure
    {"CeCreateProcess(L\"\\\\Windows\\\\MakeZlkData.exe\", NULL, ..., &information)",
     "19000000"
     "01000000 32000000 01000000" // the program: present, 50 bytes, data follows
     "5c00 5700 6900 6e00 6400 6f00 7700 7300 5c00"
     "4d00 6100 6b00 6500 5a00 6c00 6b00 4400 6100 7400 6100 2e00 6500 7800 6500 0000"
     "00000000" // the command line: absent
     "00000000 00000000 00000000 00000000 00000000 00000000 00000000" // the seven words
     "01000000 10000000 00000000"}, // the process information: 16 bytes, for the device to fill
};

} // namespace absentarguments

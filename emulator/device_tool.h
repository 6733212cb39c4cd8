// The built-in device tool \Windows\MakeZlkData.exe and the data file it
// writes, \Windows\zlkAssetData.dat (kDeviceDataBytes long). Layout, all text
// UTF-16LE and zero-padded, every other byte zero:
//
//   bytes    0 -   63  "PsPC device asset data"        (32 units)
//   bytes   64 -  191  the model name                   (64 units, at most 63 used)
//   bytes  192 -  207  the version text                 (8 units, at most 7 used)
//   bytes  208 -  215  the language code                (4 units, at most 3 used)
//   bytes  216 -  219  the object store capacity in bytes, u32 little-endian
//   bytes 2556 - 2577  the device tag: Identity::tag(), 11 units
#pragma once

#include "identity.h"

#include <cstdint>
#include <vector>

namespace pspc {

std::vector<uint8_t> deviceDataFile(const Identity& identity);

} // namespace pspc

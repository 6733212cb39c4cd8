// The attached device as `pspclink status` shows it to a person. The record
// itself, its fields and its one parser are the local channel's
// (link_channel.h).
#pragma once

#include "link_channel.h"

#include <string>
#include <vector>

namespace pspclink {

using linkchannel::DeviceRecord;

// The device for a person: one "label: value" line each.
std::vector<std::string> readableLines(const DeviceRecord& record);

// The processor family of a CPU type as Windows CE numbers them, or "".
std::string cpuFamily(unsigned cpuType);

} // namespace pspclink

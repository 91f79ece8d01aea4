// File size queries behind the module's file-information calls: open the
// path read-only, ask the opened file for its metadata, close it.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"

namespace varn {

// On an open failure the message is `open_prefix` + the OS error text; on a
// metadata failure "Failed to read metadata: " + the OS error text.
Result<uint64_t> opened_file_size(const std::string& path, const char* open_prefix);

}  // namespace varn

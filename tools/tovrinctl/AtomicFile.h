#pragma once

#include <sys/types.h>
#include <optional>
#include <string>

#include "platform/value/Expected.h"
#include "platform/value/Value.h"

namespace tools {

// The bytes of the file at `path`; nothing when it does not exist; an error when it exists but
// cannot be read.
platform::Expected<std::optional<platform::Data>> readFileIfPresent(const std::string& path);

// Replaces the file at `path` with `bytes`, all or nothing: they go to a temporary file in the
// same folder, which is synced and renamed over the old one. Creates missing folders. The file
// gets `mode` whatever the umask.
platform::Expected<std::monostate> writeFileAtomically(const std::string& path,
                                                       const platform::Data& bytes,
                                                       mode_t mode);

// Removes the file at `path`; false when there was none.
platform::Expected<bool> removeFile(const std::string& path);

}  // namespace tools

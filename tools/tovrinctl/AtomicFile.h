#pragma once

#include <sys/types.h>
#include <optional>
#include <string>

#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace tools {

// The bytes of the file at `path`; nothing when it does not exist; an error when it exists but
// cannot be read.
base::Expected<std::optional<base::Data>> readFileIfPresent(const std::string& path);

// Replaces the file at `path` with `bytes`, all or nothing: they go to a temporary file in the
// same folder, which is synced and renamed over the old one. Creates missing folders. The file
// gets `mode` whatever the umask.
base::Expected<std::monostate> writeFileAtomically(const std::string& path,
                                                   const base::Data& bytes,
                                                   mode_t mode);

// Removes the file at `path`; false when there was none.
base::Expected<bool> removeFile(const std::string& path);

}  // namespace tools

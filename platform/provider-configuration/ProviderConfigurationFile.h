#pragma once

#include <optional>
#include <string>

#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace platform {

// The content filter's provider configuration on Linux: one JSON file, written by whoever plays
// the host application (tovrinctl) and read by the live filter, which watches it for changes.
//
// The file holds one JSON object; its key "vendorConfiguration" is the vendor dictionary:
//   {"vendorConfiguration": {"blockedDomains": ["example.com"], "enforcementEnabled": true,
//                            "policyVersion": 3}}
// JSON integers become integers, other numbers reals. No file, no such key, or null under it
// means no vendor dictionary.
namespace providerconfiguration {

// $CONTENT_FILTER_CONFIGURATION, or /etc/tovrin/content-filter.json when it is unset or empty.
std::string path();

// The vendor dictionary in the file at `filePath`: nothing when the file does not exist or
// holds no dictionary under the key; an error when the file cannot be read or is not such a
// JSON object (a vendorConfiguration that is not a dictionary is an error too).
base::Expected<std::optional<base::Value>> read(const std::string& filePath);

// Replaces the file at `filePath` with one holding `vendorConfiguration` (or no vendor
// dictionary), all or nothing: the text goes to a temporary file in the same folder that is
// then renamed over the old one, so readers see the old file or the new one, never a part.
// Creates the folder when it is missing.
base::Expected<bool> write(const std::string& filePath,
                           const std::optional<base::Value>& vendorConfiguration);

}  // namespace providerconfiguration
}  // namespace platform

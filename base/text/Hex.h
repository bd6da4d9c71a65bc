#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/value/Value.h"

namespace base {

// `data` as lower-case hexadecimal, two digits a byte.
std::string hexText(const Data& data);

// The bytes written as hexadecimal, two digits a byte, either case; nothing when `text` has an odd
// length or a character that is not a hexadecimal digit. The empty text is no bytes.
std::optional<Data> parseHex(std::string_view text);

}  // namespace base

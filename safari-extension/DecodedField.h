#pragma once

#include <optional>
#include <utility>

#include "base/value/Expected.h"

namespace safari {

// Moves a decoded value into `field`, or gives the decoding failure, so that a record's decoder
// reads as one line per key:
//   if (auto error = assignDecoded(record.name, container.decodeString("name"))) { return *error; }
template <typename T>
[[nodiscard]] std::optional<base::Error> assignDecoded(T& field, base::Expected<T> decoded) {
    if (!decoded) {
        return decoded.error();
    }
    field = std::move(decoded).value();
    return std::nullopt;
}

}  // namespace safari

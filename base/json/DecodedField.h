#pragma once

#include <optional>
#include <utility>

#include "base/value/Expected.h"

namespace base::json {

// Moves a decoded value into `field`, or gives the decoding failure, so that a record's decoder
// reads as one line per key:
//   if (auto error = assignDecoded(record.name, container.decodeString("name"))) { return *error; }
template <typename T>
[[nodiscard]] std::optional<Error> assignDecoded(T& field, Expected<T> decoded) {
    if (!decoded) {
        return decoded.error();
    }
    field = std::move(decoded).value();
    return std::nullopt;
}

}  // namespace base::json

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/value/Date.h"
#include "base/value/Value.h"

namespace platform {

// The kinds of value a suite keeps. Reals are never written by the system; they exist because
// the platform's suites can hold them (another writer may put one there) and `integerForKey`
// has to say what they read as.
enum class StoredKind { data, integer, string, date, real };

// One value of a suite with its kind; the alternatives follow the order of StoredKind.
using StoredValue = std::variant<base::Data, std::int64_t, std::string, base::Date, double>;

// A key of a suite and the value stored under it.
struct StoredEntry {
    std::string key;
    StoredValue value;

    bool operator==(const StoredEntry&) const = default;
};

inline StoredKind kindOf(const StoredValue& value) {
    return static_cast<StoredKind>(value.index());
}

// The name under which a kind is stored and shown: "data", "integer", "string", "date", "real".
constexpr std::string_view kindName(StoredKind kind) {
    switch (kind) {
        case StoredKind::data:
            return "data";
        case StoredKind::integer:
            return "integer";
        case StoredKind::string:
            return "string";
        case StoredKind::date:
            return "date";
        case StoredKind::real:
            return "real";
    }
    return "";
}

// The kind called `name`, or nothing when no kind has that name.
constexpr std::optional<StoredKind> kindNamed(std::string_view name) {
    for (StoredKind kind : {StoredKind::data, StoredKind::integer, StoredKind::string,
                            StoredKind::date, StoredKind::real}) {
        if (kindName(kind) == name) {
            return kind;
        }
    }
    return std::nullopt;
}

}  // namespace platform

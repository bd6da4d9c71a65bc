#include "base/value/Value.h"

namespace base {

std::optional<std::int64_t> Value::integer() const {
    if (const auto* value = std::get_if<std::int64_t>(&storage)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> Value::real() const {
    if (const auto* value = std::get_if<double>(&storage)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<bool> Value::boolean() const {
    if (const auto* value = std::get_if<bool>(&storage)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<Date> Value::date() const {
    if (const auto* value = std::get_if<Date>(&storage)) {
        return *value;
    }
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
    const auto* entries = dictionary();
    if (entries == nullptr) {
        return nullptr;
    }
    for (const auto& entry : *entries) {
        if (const auto* text = entry.key.text(); text != nullptr && *text == key) {
            return &entry.value;
        }
    }
    return nullptr;
}

bool Value::operator==(const Value& other) const {
    return storage == other.storage;
}

}  // namespace base

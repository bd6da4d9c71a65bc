#include "base/uuid/UUID.h"

#include <uuid/uuid.h>

#include <cstring>

namespace base {

UUID::UUID() {
    uuid_t generated;
    uuid_generate_random(generated);
    std::memcpy(value.data(), generated, value.size());
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    const std::string owned(text);
    uuid_t parsed;
    if (uuid_parse(owned.c_str(), parsed) != 0) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes;
    std::memcpy(bytes.data(), parsed, bytes.size());
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    uuid_t raw;
    std::memcpy(raw, value.data(), value.size());
    char text[37];
    uuid_unparse_upper(raw, text);
    return text;
}

}  // namespace base

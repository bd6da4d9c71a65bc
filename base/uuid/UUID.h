#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace base {

// A 128-bit universally unique identifier.
class UUID {
  public:
    // A new random (version 4) identifier.
    UUID();
    // Parses the canonical 36-character form; nothing otherwise.
    static std::optional<UUID> fromString(std::string_view text);

    // The canonical upper-case form, as the platform prints it.
    std::string uuidString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return value; }

    bool operator==(const UUID&) const = default;
    auto operator<=>(const UUID&) const = default;

  private:
    explicit UUID(const std::array<std::uint8_t, 16>& bytes) : value(bytes) {}
    std::array<std::uint8_t, 16> value{};
};

}  // namespace base

template <>
struct std::hash<base::UUID> {
    std::size_t operator()(const base::UUID& uuid) const noexcept {
        std::size_t result = 0;
        for (auto byte : uuid.bytes()) {
            result = result * 131 + byte;
        }
        return result;
    }
};

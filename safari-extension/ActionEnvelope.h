#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/value/Expected.h"

namespace safari {

// What every native message is first read for: its action. Other keys are ignored here.
struct ActionEnvelope {
    // "action"; nothing when absent or null.
    std::optional<std::string> action;

    // Fails when `json` is not a JSON object or "action" is neither a string nor null.
    [[nodiscard]] static base::Expected<ActionEnvelope> decode(std::span<const std::uint8_t> json);
};

}  // namespace safari

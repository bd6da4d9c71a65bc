#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/value/Expected.h"

namespace safari {

// A tracking message: the web extension's report of the website the user is looking at.
// Optional keys that are absent or null have no value.
struct TrackActiveWebsiteMessage {
    std::optional<std::string> action;
    std::string messageID;
    std::string browser;
    std::optional<std::int64_t> tabID;
    std::optional<std::int64_t> windowID;
    std::optional<std::string> url;
    std::optional<std::string> host;
    bool isActiveTab = false;
    bool isWindowFocused = false;
    // Milliseconds since 1970-01-01T00:00:00Z.
    double occurredAt = 0;

    // Fails when `json` is not a JSON object, a required key ("messageID", "browser",
    // "isActiveTab", "isWindowFocused", "occurredAt") is absent or null, or a key holds another
    // type; "tabID" and "windowID" must be whole numbers that fit 64 bits.
    [[nodiscard]] static base::Expected<TrackActiveWebsiteMessage> decode(
        std::span<const std::uint8_t> json);
};

}  // namespace safari

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/value/Expected.h"

namespace safari {

// A "getWebsiteBlockingState" request: which site the web extension asks about.
struct WebsiteBlockingStateMessage {
    // "action", required.
    std::string action;
    // "url", the page's address as the browser reports it; nothing when absent or null.
    std::optional<std::string> url;
    // "host", the page's host as the browser reports it; nothing when absent or null.
    std::optional<std::string> host;

    // Fails when `json` is not a JSON object, "action" is missing, or a key holds another type.
    [[nodiscard]] static base::Expected<WebsiteBlockingStateMessage> decode(
        std::span<const std::uint8_t> json);
};

}  // namespace safari

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/value/Date.h"
#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace common {

// The latest browser event, as the handler leaves it in the shared suite for the host
// application. Each field's JSON key is its name.
struct StoredBrowserEvent {
    std::string messageID;
    std::string browser;
    std::optional<std::int64_t> tabID;
    std::optional<std::int64_t> windowID;
    // The message's URL, unchanged.
    std::optional<std::string> url;
    // The normalised host of the page; nothing when the message gave none.
    std::optional<std::string> host;
    bool isActiveTab = false;
    bool isWindowFocused = false;
    base::Date occurredAt;
    // When the handler began storing the event.
    base::Date receivedAt;

    // The stored form: compact UTF-8 JSON of one object, without the optional fields that have
    // no value, dates as seconds relative to 2001-01-01T00:00:00Z. Fails when a field cannot be
    // written as JSON (a text that is not UTF-8).
    [[nodiscard]] base::Expected<base::Data> encode() const;
    // Reads the stored form back.
    [[nodiscard]] static base::Expected<StoredBrowserEvent> decode(
        std::span<const std::uint8_t> json);
};

}  // namespace common

#include "safari-extension/TrackActiveWebsiteMessage.h"

#include "base/json/DecodedField.h"
#include "base/json/JSONDecoder.h"

namespace safari {

using base::json::assignDecoded;

base::Expected<TrackActiveWebsiteMessage> TrackActiveWebsiteMessage::decode(
    std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    TrackActiveWebsiteMessage message;
    // Keys are read in the record's order, so that the first offending key is the one reported.
    if (auto error = assignDecoded(message.action, container->decodeStringIfPresent("action"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.messageID, container->decodeString("messageID"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.browser, container->decodeString("browser"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.tabID, container->decodeInt64IfPresent("tabID"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.windowID, container->decodeInt64IfPresent("windowID"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.url, container->decodeStringIfPresent("url"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.host, container->decodeStringIfPresent("host"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.isActiveTab, container->decodeBool("isActiveTab"))) {
        return *error;
    }
    if (auto error =
            assignDecoded(message.isWindowFocused, container->decodeBool("isWindowFocused"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.occurredAt, container->decodeDouble("occurredAt"))) {
        return *error;
    }
    return message;
}

}  // namespace safari

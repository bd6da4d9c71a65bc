#include "safari-extension/WebsiteBlockingStateMessage.h"

#include "base/json/DecodedField.h"
#include "base/json/JSONDecoder.h"

namespace safari {

using base::json::assignDecoded;

base::Expected<WebsiteBlockingStateMessage> WebsiteBlockingStateMessage::decode(
    std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    WebsiteBlockingStateMessage message;
    if (auto error = assignDecoded(message.action, container->decodeString("action"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.url, container->decodeStringIfPresent("url"))) {
        return *error;
    }
    if (auto error = assignDecoded(message.host, container->decodeStringIfPresent("host"))) {
        return *error;
    }
    return message;
}

}  // namespace safari

#include "common/StoredBrowserEvent.h"

#include "base/json/DecodedField.h"
#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"

namespace common {

base::Expected<base::Data> StoredBrowserEvent::encode() const {
    base::Dictionary object{{"messageID", messageID}, {"browser", browser}};
    if (tabID) {
        object.push_back({"tabID", *tabID});
    }
    if (windowID) {
        object.push_back({"windowID", *windowID});
    }
    if (url) {
        object.push_back({"url", *url});
    }
    if (host) {
        object.push_back({"host", *host});
    }
    object.push_back({"isActiveTab", isActiveTab});
    object.push_back({"isWindowFocused", isWindowFocused});
    object.push_back({"occurredAt", occurredAt.timeIntervalSinceReferenceDate});
    object.push_back({"receivedAt", receivedAt.timeIntervalSinceReferenceDate});
    return base::json::dataWithJSONObject(base::Value(std::move(object)));
}

base::Expected<StoredBrowserEvent> StoredBrowserEvent::decode(std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    StoredBrowserEvent event;
    if (auto error =
            base::json::assignDecoded(event.messageID, container->decodeString("messageID"))) {
        return *error;
    }
    if (auto error = base::json::assignDecoded(event.browser, container->decodeString("browser"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.tabID, container->decodeInt64IfPresent("tabID"))) {
        return *error;
    }
    if (auto error = base::json::assignDecoded(event.windowID,
                                               container->decodeInt64IfPresent("windowID"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.url, container->decodeStringIfPresent("url"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.host, container->decodeStringIfPresent("host"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.isActiveTab, container->decodeBool("isActiveTab"))) {
        return *error;
    }
    if (auto error = base::json::assignDecoded(event.isWindowFocused,
                                               container->decodeBool("isWindowFocused"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.occurredAt, container->decodeDate("occurredAt"))) {
        return *error;
    }
    if (auto error =
            base::json::assignDecoded(event.receivedAt, container->decodeDate("receivedAt"))) {
        return *error;
    }
    return event;
}

}  // namespace common

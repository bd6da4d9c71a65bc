#include "safari-extension/SafariWebExtensionHandler.h"

#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "base/json/JSON.h"
#include "base/url/URL.h"
#include "base/value/Date.h"
#include "common/BuildConstants.h"
#include "common/DomainIndex.h"
#include "common/HostNormalization.h"
#include "common/SharedDefaultsKeys.h"
#include "common/UserDefaults.h"
#include "safari-extension/ActionEnvelope.h"
#include "safari-extension/BlockingStateLookup.h"
#include "safari-extension/HandlerError.h"
#include "safari-extension/WebsiteBlockingStateMessage.h"
#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace safari {
namespace {

using platform::extension::NSExtensionContext;
using platform::extension::NSExtensionItem;
using platform::extension::SFExtensionMessageKey;

constexpr char getWebsiteBlockingStateAction[] = "getWebsiteBlockingState";
constexpr char trackActiveWebsiteAction[] = "trackActiveWebsite";

// The message under SFExtensionMessageKey in the first input item; null when there is none.
const base::Value* nativeMessage(const NSExtensionContext& context) {
    const auto& items = context.inputItems();
    if (items.empty()) {
        return nullptr;
    }
    const auto* item = dynamic_cast<const NSExtensionItem*>(items.front().get());
    if (item == nullptr || !item->userInfo) {
        return nullptr;
    }
    for (const auto& entry : *item->userInfo) {
        if (const auto* key = entry.key.text(); key != nullptr && *key == SFExtensionMessageKey) {
            return &entry.value;
        }
    }
    return nullptr;
}

}  // namespace

SafariWebExtensionHandler::SafariWebExtensionHandler(common::UserDefaultsOpener openSuite)
    : logger(common::extensionLogSubsystem, "NativeMessaging"), openSuite(std::move(openSuite)) {}

void SafariWebExtensionHandler::beginRequest(NSExtensionContext& context) {
    base::Expected<base::Dictionary> payload = base::Error{};
    try {
        payload = replyPayload(context);
    } catch (const std::exception& exception) {
        // Running out of memory on a huge message must still end in a reply.
        payload = base::Error{std::string("The native message could not be handled: ") +
                              exception.what()};
    }

    NSExtensionItem reply;
    if (payload) {
        reply.userInfo = base::Dictionary{{SFExtensionMessageKey, std::move(payload).value()}};
    } else {
        const std::string& description = payload.error().description;
        logger.error("Failed handling Safari native message: %{public}s", {description});
        reply.userInfo = base::Dictionary{
            {SFExtensionMessageKey, base::Dictionary{{"ok", false}, {"error", description}}}};
    }
    std::vector<NSExtensionItem> replyItems;
    replyItems.push_back(std::move(reply));
    context.completeRequest(std::move(replyItems), nullptr);
}

base::Expected<base::Dictionary> SafariWebExtensionHandler::replyPayload(
    const NSExtensionContext& context) const {
    const base::Value* message = nativeMessage(context);
    if (message == nullptr) {
        return makeError(HandlerError::missingMessage);
    }
    if (!base::json::isValidJSONObject(*message)) {
        return makeError(HandlerError::invalidMessage);
    }
    const auto bytes = base::json::dataWithJSONObject(*message);
    if (!bytes) {
        return makeError(HandlerError::invalidMessage);
    }

    const auto envelope = ActionEnvelope::decode(*bytes);
    if (!envelope) {
        return envelope.error();
    }
    if (envelope->action == getWebsiteBlockingStateAction) {
        const auto request = WebsiteBlockingStateMessage::decode(*bytes);
        if (!request) {
            return request.error();
        }
        const BlockingState state = resolveBlockingState(request->url, request->host);
        return base::Dictionary{{"ok", true},
                                {"blocked", state.isBlocked},
                                {"matchedDomain", state.matchedDomain.value_or("")}};
    }
    if (envelope->action != trackActiveWebsiteAction &&
        !TrackActiveWebsiteMessage::decode(*bytes)) {
        return makeError(HandlerError::invalidMessage);
    }
    return trackingPayload(*bytes);
}

base::Expected<base::Dictionary> SafariWebExtensionHandler::trackingPayload(
    std::span<const std::uint8_t> message) const {
    const auto decoded = TrackActiveWebsiteMessage::decode(message);
    if (!decoded) {
        return decoded.error();
    }
    const auto event = storeTrackedEvent(*decoded);
    if (!event) {
        return event.error();
    }
    const BlockingState state = resolveBlockingState(decoded->url, decoded->host);
    return base::Dictionary{{"ok", true},
                            {"messageID", event->messageID},
                            {"host", event->host.value_or("")},
                            {"blocked", state.isBlocked},
                            {"matchedDomain", state.matchedDomain.value_or("")}};
}

base::Expected<common::StoredBrowserEvent> SafariWebExtensionHandler::storeTrackedEvent(
    const TrackActiveWebsiteMessage& message) const {
    const common::StoredBrowserEvent event{
        .messageID = message.messageID,
        .browser = message.browser,
        .tabID = message.tabID,
        .windowID = message.windowID,
        .url = message.url,
        .host = normalizedHost(message.url, message.host),
        .isActiveTab = message.isActiveTab,
        .isWindowFocused = message.isWindowFocused,
        .occurredAt = base::Date::fromUnixTime(message.occurredAt / 1000.0),
        .receivedAt = base::Date::now(),
    };
    const auto defaults = openSuite ? openSuite(common::appGroupIdentifier) : nullptr;
    if (!defaults) {
        return makeError(HandlerError::sharedDefaultsUnavailable);
    }
    auto encoded = event.encode();
    if (!encoded) {
        return encoded.error();
    }
    defaults->setObject(common::DefaultsObject(std::move(encoded).value()),
                        common::keys::websiteTrackingLatestBrowserEvent);
    return event;
}

std::optional<base::Data> SafariWebExtensionHandler::loadContentFilterPolicyBlob() const {
    const auto defaults = openSuite ? openSuite(common::appGroupIdentifier) : nullptr;
    if (!defaults) {
        return std::nullopt;
    }
    return defaults->dataForKey(common::keys::contentFilterPolicyBlob);
}

std::optional<std::string> SafariWebExtensionHandler::normalizedHost(
    const std::optional<std::string>& url,
    const std::optional<std::string>& host) const {
    if (url) {
        const auto parsed = base::URL::fromString(*url);
        if (parsed && parsed->host() && !parsed->host()->empty()) {
            return common::normalizedHostText(*parsed->host());
        }
    }
    if (host && !host->empty()) {
        return common::normalizedHostText(*host);
    }
    return std::nullopt;
}

BlockingState SafariWebExtensionHandler::resolveBlockingState(
    const std::optional<std::string>& url,
    const std::optional<std::string>& host) const {
    const auto siteHost = normalizedHost(url, host);
    // The blob current at this request, walked in place.
    const auto blob = loadContentFilterPolicyBlob();
    if (!siteHost || !blob) {
        return {};
    }
    return blockingStateInBlob(*blob, *siteHost);
}

}  // namespace safari

#include "bench/SimpleBlockingStateHandler.h"

#include <optional>
#include <string>
#include <vector>

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"
#include "base/url/URL.h"
#include "bench/SimpleMatching.h"
#include "common/BuildConstants.h"
#include "common/ContentFilterPolicy.h"
#include "common/HostNormalization.h"
#include "common/SharedDefaultsKeys.h"
#include "common/UserDefaults.h"
#include "platform/defaults/SQLiteUserDefaults.h"
#include "safari-extension/WebsiteBlockingStateMessage.h"
#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace bench {
namespace {

using platform::extension::NSExtensionItem;
using platform::extension::SFExtensionMessageKey;

struct Resolution {
    bool isBlocked = false;
    std::optional<std::string> matchedDomain;
};

std::optional<std::string> normalizedHost(const std::optional<std::string>& url,
                                          const std::optional<std::string>& host) {
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

Resolution resolve(const std::optional<std::string>& url, const std::optional<std::string>& host) {
    const auto siteHost = normalizedHost(url, host);
    std::vector<std::string> rawDomains;
    bool isEnforcing = false;
    if (const auto defaults = platform::openSQLiteUserDefaults(common::appGroupIdentifier)) {
        if (const auto blob = defaults->dataForKey(common::keys::contentFilterPolicyBlob)) {
            auto policy = common::ContentFilterPolicy::decode(*blob);
            auto container = base::json::KeyedDecodingContainer::fromData(*blob);
            if (policy && container) {
                auto configured = container->decodeStringArrayIfPresent("configuredDomains");
                if (configured) {
                    isEnforcing = policy->enforcementEnabled();
                    rawDomains = configured->has_value() ? std::move(**configured)
                                                         : policy->blockedDomains();
                }
            }
        }
    }
    std::vector<std::string> domains;
    for (const auto& entry : rawDomains) {
        if (auto domain = fullyNormalizedHostText(entry); !domain.empty()) {
            domains.push_back(std::move(domain));
        }
    }
    if (!siteHost) {
        return {};
    }
    if (auto domain = linearMatchedDomain(domains, *siteHost)) {
        return {isEnforcing, std::move(domain)};
    }
    return {};
}

base::Dictionary replyPayload(const platform::extension::NSExtensionContext& context) {
    const base::Dictionary failure{{"ok", false}, {"error", "unsupported message"}};
    const auto& items = context.inputItems();
    const auto* item =
        items.empty() ? nullptr : dynamic_cast<const NSExtensionItem*>(items.front().get());
    if (item == nullptr || !item->userInfo) {
        return failure;
    }
    for (const auto& entry : *item->userInfo) {
        const auto* key = entry.key.text();
        if (key == nullptr || *key != SFExtensionMessageKey) {
            continue;
        }
        const auto bytes = base::json::dataWithJSONObject(entry.value);
        if (!bytes) {
            return failure;
        }
        const auto request = safari::WebsiteBlockingStateMessage::decode(*bytes);
        if (!request || request->action != "getWebsiteBlockingState") {
            return failure;
        }
        const Resolution state = resolve(request->url, request->host);
        return {{"ok", true},
                {"blocked", state.isBlocked},
                {"matchedDomain", state.matchedDomain.value_or("")}};
    }
    return failure;
}

}  // namespace

void SimpleBlockingStateHandler::beginRequest(platform::extension::NSExtensionContext& context) {
    NSExtensionItem reply;
    reply.userInfo = base::Dictionary{{SFExtensionMessageKey, replyPayload(context)}};
    std::vector<NSExtensionItem> replyItems;
    replyItems.push_back(std::move(reply));
    context.completeRequest(std::move(replyItems), nullptr);
}

}  // namespace bench

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/log/Log.h"
#include "base/value/Expected.h"
#include "base/value/Value.h"
#include "common/ContentFilterPolicy.h"
#include "common/StoredBrowserEvent.h"
#include "common/UserDefaults.h"
#include "safari-extension/BlockingState.h"
#include "safari-extension/TrackActiveWebsiteMessage.h"
#include "safari-extension/runtime/NSExtensionContext.h"
#include "safari-extension/runtime/NSExtensionRequestHandling.h"
#include "safari-extension/runtime/NSObject.h"

namespace safari {

// The extension's principal class: the native half of the browser extension. It answers each
// native message with exactly one reply item, before beginRequest returns:
// - "getWebsiteBlockingState": {"ok": true, "blocked", "matchedDomain"} for the message's site;
// - "trackActiveWebsite", and messages with no or another action that are valid tracking
//   messages: stores the event under websiteTrackingLatestBrowserEvent in the shared suite and
//   answers {"ok": true, "messageID", "host", "blocked", "matchedDomain"};
// - any failure: {"ok": false, "error": <description>} and one error line in the log.
// Holds no state besides its log handle; the shared suite is opened anew for every use and never
// flushed. Requests may overlap on several threads.
class SafariWebExtensionHandler final : public platform::extension::NSObject,
                                        public platform::extension::NSExtensionRequestHandling {
  public:
    // `openSuite` opens the shared suite for each use.
    explicit SafariWebExtensionHandler(common::UserDefaultsOpener openSuite);

    void beginRequest(platform::extension::NSExtensionContext& context) override;

  private:
    // The reply payload for the request, or the failure to report.
    base::Expected<base::Dictionary> replyPayload(
        const platform::extension::NSExtensionContext& context) const;
    // Decodes a tracking message, stores its event and answers with the site's blocking state.
    base::Expected<base::Dictionary> trackingPayload(std::span<const std::uint8_t> message) const;
    // Writes the event of `message` to the shared suite, replacing the previous one; nothing is
    // written on failure.
    base::Expected<common::StoredBrowserEvent> storeTrackedEvent(
        const TrackActiveWebsiteMessage& message) const;
    // The policy blob currently in the shared suite; nothing when there is none to read.
    std::optional<base::Data> loadContentFilterPolicyBlob() const;
    // The normalised host of the URL when it has a non-empty host, else of the non-empty host
    // text; nothing when neither gives one. Possibly empty.
    std::optional<std::string> normalizedHost(const std::optional<std::string>& url,
                                              const std::optional<std::string>& host) const;
    // The site's state under the current policy: the first domain, in list order, that the host
    // equals or lies under.
    BlockingState resolveBlockingState(const std::optional<std::string>& url,
                                       const std::optional<std::string>& host) const;

    const base::Logger logger;
    const common::UserDefaultsOpener openSuite;
};

}  // namespace safari

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/log/Log.h"
#include "common/BuildConstants.h"
#include "common/ContentFilterPolicy.h"
#include "common/SharedDefaultsKeys.h"
#include "fakes/FakeFilterFramework.h"
#include "fakes/FakeUserDefaults.h"
#include "filter/FilterDataProvider.h"

namespace filter::testing {

// A vendor dictionary as the host application writes it.
inline base::Value vendorConfiguration(const std::vector<std::string>& domains,
                                       bool enforcementEnabled,
                                       std::int64_t policyVersion) {
    base::Array listed;
    for (const auto& domain : domains) {
        listed.emplace_back(domain);
    }
    return base::Value(base::Dictionary{
        {"blockedDomains", std::move(listed)},
        {"enforcementEnabled", enforcementEnabled},
        {"policyVersion", policyVersion},
    });
}

// One line per rule: "host a.com:0 any filterData" or "network 0.0.0.0/0:80 tcp filterData".
inline std::vector<std::string> describeRules(const NEFilterSettings& settings) {
    std::vector<std::string> lines;
    for (const auto& rule : settings.rules) {
        const auto& network = rule.networkRule;
        std::string line = network.kind() == NENetworkRule::Kind::destinationHost
                               ? "host " + network.endpoint()->hostname()
                               : "network " + network.endpoint()->hostname() + "/" +
                                     std::to_string(network.prefix());
        const auto protocol = network.protocol();
        line += ":" + network.endpoint()->port() +
                (protocol == NENetworkRuleProtocol::tcp   ? " tcp"
                 : protocol == NENetworkRuleProtocol::udp ? " udp"
                                                          : " any");
        line += rule.action == NEFilterAction::filterData ? " filterData" : " other";
        lines.push_back(line);
    }
    return lines;
}

inline const std::vector<std::string> catchAllRuleLines = {
    "network 0.0.0.0/0:80 tcp filterData",
    "network 0.0.0.0/0:443 tcp filterData",
    "network ::/0:80 tcp filterData",
    "network ::/0:443 tcp filterData",
};

// Records the calls of a start completion handler, from whichever thread.
class StartOutcome {
  public:
    SettingsCompletion handler() {
        return [this](std::optional<base::Error> error) {
            std::lock_guard lock(mutex);
            ++calls;
            lastError = error ? std::optional(error->description) : std::nullopt;
        };
    }
    int callCount() const {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::optional<std::string> error() const {
        std::lock_guard lock(mutex);
        return lastError;
    }

  private:
    mutable std::mutex mutex;
    int calls = 0;
    std::optional<std::string> lastError;
};

// A provider hosted by the fake framework, writing to the fake suite, its log captured.
class ProviderTest : public ::testing::Test {
  protected:
    ProviderTest() { base::setLogOutputToStandardError(false); }
    ~ProviderTest() override { base::setLogOutputToStandardError(true); }

    std::shared_ptr<FilterDataProvider> makeProvider(bool suiteAvailable = true) {
        auto made = std::make_shared<FilterDataProvider>(store.opener(suiteAvailable));
        made->attachFramework(framework);
        return made;
    }

    void publishBlob(const std::vector<std::string>& domains,
                     bool enforcementEnabled,
                     std::int64_t policyVersion) {
        store.set(
            common::keys::contentFilterPolicyBlob,
            common::ContentFilterPolicy(domains, enforcementEnabled, policyVersion, base::Date{})
                .encode());
    }

    std::optional<std::string> state() const {
        return store.text(common::keys::contentFilterExtensionState);
    }
    std::optional<std::string> summary() const {
        return store.text(common::keys::contentFilterLastPolicySummary);
    }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<fakes::FakeFilterFramework> framework =
        std::make_shared<fakes::FakeFilterFramework>();
    base::LogCapture logs{common::filterLogSubsystem, "provider"};
};

}  // namespace filter::testing

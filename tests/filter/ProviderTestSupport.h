#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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

// One line per rule: "host a.com:0 any" or "network 0.0.0.0/0:80 tcp"; "!" marks an action
// other than filterData.
inline std::vector<std::string> describeRules(const NEFilterSettings& settings) {
    std::vector<std::string> lines;
    for (const auto& [network, action] : settings.rules) {
        const auto& endpoint = *network.endpoint();
        const auto protocol = network.protocol();
        lines.push_back(
            (network.kind() == NENetworkRule::Kind::destinationHost
                 ? "host " + endpoint.hostname()
                 : "network " + endpoint.hostname() + "/" + std::to_string(network.prefix())) +
            ":" + endpoint.port() +
            (protocol == NENetworkRuleProtocol::tcp   ? " tcp"
             : protocol == NENetworkRuleProtocol::udp ? " udp"
                                                      : " any") +
            (action == NEFilterAction::filterData ? "" : " !"));
    }
    return lines;
}

// Records the calls of a start completion handler; read it once the calls are joined.
struct StartOutcome {
    SettingsCompletion handler() {
        return [this](std::optional<base::Error> error) {
            ++calls;
            lastError = error ? std::optional(error->description) : std::nullopt;
        };
    }
    int callCount() const { return calls; }
    std::optional<std::string> error() const { return lastError; }

    std::atomic<int> calls = 0;
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
};

}  // namespace filter::testing

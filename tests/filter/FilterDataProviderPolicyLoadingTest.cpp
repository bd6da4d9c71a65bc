// The policy loaded at every callback: whatever loading leaves undone when nothing changed, the
// verdicts and matched domains must be those of a fresh read.

#include <gtest/gtest.h>

#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

NEFilterSocketFlow flowTo(const std::string& host) {
    return NEFilterSocketFlow(base::UUID(), std::nullopt, host, nullptr, 1);
}

// Run once with a suite that tells when another writer changed it and once with one that cannot
// tell.
class BlobPolicyLoadingTest : public ProviderTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        store.setReportsExternalChanges(GetParam());
        publishBlob({"a.com"}, true, 1);
        provider->startFilter(nullptr);
        framework->completeInstallation();
    }

    // The matched domain of a flow to `host`, or "" when it is allowed.
    std::string decide(const std::string& host) {
        const auto verdict = provider->handleNewFlow(flowTo(host));
        if (verdict.kind != NEFilterNewFlowVerdict::Kind::drop) {
            return "";
        }
        return store.text(common::keys::contentFilterLastMatchedDomain).value_or("?");
    }

    std::shared_ptr<FilterDataProvider> provider = makeProvider();
};

TEST_P(BlobPolicyLoadingTest, FlowsFollowThePublishedBlob) {
    struct Step {
        const char* name;
        std::vector<std::string> domains;
        std::int64_t version;
        const char* host;
        const char* matched;
    } steps[] = {
        // Another list under the same version is not taken.
        {"same version", {"b.com"}, 1, "x.b.com", ""},
        {"same version, old list still matches", {"b.com"}, 1, "x.a.com", "a.com"},
        {"new version", {"c.com", "b.com", "com"}, 2, "x.b.com", "b.com"},
        {"the old list is gone", {"c.com", "b.com", "com"}, 2, "x.a.com", "com"},
        {"duplicates", {"b.com", "x.b.com", "b.com"}, 3, "y.x.b.com", "b.com"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        publishBlob(step.domains, true, step.version);
        EXPECT_EQ(decide(step.host), step.matched);
    }
}

INSTANTIATE_TEST_SUITE_P(ExternalChanges,
                         BlobPolicyLoadingTest,
                         ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reported" : "Unknown"; });

class ConfigurationPolicyLoadingTest : public ProviderTest {
  protected:
    std::shared_ptr<FilterDataProvider> provider = makeProvider();
};

TEST_F(ConfigurationPolicyLoadingTest, AnotherConfigurationIsReadAgain) {
    framework->setVendorConfiguration(vendorConfiguration({"a.com"}, true, 1));
    provider->startFilter(nullptr);
    framework->completeInstallation();

    // Same version, other domains: only the forced refresh of a change takes them.
    framework->setVendorConfiguration(vendorConfiguration({"B.com"}, true, 1));
    EXPECT_EQ(provider->handleNewFlow(flowTo("x.a.com")).kind, NEFilterNewFlowVerdict::Kind::drop);
    framework->reportConfigurationChange();
    EXPECT_EQ(provider->handleNewFlow(flowTo("x.a.com")).kind, NEFilterNewFlowVerdict::Kind::allow);
    EXPECT_EQ(provider->handleNewFlow(flowTo("x.b.com")).kind, NEFilterNewFlowVerdict::Kind::drop);
    EXPECT_EQ(store.text(common::keys::contentFilterLastMatchedDomain), "b.com");
}

}  // namespace
}  // namespace filter::testing

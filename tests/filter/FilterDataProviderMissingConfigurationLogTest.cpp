// The blob standing in for a missing vendor dictionary is said when a policy is taken or the
// dictionary goes, never once per flow.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

constexpr const char* missingMessage = "filterConfiguration.vendorConfiguration missing";

class MissingConfigurationLogTest : public ProviderTest {
  protected:
    long missingCount() const {
        const auto messages = logs.messages();
        return std::count(messages.begin(), messages.end(), missingMessage);
    }

    void flows(int count) {
        for (int index = 0; index < count; ++index) {
            provider->handleNewFlow(
                NEFilterSocketFlow(base::UUID(), std::nullopt, "x.b.com", nullptr, 1));
        }
    }

    std::shared_ptr<FilterDataProvider> provider = makeProvider();
};

TEST_F(MissingConfigurationLogTest, SaidAtEachTakenPolicyAndEachLossOfTheDictionary) {
    struct Step {
        const char* name;
        std::function<void(MissingConfigurationLogTest&)> act;
        long expectedCount;
    } steps[] = {
        {"start without a dictionary", [](auto& test) { test.provider->startFilter(nullptr); }, 1},
        {"flows under the same blob", [](auto& test) { test.flows(50); }, 1},
        {"a new blob version is taken",
         [](auto& test) {
             test.publishBlob({"b.com"}, true, 2);
             test.flows(20);
         },
         2},
        {"a dictionary arrives",
         [](auto& test) {
             test.framework->changeVendorConfiguration(vendorConfiguration({"c.com"}, true, 5));
             test.flows(20);
         },
         2},
        {"the dictionary goes",
         [](auto& test) {
             test.framework->changeVendorConfiguration(std::nullopt);
             test.flows(20);
         },
         3},
        {"forced reload", [](auto& test) { test.provider->refreshPolicyIfNeededForTesting(true); },
         4},
    };
    publishBlob({"a.com"}, true, 1);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act(*this);
        EXPECT_EQ(missingCount(), step.expectedCount);
    }
}

}  // namespace
}  // namespace filter::testing

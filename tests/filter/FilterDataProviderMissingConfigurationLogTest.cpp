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

    base::LogCapture logs{common::filterLogSubsystem, "provider"};
    std::shared_ptr<FilterDataProvider> provider = makeProvider();
};

TEST_F(MissingConfigurationLogTest, SaidAtEachTakenPolicyAndEachLossOfTheDictionary) {
    struct Step {
        const char* name;
        std::function<void()> act;
        long expectedCount;
    } steps[] = {
        {"start without a dictionary", [this] { provider->startFilter(nullptr); }, 1},
        {"flows under the same blob", [this] { flows(50); }, 1},
        {"a new blob version is taken",
         [this] {
             publishBlob({"b.com"}, true, 2);
             flows(20);
         },
         2},
        {"a dictionary arrives",
         [this] {
             framework->changeVendorConfiguration(vendorConfiguration({"c.com"}, true, 5));
             flows(20);
         },
         2},
        {"the dictionary goes",
         [this] {
             framework->changeVendorConfiguration(std::nullopt);
             flows(20);
         },
         3},
        {"forced reload", [this] { provider->refreshPolicyIfNeededForTesting(true); }, 4},
    };
    publishBlob({"a.com"}, true, 1);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_EQ(missingCount(), step.expectedCount);
    }
}

}  // namespace
}  // namespace filter::testing

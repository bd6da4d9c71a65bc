#include "filter/PolicyBlobCache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/SharedDefaultsKeys.h"
#include "fakes/FakeUserDefaults.h"

namespace {

using common::ContentFilterPolicy;

std::string blob(const std::vector<std::string>& domains, std::int64_t version) {
    const auto data = ContentFilterPolicy(domains, true, version, base::Date{}).encode();
    return std::string(data.begin(), data.end());
}

// Run once with a suite that tells when another handle wrote and once with one that cannot
// tell: the answers must be the same.
class PolicyBlobCacheTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        store.setReportsExternalChanges(GetParam());
        handle = store.opener()("suite");
        ASSERT_TRUE(handle);
        cache = std::make_unique<filter::PolicyBlobCache>(handle);
    }

    void publish(const std::string& bytes) {
        store.setData(common::keys::contentFilterPolicyBlob, bytes);
    }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<common::UserDefaults> handle;
    std::unique_ptr<filter::PolicyBlobCache> cache;
};

TEST_P(PolicyBlobCacheTest, FollowsEveryChangeOfTheBlob) {
    using Domains = std::vector<std::string>;
    struct Step {
        const char* name;
        std::optional<std::string> blob;
        std::optional<Domains> expected;
    } steps[] = {
        {"no blob yet", std::nullopt, std::nullopt},
        {"first blob", blob({"a.com"}, 1), Domains{"a.com"}},
        {"same version, other domains", blob({"b.com"}, 1), Domains{"b.com"}},
        {"undecodable", "{\"blockedDomains\":[]}", std::nullopt},
        {"valid again", blob({"c.com"}, 2), Domains{"c.com"}},
        {"removed", std::nullopt, std::nullopt},
        {"back", blob({"c.com"}, 2), Domains{"c.com"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.blob) {
            publish(*step.blob);
        } else {
            store.remove(common::keys::contentFilterPolicyBlob);
        }
        const auto policy = cache->policy();
        ASSERT_EQ(policy.has_value(), step.expected.has_value());
        if (policy) {
            EXPECT_EQ(policy->blockedDomains(), *step.expected);
        }
    }
}

TEST_P(PolicyBlobCacheTest, ATextUnderTheKeyIsNoBlob) {
    store.setText(common::keys::contentFilterPolicyBlob, blob({"a.com"}, 1));
    EXPECT_FALSE(cache->policy());
}

INSTANTIATE_TEST_SUITE_P(ExternalChanges,
                         PolicyBlobCacheTest,
                         ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reported" : "Unknown"; });

}  // namespace

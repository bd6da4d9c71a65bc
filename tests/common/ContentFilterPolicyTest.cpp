#include "common/ContentFilterPolicy.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/json/JSON.h"

namespace {

using common::ContentFilterPolicy;

std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(ContentFilterPolicyTest, EmptyPolicy) {
    const auto& policy = ContentFilterPolicy::empty;
    EXPECT_TRUE(policy.blockedDomains().empty());
    EXPECT_FALSE(policy.enforcementEnabled());
    EXPECT_EQ(policy.policyVersion(), 0);
    EXPECT_EQ(policy.updatedAt().timeIntervalSinceReferenceDate, -63114076800.0);
}

TEST(ContentFilterPolicyTest, DecodesBlobs) {
    struct Case {
        const char* name;
        std::string json;
        bool decodes;
        std::vector<std::string> domains = {};
        bool enforcing = false;
        std::int64_t version = 0;
        double updatedAt = 0;
    } cases[] = {
        {"all four keys",
         R"({"blockedDomains":["a.com","b.com"],"enforcementEnabled":true,"policyVersion":7,)"
         R"("updatedAt":786297600.5})",
         true,
         {"a.com", "b.com"},
         true,
         7,
         786297600.5},
        {"any key order, extra keys ignored",
         R"({"updatedAt":1,"extra":{"x":[1]},"policyVersion":-1,"enforcementEnabled":false,)"
         R"("configuredDomains":["z.com"],"blockedDomains":[]})",
         true,
         {},
         false,
         -1,
         1},
        {"entries kept verbatim",
         R"({"blockedDomains":[" Example.COM","WWW.x.org:443"],"enforcementEnabled":true,)"
         R"("policyVersion":1,"updatedAt":0})",
         true,
         {" Example.COM", "WWW.x.org:443"},
         true,
         1,
         0},
        {"whole-number real version",
         R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":3.0,"updatedAt":0})",
         true,
         {},
         true,
         3,
         0},
        {"missing updatedAt",
         R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":1})", false},
        {"ISO-8601 updatedAt",
         R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":1,)"
         R"("updatedAt":"2026-01-01T00:00:00Z"})",
         false},
        {"null domains",
         R"({"blockedDomains":null,"enforcementEnabled":true,"policyVersion":1,"updatedAt":0})",
         false},
        {"number among domains",
         R"({"blockedDomains":["a.com",3],"enforcementEnabled":true,"policyVersion":1,)"
         R"("updatedAt":0})",
         false},
        {"enforcement as a number",
         R"({"blockedDomains":[],"enforcementEnabled":1,"policyVersion":1,"updatedAt":0})", false},
        {"fractional version",
         R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":1.5,"updatedAt":0})",
         false},
        {"version as text",
         R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":"3","updatedAt":0})",
         false},
        {"top level array", R"([1,2])", false},
        {"not JSON", "blockedDomains", false},
        {"empty", "", false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto policy = ContentFilterPolicy::decode(bytes(testCase.json));
        ASSERT_EQ(policy.hasValue(), testCase.decodes);
        if (!testCase.decodes) {
            EXPECT_FALSE(policy.error().description.empty());
            continue;
        }
        EXPECT_EQ(policy->blockedDomains(), testCase.domains);
        EXPECT_EQ(policy->enforcementEnabled(), testCase.enforcing);
        EXPECT_EQ(policy->policyVersion(), testCase.version);
        EXPECT_EQ(policy->updatedAt().timeIntervalSinceReferenceDate, testCase.updatedAt);
    }
}

TEST(ContentFilterPolicyTest, EncodesTheFourKeysAndRoundTrips) {
    const ContentFilterPolicy policy({"example.com", "ads.example.net"}, true, 42,
                                     platform::Date{786297600.25});
    const auto data = policy.encode();
    const auto object = platform::json::JSONObjectWithData(data);
    ASSERT_TRUE(object.hasValue());
    ASSERT_NE(object->dictionary(), nullptr);
    EXPECT_EQ(object->dictionary()->size(), 4u);
    EXPECT_EQ(*object->find("updatedAt"), platform::Value(786297600.25));

    const auto decoded = ContentFilterPolicy::decode(data);
    ASSERT_TRUE(decoded.hasValue());
    EXPECT_EQ(*decoded, policy);

    const auto emptyDecoded = ContentFilterPolicy::decode(ContentFilterPolicy::empty.encode());
    ASSERT_TRUE(emptyDecoded.hasValue());
    EXPECT_EQ(*emptyDecoded, ContentFilterPolicy::empty);
}

}  // namespace

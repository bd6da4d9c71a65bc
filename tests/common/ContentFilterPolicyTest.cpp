#include "common/ContentFilterPolicy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using common::ContentFilterPolicy;

std::span<const std::uint8_t> bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A blob that enforces; updatedAt is left out when empty.
std::string blob(const std::string& domains,
                 const std::string& version = "1",
                 const std::string& updatedAt = "0") {
    const std::string json = R"({"blockedDomains":)" + domains +
                             R"(,"enforcementEnabled":true,"policyVersion":)" + version;
    return json + (updatedAt.empty() ? "}" : R"(,"updatedAt":)" + updatedAt + "}");
}

TEST(ContentFilterPolicyTest, DecodesBlobs) {
    struct Case {
        const char* name;
        std::string json;
        std::optional<ContentFilterPolicy> expected;
    } cases[] = {
        {"all four keys", blob(R"(["a.com","b.com"])", "7", "786297600.5"),
         ContentFilterPolicy({"a.com", "b.com"}, true, 7, base::Date{786297600.5})},
        {"any key order, extra keys ignored, entries kept verbatim",
         R"({"updatedAt":1,"extra":{"x":[1]},"policyVersion":-1,"enforcementEnabled":false,)"
         R"("configuredDomains":["z.com"],"blockedDomains":[" Example.COM","x.org:443"]})",
         ContentFilterPolicy({" Example.COM", "x.org:443"}, false, -1, base::Date{1})},
        {"whole-number real version", blob("[]", "3.0"),
         ContentFilterPolicy({}, true, 3, base::Date{0})},
        {"missing updatedAt", blob("[]", "1", ""), std::nullopt},
        {"number among domains", blob(R"(["a.com",3])"), std::nullopt},
        {"fractional version", blob("[]", "1.5"), std::nullopt},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto policy = ContentFilterPolicy::decode(bytes(testCase.json));
        ASSERT_EQ(policy.hasValue(), testCase.expected.has_value());
        if (policy) {
            EXPECT_EQ(*policy, *testCase.expected);
        } else {
            EXPECT_FALSE(policy.error().description.empty());
        }
    }
}
}  // namespace

#include "safari-extension/BlockingStateLookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ContentFilterPolicy.h"
#include "common/DomainIndex.h"
#include "common/HostNormalization.h"

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The answer of the decoded policy: the whole blob decoded, then the first covering entry.
safari::BlockingState decodedAnswer(std::string_view blob, std::string_view siteHost) {
    const auto policy = common::ConfiguredDomainsPolicy::decode(bytesOf(blob));
    if (!policy) {
        return {};
    }
    for (const auto& entry : policy->domains()) {
        const auto domain = common::normalizedHostText(entry);
        if (!domain.empty() && common::isCoveredBy(siteHost, domain)) {
            return {policy->policy.enforcementEnabled(), domain};
        }
    }
    return {};
}

TEST(BlockingStateLookupTest, WalkingTheBlobAnswersAsDecodingItDoes) {
    const std::string fields = R"("enforcementEnabled":true,"policyVersion":3,"updatedAt":1.5)";
    struct Case {
        std::string blob;
        std::string siteHost;
        std::optional<std::string> matched;
    } cases[] = {
        {"{\"blockedDomains\":[\"a.test\",\"news.test\"]," + fields + "}", "www2.news.test",
         "news.test"},
        // Entries that need normalising, escaped text, the first of two covering entries.
        {"{\"blockedDomains\":[\" WWW.News.Test:443 \",\"news.test\"]," + fields + "}", "news.test",
         "news.test"},
        {"{\"blockedDomains\":[\"...\",\"\",\"b.test\"]," + fields + "}", "b.test", "b.test"},
        // "configuredDomains" replaces the list, even empty; null does not.
        {"{\"blockedDomains\":[\"a.test\"],\"configuredDomains\":[\"b.test\"]," + fields + "}",
         "a.test", std::nullopt},
        // Faults anywhere, even past the match, block nothing.
        {"{\"blockedDomains\":[\"a.test\",1]," + fields + "}", "a.test", std::nullopt},
        {"{\"blockedDomains\":[\"a.test\"],\"configuredDomains\":[\"a.test\",null]," + fields + "}",
         "a.test", std::nullopt},
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":true,"policyVersion":1.5,"updatedAt":1})",
         "a.test", std::nullopt},
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":true,"policyVersion":1})", "a.test",
         std::nullopt},
        {"{\"blockedDomains\":[\"a.test\"]," + fields + "} x", "a.test", std::nullopt},
        // Observed only: the match is named, nothing is blocked.
        {R"({"blockedDomains":["a.test"],"enforcementEnabled":false,"policyVersion":1,"updatedAt":0})",
         "x.a.test", "a.test"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.blob + " / " + testCase.siteHost);
        const auto walked = safari::blockingStateInBlob(bytesOf(testCase.blob), testCase.siteHost);
        const auto decoded = decodedAnswer(testCase.blob, testCase.siteHost);
        EXPECT_EQ(walked.matchedDomain, testCase.matched);
        EXPECT_EQ(walked.matchedDomain, decoded.matchedDomain);
        EXPECT_EQ(walked.isBlocked, decoded.isBlocked);
    }
}
}  // namespace

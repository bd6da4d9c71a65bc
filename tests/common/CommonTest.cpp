#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/ContentFilterPolicy.h"
#include "common/DomainIndex.h"
#include "common/HostNormalization.h"

namespace {

// The rule the index stands in for: walk the list in order and take the first entry that the
// host equals or ends with after a ".".
std::optional<std::size_t> firstCoveringPositionByWalking(const std::vector<std::string>& domains,
                                                          const std::string& host) {
    const auto found = std::find_if(domains.begin(), domains.end(), [&](const std::string& domain) {
        return host == domain || host.ends_with("." + domain);
    });
    return found == domains.end() ? std::nullopt
                                  : std::optional<std::size_t>(found - domains.begin());
}

// Random lists and hosts over a small alphabet, so that suffixes that are not whole labels, dots
// at the ends, doubled dots, empty entries, blanks, capitals and duplicates all come up often.
TEST(DomainIndexTest, AgreesWithTheWalkOverTheListOnRandomListsAndHosts) {
    std::mt19937 generator(20240611);
    const auto randomText = [&](std::size_t longest) {
        std::string text(generator() % (longest + 1), ' ');
        for (auto& character : text) {
            character = "ab.. A"[generator() % 6];
        }
        return text;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> domains(generator() % 13);
        std::generate(domains.begin(), domains.end(), [&] { return randomText(4); });
        // The index views into its own copy of the entries; a move from a temporary that is
        // gone before the lookups must carry the views over.
        common::DomainIndex index;
        index = common::DomainIndex(domains);
        for (int lookup = 0; lookup < 20; ++lookup) {
            // Half the hosts are built around an entry so that matches are common.
            const std::string host =
                randomText(6) +
                (domains.empty() || lookup % 2 != 0 ? "" : domains[generator() % domains.size()]);
            ASSERT_EQ(index.firstCoveringPosition(host),
                      firstCoveringPositionByWalking(domains, host))
                << "host \"" << host << "\" round " << round;
        }
    }
}

TEST(HostNormalizationTest, NormalisesHostText) {
    const std::pair<const char*, const char*> cases[] = {
        {".sub.www.example.com.", "sub.example.com"},
        {":444", "444"},
        {"[2001:db8::1]", "[2001"},
        // Unicode blanks at both ends, and non-ASCII capitals; blanks inside are kept.
        {"\u00A0\u3000\u0100BC.\u0394\u0416.Example.COM\u2028",
         "\u0101bc.\u03B4\u0436.example.com"},
        {"exa mple.com", "exa mple.com"},
        // Invalid UTF-8 is carried through: capitals after an invalid byte are still lowered, a
        // blank after one is still trimmed, and the lead byte of a two-byte capital is not taken
        // for a separate character.
        {"example.COM\xC3", "example.com\xC3"},
        {"\x80-EXAMPLE.com\xFF\xFE \u00A0", "\x80-example.com\xFF\xFE"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(common::normalizedHostText(input), expected) << input;
        // Normal form is a fixed point.
        EXPECT_EQ(common::normalizedHostText(expected), expected) << input;
    }
}

// All four keys are required, in any order, beside any others; entries are kept verbatim.
TEST(ContentFilterPolicyTest, DecodesBlobs) {
    using common::ContentFilterPolicy;
    const std::pair<std::string, std::optional<ContentFilterPolicy>> cases[] = {
        {R"({"updatedAt":786297600.5,"extra":{"x":[1]},"policyVersion":-1,)"
         R"("enforcementEnabled":false,"configuredDomains":["z.com"],)"
         R"("blockedDomains":[" Example.COM","x.org:443"]})",
         ContentFilterPolicy({" Example.COM", "x.org:443"}, false, -1, base::Date{786297600.5})},
        {R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":3.0,"updatedAt":0})",
         ContentFilterPolicy({}, true, 3, base::Date{0})},
        {R"({"blockedDomains":[],"enforcementEnabled":true,"policyVersion":1})", std::nullopt},
    };
    for (const auto& [json, expected] : cases) {
        const auto policy = ContentFilterPolicy::decode(base::Data(json.begin(), json.end()));
        EXPECT_EQ(policy ? std::optional(*policy) : std::nullopt, expected) << json;
    }
}

}  // namespace

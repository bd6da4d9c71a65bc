#include <gtest/gtest.h>

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
    for (std::size_t position = 0; position < domains.size(); ++position) {
        const std::string& domain = domains[position];
        if (host == domain || host.ends_with("." + domain)) {
            return position;
        }
    }
    return std::nullopt;
}

// Random lists and hosts over a small alphabet, so that suffixes that are not whole labels, dots
// at the ends, doubled dots, empty entries, blanks, capitals and duplicates all come up often.
TEST(DomainIndexTest, AgreesWithTheWalkOverTheListOnRandomListsAndHosts) {
    std::mt19937 generator(20240611);
    const auto below = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
    };
    const auto randomText = [&](std::size_t longest) {
        std::string text(below(longest + 1), ' ');
        for (auto& character : text) {
            character = "ab.. A"[below(6)];
        }
        return text;
    };

    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> domains(below(13));
        for (auto& domain : domains) {
            domain = randomText(4);
        }
        // The index views into its own copy of the entries; a move from a temporary that is
        // gone before the lookups must carry the views over.
        common::DomainIndex index;
        index = common::DomainIndex(domains);
        for (int lookup = 0; lookup < 20; ++lookup) {
            // Half the hosts are built around an entry so that matches are common.
            std::string host = randomText(6);
            if (!domains.empty() && lookup % 2 == 0) {
                host += domains[below(domains.size())];
            }
            SCOPED_TRACE("host \"" + host + "\" round " + std::to_string(round));
            ASSERT_EQ(index.firstCoveringPosition(host),
                      firstCoveringPositionByWalking(domains, host));
        }
    }
}

TEST(HostNormalizationTest, NormalisesHostText) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {" WWW.Example.COM:443 ", "example.com"},
        {"sub.www.example.com", "sub.example.com"},
        {"awww.site", "asite"},
        {"www.www.example.com", "example.com"},
        {":444", "444"},
        {".example.com.", "example.com"},
        {"[2001:db8::1]", "[2001"},
        // Unicode blanks at both ends, and non-ASCII capitals.
        {"\u00A0\u3000Example.COM\u2028", "example.com"},
        {"\u0100BC.\u0394\u0416.example", "\u0101bc.\u03B4\u0436.example"},
        // Blanks inside are kept; only the ends are trimmed.
        {"exa mple.com", "exa mple.com"},
        // Invalid UTF-8 is carried through; a blank after an invalid byte is still trimmed, and
        // the lead byte of a two-byte capital is not taken for a separate character.
        {"\x80"
         "EXAMPLE.com",
         "\x80"
         "example.com"},
        {"example.COM\xC3", "example.com\xC3"},
        {"\xFF\xFE \u00A0", "\xFF\xFE"},
        {"\u00C9COLE.fr", "\u00E9cole.fr"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.input);
        EXPECT_EQ(common::normalizedHostText(testCase.input), testCase.expected);
        // Normal form is a fixed point.
        EXPECT_EQ(common::normalizedHostText(testCase.expected), testCase.expected);
    }
}

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

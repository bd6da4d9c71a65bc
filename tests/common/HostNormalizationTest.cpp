#include "common/HostNormalization.h"

#include <gtest/gtest.h>

namespace {

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
        {"ads.xwww.com", "ads.xcom"},
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

}  // namespace

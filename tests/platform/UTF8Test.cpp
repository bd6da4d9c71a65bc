#include "base/text/UTF8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using base::UTF8Validity;

TEST(UTF8Test, TellsValidCutOffAndInvalidText) {
    struct Case {
        const char* name;
        std::string text;
        UTF8Validity expected;
    } cases[] = {
        {"ASCII and two to four bytes", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         UTF8Validity::valid},
        {"highest code point", "\xF4\x8F\xBF\xBF", UTF8Validity::valid},
        {"two-byte character cut off", "caf\xC3", UTF8Validity::cutOff},
        {"four-byte character cut off", "a\xF0\x9F\x98", UTF8Validity::cutOff},
        {"stray continuation", "a\x80", UTF8Validity::invalid},
        {"overlong slash", "\xC0\xAF", UTF8Validity::invalid},
        {"surrogate", "\xED\xA0\x80", UTF8Validity::invalid},
        {"above U+10FFFF", "\xF4\x90\x80\x80", UTF8Validity::invalid},
        {"cut-off start of a surrogate", "\xED\xA0", UTF8Validity::invalid},
        {"cut character before more text", "\xC3x", UTF8Validity::invalid},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(base::validateUTF8(testCase.text), testCase.expected);
    }
    const auto euro = base::decodeUTF8Character("\xE2\x82\xAC!");
    ASSERT_TRUE(euro);
    EXPECT_EQ(euro->codePoint, U'\u20AC');
    EXPECT_EQ(euro->length, 3u);
}

}  // namespace

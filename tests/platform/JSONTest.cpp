#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "base/json/JSON.h"
#include "base/json/JSONDecoder.h"

namespace base::json {
namespace {

Data bytes(std::string_view text) {
    return Data(text.begin(), text.end());
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JSONValidityTest, AcceptsOnlyWhatJSONCanCarry) {
    struct Case {
        const char* name;
        Value object;
        bool isValid;
    } cases[] = {
        {"data leaf", Array{Data{1, 2}}, false},
        {"NaN", Array{std::nan("")}, false},
        {"infinity", Dictionary{{"a", std::numeric_limits<double>::infinity()}}, false},
        {"text that is not UTF-8", Array{"\xC3\x28"}, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(isValidJSONObject(testCase.object), testCase.isValid);
        EXPECT_EQ(dataWithJSONObject(testCase.object).hasValue(), testCase.isValid);
    }
}

TEST(JSONWritingTest, WritesCompactTextInOrder) {
    struct Case {
        Value object;
        const char* text;
    } cases[] = {
        {Dictionary{{"b", true}, {"a", Array{1, -2.5, Null{}, "x\"y\n"}}},
         R"({"b":true,"a":[1,-2.5,null,"x\"y\n"]})"},
        {Array{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
         "[-9223372036854775808,9223372036854775807]"},
        {Array{1.0, false, "é/\x01"}, "[1.0,false,\"é/\\u0001\"]"},
        // Doubles in the shortest text that reads back bit for bit.
        {Array{0.1, 1.0 / 3, 5e-324, std::numeric_limits<double>::max(), -0.0},
         "[0.1,0.3333333333333333,5e-324,1.7976931348623157e+308,-0.0]"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text);
        const auto data = dataWithJSONObject(testCase.object);
        ASSERT_TRUE(data.hasValue()) << data.error().description;
        EXPECT_EQ(std::string(data->begin(), data->end()), testCase.text);
    }
}

TEST(JSONParsingTest, BuildsTheValueModel) {
    struct Case {
        std::string text;
        Value expected;
        bool allowFragments = false;
    } cases[] = {
        {R"({"k":1,"k":2,"j":{"k":3,"k":4},"k":[5]})",
         Dictionary{{"k", 1}, {"j", Dictionary{{"k", 3}}}}},
        {"[9223372036854775808,1.0,1e3,-0.5]", Array{9223372036854775808.0, 1.0, 1000.0, -0.5}},
        {R"([true,false,null,"\u00e9\ud83d\ude00"])",
         Array{true, false, Null{}, "\xC3\xA9\xF0\x9F\x98\x80"}},
        {R"( "text" )", "text", true},
    };
    EXPECT_TRUE(JSONObjectWithData(bytes(nested(512))).hasValue());
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text);
        const auto parsed = JSONObjectWithData(bytes(testCase.text), testCase.allowFragments);
        ASSERT_TRUE(parsed.hasValue()) << parsed.error().description;
        EXPECT_EQ(*parsed, testCase.expected);
    }
}

TEST(JSONParsingTest, RefusesMalformedTextWithAReadableReason) {
    struct Case {
        std::string text;
        const char* reasonPart;
    } cases[] = {
        {"", "unexpected end of input"},
        {R"("text")", "fragment"},
        {std::string("[1]\0{", 5), "NUL byte at offset 3"},
        {"[\"\xFF\"]", "ill-formed UTF-8"},
        {R"(["\ud800"])", "surrogate"},
        {"[1e400]", "number overflow"},
        {nested(513), "nested deeper than 512 levels"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text.substr(0, 60));
        const auto parsed = JSONObjectWithData(bytes(testCase.text));
        ASSERT_FALSE(parsed.hasValue());
        EXPECT_NE(parsed.error().description.find(testCase.reasonPart), std::string::npos)
            << parsed.error().description;
    }
    // The reason stays short and valid UTF-8 whatever the input.
    const std::string hostile = "[\"" + std::string(100000, 'a') + "\xE9\"]";
    const auto parsed = JSONObjectWithData(bytes(hostile));
    ASSERT_FALSE(parsed.hasValue());
    EXPECT_LT(parsed.error().description.size(), 300u) << parsed.error().description;
    EXPECT_TRUE(isValidJSONObject(Array{parsed.error().description}));
}

// The error description of a failed decoding, or "none" when it succeeded.
template <typename T>
std::string failure(const Expected<T>& result) {
    return result ? "none" : result.error().description;
}

TEST(KeyedDecodingContainerTest, FollowsTheStrictRules) {
    const auto decode = [](const std::string& text) {
        auto container = KeyedDecodingContainer::fromData(bytes(text));
        EXPECT_TRUE(container) << text;
        return std::move(container).value();
    };
    // 64-bit integers: whole numbers that fit.
    EXPECT_EQ(*decode(R"({"a":9223372036854775807})").decodeInt64("a"), 9223372036854775807);
    EXPECT_EQ(failure(decode(R"({"a":1.5})").decodeInt64("a")),
              R"("a": expected a 64-bit integer, found 1.5)");
    EXPECT_EQ(failure(decode(R"({"a":9223372036854775808})").decodeInt64("a")),
              R"("a": expected a 64-bit integer, found 9.223372036854776e+18)");
    // Absent and null: required keys fail, optional ones are none; the wrong kind fails either.
    EXPECT_EQ(failure(decode(R"({"A":"m"})").decodeString("a")), R"(key "a" not found)");
    EXPECT_EQ(failure(decode(R"({"a":null})").decodeString("a")),
              R"("a": expected a string, found null)");
    EXPECT_EQ(*decode(R"({"a":null})").decodeInt64IfPresent("a"), std::nullopt);
    EXPECT_EQ(failure(decode(R"({"a":"3"})").decodeInt64IfPresent("a")),
              R"("a": expected a 64-bit integer, found "3")");
    EXPECT_EQ(*decode(R"({"a":1700000000123})").decodeDouble("a"), 1700000000123.0);
    EXPECT_EQ(failure(decode(R"({"a":"2024-01-01"})").decodeDate("a")),
              R"("a": expected a date (a number of seconds since 2001-01-01), found "2024-01-01")");
    EXPECT_EQ(failure(decode(R"({"a":["a.com",3]})").decodeStringArray("a")),
              R"("a"[1]: expected a string, found 3)");
    // The first of duplicate keys wins, even when it is null.
    EXPECT_EQ(*decode(R"({"a":"first","a":"second"})").decodeString("a"), "first");
    EXPECT_EQ(*decode(R"({"a":null,"a":"x"})").decodeStringIfPresent("a"), std::nullopt);
    // A long value is cut short in the description.
    EXPECT_EQ(failure(decode(R"({"a":")" + std::string(100, 'x') + R"("})").decodeInt64("a")),
              R"("a": expected a 64-bit integer, found ")" + std::string(48, 'x') + R"(…")");
}

}  // namespace
}  // namespace base::json

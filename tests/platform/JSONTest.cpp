#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include "platform/json/JSON.h"
#include "platform/json/JSONDecoder.h"

namespace platform::json {
namespace {

Data bytes(std::string_view text) {
    return Data(text.begin(), text.end());
}

std::string textOf(const Data& data) {
    return std::string(data.begin(), data.end());
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

Value nestedArrays(std::size_t depth) {
    Value value = Array{};
    for (std::size_t level = 1; level < depth; ++level) {
        value = Array{value};
    }
    return value;
}

TEST(JSONValidityTest, AcceptsOnlyWhatJSONCanCarry) {
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        Value object;
        bool isValid;
    } cases[] = {
        {"empty array", Array{}, true},
        {"empty dictionary", Dictionary{}, true},
        {"every leaf kind",
         Dictionary{{"t", "x"}, {"i", 1}, {"r", 1.5}, {"b", true}, {"n", Null{}}, {"a", Array{}}},
         true},
        {"text at the top", "text", false},
        {"integer at the top", 1, false},
        {"null at the top", Null{}, false},
        {"data leaf", Array{Data{1, 2}}, false},
        {"date leaf deep inside", Array{Dictionary{{"a", Array{Date{0}}}}}, false},
        {"NaN", Array{std::nan("")}, false},
        {"infinity", Dictionary{{"a", infinity}}, false},
        {"integer key", Dictionary{{1, 2}}, false},
        {"text that is not UTF-8", Array{"\xC3\x28"}, false},
        {"key that is not UTF-8", Dictionary{{"\xFF", 1}}, false},
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
        {Dictionary{{"a", Dictionary{}}, {"b", Array{Array{}}}}, R"({"a":{},"b":[[]]})"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text);
        const auto data = dataWithJSONObject(testCase.object);
        ASSERT_TRUE(data.hasValue()) << data.error().description;
        EXPECT_EQ(textOf(*data), testCase.text);
    }
}

TEST(JSONWritingTest, DoublesReadBackBitForBit) {
    const double values[] = {0.1,  1.0 / 3, 5e-324,        std::numeric_limits<double>::max(),
                             -0.0, 1e21,    123456789.123, -1e-300};
    for (const double value : values) {
        SCOPED_TRACE(value);
        const auto data = dataWithJSONObject(Array{value});
        ASSERT_TRUE(data.hasValue());
        const auto parsed = JSONObjectWithData(*data);
        ASSERT_TRUE(parsed.hasValue()) << parsed.error().description;
        const auto real = parsed->array()->at(0).real();
        ASSERT_TRUE(real.has_value()) << textOf(*data);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*real), std::bit_cast<std::uint64_t>(value));
    }
}

TEST(JSONParsingTest, BuildsTheValueModel) {
    struct Case {
        std::string text;
        Value expected;
        bool allowFragments = false;
    } cases[] = {
        {R"({"b":1,"a":{"d":2,"c":3}})",
         Dictionary{{"b", 1}, {"a", Dictionary{{"d", 2}, {"c", 3}}}}},
        {R"({"k":1,"k":2,"j":{"k":3,"k":4},"k":[5]})",
         Dictionary{{"k", 1}, {"j", Dictionary{{"k", 3}}}}},
        {"[9223372036854775807,-9223372036854775808]",
         Array{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}},
        {"[9223372036854775808,1.0,1e3,-0.5]", Array{9223372036854775808.0, 1.0, 1000.0, -0.5}},
        {R"([true,false,null,"\u00e9\ud83d\ude00"])",
         Array{true, false, Null{}, "\xC3\xA9\xF0\x9F\x98\x80"}},
        {R"( "text" )", "text", true},
        {"-3", -3, true},
        {nested(512), nestedArrays(512)},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text.substr(0, 60));
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
        {"{} x", "expected end of input"},
        {std::string("[1]\0{", 5), "NUL byte at offset 3"},
        {R"({"a":1,})", "The data is not valid JSON: "},
        {R"({"a":1)", "unexpected end of input"},
        {"[\"\xFF\"]", "ill-formed UTF-8"},
        {R"(["\ud800"])", "surrogate"},
        {"[1e400]", "number overflow"},
        {"[1] // note", "The data is not valid JSON: "},
        {"[NaN]", "invalid literal"},
        {nested(513), "nested deeper than 512 levels"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.text.substr(0, 60));
        const auto parsed = JSONObjectWithData(bytes(testCase.text));
        ASSERT_FALSE(parsed.hasValue());
        EXPECT_NE(parsed.error().description.find(testCase.reasonPart), std::string::npos)
            << parsed.error().description;
    }
}

TEST(JSONParsingTest, ReasonStaysShortAndValidUTF8ForHostileInput) {
    const std::string hostile = "[\"" + std::string(100000, 'a') + "\xE9\"]";
    const auto parsed = JSONObjectWithData(bytes(hostile));
    ASSERT_FALSE(parsed.hasValue());
    EXPECT_LT(parsed.error().description.size(), 300u) << parsed.error().description;
    EXPECT_TRUE(isValidJSONObject(Array{parsed.error().description}));
}

enum class Decode {
    boolean,
    int64,
    real,
    text,
    date,
    texts,
    optionalInt64,
    optionalText,
    optionalTexts
};

template <typename T>
std::string rendered(const T& value) {
    std::ostringstream stream;
    stream.precision(17);
    if constexpr (std::is_same_v<T, bool>) {
        stream << (value ? "true" : "false");
    } else if constexpr (std::is_same_v<T, Date>) {
        stream << value.timeIntervalSinceReferenceDate;
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
        for (const auto& text : value) {
            stream << (&text == value.data() ? "" : ",") << text;
        }
    } else {
        stream << value;
    }
    return stream.str();
}

template <typename T>
std::string rendered(const std::optional<T>& value) {
    return value ? rendered(*value) : "none";
}

template <typename T>
std::string rendered(const Expected<T>& result) {
    return result ? rendered(*result) : "error: " + result.error().description;
}

std::string decoded(const std::string& document, Decode decode, std::string_view key) {
    const auto container = KeyedDecodingContainer::fromData(bytes(document));
    if (!container) {
        return "error: " + container.error().description;
    }
    switch (decode) {
        case Decode::boolean:
            return rendered(container->decodeBool(key));
        case Decode::int64:
            return rendered(container->decodeInt64(key));
        case Decode::real:
            return rendered(container->decodeDouble(key));
        case Decode::text:
            return rendered(container->decodeString(key));
        case Decode::date:
            return rendered(container->decodeDate(key));
        case Decode::texts:
            return rendered(container->decodeStringArray(key));
        case Decode::optionalInt64:
            return rendered(container->decodeInt64IfPresent(key));
        case Decode::optionalText:
            return rendered(container->decodeStringIfPresent(key));
        case Decode::optionalTexts:
            return rendered(container->decodeStringArrayIfPresent(key));
    }
    return "unreachable";
}

TEST(KeyedDecodingContainerTest, FollowsTheStrictRules) {
    struct Case {
        std::string document;
        Decode decode;
        const char* key;
        std::string outcome;
    } cases[] = {
        // 64-bit integers: whole numbers that fit, whatever their spelling.
        {R"({"tabID":1.0})", Decode::int64, "tabID", "1"},
        {R"({"tabID":1e3})", Decode::int64, "tabID", "1000"},
        {R"({"tabID":9223372036854775807})", Decode::int64, "tabID", "9223372036854775807"},
        {R"({"tabID":-9223372036854775808})", Decode::int64, "tabID", "-9223372036854775808"},
        {R"({"tabID":-9.223372036854775808e18})", Decode::int64, "tabID", "-9223372036854775808"},
        {R"({"tabID":1.5})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found 1.5)"},
        {R"({"tabID":9223372036854775808})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found 9.223372036854776e+18)"},
        {R"({"tabID":-9223372036854775809})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found -9.223372036854778e+18)"},
        {R"({"tabID":"3"})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found "3")"},
        {R"({"tabID":true})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found true)"},
        // Absent and null: required keys fail, optional ones are none.
        {R"({"MessageID":"m"})", Decode::text, "messageID", R"(error: key "messageID" not found)"},
        {R"({"messageID":null})", Decode::text, "messageID",
         R"(error: "messageID": expected a string, found null)"},
        {R"({"tabID":null})", Decode::optionalInt64, "tabID", "none"},
        {R"({})", Decode::optionalText, "url", "none"},
        {R"({"tabID":"3"})", Decode::optionalInt64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found "3")"},
        // Booleans, doubles and text only from their own JSON kinds.
        {R"({"isActiveTab":false})", Decode::boolean, "isActiveTab", "false"},
        {R"({"isActiveTab":"yes"})", Decode::boolean, "isActiveTab",
         R"(error: "isActiveTab": expected a boolean, found "yes")"},
        {R"({"isActiveTab":1})", Decode::boolean, "isActiveTab",
         R"(error: "isActiveTab": expected a boolean, found 1)"},
        {R"({"occurredAt":1700000000123})", Decode::real, "occurredAt", "1700000000123"},
        {R"({"occurredAt":"1"})", Decode::real, "occurredAt",
         R"(error: "occurredAt": expected a number, found "1")"},
        // Dates are seconds relative to 2001-01-01.
        {R"({"updatedAt":-63114076800})", Decode::date, "updatedAt", "-63114076800"},
        {R"({"updatedAt":"2024-01-01"})", Decode::date, "updatedAt",
         R"(error: "updatedAt": expected a date (a number of seconds since 2001-01-01), found "2024-01-01")"},
        // Arrays of strings.
        {R"({"blockedDomains":["a.com","b.com"]})", Decode::texts, "blockedDomains", "a.com,b.com"},
        {R"({"blockedDomains":["a.com",3]})", Decode::texts, "blockedDomains",
         R"(error: "blockedDomains"[1]: expected a string, found 3)"},
        {R"({"blockedDomains":"a.com"})", Decode::texts, "blockedDomains",
         R"(error: "blockedDomains": expected an array of strings, found "a.com")"},
        {R"({"configuredDomains":null})", Decode::optionalTexts, "configuredDomains", "none"},
        {R"({"configuredDomains":[null]})", Decode::optionalTexts, "configuredDomains",
         R"(error: "configuredDomains"[0]: expected a string, found null)"},
        // The first of duplicate keys wins, even when it is null.
        {R"({"messageID":"first","messageID":"second"})", Decode::text, "messageID", "first"},
        {R"({"url":null,"url":"https://a.com"})", Decode::optionalText, "url", "none"},
        // Long texts are cut in descriptions.
        {R"({"tabID":")" + std::string(100, 'a') + R"("})", Decode::int64, "tabID",
         R"(error: "tabID": expected a 64-bit integer, found ")" + std::string(48, 'a') + R"(…")"},
        // Documents that are not one JSON object.
        {R"([])", Decode::text, "a",
         "error: expected a JSON object at the top level, found an array"},
        {R"(3)", Decode::text, "a", "error: expected a JSON object at the top level, found 3"},
        {R"({"a":tru})", Decode::text, "a",
         "error: The data is not valid JSON: parse error at line 1, column 9: syntax error while "
         "parsing value - invalid literal; last read: '\"a\":tru}'"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.document);
        EXPECT_EQ(decoded(testCase.document, testCase.decode, testCase.key), testCase.outcome);
    }
}

}  // namespace
}  // namespace platform::json

#include "base/json/JSON.h"
#include "base/text/UTF8.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace base::json {
namespace {

using Json = nlohmann::json;

// Deeper documents are refused so that nothing that later walks the value recursively can run
// out of stack on hostile input.
constexpr std::size_t maximumNestingDepth = 512;
// Longer parts of the input are left out of error descriptions.
constexpr std::size_t maximumQuotedTokenLength = 40;
constexpr std::size_t maximumReasonLength = 200;

Error invalidJSON(std::string_view reason) {
    return Error{"The data is not valid JSON: " + std::string(reason)};
}

// The parser's message without its exception tag, and without the offending token when that
// token is long or not plain ASCII, so that the description stays short and valid UTF-8.
std::string readableParseError(std::string message, const std::string& lastToken) {
    if (message.starts_with("[json.exception.")) {
        if (const auto tagEnd = message.find("] "); tagEnd != std::string::npos) {
            message.erase(0, tagEnd + 2);
        }
    }
    bool isTokenPrintable = lastToken.size() <= maximumQuotedTokenLength;
    for (const char character : lastToken) {
        if (static_cast<unsigned char>(character) >= 0x80) {
            isTokenPrintable = false;
        }
    }
    const std::string quotedToken = "; last read: '" + lastToken + "'";
    if (const auto tokenStart = message.find(quotedToken);
        !isTokenPrintable && tokenStart != std::string::npos) {
        message.erase(tokenStart, quotedToken.size());
    }
    if (message.size() > maximumReasonLength) {
        std::size_t length = maximumReasonLength;
        while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80) {
            --length;
        }
        message.resize(length);
        message += "…";
    }
    return message;
}

// Builds the value model straight from the parser's events: object members keep their order,
// and a repeated key's value is dropped so that the first one stays.
class ValueBuilder {
  public:
    bool null() { return add(Value()); }
    bool boolean(bool value) { return add(Value(value)); }
    bool number_integer(Json::number_integer_t value) {
        return add(Value(static_cast<std::int64_t>(value)));
    }
    bool number_unsigned(Json::number_unsigned_t value) {
        if (value <=
            static_cast<Json::number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
            return add(Value(static_cast<std::int64_t>(value)));
        }
        return add(Value(static_cast<double>(value)));
    }
    bool number_float(Json::number_float_t value, const Json::string_t& literal) {
        // An integer literal reaches here only when it is outside the 64-bit range, yet those
        // just below it round to exactly -2^63. One step further keeps the decoder from taking
        // them for the smallest 64-bit integer.
        if (value == -0x1p63 && literal.find_first_of(".eE") == std::string::npos) {
            value = std::nextafter(value, -std::numeric_limits<double>::infinity());
        }
        return add(Value(static_cast<double>(value)));
    }
    bool string(Json::string_t& value) { return add(Value(std::move(value))); }
    bool binary(Json::binary_t&) {
        failure = "binary values are not JSON";
        return false;
    }
    bool start_object(std::size_t) { return open(true); }
    bool key(Json::string_t& key) {
        Frame& frame = frames.back();
        frame.isDroppingValue = !frame.keys.insert(key).second;
        frame.pendingKey = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string& lastToken, const Json::exception& exception) {
        failure = readableParseError(exception.what(), lastToken);
        return false;
    }

    const std::string& failureReason() const { return failure; }
    Value takeRoot() { return std::move(root); }

  private:
    struct Frame {
        bool isDictionary = false;
        Array elements;
        Dictionary entries;
        std::unordered_set<std::string> keys;
        std::string pendingKey;
        bool isDroppingValue = false;
    };

    bool add(Value value) {
        if (frames.empty()) {
            root = std::move(value);
            return true;
        }
        Frame& frame = frames.back();
        if (!frame.isDictionary) {
            frame.elements.push_back(std::move(value));
        } else if (!frame.isDroppingValue) {
            frame.entries.push_back(
                DictionaryEntry{Value(std::move(frame.pendingKey)), std::move(value)});
        }
        return true;
    }

    bool open(bool isDictionary) {
        if (frames.size() >= maximumNestingDepth) {
            failure = "arrays and objects are nested deeper than " +
                      std::to_string(maximumNestingDepth) + " levels";
            return false;
        }
        frames.emplace_back().isDictionary = isDictionary;
        return true;
    }

    bool close() {
        Frame frame = std::move(frames.back());
        frames.pop_back();
        return add(frame.isDictionary ? Value(std::move(frame.entries))
                                      : Value(std::move(frame.elements)));
    }

    std::vector<Frame> frames;
    Value root;
    std::string failure = "the parser stopped";
};

// The first reason why `value` cannot appear inside JSON text, or nothing when it can.
std::optional<std::string> problemBelowTop(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::null:
        case Value::Kind::integer:
        case Value::Kind::boolean:
            return std::nullopt;
        case Value::Kind::text:
            if (!base::isValidUTF8(*value.text())) {
                return "a text is not valid UTF-8";
            }
            return std::nullopt;
        case Value::Kind::real:
            if (!std::isfinite(*value.real())) {
                return "a number is not finite";
            }
            return std::nullopt;
        case Value::Kind::data:
            return "data values have no JSON form";
        case Value::Kind::date:
            return "date values have no JSON form";
        case Value::Kind::array:
            for (const auto& element : *value.array()) {
                if (auto problem = problemBelowTop(element)) {
                    return problem;
                }
            }
            return std::nullopt;
        case Value::Kind::dictionary:
            for (const auto& entry : *value.dictionary()) {
                const auto* key = entry.key.text();
                if (key == nullptr) {
                    return "a dictionary key is not text";
                }
                if (!base::isValidUTF8(*key)) {
                    return "a dictionary key is not valid UTF-8";
                }
                if (auto problem = problemBelowTop(entry.value)) {
                    return problem;
                }
            }
            return std::nullopt;
    }
    return "unknown kind of value";
}

std::optional<std::string> problem(const Value& object) {
    if (object.kind() != Value::Kind::array && object.kind() != Value::Kind::dictionary) {
        return "the top level is neither an array nor a dictionary";
    }
    return problemBelowTop(object);
}

// Appends the compact text of `value`, which problem() found valid. Scalars go through the
// library, which escapes text and prints doubles so that they read back to the same value.
void write(const Value& value, std::string& output) {
    switch (value.kind()) {
        case Value::Kind::null:
            output += "null";
            return;
        case Value::Kind::text:
            output += Json(*value.text()).dump();
            return;
        case Value::Kind::integer:
            output += std::to_string(*value.integer());
            return;
        case Value::Kind::real:
            output += Json(*value.real()).dump();
            return;
        case Value::Kind::boolean:
            output += *value.boolean() ? "true" : "false";
            return;
        case Value::Kind::data:
        case Value::Kind::date:
            assert(false);
            return;
        case Value::Kind::array: {
            output += '[';
            bool isFirst = true;
            for (const auto& element : *value.array()) {
                if (!isFirst) {
                    output += ',';
                }
                isFirst = false;
                write(element, output);
            }
            output += ']';
            return;
        }
        case Value::Kind::dictionary: {
            output += '{';
            bool isFirst = true;
            for (const auto& entry : *value.dictionary()) {
                if (!isFirst) {
                    output += ',';
                }
                isFirst = false;
                write(entry.key, output);
                output += ':';
                write(entry.value, output);
            }
            output += '}';
            return;
        }
    }
}

}  // namespace

bool isValidJSONObject(const Value& object) {
    return !problem(object).has_value();
}

Expected<Data> dataWithJSONObject(const Value& object) {
    if (auto reason = problem(object)) {
        return Error{"The object cannot be written as JSON: " + *reason};
    }
    std::string text;
    try {
        write(object, text);
    } catch (const Json::exception& exception) {
        return Error{"The object cannot be written as JSON: " + std::string(exception.what())};
    }
    return Data(text.begin(), text.end());
}

Expected<Value> JSONObjectWithData(std::span<const std::uint8_t> bytes, bool allowFragments) {
    // The library's lexer takes a NUL byte between tokens for the end of the input, which would
    // let anything after it through. JSON text never holds a raw NUL, so refuse it here.
    if (const auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
        nul != bytes.end()) {
        return invalidJSON("NUL byte at offset " + std::to_string(nul - bytes.begin()));
    }
    ValueBuilder builder;
    try {
        if (!Json::sax_parse(bytes.begin(), bytes.end(), &builder)) {
            return invalidJSON(builder.failureReason());
        }
    } catch (const Json::exception& exception) {
        return invalidJSON(readableParseError(exception.what(), {}));
    }
    Value root = builder.takeRoot();
    if (!allowFragments && root.kind() != Value::Kind::array &&
        root.kind() != Value::Kind::dictionary) {
        return Error{
            "The JSON text is a fragment: its top level is neither an array nor an object"};
    }
    return root;
}

}  // namespace base::json

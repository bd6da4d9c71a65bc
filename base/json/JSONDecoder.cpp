#include "base/json/JSONDecoder.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/json/JSON.h"

namespace base::json {
namespace {

// Texts quoted in error descriptions are cut after this many bytes.
constexpr std::size_t maximumQuotedTextLength = 48;

std::string quotedKey(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

std::string quotedText(const std::string& text) {
    std::string shown = text;
    if (shown.size() > maximumQuotedTextLength) {
        std::size_t length = maximumQuotedTextLength;
        while (length > 0 && (static_cast<unsigned char>(shown[length]) & 0xC0) == 0x80) {
            --length;
        }
        shown.resize(length);
        shown += "…";
    }
    return nlohmann::json(shown).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What an error description shows of a value found where another kind was expected.
std::string described(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::null:
            return "null";
        case Value::Kind::text:
            return quotedText(*value.text());
        case Value::Kind::integer:
            return std::to_string(*value.integer());
        case Value::Kind::real:
            return nlohmann::json(*value.real()).dump();
        case Value::Kind::boolean:
            return *value.boolean() ? "true" : "false";
        case Value::Kind::data:
            return "data";
        case Value::Kind::date:
            return "a date";
        case Value::Kind::array:
            return "an array";
        case Value::Kind::dictionary:
            return "an object";
    }
    return "a value";
}

Error mismatch(std::string_view key, std::string_view expected, const Value& found) {
    return Error{quotedKey(key) + ": expected " + std::string(expected) + ", found " +
                 described(found)};
}

Expected<bool> boolFrom(std::string_view key, const Value& value) {
    if (const auto boolean = value.boolean()) {
        return *boolean;
    }
    return mismatch(key, "a boolean", value);
}

Expected<std::int64_t> int64From(std::string_view key, const Value& value) {
    if (const auto integer = value.integer()) {
        return *integer;
    }
    if (const auto real = value.real()) {
        // 2^63 is exact as a double; every whole double in [-2^63, 2^63) converts exactly.
        constexpr double limit = 9223372036854775808.0;
        if (std::trunc(*real) == *real && *real >= -limit && *real < limit) {
            return static_cast<std::int64_t>(*real);
        }
    }
    return mismatch(key, "a 64-bit integer", value);
}

Expected<double> doubleFrom(std::string_view key, const Value& value) {
    if (const auto integer = value.integer()) {
        return static_cast<double>(*integer);
    }
    if (const auto real = value.real()) {
        return *real;
    }
    return mismatch(key, "a number", value);
}

Expected<std::string> stringFrom(std::string_view key, const Value& value) {
    if (const auto* text = value.text()) {
        return *text;
    }
    return mismatch(key, "a string", value);
}

Expected<Date> dateFrom(std::string_view key, const Value& value) {
    if (const auto date = value.date()) {
        return *date;
    }
    if (value.integer() || value.real()) {
        return Date{doubleFrom(key, value).value()};
    }
    return mismatch(key, "a date (a number of seconds since 2001-01-01)", value);
}

Expected<std::vector<std::string>> stringArrayFrom(std::string_view key, const Value& value) {
    const auto* elements = value.array();
    if (elements == nullptr) {
        return mismatch(key, "an array of strings", value);
    }
    std::vector<std::string> texts;
    texts.reserve(elements->size());
    for (std::size_t index = 0; index < elements->size(); ++index) {
        const Value& element = (*elements)[index];
        const auto* text = element.text();
        if (text == nullptr) {
            return Error{quotedKey(key) + "[" + std::to_string(index) +
                         "]: expected a string, found " + described(element)};
        }
        texts.push_back(*text);
    }
    return texts;
}

template <typename T>
using Converter = Expected<T> (*)(std::string_view, const Value&);

template <typename T>
Expected<T> required(const Value* value, std::string_view key, Converter<T> convert) {
    if (value == nullptr) {
        return Error{"key " + quotedKey(key) + " not found"};
    }
    return convert(key, *value);
}

template <typename T>
Expected<std::optional<T>> ifPresent(const Value* value,
                                     std::string_view key,
                                     Converter<T> convert) {
    if (value == nullptr || value->isNull()) {
        return std::optional<T>();
    }
    auto converted = convert(key, *value);
    if (!converted) {
        return converted.error();
    }
    return std::optional<T>(std::move(converted).value());
}

}  // namespace

Expected<KeyedDecodingContainer> KeyedDecodingContainer::fromData(
    std::span<const std::uint8_t> bytes) {
    return fromText(bytes, true);
}

Expected<KeyedDecodingContainer> KeyedDecodingContainer::viewingData(
    std::span<const std::uint8_t> bytes) {
    return fromText(bytes, false);
}

Expected<KeyedDecodingContainer> KeyedDecodingContainer::fromText(
    std::span<const std::uint8_t> bytes,
    bool copiesBytes) {
    // Most texts are well formed: scanning them without building values is enough. The parser
    // runs only for the others, to say what is wrong.
    if (auto scanned = scanTopLevelObject(bytes)) {
        auto text = std::make_shared<Text>();
        text->members = std::move(*scanned);
        if (copiesBytes) {
            text->owned.assign(bytes.begin(), bytes.end());
            text->bytes = text->owned;
        } else {
            text->bytes = bytes;
        }
        return KeyedDecodingContainer(std::shared_ptr<const Text>(std::move(text)));
    }
    auto object = JSONObjectWithData(bytes, true);
    if (!object) {
        return object.error();
    }
    return fromValue(std::move(object).value());
}

Expected<KeyedDecodingContainer> KeyedDecodingContainer::fromValue(Value object) {
    if (object.dictionary() == nullptr) {
        return Error{"expected a JSON object at the top level, found " + described(object)};
    }
    return KeyedDecodingContainer(std::move(object));
}

template <typename Use>
auto KeyedDecodingContainer::withMember(std::string_view key, Use&& use) const {
    if (!text) {
        return use(object->find(key));
    }
    const auto found = text->members.find(key);
    if (found == text->members.end()) {
        return use(static_cast<const Value*>(nullptr));
    }
    const auto span = text->bytes.subspan(found->second.offset, found->second.length);
    // The whole text was scanned, so its member parses.
    const auto parsed = JSONObjectWithData(span, true);
    const Value member = parsed ? *parsed : Value();
    return use(&member);
}

Expected<std::optional<std::vector<std::string>>> KeyedDecodingContainer::stringArray(
    std::string_view key,
    bool isRequired) const {
    if (const auto span = memberText(key)) {
        if (auto texts = base::json::decodeStringArray(*span)) {
            return std::optional(std::move(*texts));
        }
    }
    // Absent, null, or not an array of strings: the general path says so.
    return withMember(
        key, [&](const Value* value) -> Expected<std::optional<std::vector<std::string>>> {
            if (isRequired) {
                auto texts = required<std::vector<std::string>>(value, key, stringArrayFrom);
                if (!texts) {
                    return texts.error();
                }
                return std::optional(std::move(texts).value());
            }
            return ifPresent<std::vector<std::string>>(value, key, stringArrayFrom);
        });
}

template <typename T, typename Convert>
Expected<T> KeyedDecodingContainer::requiredMember(std::string_view key, Convert convert) const {
    return withMember(key, [&](const Value* value) { return required<T>(value, key, convert); });
}

template <typename T, typename Convert>
Expected<std::optional<T>> KeyedDecodingContainer::memberIfPresent(std::string_view key,
                                                                   Convert convert) const {
    return withMember(key, [&](const Value* value) { return ifPresent<T>(value, key, convert); });
}

Expected<bool> KeyedDecodingContainer::decodeBool(std::string_view key) const {
    return requiredMember<bool>(key, boolFrom);
}

Expected<std::int64_t> KeyedDecodingContainer::decodeInt64(std::string_view key) const {
    return requiredMember<std::int64_t>(key, int64From);
}

Expected<double> KeyedDecodingContainer::decodeDouble(std::string_view key) const {
    return requiredMember<double>(key, doubleFrom);
}

Expected<std::string> KeyedDecodingContainer::decodeString(std::string_view key) const {
    return requiredMember<std::string>(key, stringFrom);
}

Expected<Date> KeyedDecodingContainer::decodeDate(std::string_view key) const {
    return requiredMember<Date>(key, dateFrom);
}

Expected<std::vector<std::string>> KeyedDecodingContainer::decodeStringArray(
    std::string_view key) const {
    auto texts = stringArray(key, true);
    if (!texts) {
        return texts.error();
    }
    return std::move(*texts.value());
}

Expected<std::optional<bool>> KeyedDecodingContainer::decodeBoolIfPresent(
    std::string_view key) const {
    return memberIfPresent<bool>(key, boolFrom);
}

Expected<std::optional<std::int64_t>> KeyedDecodingContainer::decodeInt64IfPresent(
    std::string_view key) const {
    return memberIfPresent<std::int64_t>(key, int64From);
}

Expected<std::optional<double>> KeyedDecodingContainer::decodeDoubleIfPresent(
    std::string_view key) const {
    return memberIfPresent<double>(key, doubleFrom);
}

Expected<std::optional<std::string>> KeyedDecodingContainer::decodeStringIfPresent(
    std::string_view key) const {
    return memberIfPresent<std::string>(key, stringFrom);
}

Expected<std::optional<std::vector<std::string>>>
KeyedDecodingContainer::decodeStringArrayIfPresent(std::string_view key) const {
    return stringArray(key, false);
}

std::optional<std::span<const std::uint8_t>> KeyedDecodingContainer::memberText(
    std::string_view key) const {
    if (!text) {
        return std::nullopt;
    }
    const auto found = text->members.find(key);
    if (found == text->members.end()) {
        return std::nullopt;
    }
    return text->bytes.subspan(found->second.offset, found->second.length);
}

Expected<std::monostate> KeyedDecodingContainer::visitStringArray(
    std::string_view key,
    const StringVisitor& visit) const {
    auto present = visitStringArrayIfPresent(key, visit);
    if (!present) {
        return present.error();
    }
    if (!*present) {
        // Absent or null: the decoder's own description of the fault.
        return decodeStringArray(key).error();
    }
    return std::monostate{};
}

Expected<bool> KeyedDecodingContainer::visitStringArrayIfPresent(std::string_view key,
                                                                 const StringVisitor& visit) const {
    if (const auto span = memberText(key); span && base::json::visitStringArray(*span, visit)) {
        return true;
    }
    // A parsed tree, or a member that is absent, null or not an array of strings.
    auto texts = decodeStringArrayIfPresent(key);
    if (!texts) {
        return texts.error();
    }
    if (!*texts) {
        return false;
    }
    for (const std::string& element : **texts) {
        if (!visit(element)) {
            break;
        }
    }
    return true;
}

}  // namespace base::json

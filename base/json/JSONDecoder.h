#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/json/JSONScanner.h"
#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace base::json {

// Strict decoding of a JSON object into a record, with the rules of the platform's decoder in
// default settings:
// - a required key that is absent or null fails; an optional key that is absent or null is none;
// - a boolean comes only from true or false, text only from a JSON string;
// - a 64-bit integer comes only from a number whose value is whole and fits (1.0 and 1e3 do,
//   1.5 and 9223372036854775808 do not); a double from any number;
// - a date is a number of seconds relative to 2001-01-01T00:00:00Z;
// - unknown keys are ignored, key order does not matter, of duplicate keys the first wins.
// A failure's description names the key and what was wrong, for example
// `key "messageID" not found` or `"tabID": expected a 64-bit integer, found 1.5`.
class KeyedDecodingContainer {
  public:
    // Parses `bytes` and fails unless they are JSON text whose top level is an object.
    static Expected<KeyedDecodingContainer> fromData(std::span<const std::uint8_t> bytes);
    // The same without a copy of `bytes`, which must outlive the container and its copies.
    static Expected<KeyedDecodingContainer> viewingData(std::span<const std::uint8_t> bytes);
    // Fails unless `object` is a dictionary.
    static Expected<KeyedDecodingContainer> fromValue(Value object);

    Expected<bool> decodeBool(std::string_view key) const;
    Expected<std::int64_t> decodeInt64(std::string_view key) const;
    Expected<double> decodeDouble(std::string_view key) const;
    Expected<std::string> decodeString(std::string_view key) const;
    Expected<Date> decodeDate(std::string_view key) const;
    Expected<std::vector<std::string>> decodeStringArray(std::string_view key) const;

    Expected<std::optional<bool>> decodeBoolIfPresent(std::string_view key) const;
    Expected<std::optional<std::int64_t>> decodeInt64IfPresent(std::string_view key) const;
    Expected<std::optional<double>> decodeDoubleIfPresent(std::string_view key) const;
    Expected<std::optional<std::string>> decodeStringIfPresent(std::string_view key) const;
    Expected<std::optional<std::vector<std::string>>> decodeStringArrayIfPresent(
        std::string_view key) const;

    // Walk the array that decodeStringArray(key) and decodeStringArrayIfPresent(key) would decode,
    // without building it, as visitStringArray() of JSONScanner.h does, and fail as they fail
    // (`visit` may then have seen some strings). The second gives false when the key is absent
    // or null.
    using StringVisitor = std::function<bool(std::string_view)>;
    Expected<std::monostate> visitStringArray(std::string_view key,
                                              const StringVisitor& visit) const;
    Expected<bool> visitStringArrayIfPresent(std::string_view key,
                                             const StringVisitor& visit) const;

  private:
    // A container made from a parsed tree holds the tree. One made from JSON text keeps the text
    // and where its members lie, and reads a member only when asked for it, so that a large
    // member is never turned into a tree of values.
    struct Text {
        // Empty when the container views the caller's bytes.
        Data owned;
        std::span<const std::uint8_t> bytes;
        TopLevelMembers members;
    };
    explicit KeyedDecodingContainer(Value object)
        : object(std::make_shared<const Value>(std::move(object))) {}
    explicit KeyedDecodingContainer(std::shared_ptr<const Text> text) : text(std::move(text)) {}
    static Expected<KeyedDecodingContainer> fromText(std::span<const std::uint8_t> bytes,
                                                     bool copiesBytes);

    // Calls `use` with the value under `key`, or with null when there is none.
    template <typename Use>
    auto withMember(std::string_view key, Use&& use) const;
    template <typename T, typename Convert>
    Expected<T> requiredMember(std::string_view key, Convert convert) const;
    template <typename T, typename Convert>
    Expected<std::optional<T>> memberIfPresent(std::string_view key, Convert convert) const;
    Expected<std::optional<std::vector<std::string>>> stringArray(std::string_view key,
                                                                  bool isRequired) const;
    // The member's text, when the container holds text and the key is there.
    std::optional<std::span<const std::uint8_t>> memberText(std::string_view key) const;

    std::shared_ptr<const Value> object;
    std::shared_ptr<const Text> text;
};

}  // namespace base::json

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace base::json {

// Where the value of a member lies in the text that was scanned.
struct ValueSpan {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The result of scanning a JSON text whose top level is an object: where the value of each key
// lies, for the first member of each key (later members with the same key are ignored, as the
// parser of JSON.h ignores them). Keys are compared after their escapes are resolved.
using TopLevelMembers = std::map<std::string, ValueSpan, std::less<>>;

// Checks `bytes` against the grammar that JSONObjectWithData() accepts (strict JSON, UTF-8, an
// optional byte order mark at the very start, no NUL byte, at most 512 nested arrays and objects)
// without building any value. Nothing when the text is not accepted or its top level is not an
// object; the caller then asks JSONObjectWithData() for the reason.
std::optional<TopLevelMembers> scanTopLevelObject(std::span<const std::uint8_t> bytes);

// Decodes `bytes`, which must hold exactly one JSON array of JSON strings (blanks allowed around
// the tokens), into those strings; nothing for anything else, including an array that holds any
// other kind of value.
std::optional<std::vector<std::string>> decodeStringArray(std::span<const std::uint8_t> bytes);

// Walks the same arrays without building the list: calls `visit` with each string in order, its
// escapes resolved. The view points into `bytes` when the string has no escape, into a buffer
// of the walk otherwise, and lasts until `visit` returns. Once `visit` returns false it is not
// called again, but the rest of the text is still checked. False when decodeStringArray() would
// give nothing; `visit` may then have seen the strings before the fault.
bool visitStringArray(std::span<const std::uint8_t> bytes,
                      const std::function<bool(std::string_view)>& visit);

}  // namespace base::json

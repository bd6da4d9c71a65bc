#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/defaults/StoredValue.h"

namespace tools {

// Whether `data` is non-empty, valid UTF-8, and free of control characters other than tab,
// newline and carriage return: text a person can read.
bool isPrintableUTF8(const base::Data& data);

// A 64-bit integer written in full in decimal, optionally signed; nothing for anything else.
std::optional<std::int64_t> parseInteger(std::string_view text);

// `value` for `defaults read SUITE KEY`: a text as it is, an integer in decimal, a date in
// ISO 8601, a real in the shortest form that reads back the same, data as its raw bytes.
std::string valueText(const platform::StoredValue& value);

// `text` with backslashes and control characters escaped (as \\, \t, \n, \r and \xNN), so
// that it stays on one line.
std::string escapedForListing(std::string_view text);

// `value` on one line of the listing: as valueText, except that data is shown as text when it is
// printable UTF-8 and otherwise as "<hex>", and that texts are escaped for the listing.
std::string listingText(const platform::StoredValue& value);

}  // namespace tools

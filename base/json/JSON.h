#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/value/Expected.h"
#include "base/value/Value.h"

namespace base::json {

// True when `object` can be turned into JSON text: the top level is an array or a dictionary,
// every dictionary key is text, every leaf is text, a finite number, a boolean or null (texts and
// keys valid UTF-8). Data and date leaves, NaN and infinities make it false.
bool isValidJSONObject(const Value& object);

// The compact JSON text (no blanks) of `object`, or an error when isValidJSONObject() is false.
Expected<Data> dataWithJSONObject(const Value& object);

// Parses UTF-8 JSON text into the value model. Integers that fit 64 bits become integers, all
// other numbers reals. Object members keep their order; of duplicate keys only the first is kept.
// Unless `allowFragments`, the top level must be an object or an array. Invalid UTF-8, text after
// the value and nesting deeper than 512 levels fail.
Expected<Value> JSONObjectWithData(std::span<const std::uint8_t> bytes,
                                   bool allowFragments = false);

}  // namespace base::json

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/value/Date.h"
#include "base/value/Value.h"

namespace common {

// An object the suite stores under a key: a text, a data value or a date.
using DefaultsObject = std::variant<std::string, base::Data, base::Date>;

// A handle on a user-defaults suite shared by several processes. Values keep their kind (data,
// 64-bit integer, text, date); every write replaces the whole value under its key and the last
// write stands. Handles may be used from any thread.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;

    // The data value under `key`; nothing when the key is absent or holds another kind.
    virtual std::optional<base::Data> dataForKey(std::string_view key) = 0;
    // The integer under `key`; 0 when the key is absent. A text that reads fully as a decimal
    // integer and a real (truncated toward zero) also give their integer; other kinds give 0.
    virtual std::int64_t integerForKey(std::string_view key) = 0;
    // Stores `value` as an integer under `key`.
    virtual void setInteger(std::int64_t value, std::string_view key) = 0;
    // Stores `object` under `key` with its kind; no object removes the key.
    virtual void setObject(const std::optional<DefaultsObject>& object, std::string_view key) = 0;
    // Flushes pending writes to storage; false when that failed.
    virtual bool synchronize() = 0;
    // A number that changes whenever another handle on the suite, in this process or another,
    // may have written to it: two equal answers mean that nothing was written in between except
    // through this handle. Nothing when the handle cannot tell, which is the default; a caller
    // then reads afresh.
    virtual std::optional<std::int64_t> externalChangeCounter() { return std::nullopt; }
};

// Opens the suite `suiteName` (`initWithSuiteName:`); nothing when it cannot be opened. Each
// program's entry chooses the opener and hands it to its principal class; tests hand in a fake.
using UserDefaultsOpener = std::function<std::shared_ptr<UserDefaults>(std::string_view suiteName)>;

}  // namespace common

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/value/Date.h"

namespace base {

using Data = std::vector<std::uint8_t>;

class Value;
struct DictionaryEntry;
using Array = std::vector<Value>;
// Entries keep their order of insertion. Keys are values too, so a dictionary whose key is not
// text can be built and handed to the JSON-validity test, which rejects it.
using Dictionary = std::vector<DictionaryEntry>;

struct Null {
    bool operator==(const Null&) const = default;
};

// One object of the platform's object graphs (JSON objects and property lists): text, integer,
// real, boolean (distinct from numbers), null, data, date, array or dictionary.
class Value {
  public:
    enum class Kind { null, text, integer, real, boolean, data, date, array, dictionary };

    Value();
    Value(Null);
    Value(std::string text);
    Value(std::string_view text);
    Value(const char* text);
    Value(std::int64_t integer);
    Value(int integer);
    Value(double real);
    Value(bool boolean);
    Value(Data data);
    Value(Date date);
    Value(Array array);
    Value(Dictionary dictionary);

    Kind kind() const { return static_cast<Kind>(storage.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Each accessor returns the value when it is of that kind, otherwise nothing (or null).
    const std::string* text() const { return std::get_if<std::string>(&storage); }
    std::optional<std::int64_t> integer() const;
    std::optional<double> real() const;
    std::optional<bool> boolean() const;
    const Data* data() const { return std::get_if<Data>(&storage); }
    std::optional<Date> date() const;
    const Array* array() const { return std::get_if<Array>(&storage); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage); }

    // The value under the text key `key` of a dictionary, or null when this is not a dictionary
    // or holds no such key. Of duplicate keys the first wins.
    const Value* find(std::string_view key) const;

    bool operator==(const Value& other) const;

  private:
    std::variant<Null, std::string, std::int64_t, double, bool, Data, Date, Array, Dictionary>
        storage;
};

struct DictionaryEntry {
    Value key;
    Value value;
    bool operator==(const DictionaryEntry&) const = default;
};

// Defined once DictionaryEntry is complete, since the storage holds a vector of them.
inline Value::Value() : storage(Null{}) {}
inline Value::Value(Null) : storage(Null{}) {}
inline Value::Value(std::string text) : storage(std::move(text)) {}
inline Value::Value(std::string_view text) : storage(std::string(text)) {}
inline Value::Value(const char* text) : storage(std::string(text)) {}
inline Value::Value(std::int64_t integer) : storage(integer) {}
inline Value::Value(int integer) : storage(static_cast<std::int64_t>(integer)) {}
inline Value::Value(double real) : storage(real) {}
inline Value::Value(bool boolean) : storage(boolean) {}
inline Value::Value(Data data) : storage(std::move(data)) {}
inline Value::Value(Date date) : storage(date) {}
inline Value::Value(Array array) : storage(std::move(array)) {}
inline Value::Value(Dictionary dictionary) : storage(std::move(dictionary)) {}

}  // namespace base

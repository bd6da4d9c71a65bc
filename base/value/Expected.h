#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace base {

// A failure with a readable reason, as the platform's error objects carry a localized description.
struct Error {
    std::string description;
};

// Either a value or the Error that kept it from being produced.
template <typename T>
class [[nodiscard]] Expected {
  public:
    Expected(T value) : storage(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : storage(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return storage.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & {
        assert(hasValue());
        return std::get<0>(storage);
    }
    const T& value() const& {
        assert(hasValue());
        return std::get<0>(storage);
    }
    T&& value() && {
        assert(hasValue());
        return std::get<0>(std::move(storage));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const {
        assert(!hasValue());
        return std::get<1>(storage);
    }

  private:
    std::variant<T, Error> storage;
};

}  // namespace base

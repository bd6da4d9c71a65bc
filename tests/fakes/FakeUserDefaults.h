#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "common/UserDefaults.h"

namespace fakes {

// An in-memory suite that keeps every value with its kind, shared by every handle opened on the
// same FakeUserDefaultsStore, so a test can read what the code under test wrote.
class FakeUserDefaultsStore {
  public:
    using StoredValue = std::variant<std::int64_t, std::string, base::Data, base::Date>;

    bool contains(std::string_view key) const {
        std::lock_guard lock(mutex);
        return values.find(key) != values.end();
    }
    std::optional<std::string> text(std::string_view key) const { return get<std::string>(key); }
    std::optional<std::int64_t> integer(std::string_view key) const {
        return get<std::int64_t>(key);
    }
    std::optional<base::Date> date(std::string_view key) const { return get<base::Date>(key); }
    void set(std::string_view key, StoredValue stored) { assign(key, std::move(stored)); }
    void setText(std::string_view key, std::string text) { set(key, std::move(text)); }
    void setData(std::string_view key, std::string_view bytes) {
        set(key, base::Data(bytes.begin(), bytes.end()));
    }
    void remove(std::string_view key) {
        std::lock_guard lock(mutex);
        if (auto found = values.find(key); found != values.end()) {
            values.erase(found);
        }
        ++revision;
    }
    void clear() {
        std::lock_guard lock(mutex);
        values.clear();
        ++revision;
    }
    // Whether handles answer externalChangeCounter(); by default they cannot tell.
    void setReportsExternalChanges(bool reports) {
        std::lock_guard lock(mutex);
        reportsExternalChanges = reports;
    }
    int synchronizeCount() const {
        std::lock_guard lock(mutex);
        return synchronizations;
    }

    // An opener that opens this store for every suite name. With `available` false, opening
    // yields nothing.
    common::UserDefaultsOpener opener(bool available = true) {
        return [this, available](std::string_view) -> std::shared_ptr<common::UserDefaults> {
            return available ? std::make_shared<Handle>(*this) : nullptr;
        };
    }

  private:
    // Keys are looked up by view, without building a string for each call.
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const {
            return std::hash<std::string_view>{}(key);
        }
    };

    template <typename T>
    std::optional<T> get(std::string_view key) const {
        std::lock_guard lock(mutex);
        auto found = values.find(key);
        const T* typed = found == values.end() ? nullptr : std::get_if<T>(&found->second);
        return typed ? std::optional(*typed) : std::nullopt;
    }
    // Stores `stored` under `key`, over the old value in place when there is one (a value of the
    // same kind keeps its storage).
    template <typename T>
    void assign(std::string_view key, T&& stored) {
        std::lock_guard lock(mutex);
        if (auto found = values.find(key); found != values.end()) {
            found->second = std::forward<T>(stored);
        } else {
            values.emplace(std::string(key), std::forward<T>(stored));
        }
        ++revision;
    }

    class Handle final : public common::UserDefaults {
      public:
        explicit Handle(FakeUserDefaultsStore& store) : store(store) {}
        std::optional<base::Data> dataForKey(std::string_view key) override {
            return store.get<base::Data>(key);
        }
        std::int64_t integerForKey(std::string_view key) override {
            return store.get<std::int64_t>(key).value_or(0);
        }
        void setInteger(std::int64_t value, std::string_view key) override {
            store.assign(key, value);
            ++ownWrites;
        }
        void setObject(const std::optional<common::DefaultsObject>& object,
                       std::string_view key) override {
            if (!object) {
                store.remove(std::string(key));
            } else {
                std::visit([&](const auto& typed) { store.assign(key, typed); }, *object);
            }
            ++ownWrites;
        }
        // Every write to the store counts except this handle's own.
        std::optional<std::int64_t> externalChangeCounter() override {
            std::lock_guard lock(store.mutex);
            if (!store.reportsExternalChanges) {
                return std::nullopt;
            }
            return store.revision - ownWrites;
        }
        bool synchronize() override {
            std::lock_guard lock(store.mutex);
            ++store.synchronizations;
            return true;
        }

      private:
        FakeUserDefaultsStore& store;
        std::atomic<std::int64_t> ownWrites = 0;
    };

    mutable std::mutex mutex;
    std::unordered_map<std::string, StoredValue, KeyHash, std::equal_to<>> values;
    int synchronizations = 0;
    std::int64_t revision = 0;
    bool reportsExternalChanges = false;
};

}  // namespace fakes

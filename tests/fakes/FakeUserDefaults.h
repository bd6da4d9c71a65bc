#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
    void set(std::string_view key, StoredValue stored) {
        change([&] { values.insert_or_assign(std::string(key), std::move(stored)); });
    }
    void setText(std::string_view key, std::string text) { set(key, std::move(text)); }
    void setData(std::string_view key, std::string_view bytes) {
        set(key, base::Data(bytes.begin(), bytes.end()));
    }
    void remove(std::string_view key) {
        change([&] { values.erase(std::string(key)); });
    }
    void clear() {
        change([&] { values.clear(); });
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
    template <typename T>
    std::optional<T> get(std::string_view key) const {
        std::lock_guard lock(mutex);
        auto found = values.find(key);
        const T* typed = found == values.end() ? nullptr : std::get_if<T>(&found->second);
        return typed ? std::optional(*typed) : std::nullopt;
    }
    void change(const std::function<void()>& body) {
        std::lock_guard lock(mutex);
        body();
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
            store.set(key, value);
            ++ownWrites;
        }
        void setObject(const std::optional<common::DefaultsObject>& object,
                       std::string_view key) override {
            object ? std::visit([&](const auto& typed) { store.set(key, typed); }, *object)
                   : store.remove(key);
            ++ownWrites;
        }
        // Every write to the store counts except this handle's own.
        std::optional<std::int64_t> externalChangeCounter() override {
            std::lock_guard lock(store.mutex);
            return store.reportsExternalChanges ? std::optional(store.revision - ownWrites)
                                                : std::nullopt;
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
    std::map<std::string, StoredValue, std::less<>> values;
    int synchronizations = 0;
    std::int64_t revision = 0;
    bool reportsExternalChanges = false;
};

}  // namespace fakes

#include "common/UserDefaults.h"

#include <mutex>

namespace common {
namespace {

std::mutex openerMutex;
UserDefaultsOpener& installedOpener() {
    static UserDefaultsOpener opener;
    return opener;
}

}  // namespace

void installUserDefaultsOpener(UserDefaultsOpener opener) {
    std::lock_guard lock(openerMutex);
    installedOpener() = std::move(opener);
}

std::shared_ptr<UserDefaults> UserDefaults::openSuite(std::string_view suiteName) {
    UserDefaultsOpener opener;
    {
        std::lock_guard lock(openerMutex);
        opener = installedOpener();
    }
    if (!opener) {
        return nullptr;
    }
    return opener(suiteName);
}

}  // namespace common

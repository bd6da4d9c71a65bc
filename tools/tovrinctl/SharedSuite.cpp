#include "tools/tovrinctl/SharedSuite.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/BuildConstants.h"

namespace tools {

std::string sharedSuiteRoot() {
    const char* configured = std::getenv("APP_GROUP_CONTAINERS_ROOT");
    const bool isConfigured = configured != nullptr && *configured != '\0';
    if (!isConfigured && ::geteuid() == 0) {
        return "/var/lib/tovrin/app-groups";
    }
    return platform::appGroupContainersRoot();
}

base::Expected<std::shared_ptr<platform::SQLiteUserDefaults>> openSharedSuite(
    platform::IfMissing ifMissing) {
    const std::string root = sharedSuiteRoot();
    if (ifMissing == platform::IfMissing::fail) {
        std::error_code ignored;
        const auto folder = std::filesystem::path(root) / common::appGroupIdentifier;
        // A root that is not a folder is a broken setup, not a suite yet to be made: opening it
        // says why.
        const bool isRootUsable =
            !std::filesystem::exists(root, ignored) || std::filesystem::is_directory(root, ignored);
        if (isRootUsable && !std::filesystem::exists(folder / "defaults.sqlite3", ignored)) {
            return std::shared_ptr<platform::SQLiteUserDefaults>{};
        }
    }
    auto opened = platform::SQLiteUserDefaults::open(common::appGroupIdentifier, root, ifMissing);
    if (!opened) {
        return base::Error{"cannot open the shared suite " +
                           std::string(common::appGroupIdentifier) + " under " + root + ": " +
                           opened.error().description};
    }
    return std::move(opened).value();
}

}  // namespace tools

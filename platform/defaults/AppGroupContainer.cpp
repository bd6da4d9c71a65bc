#include "platform/defaults/AppGroupContainer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace platform {
namespace {

constexpr mode_t folderMode = 0770;
constexpr mode_t databaseMode = 0660;
constexpr char databaseFileName[] = "defaults.sqlite3";

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

base::Error systemFailure(std::string_view doing, const std::string& path, int error) {
    return base::Error{std::string(doing) + " " + path + ": " +
                       std::generic_category().message(error)};
}

bool isFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Makes `path` and every missing folder above it.
base::Expected<std::monostate> makeFolders(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && mkdir(prefix.c_str(), folderMode) != 0 && errno != EEXIST) {
            return systemFailure("cannot create folder", prefix, errno);
        }
        if (end == std::string::npos) {
            break;
        }
    }
    if (!isFolder(path)) {
        return base::Error{"cannot create folder " + path + ": not a folder"};
    }
    return std::monostate{};
}

// Creates the suite's folder with exactly `folderMode`, leaving an existing one as it is. Under
// a set-group-ID root (the system's, owned by the suite's group) the folder keeps the bit it
// inherits, so that its files belong to that group too, whoever makes them.
base::Expected<std::monostate> makeSuiteFolder(const std::string& path) {
    if (mkdir(path.c_str(), folderMode) == 0) {
        struct stat made;
        const mode_t inherited = stat(path.c_str(), &made) == 0 ? made.st_mode & S_ISGID : 0;
        if (chmod(path.c_str(), folderMode | inherited) != 0) {
            return systemFailure("cannot set the mode of", path, errno);
        }
        return std::monostate{};
    }
    if (errno != EEXIST) {
        return systemFailure("cannot create folder", path, errno);
    }
    if (!isFolder(path)) {
        return base::Error{"cannot create folder " + path + ": not a folder"};
    }
    return std::monostate{};
}

// The file is made under a temporary name and linked into place once its mode is set, so no
// process ever opens it (and makes SQLite's side files after it) with the umask's mode.
base::Expected<std::monostate> makeDatabaseFile(const std::string& folder,
                                                const std::string& path) {
    std::string temporaryPath = path + ".XXXXXX";
    const int descriptor = mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return systemFailure("cannot create a file in", folder, errno);
    }
    const bool didSetMode = fchmod(descriptor, databaseMode) == 0;
    const int modeError = errno;
    close(descriptor);
    const bool didLink = didSetMode && link(temporaryPath.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    unlink(temporaryPath.c_str());
    if (!didSetMode) {
        return systemFailure("cannot set the mode of", temporaryPath, modeError);
    }
    if (!didLink && linkError != EEXIST) {
        return systemFailure("cannot create", path, linkError);
    }
    return std::monostate{};
}

}  // namespace

std::string appGroupContainersRoot() {
    if (std::string root = environmentValue("APP_GROUP_CONTAINERS_ROOT"); !root.empty()) {
        return root;
    }
    if (std::string state = environmentValue("XDG_STATE_HOME"); state.starts_with('/')) {
        return state + "/tovrin/app-groups";
    }
    if (std::string home = environmentValue("HOME"); !home.empty()) {
        return home + "/.local/state/tovrin/app-groups";
    }
    return "/var/lib/tovrin/app-groups";
}

bool isValidSuiteName(std::string_view suiteName) {
    return !suiteName.empty() && suiteName != "." && suiteName != ".." &&
           suiteName.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

base::Expected<std::string> suiteDatabasePath(std::string_view root,
                                              std::string_view suiteName,
                                              IfMissing ifMissing) {
    if (!isValidSuiteName(suiteName)) {
        return base::Error{"not a valid suite name: \"" + std::string(suiteName) + "\""};
    }
    if (root.empty()) {
        return base::Error{"no folder for suites"};
    }
    const std::string folder = std::string(root) + "/" + std::string(suiteName);
    const std::string path = folder + "/" + databaseFileName;

    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            return base::Error{"cannot open " + path + ": not a regular file"};
        }
        return path;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        return systemFailure("cannot open", path, errno);
    }
    if (ifMissing == IfMissing::fail) {
        return base::Error{"suite " + std::string(suiteName) + " does not exist"};
    }
    if (auto made = makeFolders(std::string(root)); !made) {
        return made.error();
    }
    if (auto made = makeSuiteFolder(folder); !made) {
        return made.error();
    }
    if (auto made = makeDatabaseFile(folder, path); !made) {
        return made.error();
    }
    return path;
}

}  // namespace platform

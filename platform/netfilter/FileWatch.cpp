#include "platform/netfilter/FileWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::netfilter {
namespace {

constexpr std::uint32_t folderEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
// While the folder is missing: anything created or renamed into the ancestor may be on the way.
constexpr std::uint32_t ancestorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

base::Expected<std::unique_ptr<FileWatch>> FileWatch::open(const std::string& path) {
    const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        return base::Error{std::string("cannot watch ") + path + ": " + std::strerror(errno)};
    }
    std::error_code ignored;
    std::unique_ptr<FileWatch> watch(
        new FileWatch(descriptor, std::filesystem::absolute(path, ignored).lexically_normal()));
    watch->arm();
    return watch;
}

FileWatch::FileWatch(int inotifyDescriptor, std::filesystem::path path)
    : inotifyDescriptor(inotifyDescriptor), filePath(std::move(path)) {}

FileWatch::~FileWatch() {
    ::close(inotifyDescriptor);
}

void FileWatch::arm() {
    if (watchDescriptor >= 0) {
        ::inotify_rm_watch(inotifyDescriptor, watchDescriptor);
        watchDescriptor = -1;
    }
    auto folder = filePath.parent_path();
    isWatchingFolder = true;
    for (;;) {
        const std::uint32_t events = isWatchingFolder ? folderEvents : ancestorEvents;
        watchDescriptor =
            ::inotify_add_watch(inotifyDescriptor, folder.c_str(), events | IN_ONLYDIR);
        if (watchDescriptor >= 0 || folder == folder.root_path() || folder.empty()) {
            return;
        }
        folder = folder.parent_path();
        isWatchingFolder = false;
    }
}

bool FileWatch::readEvents() {
    alignas(inotify_event) char buffer[16 * 1024];
    bool mayConcernFile = false;
    bool mustRearm = false;
    const std::string fileName = filePath.filename().string();
    for (;;) {
        const ssize_t length = ::read(inotifyDescriptor, buffer, sizeof(buffer));
        if (length <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                mayConcernFile = true;
                continue;
            }
            if (event->wd != watchDescriptor) {
                continue;
            }
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0 ||
                !isWatchingFolder) {
                // The folder went away, or something appeared on the way to it.
                mustRearm = true;
                mayConcernFile = true;
            } else if (event->len > 0 && fileName == event->name) {
                mayConcernFile = true;
            }
        }
    }
    if (mustRearm) {
        arm();
    }
    return mayConcernFile;
}

}  // namespace platform::netfilter

#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "base/value/Expected.h"

namespace platform::netfilter {

// Notices, through inotify, when the file at a path may have changed: written and closed, renamed
// onto (the usual way to replace a file whole), removed or renamed away. The file's folder is
// watched rather than the file, so a replacement is seen however often it happens. A folder that
// does not exist yet, or is removed, is waited for from its nearest existing ancestor.
class FileWatch {
  public:
    static base::Expected<std::unique_ptr<FileWatch>> open(const std::string& path);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Readable when events wait.
    int descriptor() const { return inotifyDescriptor; }
    // Reads the waiting events, without blocking; true when one of them may concern the file.
    bool readEvents();

  private:
    FileWatch(int inotifyDescriptor, std::filesystem::path path);
    // Watches the file's folder, or the nearest ancestor that exists while the folder does not.
    void arm();

    int inotifyDescriptor;
    std::filesystem::path filePath;
    int watchDescriptor = -1;
    bool isWatchingFolder = false;
};

}  // namespace platform::netfilter

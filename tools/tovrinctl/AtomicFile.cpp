#include "tools/tovrinctl/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tools {
namespace {

base::Error systemError(const std::string& doing, const std::string& path, int error) {
    return base::Error{doing + " " + path + ": " + std::generic_category().message(error)};
}

}  // namespace

base::Expected<std::optional<base::Data>> readFileIfPresent(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno == ENOENT) {
            return std::optional<base::Data>{};
        }
        return systemError("cannot read", path, errno);
    }
    base::Data bytes;
    std::uint8_t buffer[16384];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(descriptor);
            return systemError("cannot read", path, error);
        }
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
    ::close(descriptor);
    return std::optional<base::Data>{std::move(bytes)};
}

base::Expected<std::monostate> writeFileAtomically(const std::string& path,
                                                   const base::Data& bytes,
                                                   mode_t mode) {
    const std::filesystem::path target(path);
    if (target.has_parent_path()) {
        std::error_code folderError;
        std::filesystem::create_directories(target.parent_path(), folderError);
        if (folderError) {
            return base::Error{"cannot create folder " + target.parent_path().string() + ": " +
                               folderError.message()};
        }
    }
    std::string temporary = path + ".XXXXXX";
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0) {
        return systemError("cannot write", path, errno);
    }
    auto failure = [&](const std::string& doing, int error) {
        ::close(descriptor);
        ::unlink(temporary.c_str());
        return systemError(doing, path, error);
    };
    if (::fchmod(descriptor, mode) != 0) {
        return failure("cannot write", errno);
    }
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failure("cannot write", errno);
        }
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(descriptor) != 0) {
        return failure("cannot write", errno);
    }
    if (::close(descriptor) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return systemError("cannot write", path, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return systemError("cannot replace", path, error);
    }
    return std::monostate{};
}

base::Expected<bool> removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        return systemError("cannot remove", path, errno);
    }
    return true;
}

}  // namespace tools

#include "platform/provider-configuration/ProviderConfigurationFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/json/JSON.h"

namespace platform::providerconfiguration {
namespace {

constexpr char vendorConfigurationKey[] = "vendorConfiguration";

base::Error systemError(const std::string& what, const std::string& filePath) {
    return base::Error{what + " " + filePath + ": " + std::strerror(errno)};
}

}  // namespace

std::string path() {
    const char* configured = std::getenv("CONTENT_FILTER_CONFIGURATION");
    if (configured != nullptr && *configured != '\0') {
        return configured;
    }
    return "/etc/tovrin/content-filter.json";
}

base::Expected<std::optional<base::Value>> read(const std::string& filePath) {
    std::ifstream file(filePath, std::ios::binary);
    if (!file) {
        if (errno == ENOENT) {
            return std::optional<base::Value>{};
        }
        return systemError("cannot read", filePath);
    }
    const base::Data bytes((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (file.bad()) {
        return systemError("cannot read", filePath);
    }
    auto object = base::json::JSONObjectWithData(bytes);
    if (!object) {
        return base::Error{filePath + ": " + object.error().description};
    }
    if (object->dictionary() == nullptr) {
        return base::Error{filePath + ": expected a JSON object at the top level"};
    }
    const base::Value* vendorConfiguration = object->find(vendorConfigurationKey);
    if (vendorConfiguration == nullptr || vendorConfiguration->isNull()) {
        return std::optional<base::Value>{};
    }
    if (vendorConfiguration->dictionary() == nullptr) {
        return base::Error{filePath + ": \"vendorConfiguration\" is not a JSON object"};
    }
    return std::optional<base::Value>{*vendorConfiguration};
}

base::Expected<bool> write(const std::string& filePath,
                           const std::optional<base::Value>& vendorConfiguration) {
    base::Dictionary top;
    if (vendorConfiguration) {
        top.push_back({base::Value(vendorConfigurationKey), *vendorConfiguration});
    }
    auto text = base::json::dataWithJSONObject(base::Value(std::move(top)));
    if (!text) {
        return base::Error{"cannot write " + filePath + ": " + text.error().description};
    }
    text->push_back('\n');

    const std::filesystem::path target(filePath);
    std::error_code folderError;
    if (target.has_parent_path()) {
        std::filesystem::create_directories(target.parent_path(), folderError);
        if (folderError) {
            return base::Error{"cannot create " + target.parent_path().string() + ": " +
                               folderError.message()};
        }
    }
    std::string temporary = filePath + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        return systemError("cannot create a temporary file beside", filePath);
    }
    fchmod(descriptor, 0644);
    std::size_t written = 0;
    while (written < text->size()) {
        const ssize_t result = ::write(descriptor, text->data() + written, text->size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            const base::Error error = systemError("cannot write", temporary);
            ::close(descriptor);
            ::unlink(temporary.c_str());
            return error;
        }
        written += static_cast<std::size_t>(result);
    }
    if (::fsync(descriptor) != 0 || ::close(descriptor) != 0) {
        const base::Error error = systemError("cannot write", temporary);
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), filePath.c_str()) != 0) {
        const base::Error error = systemError("cannot replace", filePath);
        ::unlink(temporary.c_str());
        return error;
    }
    return true;
}

}  // namespace platform::providerconfiguration

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

#include "platform/json/JSON.h"

namespace platform::providerconfiguration {
namespace {

constexpr char vendorConfigurationKey[] = "vendorConfiguration";

Error systemError(const std::string& what, const std::string& filePath) {
    return Error{what + " " + filePath + ": " + std::strerror(errno)};
}

}  // namespace

std::string path() {
    const char* configured = std::getenv("CONTENT_FILTER_CONFIGURATION");
    if (configured != nullptr && *configured != '\0') {
        return configured;
    }
    return "/etc/tovrin/content-filter.json";
}

Expected<std::optional<Value>> read(const std::string& filePath) {
    std::ifstream file(filePath, std::ios::binary);
    if (!file) {
        if (errno == ENOENT) {
            return std::optional<Value>{};
        }
        return systemError("cannot read", filePath);
    }
    const Data bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return systemError("cannot read", filePath);
    }
    auto object = json::JSONObjectWithData(bytes);
    if (!object) {
        return Error{filePath + ": " + object.error().description};
    }
    if (object->dictionary() == nullptr) {
        return Error{filePath + ": expected a JSON object at the top level"};
    }
    const Value* vendorConfiguration = object->find(vendorConfigurationKey);
    if (vendorConfiguration == nullptr || vendorConfiguration->isNull()) {
        return std::optional<Value>{};
    }
    if (vendorConfiguration->dictionary() == nullptr) {
        return Error{filePath + ": \"vendorConfiguration\" is not a JSON object"};
    }
    return std::optional<Value>{*vendorConfiguration};
}

Expected<bool> write(const std::string& filePath, const std::optional<Value>& vendorConfiguration) {
    Dictionary top;
    if (vendorConfiguration) {
        top.push_back({Value(vendorConfigurationKey), *vendorConfiguration});
    }
    auto text = json::dataWithJSONObject(Value(std::move(top)));
    if (!text) {
        return Error{"cannot write " + filePath + ": " + text.error().description};
    }
    text->push_back('\n');

    const std::filesystem::path target(filePath);
    std::error_code folderError;
    if (target.has_parent_path()) {
        std::filesystem::create_directories(target.parent_path(), folderError);
        if (folderError) {
            return Error{"cannot create " + target.parent_path().string() + ": " +
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
            const Error error = systemError("cannot write", temporary);
            ::close(descriptor);
            ::unlink(temporary.c_str());
            return error;
        }
        written += static_cast<std::size_t>(result);
    }
    if (::fsync(descriptor) != 0 || ::close(descriptor) != 0) {
        const Error error = systemError("cannot write", temporary);
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), filePath.c_str()) != 0) {
        const Error error = systemError("cannot replace", filePath);
        ::unlink(temporary.c_str());
        return error;
    }
    return true;
}

}  // namespace platform::providerconfiguration

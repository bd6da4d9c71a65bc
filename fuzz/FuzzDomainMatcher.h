#pragma once

#include <optional>
#include <string>

// The matcher the parser fuzz targets share: example.com and the names below it are blocked.
inline std::optional<std::string> blockedExample(const std::string& host) {
    if (host == "example.com" || host.ends_with(".example.com")) {
        return "example.com";
    }
    return std::nullopt;
}

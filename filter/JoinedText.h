#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace filter {

// The texts of `parts` in order with `separator` between each two; the empty text for none.
inline std::string joinedText(const std::vector<std::string>& parts, std::string_view separator) {
    std::string result;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index > 0) {
            result += separator;
        }
        result += parts[index];
    }
    return result;
}

}  // namespace filter

#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

// The first entry of `domains`, in list order, that `host` equals or lies under after a ".",
// found by walking the list.
std::optional<std::string> linearMatchedDomain(const std::vector<std::string>& domains,
                                               const std::string& host);

// normalizedHostText by its full sequence of steps, as it ran for every text before it learnt to
// recognise a text that is normal already.
std::string fullyNormalizedHostText(const std::string& text);

}  // namespace bench

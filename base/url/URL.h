#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

// A parsed URL reference (absolute or relative), as the platform's URL type offers it.
class URL {
  public:
    // Parses `text` as a URI reference; nothing when it is not one. Characters that browsers
    // leave raw in paths, queries and fragments (`|`, `{`, `^`, spaces, non-ASCII...) are taken
    // as if escaped; the authority must be well formed.
    static std::optional<URL> fromString(std::string_view text);

    // The text the URL was made from, unchanged.
    const std::string& absoluteString() const { return text; }
    // The host component without scheme, port, path or user information, escaped ASCII
    // characters decoded; an IPv6 literal comes without its brackets; the empty text when only a
    // port or user information stands there (`https://:443/`). Nothing when the reference has no
    // authority (`example.com/path`) or an empty one (`http:///x`).
    const std::optional<std::string>& host() const { return hostComponent; }

  private:
    URL(std::string text, std::optional<std::string> host)
        : text(std::move(text)), hostComponent(std::move(host)) {}
    std::string text;
    std::optional<std::string> hostComponent;
};

}  // namespace base

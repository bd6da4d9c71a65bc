#include "base/url/URL.h"

#include <uriparser/Uri.h>

namespace base {

std::optional<URL> URL::fromString(std::string_view text) {
    const std::string owned(text);
    UriUriA uri;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, owned.data(), owned.data() + owned.size(), &errorPosition) !=
        URI_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> host;
    // An absent authority leaves the host range unset; "scheme://" sets it to the empty text.
    // The host text of an IP literal comes without its brackets.
    if (uri.hostText.first != nullptr) {
        host = std::string(uri.hostText.first, uri.hostText.afterLast);
    }
    uriFreeUriMembersA(&uri);
    return URL(owned, std::move(host));
}

}  // namespace base

#include "safari-extension/HandlerError.h"

#include <string>

namespace safari {

std::string_view errorDescription(HandlerError error) {
    switch (error) {
        case HandlerError::missingMessage:
            return "Safari did not include a native message payload.";
        case HandlerError::invalidMessage:
            return "Safari sent a malformed native message payload.";
        case HandlerError::sharedDefaultsUnavailable:
            return "The shared app group is unavailable for Safari website tracking.";
    }
    return "Safari native messaging failed.";
}

base::Error makeError(HandlerError error) {
    return base::Error{std::string(errorDescription(error))};
}

}  // namespace safari

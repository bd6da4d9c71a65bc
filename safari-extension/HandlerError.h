#pragma once

#include <string_view>

#include "base/value/Expected.h"

namespace safari {

// The handler's own failures. Decoding and encoding failures travel as the platform's errors.
enum class HandlerError {
    missingMessage,
    invalidMessage,
    sharedDefaultsUnavailable,
};

// The localized description: the text of the failure reply and of the log line.
std::string_view errorDescription(HandlerError error);

// `error` as a platform error carrying its description.
base::Error makeError(HandlerError error);

}  // namespace safari

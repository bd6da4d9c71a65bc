#include "safari-extension/ActionEnvelope.h"

#include "base/json/DecodedField.h"
#include "base/json/JSONDecoder.h"

namespace safari {

using base::json::assignDecoded;

base::Expected<ActionEnvelope> ActionEnvelope::decode(std::span<const std::uint8_t> json) {
    const auto container = base::json::KeyedDecodingContainer::fromData(json);
    if (!container) {
        return container.error();
    }
    ActionEnvelope envelope;
    if (auto error = assignDecoded(envelope.action, container->decodeStringIfPresent("action"))) {
        return *error;
    }
    return envelope;
}

}  // namespace safari

#include "tools/filter-replay/ReplayFlowBuilder.h"

#include <sys/socket.h>

#include <limits>
#include <optional>

#include "base/url/URL.h"

namespace tools {
namespace {

using base::Error;
using base::Expected;
using base::Value;

// The text under `key`, nothing when it is absent or null, an error when it is of another kind.
Expected<std::optional<std::string>> optionalText(const Value& object, const char* key) {
    const auto* value = object.find(key);
    if (value == nullptr || value->isNull()) {
        return std::optional<std::string>();
    }
    if (const auto* text = value->text()) {
        return std::optional(*text);
    }
    return Error{std::string("flow \"") + key + "\" must be a string"};
}

Expected<std::shared_ptr<const filter::NWEndpoint>> endpoint(const Value& flow) {
    const auto* described = flow.find("remoteEndpoint");
    if (described == nullptr || described->isNull()) {
        return std::shared_ptr<const filter::NWEndpoint>();
    }
    if (!described->dictionary()) {
        return Error{"flow \"remoteEndpoint\" must be an object"};
    }
    auto hostname = optionalText(*described, "hostname");
    auto port = optionalText(*described, "port");
    auto description = optionalText(*described, "description");
    if (!hostname || !port || !description) {
        return Error{"remoteEndpoint keys must be strings"};
    }
    if (hostname->has_value() && port->has_value()) {
        return std::shared_ptr<const filter::NWEndpoint>(
            filter::NWHostEndpoint::endpointWithHostname(**hostname, **port));
    }
    if (description->has_value() && !hostname->has_value() && !port->has_value()) {
        return std::shared_ptr<const filter::NWEndpoint>(
            std::make_shared<filter::NWOpaqueEndpoint>(**description));
    }
    return Error{"remoteEndpoint needs \"hostname\" and \"port\", or only \"description\""};
}

}  // namespace

Expected<ReplayFlow> ReplayFlowBuilder::flow(const Value& description) {
    if (!description.dictionary()) {
        return Error{"\"flow\" must be an object"};
    }
    const auto* label = description.find("id");
    if (label == nullptr || !label->text()) {
        return Error{"flow \"id\" must be a string"};
    }
    auto urlText = optionalText(description, "url");
    if (!urlText) {
        return urlText.error();
    }
    std::optional<base::URL> url;
    if (urlText->has_value()) {
        url = base::URL::fromString(**urlText);
    }
    bool isSocket = false;
    if (const auto* socket = description.find("socket"); socket != nullptr && !socket->isNull()) {
        if (!socket->boolean()) {
            return Error{"flow \"socket\" must be true or false"};
        }
        isSocket = *socket->boolean();
    }

    const base::UUID identifier = identifiers.try_emplace(*label->text()).first->second;
    if (!isSocket) {
        return ReplayFlow{*label->text(),
                          std::make_shared<filter::NEFilterFlow>(identifier, std::move(url))};
    }

    auto remoteHostname = optionalText(description, "remoteHostname");
    if (!remoteHostname) {
        return remoteHostname.error();
    }
    auto remoteEndpoint = endpoint(description);
    if (!remoteEndpoint) {
        return remoteEndpoint.error();
    }
    std::int32_t socketType = SOCK_STREAM;
    if (const auto* type = description.find("socketType"); type != nullptr && !type->isNull()) {
        const auto value = type->integer();
        if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
            *value > std::numeric_limits<std::int32_t>::max()) {
            return Error{"flow \"socketType\" must be a 32-bit integer"};
        }
        socketType = static_cast<std::int32_t>(*value);
    }
    return ReplayFlow{*label->text(), std::make_shared<filter::NEFilterSocketFlow>(
                                          identifier, std::move(url), std::move(*remoteHostname),
                                          std::move(remoteEndpoint).value(), socketType)};
}

}  // namespace tools

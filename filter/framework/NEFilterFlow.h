#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "filter/framework/NWEndpoint.h"
#include "platform/url/URL.h"
#include "platform/uuid/UUID.h"

namespace filter {

// A network flow the framework offers the provider. The identifier is the same in every
// callback about one flow.
class NEFilterFlow {
public:
    NEFilterFlow(platform::UUID identifier, std::optional<platform::URL> url)
        : flowIdentifier(identifier), flowURL(std::move(url)) {}
    virtual ~NEFilterFlow() = default;

    const std::optional<platform::URL>& URL() const { return flowURL; }
    const platform::UUID& identifier() const { return flowIdentifier; }

private:
    platform::UUID flowIdentifier;
    std::optional<platform::URL> flowURL;
};

// A flow of a socket: it may know the remote host's name, the remote endpoint and the socket
// type (SOCK_STREAM for a stream socket).
class NEFilterSocketFlow final : public NEFilterFlow {
public:
    NEFilterSocketFlow(platform::UUID identifier,
                       std::optional<platform::URL> url,
                       std::optional<std::string> remoteHostname,
                       std::shared_ptr<const NWEndpoint> remoteEndpoint,
                       std::int32_t socketType)
        : NEFilterFlow(identifier, std::move(url)),
          hostname(std::move(remoteHostname)),
          endpoint(std::move(remoteEndpoint)),
          type(socketType) {}

    const std::optional<std::string>& remoteHostname() const { return hostname; }
    const std::shared_ptr<const NWEndpoint>& remoteEndpoint() const { return endpoint; }
    std::int32_t socketType() const { return type; }

private:
    std::optional<std::string> hostname;
    std::shared_ptr<const NWEndpoint> endpoint;
    std::int32_t type;
};

}  // namespace filter

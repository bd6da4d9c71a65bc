#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/url/URL.h"
#include "base/uuid/UUID.h"
#include "filter/framework/NWEndpoint.h"

namespace filter {

// A network flow the framework offers the provider. The identifier is the same in every
// callback about one flow.
class NEFilterFlow {
  public:
    NEFilterFlow(base::UUID identifier, std::optional<base::URL> url)
        : flowIdentifier(identifier), flowURL(std::move(url)) {}
    virtual ~NEFilterFlow() = default;

    const std::optional<base::URL>& URL() const { return flowURL; }
    const base::UUID& identifier() const { return flowIdentifier; }

  private:
    base::UUID flowIdentifier;
    std::optional<base::URL> flowURL;
};

// A flow of a socket: it may know the remote host's name, the remote endpoint and the socket
// type (SOCK_STREAM for a stream socket).
class NEFilterSocketFlow final : public NEFilterFlow {
  public:
    NEFilterSocketFlow(base::UUID identifier,
                       std::optional<base::URL> url,
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

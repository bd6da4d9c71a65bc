#include "filter/framework/NWEndpoint.h"

namespace filter {

std::shared_ptr<NWHostEndpoint> NWHostEndpoint::endpointWithHostname(std::string hostname,
                                                                     std::string port) {
    return std::make_shared<NWHostEndpoint>(std::move(hostname), std::move(port));
}

std::string NWHostEndpoint::description() const {
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + portText;
    }
    return host + ":" + portText;
}

}  // namespace filter

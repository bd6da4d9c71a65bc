#pragma once

#include <memory>
#include <string>

namespace filter {

// The remote end of a flow as the framework describes it.
class NWEndpoint {
  public:
    virtual ~NWEndpoint() = default;
    // A printable form of the endpoint, the framework's own text.
    virtual std::string description() const = 0;
};

// An endpoint named by a host (a name or an address literal) and a port, both texts.
class NWHostEndpoint final : public NWEndpoint {
  public:
    static std::shared_ptr<NWHostEndpoint> endpointWithHostname(std::string hostname,
                                                                std::string port);

    const std::string& hostname() const { return host; }
    const std::string& port() const { return portText; }
    // `hostname:port`, with the host in brackets when it contains a colon (an IPv6 literal):
    // `192.0.2.10:443`, `[2001:db8::1]:443`, `example.com:80`.
    std::string description() const override;

    NWHostEndpoint(std::string hostname, std::string port)
        : host(std::move(hostname)), portText(std::move(port)) {}

  private:
    std::string host;
    std::string portText;
};

// Any other kind of endpoint (a service or a path, say), known only by its description.
class NWOpaqueEndpoint final : public NWEndpoint {
  public:
    explicit NWOpaqueEndpoint(std::string description) : text(std::move(description)) {}
    std::string description() const override { return text; }

  private:
    std::string text;
};

}  // namespace filter

// Drives a started provider through a sequence of callbacks read from the input: new flows,
// chunks of outbound bytes, outbound ends, policy changes, restarts, and flows that gain or lose
// a host. Checks after each chunk that the verdict keeps the inspection's promises: a pass lets
// exactly the chunk through while the host is still unknown and the flow's bytes, in order and
// never more than 4096, are kept; any other verdict, and every outbound end, forgets the flow;
// nothing is dropped without enforcement.
//
// Input: one policy byte, then operations. An operation byte names the flow (bits 3-4) and the
// callback (bits 0-2): 0 new flow; 1 a chunk of up to 255 bytes (one length byte); 2 and 3 a
// chunk of up to 65535 bytes (two length bytes, big-endian); 4 outbound end; 5 a new policy (one
// policy byte); 6 stop and start; 7 the flow's next form (one byte). A policy byte enforces when
// bit 0 is set and picks the blocked domains with bits 1-2. Operations past the 48th are ignored.

#include <sys/socket.h>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/ByteReader.h"
#include "fakes/FakeFilterFramework.h"
#include "fakes/FakeUserDefaults.h"
#include "filter/FilterDataProvider.h"
#include "filter/HostSniffing.h"

namespace {

using filter::NEFilterDataVerdict;

constexpr std::size_t maxInspectionBytes = 4096;
// Sequences longer than this find nothing shorter ones do not, and cost the fuzzer its speed.
constexpr std::size_t maxOperations = 48;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct Policy {
    base::Value vendorConfiguration;
    bool enforcementEnabled;
};

Policy policy(std::uint8_t selector, std::int64_t version) {
    static const std::array<std::vector<const char*>, 4> domainSets = {{
        {"example.com"},
        {"test"},
        {},
        {"example.com", "news.org", "test"},
    }};
    base::Array domains;
    for (const auto* domain : domainSets[(selector >> 1) % domainSets.size()]) {
        domains.emplace_back(domain);
    }
    const bool enforcementEnabled = (selector & 1) != 0;
    return {base::Value(base::Dictionary{{"blockedDomains", std::move(domains)},
                                         {"enforcementEnabled", enforcementEnabled},
                                         {"policyVersion", version}}),
            enforcementEnabled};
}

// The forms one flow can take: without a host to 443 or 80, named by the platform, or a
// datagram flow.
std::shared_ptr<filter::NEFilterFlow> flowOfForm(const base::UUID& identifier, std::uint8_t form) {
    switch (form % 4) {
        case 0:
            return std::make_shared<filter::NEFilterSocketFlow>(
                identifier, std::nullopt, std::nullopt,
                filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_STREAM);
        case 1:
            return std::make_shared<filter::NEFilterSocketFlow>(
                identifier, std::nullopt, std::nullopt,
                filter::NWHostEndpoint::endpointWithHostname("2001:db8::1", "80"), SOCK_STREAM);
        case 2:
            return std::make_shared<filter::NEFilterSocketFlow>(
                identifier, std::nullopt, "www.Example.com",
                filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_STREAM);
        default:
            return std::make_shared<filter::NEFilterSocketFlow>(
                identifier, std::nullopt, std::nullopt,
                filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_DGRAM);
    }
}

bool isHostStillUnknown(std::span<const std::uint8_t> buffer) {
    auto outcome = filter::parseHTTPHost(buffer);
    if (outcome.kind == filter::SniffedHost::Kind::noHostname) {
        outcome = filter::parseTLSClientHelloSNI(buffer);
    }
    return outcome.kind == filter::SniffedHost::Kind::needMoreData;
}

void checkChunk(filter::FilterDataProvider& provider,
                const filter::NEFilterFlow& flow,
                std::span<const std::uint8_t> chunk,
                bool enforcementEnabled) {
    const auto before = provider.pendingInspectionForTesting(flow.identifier());
    const auto verdict = provider.handleOutboundData(flow, 0, chunk);
    const auto after = provider.pendingInspectionForTesting(flow.identifier());
    require(verdict.kind != NEFilterDataVerdict::Kind::drop || enforcementEnabled);
    if (verdict.kind != NEFilterDataVerdict::Kind::pass) {
        require(!after);
        return;
    }
    require(verdict.passBytes == chunk.size() && verdict.peekBytes == 1024);
    require(after && enforcementEnabled);
    base::Data expected = before ? before->bufferedOutboundData : base::Data();
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    require(after->bufferedOutboundData == expected);
    require(expected.size() < maxInspectionBytes && isHostStillUnknown(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fakes::FakeUserDefaultsStore store;
    static const bool isSetUp = [] {
        base::setLogOutputToStandardError(false);
        return true;
    }();
    (void)isSetUp;

    base::ByteReader input(std::span(data, size));
    std::int64_t version = 1;
    auto current = policy(input.readU8().value_or(1), version);
    auto framework = std::make_shared<fakes::FakeFilterFramework>();
    framework->setVendorConfiguration(current.vendorConfiguration);
    auto provider = std::make_shared<filter::FilterDataProvider>(store.opener());
    provider->attachFramework(framework);
    provider->startFilter(nullptr);
    framework->completeAllInstallations();

    const std::array<base::UUID, 4> identifiers;
    std::array<std::uint8_t, 4> forms = {0, 1, 0, 1};
    for (std::size_t count = 0; count < maxOperations; ++count) {
        const auto operation = input.readU8();
        if (!operation) {
            break;
        }
        const std::size_t index = (*operation >> 3) % identifiers.size();
        const auto flow = flowOfForm(identifiers[index], forms[index]);
        switch (*operation & 7) {
            case 0:
                provider->handleNewFlow(*flow);
                break;
            case 1:
            case 2:
            case 3: {
                const std::size_t length = (*operation & 7) == 1
                                               ? input.readU8().value_or(0)
                                               : input.readU16BigEndian().value_or(0);
                const auto chunk = input.readBytes(std::min(length, input.remaining()));
                checkChunk(*provider, *flow, *chunk, current.enforcementEnabled);
                break;
            }
            case 4:
                require(provider->handleOutboundDataComplete(*flow) ==
                        NEFilterDataVerdict::allow());
                require(!provider->pendingInspectionForTesting(flow->identifier()));
                break;
            case 5:
                current = policy(input.readU8().value_or(0), ++version);
                framework->setVendorConfiguration(current.vendorConfiguration);
                break;
            case 6:
                provider->stopFilter(0, nullptr);
                require(provider->pendingInspectionCountForTesting() == 0);
                provider->startFilter(nullptr);
                break;
            default:
                forms[index] = input.readU8().value_or(0);
                break;
        }
        framework->completeAllInstallations();
    }
    provider->stopFilter(0, nullptr);
    return 0;
}

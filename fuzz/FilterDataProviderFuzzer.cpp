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
#include <cstddef>
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

// A policy byte picks one of eight policies: bit 0 enforces, bits 1-2 pick the blocked domains.
constexpr std::size_t policyChoices = 8;

bool isEnforcing(std::uint8_t choice) {
    return (choice & 1) != 0;
}

base::Value vendorConfiguration(std::uint8_t choice, std::int64_t version) {
    static const std::array<std::vector<const char*>, 4> domainSets = {{
        {"example.com"},
        {"test"},
        {},
        {"example.com", "news.org", "test"},
    }};
    base::Array domains;
    for (const auto* domain : domainSets[(choice >> 1) % domainSets.size()]) {
        domains.emplace_back(domain);
    }
    return base::Value(base::Dictionary{{"blockedDomains", std::move(domains)},
                                        {"enforcementEnabled", isEnforcing(choice)},
                                        {"policyVersion", version}});
}

// The forms one flow can take: without a host to 443 or 80, named by the platform, or a
// datagram flow.
std::shared_ptr<const filter::NEFilterFlow> flowOfForm(const base::UUID& identifier,
                                                       std::uint8_t form) {
    switch (form) {
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

// One provider, framework and suite for the whole process, with everything an input can pick
// made once: every policy at every version an input can reach, and every form of every flow.
// Each input starts the provider and stops it at its end, which forgets every inspection, so
// no input sees another's flows; what carries over (the counters and last values in the suite,
// the last policy read) is nothing the checks look at.
struct Harness {
    static constexpr std::size_t flowCount = 4;
    static constexpr std::size_t formCount = 4;

    Harness() {
        base::setLogOutputToStandardError(false);
        for (std::size_t choice = 0; choice < policyChoices; ++choice) {
            for (std::size_t version = 1; version <= maxOperations + 1; ++version) {
                configurations[choice][version] =
                    std::make_shared<const fakes::FakeFilterFramework::Configuration>(
                        fakes::FakeFilterFramework::Configuration{
                            vendorConfiguration(static_cast<std::uint8_t>(choice),
                                                static_cast<std::int64_t>(version))});
            }
        }
        const std::array<base::UUID, flowCount> identifiers;
        for (std::size_t index = 0; index < flowCount; ++index) {
            for (std::size_t form = 0; form < formCount; ++form) {
                flows[index][form] =
                    flowOfForm(identifiers[index], static_cast<std::uint8_t>(form));
            }
        }
        provider->attachFramework(framework);
    }

    // Brings the stopped provider and the framework to the same state after every input: the
    // same policy read and in force, no settings installed. Each input then frees what it
    // allocates, so that libFuzzer's leak check (which runs an input again when it allocates
    // more than it frees) stays quiet and useful.
    void rest() {
        framework->setConfiguration(restingConfiguration);
        provider->refreshPolicyIfNeededForTesting(true);
        framework->forgetInstalledSettings();
    }

    void choosePolicy(std::uint8_t choice, std::size_t version) {
        framework->setConfiguration(configurations[choice % policyChoices][version]);
    }

    fakes::FakeUserDefaultsStore store;
    std::shared_ptr<fakes::FakeFilterFramework> framework =
        std::make_shared<fakes::FakeFilterFramework>();
    std::shared_ptr<filter::FilterDataProvider> provider =
        std::make_shared<filter::FilterDataProvider>(store.opener());
    // Versions run from 1 (at start) to one more for each operation.
    std::array<std::array<std::shared_ptr<const fakes::FakeFilterFramework::Configuration>,
                          maxOperations + 2>,
               policyChoices>
        configurations;
    std::array<std::array<std::shared_ptr<const filter::NEFilterFlow>, formCount>, flowCount> flows;
    // Between inputs: no domains, no enforcement, a version no input uses.
    const std::shared_ptr<const fakes::FakeFilterFramework::Configuration> restingConfiguration =
        std::make_shared<const fakes::FakeFilterFramework::Configuration>(
            fakes::FakeFilterFramework::Configuration{vendorConfiguration(4, 0)});
};

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
    static Harness harness;
    auto& provider = *harness.provider;
    auto& framework = *harness.framework;

    base::ByteReader input(std::span(data, size));
    std::size_t version = 1;
    std::uint8_t choice = input.readU8().value_or(1);
    harness.choosePolicy(choice, version);
    provider.startFilter(nullptr);
    framework.completeAllInstallations();

    std::array<std::uint8_t, Harness::flowCount> forms = {0, 1, 0, 1};
    for (std::size_t count = 0; count < maxOperations; ++count) {
        const auto operation = input.readU8();
        if (!operation) {
            break;
        }
        const std::size_t index = (*operation >> 3) % Harness::flowCount;
        const auto& flow = *harness.flows[index][forms[index] % Harness::formCount];
        switch (*operation & 7) {
            case 0:
                provider.handleNewFlow(flow);
                break;
            case 1:
            case 2:
            case 3: {
                const std::size_t length = (*operation & 7) == 1
                                               ? input.readU8().value_or(0)
                                               : input.readU16BigEndian().value_or(0);
                const auto chunk = input.readBytes(std::min(length, input.remaining()));
                checkChunk(provider, flow, *chunk, isEnforcing(choice));
                break;
            }
            case 4:
                require(provider.handleOutboundDataComplete(flow) == NEFilterDataVerdict::allow());
                require(!provider.pendingInspectionForTesting(flow.identifier()));
                break;
            case 5:
                choice = input.readU8().value_or(0);
                harness.choosePolicy(choice, ++version);
                break;
            case 6:
                provider.stopFilter(0, nullptr);
                require(provider.pendingInspectionCountForTesting() == 0);
                provider.startFilter(nullptr);
                break;
            default:
                forms[index] = input.readU8().value_or(0);
                break;
        }
        framework.completeAllInstallations();
    }
    provider.stopFilter(0, nullptr);
    require(provider.pendingInspectionCountForTesting() == 0);
    harness.rest();
    return 0;
}

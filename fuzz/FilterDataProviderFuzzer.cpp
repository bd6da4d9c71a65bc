// Drives a started provider through a sequence of callbacks read from the input: new flows,
// chunks of outbound bytes, outbound ends, policy changes, restarts, and flows that gain or lose
// a host. Checks after each chunk that the inspection keeps its promises: a hostless flow under
// enforcement is passed exactly while its host is still unknown within 4096 bytes, a pass lets
// exactly the chunk through and keeps the flow's bytes in order, any other verdict and every
// outbound end forget the flow, a flow offered again starts with no bytes, and nothing is dropped
// without enforcement.
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
#include <optional>
#include <string>
#include <vector>

#include "base/ByteReader.h"
#include "common/VendorConfiguration.h"
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

// The forms one flow can take: without a host to 443 or 80, named by the platform, or a datagram
// flow. Only the named form has a host.
const struct {
    std::shared_ptr<const filter::NWEndpoint> endpoint;
    std::optional<std::string> remoteHostname;
    int socketType;
} forms[] = {{filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), {}, SOCK_STREAM},
             {filter::NWHostEndpoint::endpointWithHostname("2001:db8::1", "80"), {}, SOCK_STREAM},
             {forms[0].endpoint, "www.Example.com", SOCK_STREAM},
             {forms[0].endpoint, {}, SOCK_DGRAM}};
const std::array<base::UUID, 4> identifiers;

// Every policy an input can pick at every version it can reach, made once: bit 0 of a policy byte
// enforces, bits 1-2 pick the blocked domains. Version 0 is the resting policy's, no input's.
const auto policies = [] {
    const std::vector<std::string> domainSets[] = {
        {"example.com"}, {"test"}, {}, {"example.com", "news.org", "test"}};
    using Configuration = std::shared_ptr<const filter::NEFilterProviderConfiguration>;
    std::array<std::array<Configuration, maxOperations + 2>, 8> made;
    for (std::size_t choice = 0; choice < made.size(); ++choice) {
        for (std::size_t version = 0; version < made[choice].size(); ++version) {
            const common::ContentFilterPolicy policy(domainSets[choice >> 1], (choice & 1) != 0,
                                                     std::int64_t(version), base::Date{});
            made[choice][version] = std::make_shared<filter::NEFilterProviderConfiguration>(
                filter::NEFilterProviderConfiguration{common::vendorConfiguration(policy)});
        }
    }
    return made;
}();

bool isHostStillUnknown(std::span<const std::uint8_t> buffer) {
    auto outcome = filter::parseHTTPHost(buffer);
    if (outcome.kind == filter::SniffedHost::Kind::noHostname) {
        outcome = filter::parseTLSClientHelloSNI(buffer);
    }
    return outcome.kind == filter::SniffedHost::Kind::needMoreData;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One provider, framework and suite for the whole process. Each input starts the provider and
    // stops it at its end, which forgets every inspection, so no input sees another's flows; what
    // carries over (the counters and last values in the suite, the last policy read) is nothing
    // the checks look at.
    static fakes::FakeUserDefaultsStore store;
    static const auto framework = std::make_shared<fakes::FakeFilterFramework>();
    static const auto provider = [] {
        base::setLogOutputToStandardError(false);
        auto made = std::make_shared<filter::FilterDataProvider>(store.opener());
        made->attachFramework(framework);
        return made;
    }();

    base::ByteReader input(std::span(data, size));
    std::size_t version = 1;
    std::uint8_t choice = input.readU8().value_or(1);
    framework->setConfiguration(policies[choice % 8][version]);
    provider->startFilter(nullptr);
    framework->completeAllInstallations();

    std::array<std::uint8_t, std::size(identifiers)> formOf = {0, 1, 0, 1};
    for (std::size_t count = 0; count < maxOperations; ++count) {
        const auto operation = input.readU8();
        if (!operation) {
            break;
        }
        const std::size_t index = (*operation >> 3) % std::size(identifiers);
        const auto& form = forms[formOf[index] % std::size(forms)];
        const filter::NEFilterSocketFlow flow(identifiers[index], std::nullopt, form.remoteHostname,
                                              form.endpoint, form.socketType);
        switch (*operation & 7) {
            case 0:
                require(provider->handleNewFlow(flow).kind !=
                            filter::NEFilterNewFlowVerdict::Kind::filterData ||
                        provider->pendingInspectionForTesting(flow.identifier())
                            .value()
                            .bufferedOutboundData.empty());
                break;
            case 1:
            case 2:
            case 3: {
                const std::size_t length = (*operation & 7) == 1
                                               ? input.readU8().value_or(0)
                                               : input.readU16BigEndian().value_or(0);
                const auto chunk = *input.readBytes(std::min(length, input.remaining()));
                const auto before = provider->pendingInspectionForTesting(flow.identifier());
                const auto verdict = provider->handleOutboundData(flow, 0, chunk);
                const auto after = provider->pendingInspectionForTesting(flow.identifier());
                base::Data kept = before ? before->bufferedOutboundData : base::Data();
                kept.insert(kept.end(), chunk.begin(), chunk.end());
                const bool isEnforcing = (choice & 1) != 0;
                const bool isUndecided = isEnforcing && !form.remoteHostname &&
                                         kept.size() < maxInspectionBytes &&
                                         isHostStillUnknown(kept);
                require(verdict.kind != NEFilterDataVerdict::Kind::drop || isEnforcing);
                require((verdict.kind == NEFilterDataVerdict::Kind::pass) == isUndecided);
                require(isUndecided
                            ? verdict.passBytes == chunk.size() && verdict.peekBytes == 1024 &&
                                  after && after->bufferedOutboundData == kept
                            : !after);
                break;
            }
            case 4:
                require(provider->handleOutboundDataComplete(flow) == NEFilterDataVerdict::allow());
                require(!provider->pendingInspectionForTesting(flow.identifier()));
                break;
            case 5:
                choice = input.readU8().value_or(0);
                framework->setConfiguration(policies[choice % 8][++version]);
                break;
            case 6:
                provider->stopFilter(0, nullptr);
                require(provider->pendingInspectionCountForTesting() == 0);
                provider->startFilter(nullptr);
                break;
            default:
                formOf[index] = input.readU8().value_or(0);
                break;
        }
        framework->completeAllInstallations();
    }
    provider->stopFilter(0, nullptr);
    require(provider->pendingInspectionCountForTesting() == 0);
    // Every input leaves the same state behind (no domains, no enforcement, a version no input
    // uses, no settings installed), so that each input frees what it allocates and libFuzzer's
    // leak check (which runs an input again when it allocates more than it frees) stays quiet.
    framework->setConfiguration(policies[4][0]);
    provider->refreshPolicyIfNeededForTesting(true);
    framework->forgetInstalledSettings();
    return 0;
}

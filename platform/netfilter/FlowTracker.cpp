#include "platform/netfilter/FlowTracker.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "common/BuildConstants.h"
#include "filter/framework/NEFilterFlow.h"
#include "platform/netfilter/PacketMarks.h"

namespace platform::netfilter {
namespace {

// How much of a datagram an ICMP error about it quotes.
constexpr std::size_t quotedPayloadLength = 64;

bool isQueuedForNaming(const QueuedPacket& packet) {
    return (packet.mark & markMask) == static_cast<std::uint32_t>(FlowMark::nameLookup);
}

// Sequence numbers this far behind the first byte belong to the handshake or to a keep-alive
// probe, not to the data.
constexpr std::uint32_t sequenceWindow = 0x80000000u;

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "unknown exception";
    }
}

constexpr std::uint16_t httpPort = 80;
constexpr std::uint16_t httpsPort = 443;
constexpr std::uint16_t dnsPort = 53;

bool isNamedByFirstBytes(const PacketHeaders& headers) {
    if (headers.destinationPort == dnsPort) {
        return true;
    }
    if (headers.protocol == IPPROTO_TCP) {
        return headers.destinationPort == httpPort || headers.destinationPort == httpsPort;
    }
    return headers.destinationPort == httpsPort;
}

}  // namespace

struct FlowTracker::Flow {
    FlowKey key;
    std::shared_ptr<const filter::NEFilterSocketFlow> socketFlow;
    State state = State::allowed;
    bool isStream = false;
    // TCP: the SYN's sequence number, and the last acknowledgment the local end sent.
    std::uint32_t initialSequence = 0;
    std::optional<std::uint32_t> lastAcknowledgment;
    // UDP: where the next datagram's bytes begin.
    std::uint64_t nextDatagramOffset = 0;
    // Present while the flow is under inspection.
    std::optional<OutboundStream> stream;
    // Present while the flow's host name is being learned.
    std::unique_ptr<Naming> naming;
    // UDP: the first bytes of the first datagram, for an ICMP error about the flow.
    std::vector<std::uint8_t> quote;
    std::size_t accountedHeldBytes = 0;
    Clock::time_point lastActivity;
};

struct FlowTracker::Naming {
    QUICInitialReader reader;
    std::vector<QueuedPacket> held;
    std::size_t heldBytes = 0;
    Clock::time_point oldestHeldSince;
};

FlowTracker::FlowTracker(std::shared_ptr<filter::NEFilterDataProvider> provider,
                         PacketVerdictSink& sink,
                         FlowTrackerLimits limits,
                         std::shared_ptr<const NamedFlowRouting> routing,
                         LearnedNameLookup learnedNames)
    : provider(std::move(provider)),
      sink(sink),
      limits(limits),
      routing(std::move(routing)),
      learnedNames(std::move(learnedNames)),
      logger(common::filterLogSubsystem, "netfilter") {}

FlowTracker::~FlowTracker() = default;

void FlowTracker::handlePacket(const QueuedPacket& packet,
                               const PacketHeaders& headers,
                               Clock::time_point now) {
    const FlowKey key = FlowKey::outboundKey(headers);
    auto found = flowsByKey.find(key);

    if (headers.protocol == IPPROTO_TCP) {
        const bool isSYN = headers.hasFlag(TH_SYN) && !headers.hasFlag(TH_ACK);
        if (isSYN && found != flowsByKey.end() &&
            found->second->initialSequence != headers.sequence) {
            // The addresses and ports are used again by a new connection.
            Flow& previous = *found->second;
            if (previous.state == State::inspecting) {
                finishOutbound(previous);
            }
            forgetFlow(found->second);
            found = flowsByKey.end();
        }
        if (found == flowsByKey.end()) {
            if (!isSYN) {
                sink.setVerdict(packet, PacketDisposition::allowFlow);
                return;
            }
            handleNewFlow(startFlow(key, headers, now), packet, headers, now);
            return;
        }
        touch(found->second, now);
        Flow& flow = *found->second;
        if (isSYN) {
            // A retransmitted SYN takes the decision of the first.
            const auto disposition = flow.state == State::inspecting
                                         ? PacketDisposition::inspectFlow
                                     : flow.state == State::dropped ? PacketDisposition::dropFlow
                                                                    : PacketDisposition::allowFlow;
            sink.setVerdict(packet, disposition);
            return;
        }
    } else if (found == flowsByKey.end()) {
        Flow& flow = startFlow(key, headers, now);
        const auto payload =
            headers.payload.first(std::min(headers.payload.size(), quotedPayloadLength));
        flow.quote.assign(payload.begin(), payload.end());
        if (isQueuedForNaming(packet)) {
            flow.state = State::naming;
            flow.naming = std::make_unique<Naming>();
            handleNamingPacket(flow, packet, headers, now);
            updateHeldAccounting(flow);
            return;
        }
        handleNewFlow(flow, packet, headers, now);
        return;
    } else {
        touch(found->second, now);
    }

    Flow& flow = *found->second;
    switch (flow.state) {
        case State::allowed:
            sink.setVerdict(packet, PacketDisposition::allowFlow);
            return;
        case State::dropped:
            if (!flow.isStream) {
                refuse(flow, headers.payload);
            }
            sink.setVerdict(packet, PacketDisposition::dropFlow);
            return;
        case State::inspecting:
            handleInspectedPacket(flow, packet, headers, now);
            updateHeldAccounting(flow);
            return;
        case State::naming:
            handleNamingPacket(flow, packet, headers, now);
            updateHeldAccounting(flow);
            return;
    }
}

FlowTracker::Flow& FlowTracker::startFlow(const FlowKey& key,
                                          const PacketHeaders& headers,
                                          Clock::time_point now) {
    if (flows.size() >= limits.maximumFlows && !flows.empty()) {
        if (evictionCount++ % 1000 == 0) {
            logger.log("flow table full (%{public}ld flows): forgetting the least recently active",
                       {static_cast<std::int64_t>(flows.size())});
        }
        if (flows.front().state == State::inspecting) {
            failOpen(flows.front());
        } else if (flows.front().state == State::naming) {
            decideNamedFlow(flows.front(), std::nullopt);
        }
        forgetFlow(flows.begin());
    }
    const bool isStream = headers.protocol == IPPROTO_TCP;
    auto endpoint = filter::NWHostEndpoint::endpointWithHostname(
        headers.destination.text(), std::to_string(headers.destinationPort));
    std::optional<std::string> remoteHostname;
    if (learnedNames && !isNamedByFirstBytes(headers)) {
        remoteHostname = learnedNames(headers.destination);
    }
    Flow flow;
    flow.key = key;
    flow.socketFlow = std::make_shared<const filter::NEFilterSocketFlow>(
        base::UUID(), std::nullopt, std::move(remoteHostname), std::move(endpoint),
        isStream ? SOCK_STREAM : SOCK_DGRAM);
    flow.isStream = isStream;
    flow.initialSequence = headers.sequence;
    flow.lastActivity = now;
    flows.push_back(std::move(flow));
    auto position = std::prev(flows.end());
    flowsByKey.emplace(key, position);
    return *position;
}

void FlowTracker::forgetFlow(FlowList::iterator flow) {
    flow->stream.reset();
    updateHeldAccounting(*flow);
    flowsByKey.erase(flow->key);
    flows.erase(flow);
}

void FlowTracker::touch(FlowList::iterator flow, Clock::time_point now) {
    flow->lastActivity = now;
    flows.splice(flows.end(), flows, flow);
}

void FlowTracker::handleNewFlow(Flow& flow,
                                const QueuedPacket& packet,
                                const PacketHeaders& headers,
                                Clock::time_point now) {
    const auto verdict = askNewFlow(flow);
    switch (verdict.kind) {
        case filter::NEFilterNewFlowVerdict::Kind::drop:
            flow.state = State::dropped;
            if (!flow.isStream) {
                refuse(flow, headers.payload);
            }
            sink.setVerdict(packet, PacketDisposition::dropFlow);
            return;
        case filter::NEFilterNewFlowVerdict::Kind::filterData:
            if (verdict.filterOutbound && verdict.peekOutboundBytes > 0) {
                flow.state = State::inspecting;
                flow.stream.emplace(verdict.peekOutboundBytes);
                if (flow.isStream) {
                    sink.setVerdict(packet, PacketDisposition::inspectFlow);
                } else {
                    handleInspectedPacket(flow, packet, headers, now);
                    updateHeldAccounting(flow);
                }
                return;
            }
            [[fallthrough]];
        case filter::NEFilterNewFlowVerdict::Kind::allow:
            flow.state = State::allowed;
            sink.setVerdict(packet, PacketDisposition::allowFlow);
            return;
    }
}

void FlowTracker::handleInspectedPacket(Flow& flow,
                                        const QueuedPacket& packet,
                                        const PacketHeaders& headers,
                                        Clock::time_point now) {
    if (headers.isTruncated) {
        // Its bytes cannot all be shown, so the flow cannot be inspected further.
        failOpen(flow);
        sink.setVerdict(packet, PacketDisposition::allowFlow);
        return;
    }
    std::uint64_t start = 0;
    bool isEnd = false;
    if (flow.isStream) {
        if (headers.hasFlag(TH_RST)) {
            finishOutbound(flow);
            sink.setVerdict(packet, PacketDisposition::accept);
            return;
        }
        if (headers.hasFlag(TH_ACK)) {
            flow.lastAcknowledgment = headers.acknowledgment;
        }
        const std::uint32_t offset = headers.sequence - (flow.initialSequence + 1);
        isEnd = headers.hasFlag(TH_FIN);
        if (offset >= sequenceWindow || (headers.payload.empty() && !isEnd)) {
            sink.setVerdict(packet, PacketDisposition::accept);
            return;
        }
        start = offset;
    } else {
        start = flow.nextDatagramOffset;
        flow.nextDatagramOffset += headers.payload.size();
        if (headers.payload.empty()) {
            sink.setVerdict(packet, PacketDisposition::inspectFlow);
            return;
        }
    }

    switch (flow.stream->add(packet, start, headers.payload, isEnd, now)) {
        case OutboundStream::Arrival::passed:
            sink.setVerdict(packet, PacketDisposition::inspectFlow);
            return;
        case OutboundStream::Arrival::duplicate:
            sink.setVerdict(packet, PacketDisposition::discard);
            return;
        case OutboundStream::Arrival::held:
            break;
    }
    updateHeldAccounting(flow);
    if (flow.stream->heldBytes() > limits.maximumHeldBytesPerFlow ||
        flow.stream->heldSegmentCount() > limits.maximumHeldSegmentsPerFlow ||
        totalHeldBytes > limits.maximumHeldBytes) {
        logger.log("allowing flow %{public}s: it holds too many packets",
                   {flow.socketFlow->identifier().uuidString()});
        failOpen(flow);
        return;
    }
    runInspection(flow);
}

void FlowTracker::runInspection(Flow& flow) {
    while (flow.state == State::inspecting) {
        auto chunk = flow.stream->nextChunk();
        if (!chunk) {
            break;
        }
        const auto verdict = askOutboundData(flow, *chunk);
        switch (verdict.kind) {
            case filter::NEFilterDataVerdict::Kind::allow:
                allow(flow);
                return;
            case filter::NEFilterDataVerdict::Kind::drop:
                drop(flow);
                return;
            case filter::NEFilterDataVerdict::Kind::pass:
                for (const auto& released :
                     flow.stream->pass(*chunk, verdict.passBytes, verdict.peekBytes)) {
                    sink.setVerdict(released, PacketDisposition::inspectFlow);
                }
                if (verdict.peekBytes == 0) {
                    allow(flow);
                    return;
                }
                break;
        }
    }
    if (flow.state == State::inspecting && flow.stream->isFinished()) {
        finishOutbound(flow);
    }
}

void FlowTracker::finishOutbound(Flow& flow) {
    if (askOutboundDataComplete(flow).kind == filter::NEFilterDataVerdict::Kind::drop) {
        drop(flow);
    } else {
        allow(flow);
    }
}

void FlowTracker::failOpen(Flow& flow) {
    askOutboundDataComplete(flow);
    allow(flow);
}

void FlowTracker::allow(Flow& flow) {
    if (flow.stream) {
        for (const auto& segment : flow.stream->takeHeld()) {
            sink.setVerdict(segment.packet, PacketDisposition::allowFlow);
        }
    }
    flow.state = State::allowed;
    flow.stream.reset();
    updateHeldAccounting(flow);
}

void FlowTracker::drop(Flow& flow) {
    std::vector<OutboundStream::HeldSegment> segments;
    std::uint64_t sentEnd = 0;
    if (flow.stream) {
        segments = flow.stream->takeHeld();
        sentEnd = flow.stream->sentEnd();
    }
    if (flow.isStream) {
        // The remote end accepted the handshake; it expects the byte after the last one sent.
        const std::uint32_t nextSequence =
            flow.initialSequence + 1 + static_cast<std::uint32_t>(sentEnd);
        sink.sendReset({flow.key.local, flow.key.remote, flow.key.localPort, flow.key.remotePort,
                        nextSequence, flow.lastAcknowledgment.value_or(0)});
        if (segments.empty() && flow.lastAcknowledgment) {
            sink.sendReset({flow.key.remote, flow.key.local, flow.key.remotePort,
                            flow.key.localPort, *flow.lastAcknowledgment, nextSequence});
        }
    }
    if (!flow.isStream) {
        refuse(flow, flow.quote);
    }
    for (std::size_t index = 0; index < segments.size(); ++index) {
        sink.setVerdict(segments[index].packet,
                        index == 0 ? PacketDisposition::dropFlow : PacketDisposition::discard);
    }
    flow.state = State::dropped;
    flow.stream.reset();
    updateHeldAccounting(flow);
}

void FlowTracker::handleNamingPacket(Flow& flow,
                                     const QueuedPacket& packet,
                                     const PacketHeaders& headers,
                                     Clock::time_point now) {
    Naming& naming = *flow.naming;
    if (naming.held.empty()) {
        naming.oldestHeldSince = now;
    }
    naming.held.push_back(packet);
    naming.heldBytes += headers.payload.size();
    if (headers.isTruncated) {
        // The reader cannot see the whole datagram.
        decideNamedFlow(flow, std::nullopt);
        return;
    }
    const auto& outcome = naming.reader.addDatagram(headers.payload);
    switch (outcome.kind) {
        case QUICInitialReader::Kind::needMore:
            return;
        case QUICInitialReader::Kind::noName:
            decideNamedFlow(flow, std::nullopt);
            return;
        case QUICInitialReader::Kind::name:
            decideNamedFlow(flow, outcome.name);
            return;
    }
}

void FlowTracker::decideNamedFlow(Flow& flow, const std::optional<std::string>& name) {
    auto held = std::move(flow.naming->held);
    flow.naming.reset();
    updateHeldAccounting(flow);

    auto action = routing ? routing->defaultAction() : filter::NEFilterAction::allow;
    bool isDropped = action == filter::NEFilterAction::drop;
    if (name && routing) {
        if (const auto ruleAction = routing->ruleActionFor(*name)) {
            isDropped = *ruleAction == filter::NEFilterAction::drop;
            if (*ruleAction == filter::NEFilterAction::filterData) {
                flow.socketFlow = std::make_shared<const filter::NEFilterSocketFlow>(
                    flow.socketFlow->identifier(), std::nullopt, *name,
                    flow.socketFlow->remoteEndpoint(), SOCK_DGRAM);
                isDropped = askNewFlow(flow).kind == filter::NEFilterNewFlowVerdict::Kind::drop;
            }
        }
    }
    if (isDropped) {
        flow.state = State::dropped;
        refuse(flow, flow.quote);
        for (std::size_t index = 0; index < held.size(); ++index) {
            sink.setVerdict(held[index],
                            index == 0 ? PacketDisposition::dropFlow : PacketDisposition::discard);
        }
        return;
    }
    flow.state = State::allowed;
    for (const auto& packet : held) {
        sink.setVerdict(packet, PacketDisposition::allowFlow);
    }
}

void FlowTracker::refuse(const Flow& flow, std::span<const std::uint8_t> payload) {
    sink.sendUnreachable({flow.key.local, flow.key.remote, flow.key.localPort, flow.key.remotePort,
                          payload.first(std::min(payload.size(), quotedPayloadLength))});
}

std::optional<FlowTracker::Clock::time_point> FlowTracker::oldestHeldSince(const Flow& flow) const {
    if (flow.naming && !flow.naming->held.empty()) {
        return flow.naming->oldestHeldSince;
    }
    if (flow.stream) {
        return flow.stream->oldestHeldSince();
    }
    return std::nullopt;
}

void FlowTracker::updateHeldAccounting(Flow& flow) {
    const std::size_t heldNow = flow.stream   ? flow.stream->heldBytes()
                                : flow.naming ? flow.naming->heldBytes
                                              : 0;
    totalHeldBytes = totalHeldBytes - flow.accountedHeldBytes + heldNow;
    flow.accountedHeldBytes = heldNow;
    if ((flow.stream && flow.stream->heldSegmentCount() > 0) ||
        (flow.naming && !flow.naming->held.empty())) {
        flowsHoldingPackets.insert(flow.key);
    } else {
        flowsHoldingPackets.erase(flow.key);
    }
}

void FlowTracker::expire(Clock::time_point now) {
    const std::vector<FlowKey> holding(flowsHoldingPackets.begin(), flowsHoldingPackets.end());
    for (const auto& key : holding) {
        Flow& flow = *flowsByKey.at(key);
        const auto oldest = oldestHeldSince(flow);
        if (!oldest || *oldest + limits.heldPacketTimeout > now) {
            continue;
        }
        if (flow.state == State::naming) {
            logger.log(
                "deciding flow %{public}s without its host name: a datagram was held too "
                "long",
                {flow.socketFlow->identifier().uuidString()});
            decideNamedFlow(flow, std::nullopt);
        } else {
            logger.log("allowing flow %{public}s: a packet was held too long",
                       {flow.socketFlow->identifier().uuidString()});
            failOpen(flow);
        }
    }
    while (!flows.empty() && flows.front().lastActivity + limits.flowIdleTimeout <= now) {
        auto oldest = flows.begin();
        if (oldest->state == State::naming) {
            decideNamedFlow(*oldest, std::nullopt);
        }
        if (oldest->state != State::inspecting) {
            forgetFlow(oldest);
            continue;
        }
        // Remember the outcome for the packets that may still come.
        finishOutbound(*oldest);
        touch(oldest, now);
    }
}

std::optional<FlowTracker::Clock::time_point> FlowTracker::nextDeadline() const {
    std::optional<Clock::time_point> deadline;
    if (!flows.empty()) {
        deadline = flows.front().lastActivity + limits.flowIdleTimeout;
    }
    for (const auto& key : flowsHoldingPackets) {
        const auto oldest = oldestHeldSince(*flowsByKey.at(key));
        if (oldest && (!deadline || *oldest + limits.heldPacketTimeout < *deadline)) {
            deadline = *oldest + limits.heldPacketTimeout;
        }
    }
    return deadline;
}

void FlowTracker::releaseAll() {
    for (auto& flow : flows) {
        if (flow.stream) {
            for (const auto& segment : flow.stream->takeHeld()) {
                sink.setVerdict(segment.packet, PacketDisposition::accept);
            }
        }
        if (flow.naming) {
            for (const auto& packet : flow.naming->held) {
                sink.setVerdict(packet, PacketDisposition::accept);
            }
        }
    }
    flows.clear();
    flowsByKey.clear();
    flowsHoldingPackets.clear();
    totalHeldBytes = 0;
}

filter::NEFilterNewFlowVerdict FlowTracker::askNewFlow(const Flow& flow) {
    try {
        return provider->handleNewFlow(*flow.socketFlow);
    } catch (...) {
        logger.error("handleNewFlow failed: %{public}s", {describe(std::current_exception())});
        return filter::NEFilterNewFlowVerdict::allowVerdict();
    }
}

filter::NEFilterDataVerdict FlowTracker::askOutboundData(const Flow& flow,
                                                         const OutboundStream::Chunk& chunk) {
    try {
        return provider->handleOutboundData(*flow.socketFlow, chunk.offset, chunk.bytes);
    } catch (...) {
        logger.error("handleOutboundData failed: %{public}s", {describe(std::current_exception())});
        return filter::NEFilterDataVerdict::allow();
    }
}

filter::NEFilterDataVerdict FlowTracker::askOutboundDataComplete(const Flow& flow) {
    try {
        return provider->handleOutboundDataComplete(*flow.socketFlow);
    } catch (...) {
        logger.error("handleOutboundDataComplete failed: %{public}s",
                     {describe(std::current_exception())});
        return filter::NEFilterDataVerdict::allow();
    }
}

}  // namespace platform::netfilter

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/log/Log.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/FlowKey.h"
#include "platform/netfilter/ICMPUnreachablePacket.h"
#include "platform/netfilter/NamedFlowRouting.h"
#include "platform/netfilter/OutboundStream.h"
#include "platform/netfilter/PacketHeaders.h"
#include "platform/netfilter/QUICInitialReader.h"
#include "platform/netfilter/QueuedPacket.h"
#include "platform/netfilter/TCPResetPacket.h"

namespace platform::netfilter {

// Where the tracker's decisions about packets go.
class PacketVerdictSink {
  public:
    virtual ~PacketVerdictSink() = default;
    virtual void setVerdict(const QueuedPacket& packet, PacketDisposition disposition) = 0;
    // Sends a reset of the stand-in's own, to cut an end of a dropped flow.
    virtual void sendReset(const ResetSegment& segment) = 0;
    // Sends an ICMP or ICMPv6 port unreachable of the stand-in's own, to tell the sender of a
    // dropped datagram flow that nobody will answer.
    virtual void sendUnreachable(const RefusedDatagram& datagram) = 0;
};

// The bounds of the tracker's memory and of the time a packet waits.
struct FlowTrackerLimits {
    // Flows remembered at once; the least recently active one is forgotten to make room.
    std::size_t maximumFlows = 16384;
    // A flow whose held packets exceed either bound is allowed at once.
    std::size_t maximumHeldBytesPerFlow = 256 * 1024;
    std::size_t maximumHeldSegmentsPerFlow = 512;
    // All flows together: the flow whose packet crosses the bound is allowed at once.
    std::size_t maximumHeldBytes = 32 * 1024 * 1024;
    // The watchdog: a flow with a packet held longer than this is allowed.
    std::chrono::milliseconds heldPacketTimeout{2000};
    // A flow without an outbound packet for this long is forgotten; one under inspection is told
    // first that its outbound data ended, and its outcome is remembered for as long again.
    std::chrono::milliseconds flowIdleTimeout{120000};
};

// Gives the name an address was last resolved for, or nothing.
using LearnedNameLookup = std::function<std::optional<std::string>(const IPAddress&)>;

// Follows the machine's outbound flows from the packets the kernel queues, and decides them with
// the provider: it offers every new flow to handleNewFlow, shows a flow sent to inspection its
// outbound bytes through handleOutboundData (see OutboundStream), and reports the end of those
// bytes (a FIN once every byte before it has been shown, a RST, or the idle timeout) through
// handleOutboundDataComplete. Every packet it is given gets a verdict, at once or, for a held
// packet, once the flow is decided, the watchdog fires or the tracker is released.
//
// A new flow is a TCP SYN, or a UDP datagram of a flow the tracker does not know. A new flow
// carries as `remoteHostname` the name `learnedNames` gives for its remote address, unless it is
// a web flow (TCP to port 80 or 443, UDP to 443), which is named by its first bytes because one
// address serves many names, or a DNS query (to port 53). A TCP packet of
// a flow it does not know (one that began before the filter started, or was forgotten) is allowed.
// A drop decided on a flow's first packet rejects that packet: the kernel answers a TCP SYN with a
// reset. A drop decided during inspection rejects the first held packet, or resets the local end
// itself when none is held, and resets the remote end, which has seen the handshake.
//
// Anything that keeps the stand-in from inspecting a flow allows it: a callback that throws, a
// truncated packet, a flow over its limits, a held packet past the watchdog's bound, a flow
// forgotten to make room. The provider is then told that the flow's outbound data ended, so that
// it forgets the flow too. A verdict that asks for inbound data only, or to peek at no byte, allows
// the flow. Bytes carried by a SYN (TCP Fast Open) are let through without being shown.
//
// A UDP flow that the chain queued to have its host name learned (FlowMark::nameLookup, a QUIC
// flow to port 443 while named host rules are installed) is not offered at once: its datagrams are
// held and read by a QUICInitialReader until it answers. A name covered by a named host rule of
// the filter-data action offers the flow to handleNewFlow with that name as `remoteHostname`; a
// rule of another action takes that action. A name no rule covers, no name at all, a truncated
// datagram or a datagram held past the watchdog's bound take the default action, without the
// provider. On a datagram flow only the drop verdict drops; every other verdict allows it.
//
// A dropped datagram flow's held datagrams are discarded, and so is every later one; the sender
// is told with an ICMP (ICMPv6) port unreachable for each, so that it gives up at once. An allowed
// flow's held datagrams are let go in the order they came.
//
// Not thread-safe: one thread calls every method.
class FlowTracker {
  public:
    using Clock = OutboundStream::Clock;

    FlowTracker(std::shared_ptr<filter::NEFilterDataProvider> provider,
                PacketVerdictSink& sink,
                FlowTrackerLimits limits = {},
                std::shared_ptr<const NamedFlowRouting> routing = nullptr,
                LearnedNameLookup learnedNames = {});
    ~FlowTracker();
    FlowTracker(const FlowTracker&) = delete;
    FlowTracker& operator=(const FlowTracker&) = delete;

    void handlePacket(const QueuedPacket& packet,
                      const PacketHeaders& headers,
                      Clock::time_point now);
    // Runs the watchdog and the idle timeout.
    void expire(Clock::time_point now);
    // When expire() next has something to do; nothing when no flow is remembered.
    std::optional<Clock::time_point> nextDeadline() const;
    // Lets every held packet go unchanged and forgets every flow, without calling the provider.
    void releaseAll();

    std::size_t flowCount() const { return flows.size(); }
    std::size_t heldBytes() const { return totalHeldBytes; }

  private:
    enum class State { inspecting, naming, allowed, dropped };
    struct Flow;
    struct Naming;
    using FlowList = std::list<Flow>;

    Flow& startFlow(const FlowKey& key, const PacketHeaders& headers, Clock::time_point now);
    void forgetFlow(FlowList::iterator flow);
    void touch(FlowList::iterator flow, Clock::time_point now);

    void handleNewFlow(Flow& flow,
                       const QueuedPacket& packet,
                       const PacketHeaders& headers,
                       Clock::time_point now);
    void handleInspectedPacket(Flow& flow,
                               const QueuedPacket& packet,
                               const PacketHeaders& headers,
                               Clock::time_point now);
    void runInspection(Flow& flow);
    void handleNamingPacket(Flow& flow,
                            const QueuedPacket& packet,
                            const PacketHeaders& headers,
                            Clock::time_point now);
    // Decides a flow under naming from its host name, or without one.
    void decideNamedFlow(Flow& flow, const std::optional<std::string>& name);
    void refuse(const Flow& flow, std::span<const std::uint8_t> payload);
    std::optional<Clock::time_point> oldestHeldSince(const Flow& flow) const;
    void finishOutbound(Flow& flow);
    void failOpen(Flow& flow);
    void allow(Flow& flow);
    void drop(Flow& flow);
    // Keeps the held-byte count and the index of flows holding packets up to date.
    void updateHeldAccounting(Flow& flow);

    filter::NEFilterNewFlowVerdict askNewFlow(const Flow& flow);
    filter::NEFilterDataVerdict askOutboundData(const Flow& flow,
                                                const OutboundStream::Chunk& chunk);
    filter::NEFilterDataVerdict askOutboundDataComplete(const Flow& flow);

    std::shared_ptr<filter::NEFilterDataProvider> provider;
    PacketVerdictSink& sink;
    const FlowTrackerLimits limits;
    const std::shared_ptr<const NamedFlowRouting> routing;
    const LearnedNameLookup learnedNames;
    const base::Logger logger;

    // Least recently active first.
    FlowList flows;
    std::unordered_map<FlowKey, FlowList::iterator> flowsByKey;
    std::unordered_set<FlowKey> flowsHoldingPackets;
    std::size_t totalHeldBytes = 0;
    std::uint64_t evictionCount = 0;
};

}  // namespace platform::netfilter

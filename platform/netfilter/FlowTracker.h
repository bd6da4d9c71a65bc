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
#include "platform/netfilter/OutboundStream.h"
#include "platform/netfilter/PacketHeaders.h"
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
// Not thread-safe: one thread calls every method.
class FlowTracker {
  public:
    using Clock = OutboundStream::Clock;

    FlowTracker(std::shared_ptr<filter::NEFilterDataProvider> provider,
                PacketVerdictSink& sink,
                FlowTrackerLimits limits = {},
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
    enum class State { inspecting, allowed, dropped };
    struct Flow;
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

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/value/Expected.h"
#include "platform/netfilter/FilterRuleTranslation.h"
#include "platform/netfilter/LearnedNameRouting.h"

struct mnl_socket;

namespace platform::netfilter {

// The stand-in's own nftables table, of the inet family (IPv4 and IPv6 at once), with one chain
// on the output hook. Nothing outside this table is read or changed. Every change is one
// transaction, so the kernel holds the old rules or the new ones, never a mixture.
//
// The chain, in order (M is the stand-in's part of the marks, see PacketMarks.h):
//   1. packets marked as the stand-in's own go on;
//   2. a packet handed back with a flow value in its mark: the value goes into the connection's
//      mark and out of the packet's; allow and inspect then let it go on, drop rejects it (a TCP
//      reset to the sender, other protocols are dropped);
//   3. connections marked allowed go on; connections marked dropped are rejected, except for
//      their resets, which go on so that both ends learn of the end;
//   4. packets of the reply direction go on (on loopback the server's packets pass here too);
//   5. connections marked for inspection go to the queue, except their plain acknowledgments that
//      carry no data (nothing to inspect, and they would cost every connection a trip through the
//      queue between its handshake and its first bytes);
//   6. when the settings hold host rules naming hosts by name: new flows to an address of the sets
//      `learnedIPv4Set` and `learnedIPv6Set` (addresses whose names a host rule covers, each with
//      a timeout) go to the queue, TCP to any port but 80 and 443 (web flows are named from their
//      first bytes) and UDP to any port but 443 (QUIC, likewise); DNS (TCP and UDP to port 53)
//      never, so that blocking a name never cuts the lookups of a resolver that shares its address;
//   7. new flows (a TCP SYN, a UDP datagram of a new connection) matching the settings' rules take
//      the rule's action: filter-data queues, allow lets go, drop rejects;
//   8. while there are named host rules, new UDP flows to port 443 (QUIC) are queued with
//      FlowMark::nameLookup in the packet's mark, for the stand-in to learn their host names;
//   9. then the default action.
//
// "The queue" is the range of flow queues: with several, a packet goes to the queue of the
// processor that handles it (its number modulo their count), like the answers below.
//
// With answer queues, a second chain, on the input hook, sends every UDP datagram and TCP
// segment from port 53 that answers a connection of this machine (DNS answers, IPv4 and IPv6) to
// one of those queues, whose reader accepts each at once: with several, to the queue of the
// processor that received it (the processor's number modulo their count), so that a reader kept
// on that processor wakes without a cross-processor wake.
// Every queueing rule bypasses the queue when no process is bound to it, so that traffic flows
// while the stand-in is not running.
//
// The kernel's own queue expression is used when it has one; otherwise the NFQUEUE target of the
// xtables compatibility layer, which behaves the same.
class NftablesTable {
  public:
    static constexpr char defaultName[] = "tovrin_content_filter";
    static constexpr char learnedIPv4Set[] = "learned_ipv4";
    static constexpr char learnedIPv6Set[] = "learned_ipv6";

    // Queues `first` up to, not including, `first + count`.
    struct QueueRange {
        std::uint16_t first = 0;
        std::uint16_t count = 1;
    };

    NftablesTable(std::string name,
                  QueueRange flowQueues,
                  std::optional<QueueRange> answerQueues = std::nullopt);
    ~NftablesTable();
    NftablesTable(const NftablesTable&) = delete;
    NftablesTable& operator=(const NftablesTable&) = delete;

    // Replaces the table (or creates it) with one built from `settings`, its sets holding
    // `learned` when the settings hold host rules by name.
    base::Expected<bool> install(const TranslatedSettings& settings,
                                 std::span<const TimedAddress> learned = {});
    // Adds addresses to the sets, or gives those already there the new timeout where the kernel
    // can. Fails when the table has no sets. One call at a time.
    base::Expected<bool> addAddresses(std::span<const TimedAddress> addresses);
    // Deletes the table; nothing to do when there is none.
    base::Expected<bool> remove();

    const std::string& name() const { return tableName; }

  private:
    enum class QueueStyle { unknown, native, compatibility };

    // Replaces the table with one built from `settings`, or deletes it when there are none; on
    // failure `errorCode` holds the kernel's errno.
    base::Expected<bool> commit(const TranslatedSettings* settings,
                                std::span<const TimedAddress> learned,
                                bool useCompatibility,
                                int& errorCode);

    std::string tableName;
    QueueRange flowQueues;
    std::optional<QueueRange> answerQueues;
    QueueStyle queueStyle = QueueStyle::unknown;
    // addAddresses()'s own socket, opened at its first call.
    mnl_socket* elementSocket = nullptr;
};

}  // namespace platform::netfilter

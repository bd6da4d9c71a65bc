#pragma once

#include <cstdint>
#include <string>

#include "base/value/Expected.h"
#include "platform/netfilter/FilterRuleTranslation.h"

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
//   5. connections marked for inspection go to the queue;
//   6. new flows (a TCP SYN, a UDP datagram of a new connection) matching the settings' rules take
//      the rule's action: filter-data queues, allow lets go, drop rejects;
//   7. while there are named host rules, new UDP flows to port 443 (QUIC) are queued with
//      FlowMark::nameLookup in the packet's mark, for the stand-in to learn their host names;
//   8. then the default action.
// Every queueing rule bypasses the queue when no process is bound to it, so that traffic flows
// while the stand-in is not running.
//
// The kernel's own queue expression is used when it has one; otherwise the NFQUEUE target of the
// xtables compatibility layer, which behaves the same.
class NftablesTable {
  public:
    static constexpr char defaultName[] = "tovrin_content_filter";

    NftablesTable(std::string name, std::uint16_t queueNumber);

    // Replaces the table (or creates it) with one built from `settings`.
    base::Expected<bool> install(const TranslatedSettings& settings);
    // Deletes the table; nothing to do when there is none.
    base::Expected<bool> remove();

    const std::string& name() const { return tableName; }

  private:
    enum class QueueStyle { unknown, native, compatibility };

    // Replaces the table with one built from `settings`, or deletes it when there are none; on
    // failure `errorCode` holds the kernel's errno.
    base::Expected<bool> commit(const TranslatedSettings* settings,
                                bool useCompatibility,
                                int& errorCode);

    std::string tableName;
    std::uint16_t queueNumber;
    QueueStyle queueStyle = QueueStyle::unknown;
};

}  // namespace platform::netfilter

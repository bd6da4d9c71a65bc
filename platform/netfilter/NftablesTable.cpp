#include "platform/netfilter/NftablesTable.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_conntrack_tuple_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/netfilter/PacketMarks.h"

namespace platform::netfilter {
namespace {

constexpr char chainName[] = "output";
constexpr char answerChainName[] = "input";
constexpr int chainPriority = 0;
constexpr std::uint16_t dnsPort = 53;
// Identifiers of the sets within the transaction that creates them.
constexpr std::uint32_t learnedIPv4SetIdentifier = 1;
constexpr std::uint32_t learnedIPv6SetIdentifier = 2;
// Elements per netlink message, well inside `messageRoom`.
constexpr std::size_t elementsPerMessage = 128;
// The datatypes nft shows the sets' keys as.
constexpr std::uint32_t ipv4AddressType = 7;
constexpr std::uint32_t ipv6AddressType = 8;
constexpr std::size_t messageRoom = 16 * 1024;
constexpr std::uint8_t tcpFlagsOffset = 13;
constexpr std::uint8_t tcpDataOffsetOffset = 12;
// The TCP header lengths, in 32-bit words, of the segments that the chain recognises as carrying
// no data: without options, and with timestamps only (what the usual stacks send on an
// acknowledgment). Other empty segments are queued like any other.
constexpr std::uint8_t emptySegmentHeaderWords[] = {5, 8};
constexpr std::uint16_t quicPort = 443;

// Netlink messages laid end to end, ready to send as one batch.
class MessageBatch {
  public:
    // Room for the next message.
    char* next() {
        if (bytes.size() - length < messageRoom) {
            bytes.resize(bytes.size() * 2 + messageRoom);
        }
        return bytes.data() + length;
    }
    void commit(const nlmsghdr* message) { length += MNL_ALIGN(message->nlmsg_len); }
    const char* data() const { return bytes.data(); }
    std::size_t size() const { return length; }

  private:
    std::vector<char> bytes;
    std::size_t length = 0;
};

struct RuleDeleter {
    void operator()(nftnl_rule* rule) const { nftnl_rule_free(rule); }
};

// Builds one rule of the chain, expression by expression. Every comparison works on register 1.
class RuleBuilder {
  public:
    RuleBuilder(const std::string& table, const char* chain = chainName)
        : rule(nftnl_rule_alloc()) {
        nftnl_rule_set_str(rule.get(), NFTNL_RULE_TABLE, table.c_str());
        nftnl_rule_set_str(rule.get(), NFTNL_RULE_CHAIN, chain);
    }

    RuleBuilder& loadMeta(std::uint32_t key) {
        auto* expression = nftnl_expr_alloc("meta");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_META_KEY, key);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_META_DREG, NFT_REG_1);
        return add(expression);
    }
    RuleBuilder& storeMeta(std::uint32_t key) {
        auto* expression = nftnl_expr_alloc("meta");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_META_KEY, key);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_META_SREG, NFT_REG_1);
        return add(expression);
    }
    RuleBuilder& loadConntrack(std::uint32_t key) {
        auto* expression = nftnl_expr_alloc("ct");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CT_KEY, key);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CT_DREG, NFT_REG_1);
        return add(expression);
    }
    RuleBuilder& storeConntrack(std::uint32_t key) {
        auto* expression = nftnl_expr_alloc("ct");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CT_KEY, key);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CT_SREG, NFT_REG_1);
        return add(expression);
    }
    RuleBuilder& loadPayload(std::uint32_t base, std::uint32_t offset, std::uint32_t length) {
        auto* expression = nftnl_expr_alloc("payload");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_PAYLOAD_BASE, base);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_PAYLOAD_LEN, length);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_PAYLOAD_DREG, NFT_REG_1);
        return add(expression);
    }
    // register = (register & mask) ^ exclusive, over mask.size() bytes.
    RuleBuilder& bitwise(std::span<const std::uint8_t> mask,
                         std::span<const std::uint8_t> exclusive) {
        auto* expression = nftnl_expr_alloc("bitwise");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_BITWISE_LEN,
                           static_cast<std::uint32_t>(mask.size()));
        nftnl_expr_set(expression, NFTNL_EXPR_BITWISE_MASK, mask.data(),
                       static_cast<std::uint32_t>(mask.size()));
        nftnl_expr_set(expression, NFTNL_EXPR_BITWISE_XOR, exclusive.data(),
                       static_cast<std::uint32_t>(exclusive.size()));
        return add(expression);
    }
    RuleBuilder& bitwise32(std::uint32_t mask, std::uint32_t exclusive) {
        return bitwise(asBytes(mask), asBytes(exclusive));
    }
    RuleBuilder& compare(std::uint32_t operation, std::span<const std::uint8_t> value) {
        auto* expression = nftnl_expr_alloc("cmp");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_CMP_OP, operation);
        nftnl_expr_set(expression, NFTNL_EXPR_CMP_DATA, value.data(),
                       static_cast<std::uint32_t>(value.size()));
        return add(expression);
    }
    RuleBuilder& compare8(std::uint32_t operation, std::uint8_t value) {
        return compare(operation, std::span<const std::uint8_t>(&value, 1));
    }
    RuleBuilder& compare32(std::uint32_t operation, std::uint32_t value) {
        return compare(operation, asBytes(value));
    }

    // Matches packets whose mark carries `value` in the stand-in's bits.
    RuleBuilder& markIs(FlowMark value) {
        return loadMeta(NFT_META_MARK)
            .bitwise32(markMask, 0)
            .compare32(NFT_CMP_EQ, static_cast<std::uint32_t>(value));
    }
    RuleBuilder& connectionMarkIs(FlowMark value) {
        return loadConntrack(NFT_CT_MARK)
            .bitwise32(markMask, 0)
            .compare32(NFT_CMP_EQ, static_cast<std::uint32_t>(value));
    }
    RuleBuilder& setConnectionMark(FlowMark value) {
        return loadConntrack(NFT_CT_MARK)
            .bitwise32(~markMask, static_cast<std::uint32_t>(value))
            .storeConntrack(NFT_CT_MARK);
    }
    RuleBuilder& setMark(FlowMark value) {
        return loadMeta(NFT_META_MARK)
            .bitwise32(~markMask, static_cast<std::uint32_t>(value))
            .storeMeta(NFT_META_MARK);
    }
    RuleBuilder& clearMark() {
        return loadMeta(NFT_META_MARK).bitwise32(~markMask, 0).storeMeta(NFT_META_MARK);
    }
    RuleBuilder& transportIs(std::uint8_t protocol) {
        return loadMeta(NFT_META_L4PROTO).compare8(NFT_CMP_EQ, protocol);
    }
    RuleBuilder& tcpFlagsAre(std::uint8_t mask, std::uint32_t operation, std::uint8_t value) {
        const std::uint8_t none = 0;
        return loadPayload(NFT_PAYLOAD_TRANSPORT_HEADER, tcpFlagsOffset, 1)
            .bitwise(std::span<const std::uint8_t>(&mask, 1),
                     std::span<const std::uint8_t>(&none, 1))
            .compare8(operation, value);
    }
    // An IPv4 packet without options or an IPv6 packet without extension headers that carries a
    // TCP acknowledgment with neither SYN, FIN nor RST, a TCP header of `headerWords` words and
    // no data.
    RuleBuilder& isEmptyAcknowledgment(int family, std::uint8_t headerWords) {
        const bool isIPv6 = family == AF_INET6;
        const std::uint8_t dataOffset = static_cast<std::uint8_t>(headerWords << 4);
        const std::uint8_t dataOffsetMask = 0xf0;
        const std::uint8_t none = 0;
        loadMeta(NFT_META_NFPROTO).compare8(NFT_CMP_EQ, isIPv6 ? NFPROTO_IPV6 : NFPROTO_IPV4);
        if (isIPv6) {
            loadPayload(NFT_PAYLOAD_NETWORK_HEADER, 6, 1).compare8(NFT_CMP_EQ, IPPROTO_TCP);
        } else {
            const std::uint8_t versionAndLength = 0x45;
            loadPayload(NFT_PAYLOAD_NETWORK_HEADER, 0, 1).compare8(NFT_CMP_EQ, versionAndLength);
        }
        transportIs(IPPROTO_TCP);
        tcpFlagsAre(TH_FIN | TH_SYN | TH_RST | TH_ACK, NFT_CMP_EQ, TH_ACK);
        loadPayload(NFT_PAYLOAD_TRANSPORT_HEADER, tcpDataOffsetOffset, 1)
            .bitwise(std::span<const std::uint8_t>(&dataOffsetMask, 1),
                     std::span<const std::uint8_t>(&none, 1))
            .compare8(NFT_CMP_EQ, dataOffset);
        // IPv4's total length counts its own 20 bytes; IPv6's payload length does not.
        const std::uint16_t length =
            static_cast<std::uint16_t>(headerWords * 4 + (isIPv6 ? 0 : 20));
        return loadPayload(NFT_PAYLOAD_NETWORK_HEADER, isIPv6 ? 4 : 2, 2)
            .compare(NFT_CMP_EQ, bigEndianBytes(length));
    }
    RuleBuilder& directionIsReply() {
        return loadConntrack(NFT_CT_DIRECTION).compare8(NFT_CMP_EQ, IP_CT_DIR_REPLY);
    }
    // A TCP SYN without ACK, FIN or RST, or a UDP datagram of a connection the kernel sees for
    // the first time.
    RuleBuilder& isNewFlow(std::uint8_t protocol) {
        transportIs(protocol);
        if (protocol == IPPROTO_TCP) {
            return tcpFlagsAre(TH_FIN | TH_SYN | TH_RST | TH_ACK, NFT_CMP_EQ, TH_SYN);
        }
        return loadConntrack(NFT_CT_STATE)
            .bitwise32(NF_CT_STATE_BIT(IP_CT_NEW), 0)
            .compare32(NFT_CMP_NEQ, 0);
    }
    RuleBuilder& destinationIn(const IPAddress& network, int prefix) {
        const bool isIPv6 = network.family == AF_INET6;
        loadMeta(NFT_META_NFPROTO).compare8(NFT_CMP_EQ, isIPv6 ? NFPROTO_IPV6 : NFPROTO_IPV4);
        if (prefix == 0) {
            return *this;
        }
        const std::uint32_t length = static_cast<std::uint32_t>(network.length());
        loadPayload(NFT_PAYLOAD_NETWORK_HEADER, isIPv6 ? 24 : 16, length);
        std::array<std::uint8_t, 16> mask{};
        std::array<std::uint8_t, 16> masked{};
        for (std::uint32_t index = 0; index < length; ++index) {
            const int bits = std::min(8, std::max(0, prefix - static_cast<int>(index * 8)));
            mask[index] = static_cast<std::uint8_t>(0xff00 >> bits);
            masked[index] = network.bytes[index] & mask[index];
        }
        if (prefix < static_cast<int>(length * 8)) {
            const std::array<std::uint8_t, 16> none{};
            bitwise({mask.data(), length}, {none.data(), length});
        }
        return compare(NFT_CMP_EQ, {masked.data(), length});
    }
    RuleBuilder& destinationPortIs(std::uint16_t port) {
        return loadPayload(NFT_PAYLOAD_TRANSPORT_HEADER, 2, 2)
            .compare(NFT_CMP_EQ, bigEndianBytes(port));
    }
    RuleBuilder& destinationPortIsNone(std::initializer_list<std::uint16_t> ports) {
        loadPayload(NFT_PAYLOAD_TRANSPORT_HEADER, 2, 2);
        for (const std::uint16_t port : ports) {
            compare(NFT_CMP_NEQ, bigEndianBytes(port));
        }
        return *this;
    }
    RuleBuilder& sourcePortIs(std::uint16_t port) {
        return loadPayload(NFT_PAYLOAD_TRANSPORT_HEADER, 0, 2)
            .compare(NFT_CMP_EQ, bigEndianBytes(port));
    }
    // Matches packets of `family` whose destination is in the set `name`.
    RuleBuilder& destinationInSet(int family, const char* name, std::uint32_t identifier) {
        const bool isIPv6 = family == AF_INET6;
        loadMeta(NFT_META_NFPROTO).compare8(NFT_CMP_EQ, isIPv6 ? NFPROTO_IPV6 : NFPROTO_IPV4);
        loadPayload(NFT_PAYLOAD_NETWORK_HEADER, isIPv6 ? 24 : 16, isIPv6 ? 16 : 4);
        auto* expression = nftnl_expr_alloc("lookup");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_LOOKUP_SREG, NFT_REG_1);
        nftnl_expr_set_str(expression, NFTNL_EXPR_LOOKUP_SET, name);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_LOOKUP_SET_ID, identifier);
        return add(expression);
    }

    RuleBuilder& verdict(int value) {
        auto* expression = nftnl_expr_alloc("immediate");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_IMM_DREG, NFT_REG_VERDICT);
        nftnl_expr_set_u32(expression, NFTNL_EXPR_IMM_VERDICT, static_cast<std::uint32_t>(value));
        return add(expression);
    }
    RuleBuilder& rejectWithReset() {
        auto* expression = nftnl_expr_alloc("reject");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_TCP_RST);
        nftnl_expr_set_u8(expression, NFTNL_EXPR_REJECT_CODE, 0);
        return add(expression);
    }
    // Queues to `number`, or with `count` above one to `number` plus the number of the processor
    // that handles the packet, modulo `count`.
    RuleBuilder& queue(std::uint16_t number, bool useCompatibility, std::uint16_t count = 1) {
        if (!useCompatibility) {
            auto* expression = nftnl_expr_alloc("queue");
            nftnl_expr_set_u16(expression, NFTNL_EXPR_QUEUE_NUM, number);
            nftnl_expr_set_u16(expression, NFTNL_EXPR_QUEUE_TOTAL, count);
            nftnl_expr_set_u16(expression, NFTNL_EXPR_QUEUE_FLAGS,
                               NFT_QUEUE_FLAG_BYPASS | (count > 1 ? NFT_QUEUE_FLAG_CPU_FANOUT : 0));
            return add(expression);
        }
        auto* expression = nftnl_expr_alloc("target");
        nftnl_expr_set_str(expression, NFTNL_EXPR_TG_NAME, "NFQUEUE");
        nftnl_expr_set_u32(expression, NFTNL_EXPR_TG_REV, 3);
        // The expression takes the block and frees it with free().
        auto* info = static_cast<xt_NFQ_info_v3*>(std::calloc(1, sizeof(xt_NFQ_info_v3)));
        info->queuenum = number;
        info->queues_total = count;
        info->flags = NFQ_FLAG_BYPASS | (count > 1 ? NFQ_FLAG_CPU_FANOUT : 0);
        nftnl_expr_set(expression, NFTNL_EXPR_TG_INFO, info, sizeof(*info));
        return add(expression);
    }

    std::unique_ptr<nftnl_rule, RuleDeleter> build() { return std::move(rule); }

  private:
    static std::array<std::uint8_t, 2> bigEndianBytes(std::uint16_t value) {
        return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    }
    static std::span<const std::uint8_t> asBytes(const std::uint32_t& value) {
        return {reinterpret_cast<const std::uint8_t*>(&value), sizeof(value)};
    }
    RuleBuilder& add(nftnl_expr* expression) {
        nftnl_rule_add_expr(rule.get(), expression);
        return *this;
    }

    std::unique_ptr<nftnl_rule, RuleDeleter> rule;
};

// The action of a rule or of the default: where a flow that takes it goes.
void finishWithAction(RuleBuilder& rule,
                      filter::NEFilterAction action,
                      std::uint8_t protocol,
                      const NftablesTable::QueueRange& flowQueues,
                      bool useCompatibility) {
    switch (action) {
        case filter::NEFilterAction::filterData:
            rule.queue(flowQueues.first, useCompatibility, flowQueues.count);
            return;
        case filter::NEFilterAction::drop:
            rule.setConnectionMark(FlowMark::drop);
            if (protocol == IPPROTO_TCP) {
                rule.rejectWithReset();
            } else {
                rule.verdict(NF_DROP);
            }
            return;
        case filter::NEFilterAction::allow:
            rule.verdict(NF_ACCEPT);
            return;
    }
}

std::vector<std::unique_ptr<nftnl_rule, RuleDeleter>> chainRules(
    const std::string& table,
    const TranslatedSettings& settings,
    const NftablesTable::QueueRange& flowQueues,
    bool useCompatibility) {
    std::vector<std::unique_ptr<nftnl_rule, RuleDeleter>> rules;
    const auto rule = [&] { return RuleBuilder(table); };

    rules.push_back(rule().markIs(FlowMark::ownPacket).verdict(NF_ACCEPT).build());
    for (FlowMark value : {FlowMark::allow, FlowMark::inspect}) {
        rules.push_back(
            rule().markIs(value).setConnectionMark(value).clearMark().verdict(NF_ACCEPT).build());
    }
    rules.push_back(rule()
                        .markIs(FlowMark::drop)
                        .transportIs(IPPROTO_TCP)
                        .setConnectionMark(FlowMark::drop)
                        .rejectWithReset()
                        .build());
    rules.push_back(
        rule().markIs(FlowMark::drop).setConnectionMark(FlowMark::drop).verdict(NF_DROP).build());

    rules.push_back(rule().connectionMarkIs(FlowMark::allow).verdict(NF_ACCEPT).build());
    rules.push_back(rule()
                        .connectionMarkIs(FlowMark::drop)
                        .transportIs(IPPROTO_TCP)
                        .tcpFlagsAre(TH_RST, NFT_CMP_NEQ, 0)
                        .verdict(NF_ACCEPT)
                        .build());
    rules.push_back(
        rule().connectionMarkIs(FlowMark::drop).transportIs(IPPROTO_TCP).rejectWithReset().build());
    rules.push_back(rule().connectionMarkIs(FlowMark::drop).verdict(NF_DROP).build());

    rules.push_back(rule().directionIsReply().verdict(NF_ACCEPT).build());
    for (const int family : {AF_INET, AF_INET6}) {
        for (const std::uint8_t words : emptySegmentHeaderWords) {
            rules.push_back(rule()
                                .connectionMarkIs(FlowMark::inspect)
                                .isEmptyAcknowledgment(family, words)
                                .verdict(NF_ACCEPT)
                                .build());
        }
    }
    rules.push_back(rule()
                        .connectionMarkIs(FlowMark::inspect)
                        .queue(flowQueues.first, useCompatibility, flowQueues.count)
                        .build());

    if (!settings.hostRuleNames.empty()) {
        for (const auto& [family, set, identifier] :
             {std::tuple{AF_INET, NftablesTable::learnedIPv4Set, learnedIPv4SetIdentifier},
              std::tuple{AF_INET6, NftablesTable::learnedIPv6Set, learnedIPv6SetIdentifier}}) {
            rules.push_back(rule()
                                .isNewFlow(IPPROTO_TCP)
                                .destinationInSet(family, set, identifier)
                                .destinationPortIsNone({80, 443, dnsPort})
                                .queue(flowQueues.first, useCompatibility, flowQueues.count)
                                .build());
            rules.push_back(rule()
                                .isNewFlow(IPPROTO_UDP)
                                .destinationInSet(family, set, identifier)
                                .destinationPortIsNone({443, dnsPort})
                                .queue(flowQueues.first, useCompatibility, flowQueues.count)
                                .build());
        }
    }

    for (const auto& match : settings.matches) {
        auto matching = rule();
        matching.isNewFlow(match.protocol).destinationIn(match.network, match.prefix);
        if (match.port) {
            matching.destinationPortIs(*match.port);
        }
        finishWithAction(matching, match.action, match.protocol, flowQueues, useCompatibility);
        rules.push_back(matching.build());
    }
    if (!settings.namedHostRules.empty()) {
        // QUIC flows, whose host names the stand-in learns from their Initial packets.
        rules.push_back(rule()
                            .isNewFlow(IPPROTO_UDP)
                            .destinationPortIs(quicPort)
                            .setMark(FlowMark::nameLookup)
                            .queue(flowQueues.first, useCompatibility, flowQueues.count)
                            .build());
    }
    if (settings.defaultAction != filter::NEFilterAction::allow) {
        for (std::uint8_t protocol : {std::uint8_t{IPPROTO_TCP}, std::uint8_t{IPPROTO_UDP}}) {
            auto fallback = rule();
            fallback.isNewFlow(protocol);
            finishWithAction(fallback, settings.defaultAction, protocol, flowQueues,
                             useCompatibility);
            rules.push_back(fallback.build());
        }
    }
    return rules;
}

// The rules of the input chain: DNS answers go to the answer queues, each to the queue of the
// processor that received it, so that its reader wakes where the answer already is. Only packets
// that answer a connection this machine opened count, so that nobody can teach the stand-in names
// by sending unasked-for packets from port 53.
std::vector<std::unique_ptr<nftnl_rule, RuleDeleter>> answerChainRules(
    const std::string& table,
    const NftablesTable::QueueRange& answerQueues,
    bool useCompatibility) {
    std::vector<std::unique_ptr<nftnl_rule, RuleDeleter>> rules;
    for (std::uint8_t protocol : {std::uint8_t{IPPROTO_UDP}, std::uint8_t{IPPROTO_TCP}}) {
        rules.push_back(RuleBuilder(table, answerChainName)
                            .transportIs(protocol)
                            .sourcePortIs(dnsPort)
                            .directionIsReply()
                            .queue(answerQueues.first, useCompatibility, answerQueues.count)
                            .build());
    }
    return rules;
}

std::uint32_t nextSequence() {
    static std::atomic<std::uint32_t> sequence{static_cast<std::uint32_t>(std::time(nullptr))};
    return sequence++;
}

void addTableMessage(MessageBatch& batch, const std::string& name, std::uint16_t type) {
    nftnl_table* table = nftnl_table_alloc();
    nftnl_table_set_str(table, NFTNL_TABLE_NAME, name.c_str());
    const std::uint16_t flags = type == NFT_MSG_NEWTABLE ? NLM_F_CREATE | NLM_F_ACK : NLM_F_ACK;
    nlmsghdr* message =
        nftnl_table_nlmsg_build_hdr(batch.next(), type, NFPROTO_INET, flags, nextSequence());
    nftnl_table_nlmsg_build_payload(message, table);
    batch.commit(message);
    nftnl_table_free(table);
}

void addChainMessage(MessageBatch& batch,
                     const std::string& table,
                     const char* name = chainName,
                     std::uint32_t hook = NF_INET_LOCAL_OUT) {
    nftnl_chain* chain = nftnl_chain_alloc();
    nftnl_chain_set_str(chain, NFTNL_CHAIN_TABLE, table.c_str());
    nftnl_chain_set_str(chain, NFTNL_CHAIN_NAME, name);
    nftnl_chain_set_str(chain, NFTNL_CHAIN_TYPE, "filter");
    nftnl_chain_set_u32(chain, NFTNL_CHAIN_HOOKNUM, hook);
    nftnl_chain_set_s32(chain, NFTNL_CHAIN_PRIO, chainPriority);
    nftnl_chain_set_u32(chain, NFTNL_CHAIN_POLICY, NF_ACCEPT);
    nlmsghdr* message = nftnl_chain_nlmsg_build_hdr(batch.next(), NFT_MSG_NEWCHAIN, NFPROTO_INET,
                                                    NLM_F_CREATE | NLM_F_ACK, nextSequence());
    nftnl_chain_nlmsg_build_payload(message, chain);
    batch.commit(message);
    nftnl_chain_free(chain);
}

struct SetDeleter {
    void operator()(nftnl_set* set) const { nftnl_set_free(set); }
};
using SetPointer = std::unique_ptr<nftnl_set, SetDeleter>;

SetPointer learnedSet(const std::string& table, int family) {
    SetPointer set(nftnl_set_alloc());
    const bool isIPv6 = family == AF_INET6;
    nftnl_set_set_str(set.get(), NFTNL_SET_TABLE, table.c_str());
    nftnl_set_set_str(set.get(), NFTNL_SET_NAME,
                      isIPv6 ? NftablesTable::learnedIPv6Set : NftablesTable::learnedIPv4Set);
    nftnl_set_set_u32(set.get(), NFTNL_SET_FAMILY, NFPROTO_INET);
    nftnl_set_set_u32(set.get(), NFTNL_SET_ID,
                      isIPv6 ? learnedIPv6SetIdentifier : learnedIPv4SetIdentifier);
    return set;
}

void addSetMessage(MessageBatch& batch, const std::string& table, int family) {
    auto set = learnedSet(table, family);
    const bool isIPv6 = family == AF_INET6;
    nftnl_set_set_u32(set.get(), NFTNL_SET_FLAGS, NFT_SET_TIMEOUT);
    nftnl_set_set_u32(set.get(), NFTNL_SET_KEY_TYPE, isIPv6 ? ipv6AddressType : ipv4AddressType);
    nftnl_set_set_u32(set.get(), NFTNL_SET_KEY_LEN, isIPv6 ? 16 : 4);
    nlmsghdr* message = nftnl_nlmsg_build_hdr(batch.next(), NFT_MSG_NEWSET, NFPROTO_INET,
                                              NLM_F_CREATE | NLM_F_ACK, nextSequence());
    nftnl_set_nlmsg_build_payload(message, set.get());
    batch.commit(message);
}

// Messages of `type` (NFT_MSG_NEWSETELEM, NFT_MSG_DELSETELEM) for the addresses of `family`.
void addElementMessages(MessageBatch& batch,
                        const std::string& table,
                        int family,
                        std::span<const TimedAddress> addresses,
                        std::uint16_t type,
                        bool isAcknowledged = true) {
    std::size_t index = 0;
    while (index < addresses.size()) {
        auto set = learnedSet(table, family);
        std::size_t added = 0;
        for (; index < addresses.size() && added < elementsPerMessage; ++index) {
            const auto& each = addresses[index];
            if (each.address.family != family) {
                continue;
            }
            nftnl_set_elem* element = nftnl_set_elem_alloc();
            nftnl_set_elem_set(element, NFTNL_SET_ELEM_KEY, each.address.bytes.data(),
                               static_cast<std::uint32_t>(each.address.length()));
            if (type == NFT_MSG_NEWSETELEM) {
                nftnl_set_elem_set_u64(
                    element, NFTNL_SET_ELEM_TIMEOUT,
                    static_cast<std::uint64_t>(std::max<std::int64_t>(1, each.timeout.count())));
            }
            nftnl_set_elem_add(set.get(), element);
            ++added;
        }
        if (added == 0) {
            break;
        }
        nlmsghdr* message = nftnl_nlmsg_build_hdr(
            batch.next(), type, NFPROTO_INET,
            (type == NFT_MSG_NEWSETELEM ? NLM_F_CREATE : 0) | (isAcknowledged ? NLM_F_ACK : 0),
            nextSequence());
        nftnl_set_elems_nlmsg_build_payload(message, set.get());
        batch.commit(message);
    }
}

using SocketHandle = std::unique_ptr<mnl_socket, decltype(&mnl_socket_close)>;

SocketHandle openSocket() {
    SocketHandle socket(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC), &mnl_socket_close);
    if (socket && mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        socket.reset();
    }
    return socket;
}

// Sends the batch through `socket` and collects the kernel's answers, which are all there once
// the send returns: the first error (its code in `errorCode`), or success. The kernel answers a
// failed message whether or not it asked for an acknowledgment.
base::Expected<bool> send(const MessageBatch& batch, mnl_socket* socket, int& errorCode) {
    errorCode = 0;
    if (socket == nullptr) {
        errorCode = errno != 0 ? errno : EBADF;
        return base::Error{std::strerror(errorCode)};
    }
    if (mnl_socket_sendto(socket, batch.data(), batch.size()) < 0) {
        errorCode = errno;
        return base::Error{std::strerror(errorCode)};
    }
    std::array<char, 8192> answer;
    std::optional<int> firstError;
    for (;;) {
        const ssize_t length =
            ::recv(mnl_socket_get_fd(socket), answer.data(), answer.size(), MSG_DONTWAIT);
        if (length <= 0) {
            break;
        }
        int remaining = static_cast<int>(length);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(answer.data());
             mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
            if (message->nlmsg_type != NLMSG_ERROR) {
                continue;
            }
            const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
            if (error->error != 0 && !firstError) {
                firstError = -error->error;
            }
        }
    }
    if (firstError) {
        errorCode = *firstError;
        return base::Error{std::strerror(errorCode)};
    }
    return true;
}

base::Expected<bool> send(const MessageBatch& batch, int& errorCode) {
    errno = 0;
    const auto socket = openSocket();
    return send(batch, socket.get(), errorCode);
}

}  // namespace

NftablesTable::NftablesTable(std::string name,
                             QueueRange flowQueues,
                             std::optional<QueueRange> answerQueues)
    : tableName(std::move(name)), flowQueues(flowQueues), answerQueues(answerQueues) {}

NftablesTable::~NftablesTable() {
    if (elementSocket) {
        mnl_socket_close(elementSocket);
    }
}

base::Expected<bool> NftablesTable::install(const TranslatedSettings& settings,
                                            std::span<const TimedAddress> learned) {
    int errorCode = 0;
    if (queueStyle != QueueStyle::compatibility) {
        auto installed = commit(&settings, learned, false, errorCode);
        // A kernel without the queue expression answers that no such expression exists.
        if (installed || queueStyle == QueueStyle::native || errorCode != ENOENT) {
            if (installed) {
                queueStyle = QueueStyle::native;
            }
            return installed;
        }
    }
    auto installed = commit(&settings, learned, true, errorCode);
    if (installed) {
        queueStyle = QueueStyle::compatibility;
    }
    return installed;
}

base::Expected<bool> NftablesTable::remove() {
    int errorCode = 0;
    auto removed = commit(nullptr, {}, false, errorCode);
    if (!removed && errorCode == ENOENT) {
        return true;
    }
    return removed;
}

base::Expected<bool> NftablesTable::addAddresses(std::span<const TimedAddress> addresses) {
    // Adding an element that is there already gives it the new timeout (older kernels keep
    // the old one; the element then lapses early and comes back with the next answer). Deleting
    // and adding it anew would work everywhere but makes the kernel wait for a grace period:
    // milliseconds, while the answer waits.
    // The answer waits for this call: the socket stays open from one call to the next, and the
    // kernel acknowledges nothing but a failure.
    MessageBatch batch;
    batch.commit(nftnl_batch_begin(batch.next(), nextSequence()));
    for (const int family : {AF_INET, AF_INET6}) {
        addElementMessages(batch, tableName, family, addresses, NFT_MSG_NEWSETELEM, false);
    }
    batch.commit(nftnl_batch_end(batch.next(), nextSequence()));
    if (!elementSocket) {
        errno = 0;
        elementSocket = openSocket().release();
    }
    int errorCode = 0;
    auto sent = send(batch, elementSocket, errorCode);
    if (!sent) {
        // The next call starts afresh, with a socket of its own.
        if (elementSocket) {
            mnl_socket_close(elementSocket);
            elementSocket = nullptr;
        }
        return base::Error{"cannot add addresses to the sets of table inet " + tableName + ": " +
                           sent.error().description};
    }
    return true;
}

base::Expected<bool> NftablesTable::commit(const TranslatedSettings* settings,
                                           std::span<const TimedAddress> learned,
                                           bool useCompatibility,
                                           int& errorCode) {
    MessageBatch batch;
    batch.commit(nftnl_batch_begin(batch.next(), nextSequence()));
    if (settings) {
        // Creating the table first makes the deletion succeed whether or not it existed.
        addTableMessage(batch, tableName, NFT_MSG_NEWTABLE);
    }
    addTableMessage(batch, tableName, NFT_MSG_DELTABLE);
    if (settings) {
        addTableMessage(batch, tableName, NFT_MSG_NEWTABLE);
        addChainMessage(batch, tableName);
        if (!settings->hostRuleNames.empty()) {
            for (const int family : {AF_INET, AF_INET6}) {
                addSetMessage(batch, tableName, family);
                addElementMessages(batch, tableName, family, learned, NFT_MSG_NEWSETELEM);
            }
        }
        auto rules = chainRules(tableName, *settings, flowQueues, useCompatibility);
        if (answerQueues) {
            addChainMessage(batch, tableName, answerChainName, NF_INET_LOCAL_IN);
            for (auto& rule : answerChainRules(tableName, *answerQueues, useCompatibility)) {
                rules.push_back(std::move(rule));
            }
        }
        for (const auto& rule : rules) {
            nlmsghdr* message =
                nftnl_rule_nlmsg_build_hdr(batch.next(), NFT_MSG_NEWRULE, NFPROTO_INET,
                                           NLM_F_APPEND | NLM_F_CREATE | NLM_F_ACK, nextSequence());
            nftnl_rule_nlmsg_build_payload(message, rule.get());
            batch.commit(message);
        }
    }
    batch.commit(nftnl_batch_end(batch.next(), nextSequence()));

    auto sent = send(batch, errorCode);
    if (!sent) {
        return base::Error{std::string(settings ? "cannot install" : "cannot delete") +
                           " nftables table inet " + tableName + ": " + sent.error().description};
    }
    return true;
}

}  // namespace platform::netfilter

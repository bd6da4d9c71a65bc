#include "platform/netfilter/DNSAnswerReader.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "base/ByteReader.h"

namespace platform::netfilter {
namespace {

// A host name as the resolver's parser prints it, in lower case; nothing for the root and for
// names whose labels needed escaping (dots or bytes outside printable ASCII inside a label).
std::optional<std::string> hostName(std::string_view printed) {
    if (printed.empty() || printed == ".") {
        return std::nullopt;
    }
    std::string name;
    name.reserve(printed.size());
    for (const char character : printed) {
        if (character == '\\' || character <= ' ' || character > '~') {
            return std::nullopt;
        }
        name.push_back(character >= 'A' && character <= 'Z'
                           ? static_cast<char>(character - 'A' + 'a')
                           : character);
    }
    if (name.back() == '.') {
        name.pop_back();
    }
    return name;
}

struct Link {
    std::string owner;
    std::string target;
    std::uint32_t ttlSeconds = 0;
};

}  // namespace

std::optional<DNSAnswer> readDNSAnswer(std::span<const std::uint8_t> message) {
    if (message.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    ns_msg parsed;
    if (ns_initparse(message.data(), static_cast<int>(message.size()), &parsed) != 0) {
        return std::nullopt;
    }
    if (ns_msg_getflag(parsed, ns_f_qr) != 1 ||
        ns_msg_getflag(parsed, ns_f_rcode) != ns_r_noerror || ns_msg_count(parsed, ns_s_qd) != 1) {
        return std::nullopt;
    }
    ns_rr record;
    if (ns_parserr(&parsed, ns_s_qd, 0, &record) != 0 || ns_rr_class(record) != ns_c_in) {
        return std::nullopt;
    }
    auto questionName = hostName(ns_rr_name(record));
    if (!questionName) {
        return std::nullopt;
    }

    struct AddressRecord {
        std::string owner;
        DNSAnswer::Address address;
    };
    std::vector<Link> links;
    std::vector<AddressRecord> addressRecords;
    const int answerCount = ns_msg_count(parsed, ns_s_an);
    for (int index = 0; index < answerCount; ++index) {
        if (ns_parserr(&parsed, ns_s_an, index, &record) != 0) {
            // What came before is sound; a broken record ends the section.
            break;
        }
        if (ns_rr_class(record) != ns_c_in) {
            continue;
        }
        const auto owner = hostName(ns_rr_name(record));
        if (!owner) {
            continue;
        }
        const std::span<const std::uint8_t> data(ns_rr_rdata(record), ns_rr_rdlen(record));
        switch (ns_rr_type(record)) {
            case ns_t_a:
            case ns_t_aaaa: {
                const bool isIPv6 = ns_rr_type(record) == ns_t_aaaa;
                if (data.size() != (isIPv6 ? 16u : 4u)) {
                    continue;
                }
                addressRecords.push_back(
                    {*owner,
                     {IPAddress::fromBytes(isIPv6 ? AF_INET6 : AF_INET, data), ns_rr_ttl(record)}});
                break;
            }
            case ns_t_cname: {
                std::array<char, NS_MAXDNAME> target{};
                const int used = ns_name_uncompress(ns_msg_base(parsed), ns_msg_end(parsed),
                                                    data.data(), target.data(), target.size());
                if (used < 0 || static_cast<std::size_t>(used) > data.size()) {
                    continue;
                }
                if (auto targetName = hostName(target.data())) {
                    links.push_back({*owner, std::move(*targetName), ns_rr_ttl(record)});
                }
                break;
            }
            default:
                break;
        }
    }

    // The names that stand for the question, each with the shortest TTL on its way there.
    std::vector<std::pair<std::string, std::uint32_t>> chain{
        {*questionName, std::numeric_limits<std::uint32_t>::max()}};
    while (chain.size() <= maximumCNAMELinks) {
        const std::string current = chain.back().first;
        const std::uint32_t ttl = chain.back().second;
        const auto link = std::find_if(links.begin(), links.end(),
                                       [&](const Link& each) { return each.owner == current; });
        if (link == links.end() || std::any_of(chain.begin(), chain.end(), [&](const auto& entry) {
                return entry.first == link->target;
            })) {
            break;
        }
        const std::uint32_t shortest = std::min(ttl, link->ttlSeconds);
        chain.emplace_back(link->target, shortest);
    }

    DNSAnswer answer;
    answer.questionName = std::move(*questionName);
    for (const auto& each : addressRecords) {
        const auto member = std::find_if(chain.begin(), chain.end(), [&](const auto& entry) {
            return entry.first == each.owner;
        });
        if (member == chain.end()) {
            continue;
        }
        if (answer.addresses.size() == maximumAddressesPerAnswer) {
            break;
        }
        answer.addresses.push_back(
            {each.address.address, std::min(each.address.ttlSeconds, member->second)});
    }
    if (answer.addresses.empty()) {
        return std::nullopt;
    }
    return answer;
}

std::vector<std::span<const std::uint8_t>> dnsMessagesInPacket(const PacketHeaders& headers) {
    std::vector<std::span<const std::uint8_t>> messages;
    if (headers.isTruncated || headers.payload.empty()) {
        return messages;
    }
    if (headers.protocol == IPPROTO_UDP) {
        messages.push_back(headers.payload);
        return messages;
    }
    if (headers.protocol != IPPROTO_TCP) {
        return messages;
    }
    base::ByteReader reader(headers.payload);
    while (reader.remaining() > 0) {
        const auto length = reader.readU16BigEndian();
        if (!length) {
            break;
        }
        const auto body = reader.readBytes(*length);
        if (!body) {
            break;
        }
        messages.push_back(*body);
    }
    return messages;
}

}  // namespace platform::netfilter

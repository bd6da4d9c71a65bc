// Feeds arbitrary bytes to the DNS answer path as a UDP and as a TCP payload from port 53: the
// messages found, the answers read and the names learnt from them. Whatever an answer gives must
// be what the name table then says of its addresses.

#include <netinet/in.h>

#include <cstdlib>

#include "platform/netfilter/DNSAnswerReader.h"
#include "platform/netfilter/LearnedNameRouting.h"

using namespace platform::netfilter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One table for every input, as in the filter: bounded, and kept from input to input.
    static const AddressSetWriter accept = [](auto) { return base::Expected<bool>(true); };
    static LearnedNameRouting routing(accept);
    static const bool didInstall = bool(routing.replaceHostNames(
        {"blocked.example", "example"}, LearnedNameRouting::Clock::now(), accept));
    const auto now = LearnedNameRouting::Clock::now();
    for (const std::uint8_t protocol : {std::uint8_t{IPPROTO_UDP}, std::uint8_t{IPPROTO_TCP}}) {
        PacketHeaders headers;
        headers.protocol = protocol;
        headers.sourcePort = 53;
        headers.payload = {data, size};
        for (const auto message : dnsMessagesInPacket(headers)) {
            const auto answer = readDNSAnswer(message);
            if (!answer) {
                continue;
            }
            if (!didInstall || answer->questionName.empty() || answer->addresses.empty() ||
                answer->addresses.size() > maximumAddressesPerAnswer) {
                std::abort();
            }
            routing.learn(*answer, now);
            // The last record of an address holds: its name is the question's.
            if (routing.nameFor(answer->addresses.back().address, now) != answer->questionName) {
                std::abort();
            }
        }
    }
    return 0;
}

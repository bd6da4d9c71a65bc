#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "filter/framework/NEFilterDataProvider.h"
#include "platform/netfilter/FlowTracker.h"

namespace support {

// A provider whose verdicts the test scripts, and which records every call.
class ScriptedProvider final : public filter::NEFilterDataProvider {
  public:
    struct NewFlow {
        platform::UUID identifier;
        bool hasURL = false;
        std::optional<std::string> remoteHostname;
        std::string remoteAddress;
        std::string remotePort;
        std::int32_t socketType = 0;
    };
    struct Delivery {
        platform::UUID identifier;
        std::size_t offset = 0;
        std::string bytes;
    };

    std::function<filter::NEFilterNewFlowVerdict()> newFlowVerdict = [] {
        return filter::NEFilterNewFlowVerdict::filterDataVerdict(false, 0, true, 1024);
    };
    // By default every chunk is passed whole and 1024 more bytes are asked for.
    std::function<filter::NEFilterDataVerdict(const Delivery&)> dataVerdict =
        [](const Delivery& delivery) {
            return filter::NEFilterDataVerdict::pass(delivery.bytes.size(), 1024);
        };
    filter::NEFilterDataVerdict completeVerdict = filter::NEFilterDataVerdict::allow();
    bool throwsOnNewFlow = false;

    std::vector<NewFlow> newFlows;
    std::vector<Delivery> deliveries;
    std::vector<platform::UUID> completions;

    void startFilter(filter::SettingsCompletion) override {}
    void stopFilter(filter::NEProviderStopReason, std::function<void()>) override {}

    filter::NEFilterNewFlowVerdict handleNewFlow(const filter::NEFilterFlow& flow) override {
        if (throwsOnNewFlow) {
            throw std::runtime_error("scripted failure");
        }
        NewFlow seen;
        seen.identifier = flow.identifier();
        seen.hasURL = flow.URL().has_value();
        if (const auto* socketFlow = dynamic_cast<const filter::NEFilterSocketFlow*>(&flow)) {
            seen.remoteHostname = socketFlow->remoteHostname();
            seen.socketType = socketFlow->socketType();
            if (const auto* host = dynamic_cast<const filter::NWHostEndpoint*>(
                    socketFlow->remoteEndpoint().get())) {
                seen.remoteAddress = host->hostname();
                seen.remotePort = host->port();
            }
        }
        newFlows.push_back(seen);
        return newFlowVerdict();
    }

    filter::NEFilterDataVerdict handleOutboundData(const filter::NEFilterFlow& flow,
                                                   std::size_t offset,
                                                   std::span<const std::uint8_t> bytes) override {
        deliveries.push_back({flow.identifier(), offset, std::string(bytes.begin(), bytes.end())});
        return dataVerdict(deliveries.back());
    }

    filter::NEFilterDataVerdict handleOutboundDataComplete(
        const filter::NEFilterFlow& flow) override {
        completions.push_back(flow.identifier());
        return completeVerdict;
    }

    // The bytes delivered, in order, joined.
    std::string deliveredText() const {
        std::string text;
        for (const auto& delivery : deliveries) {
            text += delivery.bytes;
        }
        return text;
    }
};

// Records the tracker's verdicts and resets.
class RecordingSink final : public platform::netfilter::PacketVerdictSink {
  public:
    std::vector<std::pair<std::uint32_t, platform::netfilter::PacketDisposition>> verdicts;
    std::vector<platform::netfilter::ResetSegment> resets;

    void setVerdict(const platform::netfilter::QueuedPacket& packet,
                    platform::netfilter::PacketDisposition disposition) override {
        verdicts.emplace_back(packet.identifier, disposition);
    }
    void sendReset(const platform::netfilter::ResetSegment& segment) override {
        resets.push_back(segment);
    }

    // The verdict given to packet `identifier`, if any; a packet must get at most one.
    std::optional<platform::netfilter::PacketDisposition> verdictFor(
        std::uint32_t identifier) const {
        std::optional<platform::netfilter::PacketDisposition> found;
        for (const auto& [packet, disposition] : verdicts) {
            if (packet == identifier) {
                if (found) {
                    return std::nullopt;
                }
                found = disposition;
            }
        }
        return found;
    }
    std::size_t verdictCount(std::uint32_t identifier) const {
        std::size_t count = 0;
        for (const auto& verdict : verdicts) {
            count += verdict.first == identifier ? 1 : 0;
        }
        return count;
    }
};

// Builds the headers of one flow's outbound packets: 10.0.0.2:40000 to 192.0.2.7:443 by default.
class FlowPackets {
  public:
    static constexpr std::uint32_t initialSequence = 1000;

    explicit FlowPackets(std::uint8_t protocol = IPPROTO_TCP,
                         std::string remote = "192.0.2.7",
                         std::uint16_t remotePort = 443,
                         std::uint16_t localPort = 40000)
        : protocol(protocol) {
        headers.destination = *platform::netfilter::IPAddress::fromText(remote);
        headers.source = *platform::netfilter::IPAddress::fromText(
            headers.destination.family == AF_INET6 ? "::1" : "10.0.0.2");
        headers.protocol = protocol;
        headers.sourcePort = localPort;
        headers.destinationPort = remotePort;
    }

    platform::netfilter::PacketHeaders syn(std::uint32_t sequence = initialSequence) {
        return tcp(sequence, TH_SYN, "");
    }
    // Data at `offset` of the outbound bytes, with ACK set.
    platform::netfilter::PacketHeaders data(std::size_t offset,
                                            std::string bytes,
                                            std::uint8_t extraFlags = 0) {
        return tcp(initialSequence + 1 + static_cast<std::uint32_t>(offset), TH_ACK | extraFlags,
                   std::move(bytes));
    }
    platform::netfilter::PacketHeaders fin(std::size_t offset, std::string bytes = "") {
        return data(offset, std::move(bytes), TH_FIN);
    }
    platform::netfilter::PacketHeaders reset(std::size_t offset) {
        return data(offset, "", TH_RST);
    }
    platform::netfilter::PacketHeaders datagram(std::string bytes) {
        auto packet = headers;
        packet.payload = keep(std::move(bytes));
        return packet;
    }

  private:
    platform::netfilter::PacketHeaders tcp(std::uint32_t sequence,
                                           std::uint8_t flags,
                                           std::string bytes) {
        auto packet = headers;
        packet.sequence = sequence;
        packet.acknowledgment = 5000;
        packet.tcpFlags = flags;
        packet.payload = keep(std::move(bytes));
        return packet;
    }
    std::span<const std::uint8_t> keep(std::string bytes) {
        payloads.push_back(std::move(bytes));
        const auto& kept = payloads.back();
        return {reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size()};
    }

    std::uint8_t protocol;
    platform::netfilter::PacketHeaders headers;
    std::deque<std::string> payloads;
};

}  // namespace support

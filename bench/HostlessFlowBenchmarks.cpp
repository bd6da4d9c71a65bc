// A flow that carries only an address, decided from its first outbound bytes: real captured
// ClientHellos and HTTP requests, handed over whole or in the platform's 1024-byte chunks, through
// handleNewFlow and handleOutboundData with the real suite underneath. Also the parsers alone on
// the largest capture, matching against the large list.

#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <algorithm>
#include <span>

#include "bench/BenchmarkFamilies.h"
#include "bench/BenchmarkSupport.h"
#include "bench/FilterEnvironment.h"
#include "common/DomainIndex.h"
#include "filter/HostSniffing.h"
#include "platform/netfilter/QUICInitialReader.h"

namespace bench {
namespace {

constexpr std::size_t chunkLength = 1024;
constexpr std::size_t hostlessPolicySize = 100000;

struct Capture {
    const char* name;
    const char* port;
    // Whether the server name it carries is in the policy.
    bool isBlocked;
};
constexpr Capture captures[] = {
    {"tls-chromium.bin", "443", false}, {"tls-curl.bin", "443", true},
    {"tls-python.bin", "443", false},   {"tls12-openssl.bin", "443", true},
    {"tls13-openssl.bin", "443", true}, {"http-curl.bin", "80", true},
    {"http-python.bin", "80", false},
};

void runHostlessFlow(benchmark::State& state,
                     Capture capture,
                     bool isChunked,
                     Implementation implementation) {
    auto& environment =
        filterEnvironment(PolicySource::vendorConfiguration, hostlessPolicySize, implementation);
    const base::Data bytes = captureBytes(capture.name);
    const filter::NEFilterSocketFlow flow(
        base::UUID(), std::nullopt, std::nullopt,
        filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", capture.port), SOCK_STREAM);
    const std::size_t step = isChunked ? chunkLength : bytes.size();
    const auto expected = capture.isBlocked ? filter::NEFilterDataVerdict::Kind::drop
                                            : filter::NEFilterDataVerdict::Kind::allow;

    for (auto _ : state) {
        const auto first = implementation == Implementation::ours
                               ? environment.provider->handleNewFlow(flow)
                               : environment.simple->handleNewFlow(flow);
        if (first.kind != filter::NEFilterNewFlowVerdict::Kind::filterData) {
            state.SkipWithError("the flow was not sent to inspection");
            break;
        }
        filter::NEFilterDataVerdict verdict;
        for (std::size_t offset = 0; offset < bytes.size(); offset += step) {
            const std::span<const std::uint8_t> chunk(bytes.data() + offset,
                                                      std::min(step, bytes.size() - offset));
            verdict = implementation == Implementation::ours
                          ? environment.provider->handleOutboundData(flow, offset, chunk)
                          : environment.simple->handleOutboundData(flow, chunk);
            if (verdict.kind != filter::NEFilterDataVerdict::Kind::pass) {
                break;
            }
        }
        if (verdict.kind != expected) {
            state.SkipWithError("unexpected verdict");
            break;
        }
    }
}

// The parsers alone, with the provider's kind of matcher (the index) or a walk over the list.
void runParser(benchmark::State& state, bool isTLS, Implementation implementation) {
    const auto domains = syntheticDomains(hostlessPolicySize);
    const common::DomainIndex index(domains);
    const auto matchedDomain = [&](const std::string& host) -> std::optional<std::string> {
        if (implementation != Implementation::ours) {
            return linearMatchedDomain(domains, host);
        }
        if (auto position = index.firstCoveringPosition(host)) {
            return domains[*position];
        }
        return std::nullopt;
    };
    const base::Data bytes = captureBytes(isTLS ? "tls-chromium.bin" : "http-python.bin");
    for (auto _ : state) {
        auto sniffed = isTLS ? filter::parseTLSClientHelloSNI(bytes) : filter::parseHTTPHost(bytes);
        if (sniffed.kind != filter::SniffedHost::Kind::host || matchedDomain(*sniffed.host)) {
            state.SkipWithError("the capture gave no host");
            break;
        }
        benchmark::DoNotOptimize(sniffed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// Naming a QUIC flow from the first flight of a real Chromium (two Initial packets of 1250 bytes,
// its post-quantum ClientHello split across them): keys from the connection ID, header
// protection, decryption, CRYPTO reassembly and the ClientHello reader. With `alternates`, flows
// of two connections take turns, so no flow finds the previous flow's keys in the thread's
// OpenSSL contexts.
void runQUICInitialReader(benchmark::State& state, bool alternates) {
    const base::Data captures[] = {
        captureBytes("quic-chromium-v4.bin"),
        captureBytes(alternates ? "quic-chromium-v6.bin" : "quic-chromium-v4.bin")};
    std::vector<std::span<const std::uint8_t>> flows[2];
    for (std::size_t index = 0; index < 2; ++index) {
        const base::Data& bytes = captures[index];
        for (std::size_t offset = 0; offset + 2 <= bytes.size();) {
            const std::size_t length = (std::size_t{bytes[offset]} << 8) | bytes[offset + 1];
            flows[index].emplace_back(bytes.data() + offset + 2, length);
            offset += 2 + length;
        }
    }
    std::size_t flowIndex = 0;
    for (auto _ : state) {
        platform::netfilter::QUICInitialReader reader;
        for (const auto& datagram : flows[flowIndex++ % 2]) {
            reader.addDatagram(datagram);
        }
        if (reader.outcome().kind != platform::netfilter::QUICInitialReader::Kind::name) {
            state.SkipWithError("the capture gave no name");
            break;
        }
        benchmark::DoNotOptimize(reader.outcome());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * captures[0].size()));
}

}  // namespace

void registerHostlessFlowBenchmarks() {
    for (const auto& capture : captures) {
        for (const bool isChunked : {false, true}) {
            if (isChunked && captureBytes(capture.name).size() <= chunkLength) {
                continue;
            }
            for (const auto implementation : {Implementation::ours, Implementation::simple}) {
                const std::string name = std::string("HostlessFlow/") + capture.name + "/" +
                                         (isChunked ? "chunked" : "whole") + "/" +
                                         implementationName(implementation);
                benchmark::RegisterBenchmark(name.c_str(), runHostlessFlow, capture, isChunked,
                                             implementation)
                    ->UseRealTime();
            }
        }
    }
    for (const bool isTLS : {true, false}) {
        for (const auto implementation : {Implementation::ours, Implementation::simple}) {
            const std::string name = std::string("Parse/") +
                                     (isTLS ? "tls-chromium-1953B" : "http-python-120B") +
                                     "/100000/" + implementationName(implementation);
            benchmark::RegisterBenchmark(name.c_str(), runParser, isTLS, implementation)
                ->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("Parse/quic-chromium-2x1250B/ours", runQUICInitialReader, false)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Parse/quic-chromium-2x1250B/two-connections/ours",
                                 runQUICInitialReader, true)
        ->UseRealTime();
}

}  // namespace bench

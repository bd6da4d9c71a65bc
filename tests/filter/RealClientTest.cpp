// The first bytes that real clients sent (tests/data/captures/, refreshed by
// scripts/refresh-captures.py) through the parsers and through the provider.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "SniffingTestSupport.h"
#include "fakes/ClientHelloBuilder.h"
#include "filter/HostSniffing.h"
#include "filter/ProviderTestSupport.h"
#include "support/TestData.h"

namespace filter::testing {
namespace {

using fakes::Bytes;

struct Capture {
    const char* file;
    bool isTLS;
    // The host the client was given, as the filter normalises it.
    const char* host;
};

const Capture captures[] = {
    {"tls12-openssl.bin", true, "tls12.openssl.test"},
    {"tls13-openssl.bin", true, "tls13.openssl.test"},
    {"tls-curl.bin", true, "curl.test"},
    {"tls-python.bin", true, "python.test"},
    {"tls-chromium.bin", true, "chromium.test"},
    {"http-curl.bin", false, "http.curl.test"},
    {"http-python.bin", false, "http.python.test"},
};

Bytes readCapture(const Capture& capture) {
    return support::testData(std::string("captures/") + capture.file);
}

// The length of the prefix from which the capture names its host: the end of the first TLS record
// or of the Host line.
std::size_t decidingLength(const Capture& capture, const Bytes& bytes) {
    if (capture.isTLS) {
        return 5 + ((bytes[3] << 8) | bytes[4]);
    }
    std::string lowered(bytes.begin(), bytes.end());
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return lowered.find("\r\n", lowered.find("\r\nhost:") + 2) + 2;
}

// Every prefix waits (or, before an HTTP Host line starts, finds none) until the one that
// completes the ClientHello or the Host line; from there on the host is named.
TEST(RealClientTest, ParsersNameTheHostOnceItIsComplete) {
    for (const auto& capture : captures) {
        SCOPED_TRACE(capture.file);
        const Bytes bytes = readCapture(capture);
        ASSERT_GE(bytes.size(), 5u);
        const auto parse = capture.isTLS ? parseTLSClientHelloSNI : parseHTTPHost;
        const std::size_t decided = decidingLength(capture, bytes);
        ASSERT_LE(decided, bytes.size()) << "the capture holds only part of what decides";
        for (std::size_t count = 0; count <= bytes.size(); ++count) {
            const auto sniffed = parse(std::span(bytes.data(), count));
            if (count >= decided) {
                ASSERT_EQ(sniffed, SniffedHost::found(capture.host)) << "prefix of " << count;
            } else {
                ASSERT_NE(sniffed.kind, SniffedHost::Kind::host) << "prefix of " << count;
            }
        }
    }
}

class RealClientInspectionTest : public ProviderTest {};

// Delivered in chunks as the platform might, a ClientHello is decided on the chunk that brings
// its last byte, and as it is when whole. (Chromium's, about 2 KB with its post-quantum key share,
// is decided past the first 1024 bytes.)
TEST_F(RealClientInspectionTest, ChunkedClientHelloIsDecidedOnItsLastByte) {
    for (const auto& capture : captures) {
        if (!capture.isTLS) {
            continue;
        }
        const Bytes bytes = readCapture(capture);
        const std::size_t helloEnd = decidingLength(capture, bytes);
        for (const char* blocked : {"test", "example.com"}) {
            framework->setVendorConfiguration(vendorConfiguration({blocked}, true, 1));
            const auto provider = makeProvider();
            provider->startFilter(nullptr);
            framework->completeAllInstallations();
            const bool isBlocked = std::string(blocked) == "test";
            for (const std::size_t chunkSize : {std::size_t{7}, std::size_t{1024}}) {
                SCOPED_TRACE(std::string(capture.file) + " in chunks of " +
                             std::to_string(chunkSize) + " under " + blocked);
                const NEFilterSocketFlow flow(
                    base::UUID(), std::nullopt, std::nullopt,
                    NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_STREAM);
                ASSERT_EQ(provider->handleNewFlow(flow).kind,
                          NEFilterNewFlowVerdict::Kind::filterData);
                std::size_t offset = 0;
                NEFilterDataVerdict verdict;
                do {
                    const std::size_t count = std::min(chunkSize, bytes.size() - offset);
                    verdict = provider->handleOutboundData(flow, offset,
                                                           std::span(bytes).subspan(offset, count));
                    offset += count;
                } while (verdict.kind == NEFilterDataVerdict::Kind::pass && offset < bytes.size());
                EXPECT_GE(offset, helloEnd);
                EXPECT_LT(offset - helloEnd, chunkSize);
                EXPECT_EQ(verdict.kind, isBlocked ? NEFilterDataVerdict::Kind::drop
                                                  : NEFilterDataVerdict::Kind::allow);
                if (isBlocked) {
                    EXPECT_EQ(store.text(common::keys::contentFilterLastBlockedHost), "test");
                }
                EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
            }
        }
    }
}

}  // namespace
}  // namespace filter::testing

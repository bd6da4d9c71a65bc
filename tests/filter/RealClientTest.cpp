// The first bytes that real clients sent (tests/data/captures/, refreshed by
// scripts/refresh-captures.py) through the parsers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "SniffingTestSupport.h"
#include "filter/HostSniffing.h"
#include "support/TestData.h"

namespace filter {
namespace {

using Bytes = std::vector<std::uint8_t>;

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

}  // namespace
}  // namespace filter

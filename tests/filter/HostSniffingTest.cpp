#include "filter/HostSniffing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>

#include "fakes/ClientHelloBuilder.h"
#include "support/TestData.h"

namespace filter {
void PrintTo(const SniffedHost& sniffed, std::ostream* stream) {
    using Kind = SniffedHost::Kind;
    *stream << (sniffed.kind == Kind::host           ? "host(\"" + sniffed.host.value_or("") + "\")"
                : sniffed.kind == Kind::needMoreData ? std::string("needMoreData")
                                                     : std::string("noHostname"));
}
}  // namespace filter

namespace {

using fakes::Bytes;
using fakes::bytesOf;
using filter::SniffedHost;
using Hello = fakes::ClientHelloBuilder;

const SniffedHost wait = SniffedHost::needMoreData();
const SniffedHost none = SniffedHost::noHostname();
SniffedHost host(std::string host) {
    return SniffedHost::found(std::move(host));
}

// A GET request whose header lines are `headers`.
Bytes get(const std::string& headers) {
    return bytesOf("GET / HTTP/1.1\r\n" + headers);
}

struct Case {
    const char* name;
    Bytes bytes;
    SniffedHost expected;
};

void expectOutcomes(const std::vector<Case>& cases,
                    SniffedHost (*parse)(std::span<const std::uint8_t>)) {
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(parse(testCase.bytes), testCase.expected);
    }
}

// Offsets in this ClientHello: extensions length at 86, first extension at 88.
Hello exampleOrg() {
    return Hello().withServerName("example.org");
}

// The first `count` bytes of a ClientHello, sent as one complete record, as a client does when
// its ClientHello spans several records.
Bytes firstBytesAsCompleteRecord(Hello builder, std::size_t count) {
    return builder.withRecordLength(static_cast<std::uint16_t>(count - 5))
        .truncatedTo(count)
        .build();
}

Hello withExtensionFirst(std::uint16_t type, Bytes body) {
    return Hello().withExtension({type, std::move(body), std::nullopt});
}

Hello withNames(std::vector<fakes::ServerNameEntry> entries) {
    return Hello().withServerNameList(std::move(entries));
}

// Waits only while the ClientHello is incomplete, then reads the server name or finds none.
TEST(TLSClientHelloSNITest, DecidesOnceTheExtensionsAreBuffered) {
    Bytes trailing = exampleOrg().build();
    trailing.insert(trailing.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01});
    const Bytes name = bytesOf("example.org");
    expectOutcomes(
        {
            {"four bytes of a handshake record", {0x16, 0x03, 0x01, 0x00}, wait},
            {"record not yet complete", exampleOrg().truncatedTo(60).build(), wait},
            {"two bytes after a complete 7-byte record", {22, 3, 1, 0, 2, 1, 0, 3, 3}, wait},
            {"ends inside the extensions length", firstBytesAsCompleteRecord(exampleOrg(), 87),
             wait},
            {"ends one byte before the extensions end",
             firstBytesAsCompleteRecord(exampleOrg(), 107), wait},
            {"session id longer than the bytes",
             firstBytesAsCompleteRecord(exampleOrg().withSessionID(Bytes(200, 1)), 120), wait},
            {"cipher suites longer than the bytes",
             exampleOrg().withCipherSuitesLength(900).build(), wait},
            {"compression methods longer than the bytes",
             exampleOrg().withCompressionMethodsLength(200).build(), wait},
            {"no extensions length at all", Hello().withoutExtensionsBlock().build(), wait},
            // Not a ClientHello.
            {"SSH banner", bytesOf("SSH-2.0-OpenSSH_9.2\r\n"), none},
            {"wrong record type before an incomplete record", {0x17, 0x03, 0x03, 0x40, 0x00}, none},
            {"complete 7-byte record", {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00}, none},
            {"ServerHello", exampleOrg().withHandshakeType(2).build(), none},
            // A whole ClientHello.
            {"record and handshake lengths too small",
             exampleOrg().withRecordLength(4).withHandshakeLength(0).build(), host("example.org")},
            {"bytes after the ClientHello", trailing, host("example.org")},
            {"empty session id and no cipher suites",
             exampleOrg().withSessionID({}).withCipherSuites({}).build(), host("example.org")},
            {"server name after another extension",
             withExtensionFirst(0x2B, {2, 3, 4}).withServerName("example.org").build(),
             host("example.org")},
            {"extensions block of 3 bytes",
             withExtensionFirst(23, {}).withExtensionsLength(3).build(), none},
            {"no server_name extension", withExtensionFirst(0x2B, {2, 3, 4}).build(), none},
            {"extension longer than the block",
             Hello().withExtension({23, {}, 100}).withServerName("example.org").build(), none},
            {"server_name of length 4, then a good one",
             withExtensionFirst(0, {0, 2, 0, 0}).withServerName("example.org").build(), none},
            {"list longer than its extension",
             Hello().withServerNameList({{0, name, std::nullopt}}, 40).build(), none},
            {"name longer than its list", withNames({{0, name, 30}}).build(), none},
            {"list of 2 bytes, then a second server_name",
             withExtensionFirst(0, {0, 2, 0xAA, 0xBB, 0xCC})
                 .withServerName("second.example")
                 .build(),
             host("second.example")},
            {"name type 1 before a host_name",
             withNames({{1, name, std::nullopt}, {0, bytesOf("host.example"), std::nullopt}})
                 .build(),
             host("host.example")},
            {"only name types other than host_name", withNames({{1, name, std::nullopt}}).build(),
             none},
            {"empty host_name", Hello().withServerName("").build(), host("")},
            {"normalised", Hello().withServerName("WWW.Blocked.EXAMPLE.").build(),
             host("blocked.example")},
            // Which bytes are valid UTF-8 is the validator's concern; here, that a whole name
            // ending inside a character fails it and is passed over for the next one.
            {"name not UTF-8, then a good one",
             withNames(
                 {{0, {'a', 0xC3}, std::nullopt}, {0, bytesOf("blocked.example"), std::nullopt}})
                 .build(),
             host("blocked.example")},
            {"valid UTF-8",
             Hello()
                 .withServerName("b\xC3\xBC"
                                 "cher.example")
                 .build(),
             host("b\xC3\xBC"
                  "cher.example")},
        },
        filter::parseTLSClientHelloSNI);
}

// Reads the first Host line of a known request once CR LF ends it: a cut-off value must not pass
// as the host.
TEST(HTTPHostTest, ReadsTheFirstHostLineOnceCRLFEndsIt) {
    std::vector<Case> cases = {
        {"header name in any case, port and www. removed", get("hOsT: WWW.Example.COM:8080\r\n"),
         host("example.com")},
        {"blanks around the value", get("Host: \t example.org \t\r\n"), host("example.org")},
        {"empty value", get("Host:\r\n\r\n"), host("")},
        {"Host after a bare LF is not a line",
         get("User-Agent: x\nHost: fake\r\nHost: example.org\r\n"), host("example.org")},
        {"two Host lines", get("Host: a.example\r\nHost: blocked.example\r\n"), host("a.example")},
        {"second Host line cut off", get("Host: a.example\r\nHost: blocked.exa"),
         host("a.example")},
        // Not yet ended.
        {"value cut off", get("Host: blocked.exam"), wait},
        {"CR without LF", get("Host: blocked.example\r"), wait},
        {"nothing after the colon yet", get("Host:"), wait},
        {"header name cut off", get("Accept: */*\r\nHo"), wait},
        {"value cut inside a character", get("Host: caf\xC3"), wait},
        {"value cut inside a four-byte character", get("Host: a\xF0\x9F\x98"), wait},
        // No Host line of a known request.
        {"method in lower case", bytesOf("get / HTTP/1.1\r\nHost: example.org\r\n"), none},
        {"OPTIONS", bytesOf("OPTIONS * HTTP/1.1\r\nHost: example.org\r\n"), none},
        {"CONNECT", bytesOf("CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n"), none},
        {"method without its space", bytesOf("GET"), none},
        {"bare LF line ends", bytesOf("GET / HTTP/1.1\nHost: example.org\n\n"), none},
        {"blank before the colon", get("Host : example.org\r\n"), none},
        {"blank before the name", get(" Host: example.org\r\n"), none},
        {"ends in another header", get("Accept: */*\r\nUser-Ag"), none},
        {"invalid UTF-8 after the Host line", get("Host: example.org\r\nX: \xFF\r\n"), none},
        {"cut character cannot begin the Host line", get("Ho\xC3"), none},
        {"invalid byte in an unended Host line", get("Host: caf\xC3\x28"), none},
        {"TLS ClientHello", exampleOrg().build(), none},
    };
    for (const char* method : {"GET", "POST", "HEAD", "PUT", "DELETE"}) {
        cases.push_back({method, bytesOf(std::string(method) + " /x HTTP/1.0\r\nHost: a.org\r\n"),
                         host("a.org")});
    }
    expectOutcomes(cases, filter::parseHTTPHost);
}

// The first bytes that real clients sent (tests/data/captures/, refreshed by
// scripts/refresh-captures.py) through the parsers.
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
        const auto parse = capture.isTLS ? filter::parseTLSClientHelloSNI : filter::parseHTTPHost;
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

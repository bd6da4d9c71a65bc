#include "filter/HostSniffing.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/ClientHelloBuilder.h"
#include "support/TestData.h"

namespace {

using fakes::Bytes;
using fakes::bytesOf;
using filter::SniffedHost;
using Hello = fakes::ClientHelloBuilder;

// "wait", "none", or "host " and the host read.
std::string describe(const SniffedHost& sniffed) {
    if (sniffed.kind == SniffedHost::Kind::host) {
        return "host " + sniffed.host.value();
    }
    return sniffed.kind == SniffedHost::Kind::needMoreData ? "wait" : "none";
}

struct Case {
    const char* name;
    Bytes bytes;
    const char* expected;
};

void expectOutcomes(const std::vector<Case>& cases,
                    SniffedHost (*parse)(std::span<const std::uint8_t>)) {
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(describe(parse(testCase.bytes)), testCase.expected);
    }
}

// The ClientHello of `hello` with a server_name extension for example.org added.
Bytes exampleOrg(Hello hello) {
    return hello.withServerName("example.org").build();
}

// Waits only while the ClientHello is incomplete, then reads the server name or finds none.
TEST(TLSClientHelloSNITest, DecidesOnceTheExtensionsAreBuffered) {
    const Bytes whole = exampleOrg({});
    // Cut anywhere after its handshake header but sent as a complete record, as a client sends a
    // ClientHello that spans several records.
    for (std::size_t count = 9; count < whole.size(); ++count) {
        auto cut = exampleOrg({.recordLength = static_cast<std::uint16_t>(count - 5)});
        cut.resize(count);
        EXPECT_EQ(describe(filter::parseTLSClientHelloSNI(cut)), "wait") << count;
    }
    const Bytes name = bytesOf("example.org");
    expectOutcomes(
        {
            {"four bytes of a handshake record", {0x16, 0x03, 0x01, 0x00}, "wait"},
            {"record not yet complete", {whole.begin(), whole.begin() + 60}, "wait"},
            {"two bytes after a complete 7-byte record", {22, 3, 1, 0, 2, 1, 0, 3, 3}, "wait"},
            // Not a ClientHello.
            {"wrong record type before an incomplete record", {0x17, 3, 3, 0x40, 0}, "none"},
            {"complete 7-byte record", {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00}, "none"},
            {"ServerHello", exampleOrg({.handshakeType = 2}), "none"},
            // A whole ClientHello.
            {"record and handshake lengths too small",
             exampleOrg({.recordLength = 4, .handshakeLength = 0}), "host example.org"},
            {"no server_name extension", Hello().withExtension({0x2B, {2, 3, 4}}).build(), "none"},
            {"extension longer than the block", exampleOrg(Hello().withExtension({23, {}, 100})),
             "none"},
            {"server_name of length 4, then a good one",
             exampleOrg(Hello().withExtension({0, {0, 2, 0, 0}})), "none"},
            {"list longer than its extension", Hello().withServerNameList({{0, name}}, 40).build(),
             "none"},
            {"name longer than its list", Hello().withServerNameList({{0, name, 30}}).build(),
             "none"},
            {"list of 2 bytes, then a second server_name",
             exampleOrg(Hello().withExtension({0, {0, 2, 0xAA, 0xBB, 0xCC}})), "host example.org"},
            // Which bytes are valid UTF-8 is the validator's concern; here, that a whole name
            // ending inside a character fails it and is passed over for the next one.
            {"name type 1 and a name not UTF-8 before a host_name, normalised",
             Hello()
                 .withServerNameList({{1, name}, {0, {'a', 0xC3}}, {0, bytesOf("WWW.B\xC3\xBC.")}})
                 .build(),
             "host b\xC3\xBC"},
        },
        filter::parseTLSClientHelloSNI);
}

// Reads the first Host line of a known request once CR LF ends it: a cut-off value must not pass
// as the host.
TEST(HTTPHostTest, ReadsTheFirstHostLineOnceCRLFEndsIt) {
    const auto get = [](const std::string& headers) {
        return bytesOf("GET / HTTP/1.1\r\n" + headers);
    };
    std::vector<Case> cases = {
        {"name in any case, blanks, port and www. removed", get("hOsT: \t WWW.Example.COM:80 \r\n"),
         "host example.com"},
        {"empty value", get("Host:\r\n\r\n"), "host "},
        {"Host after a bare LF is not a line",
         get("User-Agent: x\nHost: fake\r\nHost: example.org\r\n"), "host example.org"},
        {"second Host line cut off", get("Host: a.example\r\nHost: blocked.exa"), "host a.example"},
        // Not yet ended.
        {"value cut off", get("Host: blocked.exam"), "wait"},
        {"header name cut off", get("Accept: */*\r\nHo"), "wait"},
        {"value cut inside a four-byte character", get("Host: a\xF0\x9F\x98"), "wait"},
        // No Host line of a known request.
        {"CONNECT", bytesOf("CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n"), "none"},
        {"blank before the colon", get("Host : example.org\r\n"), "none"},
        {"ends in another header", get("Accept: */*\r\nUser-Ag"), "none"},
        {"invalid UTF-8 after the Host line", get("Host: example.org\r\nX: \xFF\r\n"), "none"},
        {"cut character cannot begin the Host line", get("Ho\xC3"), "none"},
    };
    for (const char* method : {"GET", "POST", "HEAD", "PUT", "DELETE"}) {
        cases.push_back({method, bytesOf(std::string(method) + " /x HTTP/1.0\r\nHost: a.org\r\n"),
                         "host a.org"});
    }
    expectOutcomes(cases, filter::parseHTTPHost);
}

// The first bytes real clients sent (tests/data/captures/, refreshed by
// scripts/refresh-captures.py): every prefix names no host until the one that completes the first
// TLS record or the Host line, and from there on the host the client was given.
TEST(RealClientTest, ParsersNameTheHostOnceItIsComplete) {
    const std::pair<const char*, std::string> captures[] = {
        {"tls12-openssl.bin", "tls12.openssl.test"},
        {"tls13-openssl.bin", "tls13.openssl.test"},
        {"tls-curl.bin", "curl.test"},
        {"tls-python.bin", "python.test"},
        {"tls-chromium.bin", "chromium.test"},
        {"http-curl.bin", "http.curl.test"},
        {"http-python.bin", "http.python.test"},
    };
    for (const auto& [file, host] : captures) {
        SCOPED_TRACE(file);
        const Bytes bytes = support::testData(std::string("captures/") + file);
        ASSERT_GE(bytes.size(), 5u);
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const bool isTLS = bytes[0] == 22;
        const auto parse = isTLS ? filter::parseTLSClientHelloSNI : filter::parseHTTPHost;
        const std::size_t decided = isTLS ? 5 + ((bytes[3] << 8) | bytes[4])
                                          : text.find("\r\n", text.find("\r\nHost:") + 2) + 2;
        ASSERT_LE(decided, bytes.size()) << "the capture holds only part of what decides";
        for (std::size_t count = 0; count <= bytes.size(); ++count) {
            const auto outcome = describe(parse(std::span(bytes).first(count)));
            ASSERT_TRUE(count >= decided ? outcome == "host " + host : !outcome.starts_with("host"))
                << count << " bytes: " << outcome;
        }
    }
}

}  // namespace

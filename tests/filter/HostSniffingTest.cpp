#include "filter/HostSniffing.h"

#include <gtest/gtest.h>

#include "SniffingTestSupport.h"
#include "fakes/ClientHelloBuilder.h"

namespace {

using fakes::Bytes;
using fakes::bytesOf;
using fakes::ClientHelloBuilder;
using filter::SniffedHost;

const SniffedHost needMoreData = SniffedHost::needMoreData();
const SniffedHost noHostname = SniffedHost::noHostname();
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

// Offsets in the default ClientHello: extensions length at 86, first extension at 88.
const ClientHelloBuilder exampleOrg = ClientHelloBuilder().withServerName("example.org");

// The first `count` bytes of a ClientHello, sent as one complete record, as a client does when
// its ClientHello spans several records.
Bytes firstBytesAsCompleteRecord(ClientHelloBuilder builder, std::size_t count) {
    return builder.withRecordLength(static_cast<std::uint16_t>(count - 5))
        .truncatedTo(count)
        .build();
}

ClientHelloBuilder withExtensionFirst(std::uint16_t type, Bytes body) {
    return ClientHelloBuilder().withExtension({type, std::move(body), std::nullopt});
}

TEST(TLSClientHelloSNITest, WaitsOnlyWhileTheClientHelloIsIncomplete) {
    expectOutcomes(
        {
            {"empty", {}, needMoreData},
            {"four bytes of a handshake record", {0x16, 0x03, 0x01, 0x00}, needMoreData},
            {"record not yet complete", ClientHelloBuilder(exampleOrg).truncatedTo(60).build(),
             needMoreData},
            {"record longer than any inspection",
             ClientHelloBuilder(exampleOrg).withRecordLength(0xFFFF).build(), needMoreData},
            {"two bytes after a complete 7-byte record",
             {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00, 0x03, 0x03},
             needMoreData},
            {"ends inside the extensions length", firstBytesAsCompleteRecord(exampleOrg, 87),
             needMoreData},
            {"ends one byte before the extensions end", firstBytesAsCompleteRecord(exampleOrg, 107),
             needMoreData},
            {"session id longer than the bytes",
             firstBytesAsCompleteRecord(ClientHelloBuilder(exampleOrg).withSessionID(Bytes(200, 1)),
                                        120),
             needMoreData},
            {"cipher suites longer than the bytes",
             ClientHelloBuilder(exampleOrg).withCipherSuitesLength(900).build(), needMoreData},
            {"compression methods longer than the bytes",
             ClientHelloBuilder(exampleOrg).withCompressionMethodsLength(200).build(),
             needMoreData},
            {"extensions longer than the bytes",
             ClientHelloBuilder(exampleOrg).withExtensionsLength(400).build(), needMoreData},
            {"no extensions length at all", ClientHelloBuilder().withoutExtensionsBlock().build(),
             needMoreData},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, RejectsWhatIsNotAClientHello) {
    expectOutcomes(
        {
            {"SSH banner", bytesOf("SSH-2.0-OpenSSH_9.2\r\n"), noHostname},
            {"application data record", ClientHelloBuilder(exampleOrg).withRecordType(23).build(),
             noHostname},
            {"wrong record type before an incomplete record",
             {0x17, 0x03, 0x03, 0x40, 0x00},
             noHostname},
            {"complete 7-byte record", {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00}, noHostname},
            {"complete empty record", {0x16, 0x03, 0x01, 0x00, 0x00}, noHostname},
            {"ServerHello", ClientHelloBuilder(exampleOrg).withHandshakeType(2).build(),
             noHostname},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, DecidesOnceTheExtensionsAreBuffered) {
    Bytes trailing = exampleOrg.build();
    trailing.insert(trailing.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01});
    expectOutcomes(
        {
            {"server name", exampleOrg.build(), host("example.org")},
            {"record and handshake lengths too small",
             ClientHelloBuilder(exampleOrg).withRecordLength(4).withHandshakeLength(0).build(),
             host("example.org")},
            {"bytes after the ClientHello", trailing, host("example.org")},
            {"empty session id and no cipher suites",
             ClientHelloBuilder(exampleOrg).withSessionID({}).withCipherSuites({}).build(),
             host("example.org")},
            {"server name after another extension",
             withExtensionFirst(0x002B, {0x02, 0x03, 0x04}).withServerName("example.org").build(),
             host("example.org")},
            {"empty extensions block", ClientHelloBuilder().build(), noHostname},
            {"extensions block of 3 bytes",
             withExtensionFirst(0x0017, {}).withExtensionsLength(3).build(), noHostname},
            {"no server_name extension", withExtensionFirst(0x002B, {0x02, 0x03, 0x04}).build(),
             noHostname},
            {"extension longer than the block",
             ClientHelloBuilder()
                 .withExtension({0x0017, {}, 100})
                 .withServerName("example.org")
                 .build(),
             noHostname},
            {"server_name of length 3, then a good one",
             withExtensionFirst(0, {0x00, 0x01, 0x00}).withServerName("example.org").build(),
             noHostname},
            {"server_name of length 4, then a good one",
             withExtensionFirst(0, {0x00, 0x02, 0x00, 0x00}).withServerName("example.org").build(),
             noHostname},
            {"list longer than its extension",
             ClientHelloBuilder()
                 .withServerNameList({{0, bytesOf("example.org"), std::nullopt}}, 40)
                 .build(),
             noHostname},
            {"name longer than its list",
             ClientHelloBuilder().withServerNameList({{0, bytesOf("example.org"), 30}}).build(),
             noHostname},
            {"list of 2 bytes, then a second server_name",
             withExtensionFirst(0, {0x00, 0x02, 0xAA, 0xBB, 0xCC})
                 .withServerName("second.example")
                 .build(),
             host("second.example")},
            {"name type 1 before a host_name",
             ClientHelloBuilder()
                 .withServerNameList({{1, bytesOf("other.example"), std::nullopt},
                                      {0, bytesOf("host.example"), std::nullopt}})
                 .build(),
             host("host.example")},
            {"only name types other than host_name",
             ClientHelloBuilder()
                 .withServerNameList({{1, bytesOf("other.example"), std::nullopt}})
                 .build(),
             noHostname},
            {"empty host_name", ClientHelloBuilder().withServerName("").build(), host("")},
            {"normalised", ClientHelloBuilder().withServerName("WWW.Blocked.EXAMPLE.").build(),
             host("blocked.example")},
            {"valid UTF-8",
             ClientHelloBuilder()
                 .withServerName("b\xC3\xBC"
                                 "cher.example")
                 .build(),
             host("b\xC3\xBC"
                  "cher.example")},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, SkipsHostNamesThatAreNotUTF8) {
    const Bytes invalidNames[] = {
        {'a', 0x80},               // stray continuation byte
        {'a', 0xC3},               // character cut off
        {0xED, 0xA0, 0x80},        // surrogate
        {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
    };
    for (const auto& name : invalidNames) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const auto alone = ClientHelloBuilder().withServerNameList({{0, name, std::nullopt}});
        EXPECT_EQ(filter::parseTLSClientHelloSNI(alone.build()), noHostname);
        const auto thenValid = ClientHelloBuilder().withServerNameList(
            {{0, name, std::nullopt}, {0, bytesOf("blocked.example"), std::nullopt}});
        EXPECT_EQ(filter::parseTLSClientHelloSNI(thenValid.build()), host("blocked.example"));
    }
}

TEST(HTTPHostTest, ReadsTheFirstHostLine) {
    std::vector<Case> cases = {
        {"blocked host", get("Host: blocked.example\r\n"), host("blocked.example")},
        {"header name in any case, port and www. removed", get("hOsT: WWW.Example.COM:8080\r\n"),
         host("example.com")},
        {"blanks around the value", get("Host: \t example.org \t\r\n"), host("example.org")},
        {"every www. removed", get("Host: awww.example.com\r\n"), host("aexample.com")},
        {"empty value", get("Host:\r\n\r\n"), host("")},
        {"Host after a bare LF is not a line",
         get("User-Agent: x\nHost: fake\r\nHost: example.org\r\n"), host("example.org")},
        {"two Host lines", get("Host: a.example\r\nHost: blocked.example\r\n"), host("a.example")},
        {"second Host line cut off", get("Host: a.example\r\nHost: blocked.exa"),
         host("a.example")},
    };
    for (const char* method : {"GET", "POST", "HEAD", "PUT", "DELETE"}) {
        cases.push_back({method, bytesOf(std::string(method) + " /x HTTP/1.0\r\nHost: a.org\r\n"),
                         host("a.org")});
    }
    expectOutcomes(cases, filter::parseHTTPHost);
}

// A Host line is decided only once CR LF ends it: a cut-off value must not pass as the host.
TEST(HTTPHostTest, WaitsForAHostLineThatNoCRLFHasEnded) {
    expectOutcomes(
        {
            {"value cut off", get("Host: blocked.exam"), needMoreData},
            {"whole value, no line end", get("Host: blocked.example"), needMoreData},
            {"CR without LF", get("Host: blocked.example\r"), needMoreData},
            {"nothing after the colon yet", get("Host:"), needMoreData},
            {"header name cut off", get("Accept: */*\r\nHo"), needMoreData},
            {"value cut inside a character", get("Host: caf\xC3"), needMoreData},
            {"value cut inside a four-byte character", get("Host: a\xF0\x9F\x98"), needMoreData},
        },
        filter::parseHTTPHost);
}

TEST(HTTPHostTest, FindsNoHostOutsideAKnownRequestsCRLFLines) {
    expectOutcomes(
        {
            {"empty", {}, noHostname},
            {"method in lower case", bytesOf("get / HTTP/1.1\r\nHost: example.org\r\n"),
             noHostname},
            {"OPTIONS", bytesOf("OPTIONS * HTTP/1.1\r\nHost: example.org\r\n"), noHostname},
            {"CONNECT", bytesOf("CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n"),
             noHostname},
            {"method without its space", bytesOf("GET"), noHostname},
            {"bare LF line ends", bytesOf("GET / HTTP/1.1\nHost: example.org\n\n"), noHostname},
            {"blank before the colon", get("Host : example.org\r\n"), noHostname},
            {"blank before the name", get(" Host: example.org\r\n"), noHostname},
            {"ends in another header", get("Accept: */*\r\nUser-Ag"), noHostname},
            {"invalid UTF-8 after the Host line", get("Host: example.org\r\nX: \xFF\r\n"),
             noHostname},
            {"cut character cannot begin the Host line", get("Ho\xC3"), noHostname},
            {"invalid byte in an unended Host line", get("Host: caf\xC3\x28"), noHostname},
            {"TLS ClientHello", exampleOrg.build(), noHostname},
        },
        filter::parseHTTPHost);
}

}  // namespace

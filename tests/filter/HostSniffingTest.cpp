#include "filter/HostSniffing.h"

#include <gtest/gtest.h>

#include "SniffingTestSupport.h"
#include "fakes/ClientHelloBuilder.h"

namespace {

using fakes::Bytes;
using fakes::bytesOf;
using fakes::ClientHelloBuilder;
using fakes::ServerNameEntry;
using fakes::TLSExtension;
using filter::InspectionOutcome;

const filter::DomainMatcher blockedExample = sniffing::matcherBlocking({"blocked.example"});

const InspectionOutcome needMoreData = InspectionOutcome::needMoreData();
const InspectionOutcome noHostname = InspectionOutcome::noHostname();
InspectionOutcome allowed(std::string host) {
    return InspectionOutcome::allowed(std::move(host));
}
InspectionOutcome blocked(std::string domain) {
    return InspectionOutcome::blocked(std::move(domain));
}

// The first `count` bytes of a ClientHello, sent as one complete record, as a client does when
// its ClientHello spans several records.
Bytes firstBytesAsCompleteRecord(ClientHelloBuilder builder, std::size_t count) {
    return builder.withRecordLength(static_cast<std::uint16_t>(count - 5))
        .truncatedTo(count)
        .build();
}

Bytes concatenated(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct Case {
    const char* name;
    Bytes bytes;
    InspectionOutcome expected;
};

void expectOutcomes(const std::vector<Case>& cases,
                    InspectionOutcome (*parse)(std::span<const std::uint8_t>,
                                               const filter::DomainMatcher&)) {
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(parse(testCase.bytes, blockedExample), testCase.expected);
    }
}

// Offsets in the default ClientHello: session-id length at 43, cipher-suites length at 76,
// compression-methods length at 84, extensions length at 86, first extension at 88.
const ClientHelloBuilder helloForExampleOrg = ClientHelloBuilder().withServerName("example.org");

TEST(TLSClientHelloSNITest, WaitsOnlyWhileTheClientHelloIsIncomplete) {
    expectOutcomes(
        {
            {"empty", {}, needMoreData},
            {"four bytes of a handshake record", {0x16, 0x03, 0x01, 0x00}, needMoreData},
            {"four bytes of anything", bytesOf("SSH-"), needMoreData},
            {"record not yet complete",
             ClientHelloBuilder(helloForExampleOrg).truncatedTo(60).build(), needMoreData},
            {"record longer than any inspection",
             ClientHelloBuilder(helloForExampleOrg).withRecordLength(0xFFFF).build(), needMoreData},
            {"two bytes after a complete 7-byte record",
             {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00, 0x03, 0x03},
             needMoreData},
            {"ends at the session-id length", firstBytesAsCompleteRecord(helloForExampleOrg, 43),
             needMoreData},
            {"ends inside the session id", firstBytesAsCompleteRecord(helloForExampleOrg, 60),
             needMoreData},
            {"ends inside the cipher-suites length",
             firstBytesAsCompleteRecord(helloForExampleOrg, 77), needMoreData},
            {"ends at the compression-methods length",
             firstBytesAsCompleteRecord(helloForExampleOrg, 84), needMoreData},
            {"ends inside the extensions length",
             firstBytesAsCompleteRecord(helloForExampleOrg, 87), needMoreData},
            {"ends one byte before the extensions end",
             firstBytesAsCompleteRecord(helloForExampleOrg, 107), needMoreData},
            {"session id longer than the bytes",
             firstBytesAsCompleteRecord(
                 ClientHelloBuilder(helloForExampleOrg).withSessionID(Bytes(200, 1)), 120),
             needMoreData},
            {"cipher suites longer than the bytes",
             ClientHelloBuilder(helloForExampleOrg).withCipherSuitesLength(900).build(),
             needMoreData},
            {"compression methods longer than the bytes",
             ClientHelloBuilder(helloForExampleOrg).withCompressionMethodsLength(200).build(),
             needMoreData},
            {"extensions longer than the bytes",
             ClientHelloBuilder(helloForExampleOrg).withExtensionsLength(400).build(),
             needMoreData},
            {"no extensions length at all", ClientHelloBuilder().withoutExtensionsBlock().build(),
             needMoreData},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, RejectsWhatIsNotAClientHello) {
    expectOutcomes(
        {
            {"SSH banner", bytesOf("SSH-2.0-OpenSSH_9.2\r\n"), noHostname},
            {"application data record",
             ClientHelloBuilder(helloForExampleOrg).withRecordType(23).build(), noHostname},
            {"wrong record type before an incomplete record",
             {0x17, 0x03, 0x03, 0x40, 0x00},
             noHostname},
            {"complete 7-byte record", {0x16, 0x03, 0x01, 0x00, 0x02, 0x01, 0x00}, noHostname},
            {"complete empty record", {0x16, 0x03, 0x01, 0x00, 0x00}, noHostname},
            {"ServerHello", ClientHelloBuilder(helloForExampleOrg).withHandshakeType(2).build(),
             noHostname},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, DecidesOnceTheExtensionsAreBuffered) {
    const Bytes shortList = {0x00, 0x02, 0xAA, 0xBB, 0xCC};
    expectOutcomes(
        {
            {"server name", helloForExampleOrg.build(), allowed("example.org")},
            {"record and handshake lengths too small",
             ClientHelloBuilder(helloForExampleOrg)
                 .withRecordLength(4)
                 .withHandshakeLength(0)
                 .build(),
             allowed("example.org")},
            {"bytes after the ClientHello",
             concatenated(helloForExampleOrg.build(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01}),
             allowed("example.org")},
            {"empty session id and no cipher suites",
             ClientHelloBuilder(helloForExampleOrg).withSessionID({}).withCipherSuites({}).build(),
             allowed("example.org")},
            {"server name after other extensions",
             ClientHelloBuilder()
                 .withExtension({0x002B, {0x02, 0x03, 0x04}, std::nullopt})
                 .withExtension({0x0017, {}, std::nullopt})
                 .withServerName("example.org")
                 .build(),
             allowed("example.org")},
            {"empty extensions block", ClientHelloBuilder().build(), noHostname},
            {"extensions block of 3 bytes",
             ClientHelloBuilder()
                 .withExtension({0x0017, {}, std::nullopt})
                 .withExtensionsLength(3)
                 .build(),
             noHostname},
            {"no server_name extension",
             ClientHelloBuilder().withExtension({0x002B, {0x02, 0x03, 0x04}, std::nullopt}).build(),
             noHostname},
            {"extension longer than the block",
             ClientHelloBuilder()
                 .withExtension({0x0017, {}, 100})
                 .withServerName("example.org")
                 .build(),
             noHostname},
            {"server_name of length 3, then a good one",
             ClientHelloBuilder()
                 .withExtension({0, {0x00, 0x01, 0x00}, std::nullopt})
                 .withServerName("example.org")
                 .build(),
             noHostname},
            {"server_name of length 4, then a good one",
             ClientHelloBuilder()
                 .withExtension({0, {0x00, 0x02, 0x00, 0x00}, std::nullopt})
                 .withServerName("example.org")
                 .build(),
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
             ClientHelloBuilder()
                 .withExtension({0, shortList, std::nullopt})
                 .withServerName("second.example")
                 .build(),
             allowed("second.example")},
            {"name type 1 before a host_name",
             ClientHelloBuilder()
                 .withServerNameList({{1, bytesOf("other.example"), std::nullopt},
                                      {0, bytesOf("host.example"), std::nullopt}})
                 .build(),
             allowed("host.example")},
            {"only name types other than host_name",
             ClientHelloBuilder()
                 .withServerNameList({{1, bytesOf("other.example"), std::nullopt}})
                 .build(),
             noHostname},
            {"empty host_name", ClientHelloBuilder().withServerName("").build(), allowed("")},
            {"normalised before matching",
             ClientHelloBuilder().withServerName("WWW.Blocked.EXAMPLE.").build(),
             blocked("blocked.example")},
            {"subdomain carries the matched entry",
             ClientHelloBuilder().withServerName("api.blocked.example").build(),
             blocked("blocked.example")},
            {"suffix without a dot is not covered",
             ClientHelloBuilder().withServerName("notblocked.example").build(),
             allowed("notblocked.example")},
        },
        filter::parseTLSClientHelloSNI);
}

TEST(TLSClientHelloSNITest, SkipsHostNamesThatAreNotUTF8) {
    struct NameCase {
        const char* name;
        Bytes hostName;
    } cases[] = {
        {"stray continuation byte", {'a', 0x80}},
        {"invalid byte", {0xFF}},
        {"character cut off", {'a', 0xC3}},
        {"overlong slash", {0xC0, 0xAF}},
        {"overlong three-byte form", {0xE0, 0x80, 0xAF}},
        {"surrogate", {0xED, 0xA0, 0x80}},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto onlyInvalid =
            ClientHelloBuilder().withServerNameList({{0, testCase.hostName, std::nullopt}}).build();
        EXPECT_EQ(filter::parseTLSClientHelloSNI(onlyInvalid, blockedExample), noHostname);
        const auto invalidThenValid =
            ClientHelloBuilder()
                .withServerNameList({{0, testCase.hostName, std::nullopt},
                                     {0, bytesOf("blocked.example"), std::nullopt}})
                .build();
        EXPECT_EQ(filter::parseTLSClientHelloSNI(invalidThenValid, blockedExample),
                  blocked("blocked.example"));
    }
    EXPECT_EQ(filter::parseTLSClientHelloSNI(ClientHelloBuilder()
                                                 .withServerName("b\xC3\xBC"
                                                                 "cher.\xF0\x9F\x98\x80")
                                                 .build(),
                                             blockedExample),
              allowed("b\xC3\xBC"
                      "cher.\xF0\x9F\x98\x80"));
}

TEST(HTTPHostTest, ReadsTheFirstHostLine) {
    const auto request = [](const char* text) { return bytesOf(text); };
    expectOutcomes(
        {
            {"GET", request("GET / HTTP/1.1\r\nHost: example.org\r\n\r\n"), allowed("example.org")},
            {"POST", request("POST /form HTTP/1.1\r\nHost: example.org\r\n"),
             allowed("example.org")},
            {"HEAD", request("HEAD / HTTP/1.0\r\nHost: example.org\r\n"), allowed("example.org")},
            {"PUT", request("PUT /x HTTP/1.1\r\nHost: example.org\r\n"), allowed("example.org")},
            {"DELETE", request("DELETE /x HTTP/1.1\r\nHost: example.org\r\n"),
             allowed("example.org")},
            {"blocked host", request("GET / HTTP/1.1\r\nHost: blocked.example\r\n"),
             blocked("blocked.example")},
            {"header name in any case, port and www. removed",
             request("GET / HTTP/1.1\r\nHOST: WWW.Example.COM:8080\r\n"), allowed("example.com")},
            {"mixed-case header name", request("GET / HTTP/1.1\r\nhOsT:example.org\r\n"),
             allowed("example.org")},
            {"blanks around the value", request("GET / HTTP/1.1\r\nHost: \t example.org \t\r\n"),
             allowed("example.org")},
            {"every www. removed", request("GET / HTTP/1.1\r\nHost: awww.example.com\r\n"),
             allowed("aexample.com")},
            {"empty value", request("GET / HTTP/1.1\r\nHost:\r\n\r\n"), allowed("")},
            {"non-ASCII value",
             request("GET / HTTP/1.1\r\nHost: b\xC3\xBC"
                     "cher.example\r\n"),
             allowed("b\xC3\xBC"
                     "cher.example")},
            {"Host after a bare LF is not a line",
             request("GET / HTTP/1.1\r\nUser-Agent: x\nHost: fake\r\nHost: example.org\r\n"),
             allowed("example.org")},
            {"two Host lines",
             request("GET / HTTP/1.1\r\nHost: a.example\r\nHost: blocked.example\r\n"),
             allowed("a.example")},
            {"second Host line cut off",
             request("GET / HTTP/1.1\r\nHost: a.example\r\nHost: blocked.exa"),
             allowed("a.example")},
        },
        filter::parseHTTPHost);
}

TEST(HTTPHostTest, WaitsForAHostLineThatNoCRLFHasEnded) {
    const auto request = [](const char* text) { return bytesOf(text); };
    expectOutcomes(
        {
            {"value cut off", request("GET / HTTP/1.1\r\nHost: blocked.exam"), needMoreData},
            {"whole value, no line end", request("GET / HTTP/1.1\r\nHost: blocked.example"),
             needMoreData},
            {"CR without LF", request("GET / HTTP/1.1\r\nHost: blocked.example\r"), needMoreData},
            {"nothing after the colon yet", request("GET / HTTP/1.1\r\nHost:"), needMoreData},
            {"header name cut off", request("GET / HTTP/1.1\r\nAccept: */*\r\nHo"), needMoreData},
            {"header name cut off, other case", request("GET / HTTP/1.1\r\nhOST"), needMoreData},
        },
        filter::parseHTTPHost);
}

TEST(HTTPHostTest, FindsNoHostOutsideAKnownRequestsCRLFLines) {
    const auto request = [](const char* text) { return bytesOf(text); };
    expectOutcomes(
        {
            {"empty", {}, noHostname},
            {"method in lower case", request("get / HTTP/1.1\r\nHost: example.org\r\n"),
             noHostname},
            {"OPTIONS", request("OPTIONS * HTTP/1.1\r\nHost: example.org\r\n"), noHostname},
            {"PATCH", request("PATCH /x HTTP/1.1\r\nHost: example.org\r\n"), noHostname},
            {"CONNECT", request("CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n"),
             noHostname},
            {"method without its space", request("GET"), noHostname},
            {"bare LF line ends", request("GET / HTTP/1.1\nHost: example.org\n\n"), noHostname},
            {"blank before the colon", request("GET / HTTP/1.1\r\nHost : example.org\r\n"),
             noHostname},
            {"blank before the name", request("GET / HTTP/1.1\r\n Host: example.org\r\n"),
             noHostname},
            {"ends before any Host line", request("GET / HTTP/1.1\r\nAccept: */*\r\n"), noHostname},
            {"ends in another header", request("GET / HTTP/1.1\r\nUser-Ag"), noHostname},
            {"ends in the request line", request("GET /index.ht"), noHostname},
            {"invalid UTF-8 after the Host line",
             request("GET / HTTP/1.1\r\nHost: example.org\r\nX: \xFF\r\n"), noHostname},
            {"character cut off at the end",
             request("GET / HTTP/1.1\r\nHost: example.org\r\nX: caf\xC3"), noHostname},
            {"surrogate", request("GET / HTTP/1.1\r\nHost: \xED\xA0\x80.example\r\n"), noHostname},
            {"TLS ClientHello", helloForExampleOrg.build(), noHostname},
        },
        filter::parseHTTPHost);
}

}  // namespace

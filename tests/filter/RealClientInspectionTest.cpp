// Feeds the ClientHellos that real TLS clients sent (kept in tests/data/captures/) through the
// provider's outbound-data callback, whole and in chunks as the platform might deliver them.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fakes/ClientHelloBuilder.h"
#include "filter/FilterDataProvider.h"
#include "filter/ProviderTestSupport.h"

namespace filter::testing {
namespace {

using fakes::Bytes;

struct Capture {
    const char* file;
    // The server name the client was given, normalised.
    const char* host;
};

const Capture captures[] = {
    {"tls12-openssl.bin", "tls12.openssl.test"},
    {"tls13-openssl.bin", "tls13.openssl.test"},
    {"tls-curl.bin", "curl.test"},
    {"tls-python.bin", "python.test"},
    {"tls-chromium.bin", "chromium.test"},
};

const std::size_t chunkSizes[] = {1, 7, 100, 1024};

Bytes readCapture(const char* file) {
    std::ifstream stream(std::filesystem::path(TOVRIN_TEST_DATA_DIR) / "captures" / file,
                         std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// What the provider did once it decided a flow: the verdict, the log lines but the observations,
// the blocked host and the state.
using Decision = std::vector<std::string>;

class RealClientInspectionTest : public ProviderTest {
  protected:
    // A provider enforcing `domains`; its log and the suite are cleared for each flow.
    void start(const std::vector<std::string>& domains) {
        framework->setVendorConfiguration(vendorConfiguration(domains, true, 1));
        provider = makeProvider();
        provider->startFilter(nullptr);
        framework->completeAllInstallations();
    }

    std::shared_ptr<NEFilterFlow> inspectedFlow() {
        auto flow = std::make_shared<NEFilterSocketFlow>(
            base::UUID(), std::nullopt, std::nullopt,
            NWHostEndpoint::endpointWithHostname("192.0.2.10", "443"), SOCK_STREAM);
        EXPECT_EQ(provider->handleNewFlow(*flow).kind, NEFilterNewFlowVerdict::Kind::filterData);
        store.remove(common::keys::contentFilterLastBlockedHost);
        store.setText(common::keys::contentFilterExtensionState, "running");
        logs.clear();
        return flow;
    }

    Decision decision(const NEFilterDataVerdict& verdict) const {
        Decision made = logs.messages();
        std::erase_if(made, [](const auto& line) { return line.starts_with("observed flow "); });
        made.insert(made.begin(),
                    verdict.kind == NEFilterDataVerdict::Kind::drop ? "drop" : "allow");
        made.push_back(store.text(common::keys::contentFilterLastBlockedHost).value_or("-"));
        made.push_back(state().value_or("-"));
        return made;
    }

    std::shared_ptr<FilterDataProvider> provider;
};

TEST_F(RealClientInspectionTest, ChunkedClientHelloIsDecidedAsWhenWhole) {
    const std::vector<std::string> policies[] = {{"test"}, {"example.com"}};
    for (const auto& capture : captures) {
        const Bytes bytes = readCapture(capture.file);
        ASSERT_GE(bytes.size(), 5u) << capture.file;
        // Real clients send the ClientHello in one record, its extensions ending with it.
        const std::size_t helloEnd = 5 + ((bytes[3] << 8) | bytes[4]);
        ASSERT_LE(helloEnd, bytes.size()) << capture.file;

        for (const auto& domains : policies) {
            start(domains);
            const auto whole = inspectedFlow();
            const auto wholeVerdict = provider->handleOutboundData(*whole, 0, bytes);
            const Decision expected = decision(wholeVerdict);
            const bool isBlocked = domains.front() == "test";
            const std::string allowed = std::string("allowed inspected flow host=") + capture.host +
                                        " endpoint=192.0.2.10:443";
            EXPECT_EQ(expected.front(), isBlocked ? "drop" : "allow") << capture.file;
            EXPECT_TRUE(isBlocked || expected[1] == allowed) << capture.file;

            for (const std::size_t chunkSize : chunkSizes) {
                SCOPED_TRACE(std::string(capture.file) + " in chunks of " +
                             std::to_string(chunkSize) + " under " + domains.front());
                const auto flow = inspectedFlow();
                std::size_t offset = 0;
                NEFilterDataVerdict verdict;
                while (true) {
                    const std::size_t count = std::min(chunkSize, bytes.size() - offset);
                    verdict = provider->handleOutboundData(*flow, offset,
                                                           std::span(bytes).subspan(offset, count));
                    offset += count;
                    if (verdict.kind != NEFilterDataVerdict::Kind::pass) {
                        break;
                    }
                    ASSERT_EQ(verdict, NEFilterDataVerdict::pass(count, 1024)) << "at " << offset;
                    ASSERT_LT(offset, bytes.size()) << "never decided";
                }
                // Decided on the chunk that brings the last byte of the ClientHello.
                EXPECT_GE(offset, helloEnd);
                EXPECT_LT(offset - helloEnd, chunkSize);
                EXPECT_EQ(decision(verdict), expected);
                EXPECT_EQ(provider->pendingInspectionCountForTesting(), 0u);
            }
        }
    }
}

}  // namespace
}  // namespace filter::testing

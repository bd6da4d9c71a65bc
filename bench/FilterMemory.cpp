// filter-memory: a started filter with a policy of N synthetic domains and M hostless flows under
// inspection, each holding the first 1024 bytes of a real ClientHello, waiting for the rest. Run
// it under /usr/bin/time -v for the peak resident memory; it also prints its own peak (VmHWM).
//
//   filter-memory [--domains N] [--flows M] [--source vendor|blob]   (defaults 100000, 10000,
//   vendor)

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "base/log/Log.h"
#include "bench/BenchmarkSupport.h"
#include "common/SharedDefaultsKeys.h"
#include "filter/FilterDataProvider.h"
#include "platform/framework-replay/ReplayFramework.h"

namespace {

std::string peakResidentMemory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return line.substr(6);
        }
    }
    return " unknown";
}

}  // namespace

int main(int argumentCount, char** arguments) {
    std::size_t domainCount = 100000;
    std::size_t flowCount = 10000;
    bench::PolicySource source = bench::PolicySource::vendorConfiguration;
    for (int index = 1; index + 1 < argumentCount; index += 2) {
        const std::string_view option = arguments[index];
        const std::string value = arguments[index + 1];
        if (option == "--domains") {
            domainCount = std::stoul(value);
        } else if (option == "--flows") {
            flowCount = std::stoul(value);
        } else if (option == "--source") {
            source = value == "blob" ? bench::PolicySource::blob
                                     : bench::PolicySource::vendorConfiguration;
        } else {
            std::fprintf(stderr, "unknown option %s\n", arguments[index]);
            return 2;
        }
    }
    base::setLogOutputToStandardError(false);

    const bench::TemporarySuiteRoot root;
    root.activate();
    auto framework = std::make_shared<platform::ReplayFramework>(
        [](const filter::NEFilterSettings&, const std::optional<std::string>&) {});
    {
        const auto domains = bench::syntheticDomains(domainCount);
        if (source == bench::PolicySource::blob) {
            auto suite = root.openSharedSuite();
            suite->setObject(bench::policyBlob(domains, true, 1),
                             common::keys::contentFilterPolicyBlob);
            suite->synchronize();
        } else {
            framework->replaceVendorConfiguration(bench::vendorConfiguration(domains, true, 1));
        }
    }
    auto provider = std::make_shared<filter::FilterDataProvider>(platform::openSQLiteUserDefaults);
    provider->attachFramework(framework);
    provider->startFilter([](std::optional<base::Error>) {});
    framework->completeInstallations();

    const base::Data clientHello = bench::captureBytes("tls-chromium.bin");
    const std::span<const std::uint8_t> firstChunk(clientHello.data(), 1024);
    const auto endpoint = filter::NWHostEndpoint::endpointWithHostname("192.0.2.10", "443");
    for (std::size_t index = 0; index < flowCount; ++index) {
        const filter::NEFilterSocketFlow flow(base::UUID(), std::nullopt, std::nullopt, endpoint,
                                              SOCK_STREAM);
        (void)provider->handleNewFlow(flow);
        const auto verdict = provider->handleOutboundData(flow, 0, firstChunk);
        if (verdict.kind != filter::NEFilterDataVerdict::Kind::pass) {
            std::fprintf(stderr, "flow %zu was decided early\n", index);
            return 1;
        }
    }
    std::printf("domains=%zu source=%s flows under inspection=%zu peak resident memory:%s\n",
                domainCount, bench::sourceName(source),
                provider->pendingInspectionCountForTesting(), peakResidentMemory().c_str());
    return 0;
}

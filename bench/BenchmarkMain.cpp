// tovrin-benchmarks: every benchmark of both deliverables, each beside the simple approach, then
// the ratios and the targets. Google Benchmark's flags apply (--benchmark_filter,
// --benchmark_repetitions, ...). The provider's and handlers' log lines are written as usual but
// to /dev/null, unless TOVRIN_BENCHMARK_LOG is set.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>

#include "bench/BenchmarkFamilies.h"
#include "bench/RatioReporter.h"

namespace {

// Writes straight to a file descriptor, which it owns.
class DescriptorBuffer final : public std::streambuf {
  public:
    explicit DescriptorBuffer(int descriptor) : descriptor(descriptor) {}
    ~DescriptorBuffer() override { ::close(descriptor); }

  protected:
    int_type overflow(int_type character) override {
        if (traits_type::eq_int_type(character, traits_type::eof())) {
            return traits_type::not_eof(character);
        }
        const char byte = traits_type::to_char_type(character);
        return xsputn(&byte, 1) == 1 ? character : traits_type::eof();
    }
    std::streamsize xsputn(const char* text, std::streamsize length) override {
        std::streamsize written = 0;
        while (written < length) {
            const ssize_t result = ::write(descriptor, text + written, length - written);
            if (result <= 0) {
                break;
            }
            written += result;
        }
        return written;
    }

  private:
    int descriptor;
};

std::vector<bench::RatioReporter::Target> targets() {
    std::vector<bench::RatioReporter::Target> all;
    for (const char* source : {"vendor", "blob"}) {
        for (const char* host : {"blocked", "clean"}) {
            const std::string suffix = std::string("/") + host + "/ours";
            all.push_back({std::string("new flow, ") + source + ", " + host +
                               " host: 100,000 domains / 10 domains",
                           std::string("NewFlow/") + source + "/100000" + suffix,
                           std::string("NewFlow/") + source + "/10" + suffix, 2.0});
        }
    }
    for (const char* source : {"vendor", "blob"}) {
        for (const char* size : {"10", "1000", "100000"}) {
            all.push_back({std::string("unforced refresh, nothing changed, ") + source + ", " +
                               size + " domains",
                           std::string("UnforcedRefresh/") + source + "/" + size + "/ours",
                           std::nullopt, 5e-6});
        }
    }
    all.push_back({"ClientHello of 1953 bytes parsed and matched (100,000 domains)",
                   "Parse/tls-chromium-1953B/100000/ours", std::nullopt, 1e-6});
    all.push_back({"QUIC flow named from Chromium's two Initial packets (2 x 1250 bytes)",
                   "Parse/quic-chromium-2x1250B/ours", std::nullopt, 10e-6});
    for (const char* host : {"blocked", "clean"}) {
        all.push_back({std::string("blocking-state message, 100,000-domain blob, process start, ") +
                           host + " host",
                       std::string("BlockingState/process/100000/") + host + "/ours", std::nullopt,
                       50e-3});
    }
    return all;
}

}  // namespace

int main(int argumentCount, char** arguments) {
    benchmark::Initialize(&argumentCount, arguments);
    if (benchmark::ReportUnrecognizedArguments(argumentCount, arguments)) {
        return 1;
    }

    // The benchmark's own messages keep the original standard error.
    DescriptorBuffer errorBuffer(::dup(STDERR_FILENO));
    std::ostream errorStream(&errorBuffer);
    if (std::getenv("TOVRIN_BENCHMARK_LOG") == nullptr) {
        const int discard = ::open("/dev/null", O_WRONLY);
        ::dup2(discard, STDERR_FILENO);
        ::close(discard);
    }

    bench::registerNewFlowBenchmarks();
    bench::registerHostlessFlowBenchmarks();
    bench::registerPolicyRefreshBenchmarks();
    bench::registerBlockingStateBenchmarks();
    bench::registerSuiteWriteBenchmarks();

    bench::RatioReporter reporter(targets());
    reporter.SetErrorStream(&errorStream);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

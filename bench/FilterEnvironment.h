#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchmarkSupport.h"
#include "bench/SimpleFilterPath.h"
#include "filter/FilterDataProvider.h"
#include "platform/framework-replay/ReplayFramework.h"

namespace bench {

// A running filter over its own suite: the provider, on the write-behind suite the filter's program
// gives it, started on a scripted framework with its settings installed, or the simple flow path
// beside the same kind of framework. The policy enforces, is the blob or the vendor dictionary, and
// lists `policySize` synthetic domains with the server names of some captures ("curl.test",
// "openssl.test") in the middle.
struct FilterEnvironment {
    std::vector<std::string> domains;
    TemporarySuiteRoot root;
    std::shared_ptr<platform::ReplayFramework> framework;
    std::shared_ptr<filter::FilterDataProvider> provider;
    std::unique_ptr<SimpleFilterPath> simple;
};

// Made on first use and kept for the rest of the program, so that repetitions and iteration
// estimates do not rebuild large policies.
FilterEnvironment& filterEnvironment(PolicySource source,
                                     std::size_t policySize,
                                     Implementation implementation);

}  // namespace bench

#pragma once

namespace bench {

// Each registers one family of benchmarks with Google Benchmark.
void registerNewFlowBenchmarks();
void registerHostlessFlowBenchmarks();
void registerPolicyRefreshBenchmarks();
void registerBlockingStateBenchmarks();
void registerSuiteWriteBenchmarks();

}  // namespace bench

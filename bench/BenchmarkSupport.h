#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/value/Value.h"
#include "platform/defaults/SQLiteUserDefaults.h"

namespace bench {

// The list sizes every size-dependent benchmark runs with.
inline constexpr std::size_t policySizes[] = {10, 1000, 100000};

// A private root for suites under the system's temporary folder, removed again on destruction.
// Suites are the real SQLite ones.
class TemporarySuiteRoot {
  public:
    TemporarySuiteRoot();
    ~TemporarySuiteRoot();
    TemporarySuiteRoot(const TemporarySuiteRoot&) = delete;
    TemporarySuiteRoot& operator=(const TemporarySuiteRoot&) = delete;

    const std::string& path() const { return root; }
    // Makes this root the one where platform::openSQLiteUserDefaults opens suites, in this process
    // and in the children it starts from now on.
    void activate() const;
    // A new handle (its own connection) on the shared suite under this root.
    std::shared_ptr<platform::SQLiteUserDefaults> openSharedSuite() const;

  private:
    std::string root;
};

// `count` distinct domains that look like those of real blocklists (two or three labels of
// mixed length under common top-level domains), always the same for the same count.
std::vector<std::string> syntheticDomains(std::size_t count);

// A host under `domain`, as a browser would ask for it.
std::string hostUnder(const std::string& domain);
// A host that no synthetic domain covers.
inline constexpr char cleanHost[] = "static.clean-site.org";

// The policy's blob form and configuration form.
base::Data policyBlob(const std::vector<std::string>& domains,
                      bool enforcementEnabled,
                      std::int64_t policyVersion);
base::Value vendorConfiguration(const std::vector<std::string>& domains,
                                bool enforcementEnabled,
                                std::int64_t policyVersion);

// The bytes of a capture under tests/data/captures.
base::Data captureBytes(const std::string& name);

// Which implementation a benchmark drives: ours, or the simple approach it is measured against.
enum class Implementation { ours, simple };
const char* implementationName(Implementation implementation);

// Where the policy comes from.
enum class PolicySource { blob, vendorConfiguration };
const char* sourceName(PolicySource source);

}  // namespace bench

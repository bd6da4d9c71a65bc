#include "bench/BenchmarkSupport.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <unordered_set>

#include "common/BuildConstants.h"
#include "common/ContentFilterPolicy.h"

namespace bench {

TemporarySuiteRoot::TemporarySuiteRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    root = pattern + "/app-groups";
}

TemporarySuiteRoot::~TemporarySuiteRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(root).parent_path(), ignored);
}

void TemporarySuiteRoot::activate() const {
    ::setenv("APP_GROUP_CONTAINERS_ROOT", root.c_str(), 1);
}

std::shared_ptr<platform::SQLiteUserDefaults> TemporarySuiteRoot::openSharedSuite() const {
    auto opened = platform::SQLiteUserDefaults::open(common::appGroupIdentifier, root);
    if (!opened) {
        throw std::runtime_error("cannot open the shared suite: " + opened.error().description);
    }
    return std::move(opened).value();
}

std::vector<std::string> syntheticDomains(std::size_t count) {
    static const char* const topLevelDomains[] = {"com", "net", "org", "io", "de", "co.uk", "ru"};
    std::mt19937 generator(static_cast<std::uint32_t>(count));
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<int> labelLength(3, 11);
    std::uniform_int_distribution<std::size_t> topLevel(0, std::size(topLevelDomains) - 1);
    const auto label = [&] {
        std::string text(static_cast<std::size_t>(labelLength(generator)), 'a');
        for (auto& character : text) {
            character = static_cast<char>(letter(generator));
        }
        return text;
    };

    std::vector<std::string> domains;
    std::unordered_set<std::string> seen;
    domains.reserve(count);
    while (domains.size() < count) {
        std::string domain = label() + "." + topLevelDomains[topLevel(generator)];
        if (domains.size() % 3 == 0) {
            domain = label() + "." + domain;
        }
        if (seen.insert(domain).second) {
            domains.push_back(std::move(domain));
        }
    }
    return domains;
}

std::string hostUnder(const std::string& domain) {
    return "cdn.static." + domain;
}

base::Data policyBlob(const std::vector<std::string>& domains,
                      bool enforcementEnabled,
                      std::int64_t policyVersion) {
    return common::ContentFilterPolicy(domains, enforcementEnabled, policyVersion,
                                       base::Date{700000000.0})
        .encode();
}

base::Value vendorConfiguration(const std::vector<std::string>& domains,
                                bool enforcementEnabled,
                                std::int64_t policyVersion) {
    base::Array entries(domains.begin(), domains.end());
    return base::Dictionary{{"blockedDomains", std::move(entries)},
                            {"enforcementEnabled", enforcementEnabled},
                            {"policyVersion", policyVersion}};
}

base::Data captureBytes(const std::string& name) {
    std::ifstream file(std::string(TOVRIN_CAPTURES_DIR) + "/" + name, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read capture " + name);
    }
    return base::Data(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

const char* implementationName(Implementation implementation) {
    return implementation == Implementation::ours ? "ours" : "simple";
}

const char* sourceName(PolicySource source) {
    return source == PolicySource::blob ? "blob" : "vendor";
}

}  // namespace bench

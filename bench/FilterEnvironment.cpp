#include "bench/FilterEnvironment.h"

#include <map>
#include <stdexcept>
#include <tuple>

#include "common/SharedDefaultsKeys.h"
#include "platform/defaults/WriteBehindUserDefaults.h"

namespace bench {

FilterEnvironment& filterEnvironment(PolicySource source,
                                     std::size_t policySize,
                                     Implementation implementation) {
    static std::map<std::tuple<PolicySource, std::size_t, Implementation>,
                    std::unique_ptr<FilterEnvironment>>
        environments;
    auto& slot = environments[{source, policySize, implementation}];
    if (slot) {
        return *slot;
    }

    auto environment = std::make_unique<FilterEnvironment>();
    environment->domains = syntheticDomains(policySize);
    const std::size_t middle = environment->domains.size() / 2;
    environment->domains.insert(environment->domains.begin() + middle,
                                {"curl.test", "openssl.test"});
    environment->root.activate();
    environment->framework = std::make_shared<platform::ReplayFramework>(
        [](const filter::NEFilterSettings&, const std::optional<std::string>&) {});
    if (source == PolicySource::blob) {
        auto suite = environment->root.openSharedSuite();
        suite->setObject(policyBlob(environment->domains, true, 7),
                         common::keys::contentFilterPolicyBlob);
        suite->synchronize();
    } else {
        environment->framework->replaceVendorConfiguration(
            vendorConfiguration(environment->domains, true, 7));
    }

    if (implementation == Implementation::ours) {
        // The suite the filter's program gives its provider.
        environment->provider =
            std::make_shared<filter::FilterDataProvider>(platform::openWriteBehindUserDefaults);
        environment->provider->attachFramework(environment->framework);
        bool didStart = false;
        environment->provider->startFilter(
            [&didStart](std::optional<base::Error> error) { didStart = !error; });
        environment->framework->completeInstallations();
        if (!didStart) {
            throw std::runtime_error("the provider did not start");
        }
    } else {
        environment->simple = std::make_unique<SimpleFilterPath>(
            environment->framework, environment->root.openSharedSuite());
        environment->simple->refreshPolicyIfNeeded(true);
    }
    slot = std::move(environment);
    return *slot;
}

}  // namespace bench

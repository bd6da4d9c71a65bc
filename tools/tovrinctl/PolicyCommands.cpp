#include "tools/tovrinctl/PolicyCommands.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/BuildConstants.h"
#include "common/HostNormalization.h"
#include "common/SharedDefaultsKeys.h"
#include "common/VendorConfiguration.h"
#include "platform/provider-configuration/ProviderConfigurationFile.h"
#include "tools/defaults/ISO8601.h"
#include "tools/tovrinctl/AtomicFile.h"
#include "tools/tovrinctl/DomainList.h"
#include "tools/tovrinctl/SharedSuite.h"

namespace tools {
namespace {

namespace configuration = platform::providerconfiguration;

std::string joined(const std::vector<std::string>& texts) {
    std::string result;
    for (const std::string& text : texts) {
        result += (result.empty() ? "" : ", ") + text;
    }
    return result;
}

// An entry as the filter would compare it: a stored entry that is not in normalised form never
// matches a host, so it is quoted and flagged.
std::string shownDomain(const std::string& domain) {
    if (common::normalizedHostText(domain) == domain) {
        return domain;
    }
    return "\"" + domain + "\" (never matches: not normalised)";
}

std::string domainsLine(const std::vector<std::string>& domains, std::string_view origin = {}) {
    std::string line = "  domains";
    if (domains.empty()) {
        return line + (origin.empty() ? "" : " (from \"" + std::string(origin) + "\")") +
               ": none\n";
    }
    line += " (" + std::to_string(domains.size());
    if (!origin.empty()) {
        line += ", from \"" + std::string(origin) + "\"";
    }
    std::vector<std::string> shown;
    for (const std::string& domain : domains) {
        shown.push_back(shownDomain(domain));
    }
    return line + "): " + joined(shown) + "\n";
}

std::string modeLine(bool enforcing) {
    return enforcing ? "  mode: blocking (matching traffic is dropped)\n"
                     : "  mode: monitoring (matching traffic is only observed)\n";
}

// The blob under contentFilterPolicyBlob; nothing when the suite or the blob does not exist.
std::optional<base::Data> storedBlob(platform::SQLiteUserDefaults* defaults) {
    if (defaults == nullptr) {
        return std::nullopt;
    }
    return defaults->dataForKey(common::keys::contentFilterPolicyBlob);
}

// Puts the file at `path` back as it was: `previous` bytes, or no file.
base::Expected<std::monostate> restoreFile(const std::string& path,
                                           const std::optional<base::Data>& previous) {
    if (previous) {
        return writeFileAtomically(path, *previous, 0644);
    }
    if (auto removed = removeFile(path); !removed) {
        return removed.error();
    }
    return std::monostate{};
}

struct PolicySetArguments {
    std::string domainText;
    std::optional<bool> enforcing;
    bool didGiveDomains = false;
};

// Reads the options of `policy set` into `parsed`, the domain files included; exitSuccess, or the
// status to end with after the problem was told.
int parsePolicySetArguments(std::span<const std::string_view> arguments,
                            Console& console,
                            PolicySetArguments& parsed) {
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view option = arguments[index];
        if (option == "--enforce" || option == "--monitor") {
            const bool enforcing = option == "--enforce";
            if (parsed.enforcing && *parsed.enforcing != enforcing) {
                return console.usage("give either --enforce or --monitor, not both");
            }
            parsed.enforcing = enforcing;
            continue;
        }
        if (option != "--block" && option != "--block-file") {
            return console.usage("unknown option for policy set: " + std::string(option));
        }
        if (index + 1 == arguments.size()) {
            return console.usage(std::string(option) + " needs a value");
        }
        const std::string_view value = arguments[++index];
        parsed.didGiveDomains = true;
        if (option == "--block") {
            if (value.empty()) {
                return console.fail(
                    "--block was given an empty list (to block nothing, use "
                    "--block-file with an empty file)");
            }
            parsed.domainText += std::string(value) + "\n";
            continue;
        }
        auto contents = readFileIfPresent(std::string(value));
        if (!contents) {
            return console.fail(contents.error().description);
        }
        if (!*contents) {
            return console.fail("cannot read " + std::string(value) + ": no such file");
        }
        parsed.domainText.append((*contents)->begin(), (*contents)->end());
        parsed.domainText += "\n";
    }
    if (!parsed.didGiveDomains) {
        return console.usage("policy set needs --block DOMAIN[,DOMAIN...] or --block-file FILE");
    }
    if (!parsed.enforcing) {
        return console.usage("policy set needs --enforce or --monitor");
    }
    return exitSuccess;
}

// The higher of the blob's and the configuration file's versions (0 when neither has one). A
// store that cannot be read is noted, since publishing replaces it.
std::int64_t currentPolicyVersion(platform::SQLiteUserDefaults& defaults,
                                  const std::string& configurationPath,
                                  bool hasConfigurationFile,
                                  Console& console) {
    std::int64_t currentVersion = 0;
    if (auto blob = storedBlob(&defaults)) {
        if (auto decoded = common::ContentFilterPolicy::decode(*blob)) {
            currentVersion = std::max(currentVersion, decoded->policyVersion());
        } else {
            console.say("note: the stored policy blob cannot be read (" +
                        decoded.error().description + "); it is replaced");
        }
    }
    if (hasConfigurationFile) {
        auto vendor = configuration::read(configurationPath);
        if (!vendor) {
            console.say("note: the filter configuration cannot be read (" +
                        vendor.error().description + "); it is replaced");
        } else if (*vendor) {
            currentVersion = std::max(
                currentVersion,
                common::policyFromVendorConfiguration(**vendor, base::Date::now()).policyVersion());
        }
    }
    return currentVersion;
}

}  // namespace

int runPolicySet(std::span<const std::string_view> arguments, Console& console) {
    PolicySetArguments parsed;
    if (int status = parsePolicySetArguments(arguments, console, parsed); status != exitSuccess) {
        return status;
    }
    auto domains = parseDomainList(parsed.domainText);
    if (!domains) {
        return console.fail(domains.error().description + "; nothing was published");
    }

    auto suite = openSharedSuite(platform::IfMissing::create);
    if (!suite) {
        return console.fail(suite.error().description + "; nothing was published");
    }
    platform::SQLiteUserDefaults& defaults = **suite;

    const std::string configurationPath = configuration::path();
    // The file's old bytes, kept to put back should the blob write fail.
    auto previousFile = readFileIfPresent(configurationPath);
    if (!previousFile) {
        return console.fail(previousFile.error().description + "; nothing was published");
    }
    const std::int64_t currentVersion =
        currentPolicyVersion(defaults, configurationPath, previousFile->has_value(), console);
    if (currentVersion == std::numeric_limits<std::int64_t>::max()) {
        return console.fail(
            "the current policy version is the largest there is; nothing was "
            "published");
    }

    const common::ContentFilterPolicy policy(std::move(domains).value(), *parsed.enforcing,
                                             currentVersion + 1, base::Date::now());
    if (auto written = configuration::write(configurationPath, common::vendorConfiguration(policy));
        !written) {
        return console.fail("cannot publish the policy: " + written.error().description +
                            " (run as root, or point CONTENT_FILTER_CONFIGURATION at a file you "
                            "can write); nothing was published");
    }
    if (auto stored = defaults.store(common::keys::contentFilterPolicyBlob, policy.encode());
        !stored) {
        std::string message = "cannot store the policy blob in " + defaults.path() + ": " +
                              stored.error().description;
        if (auto restored = restoreFile(configurationPath, *previousFile)) {
            message += "; the filter configuration " + configurationPath +
                       " was put back as it was, so nothing was published";
        } else {
            message += "; and the filter configuration " + configurationPath +
                       " could not be put back (" + restored.error().description +
                       "): the filter now reads version " + std::to_string(policy.policyVersion()) +
                       " while the browser handler reads the old policy";
        }
        return console.fail(message);
    }
    if (!defaults.synchronize()) {
        return console.fail(
            "the policy is published, but the shared suite could not be flushed "
            "to disk: it may not survive a power loss");
    }

    std::string report = "Published policy version " + std::to_string(policy.policyVersion()) +
                         ", " + (policy.enforcementEnabled() ? "blocking" : "monitoring") + ".\n";
    report += domainsLine(policy.blockedDomains());
    report += "  filter configuration: " + configurationPath + "\n";
    report += "  shared suite: " + defaults.path() + "\n";
    return console.print(report);
}

int runPolicyShow(std::span<const std::string_view> arguments, Console& console) {
    if (!arguments.empty()) {
        return console.usage("policy show takes no arguments");
    }
    auto suite = openSharedSuite(platform::IfMissing::fail);
    if (!suite) {
        return console.fail(suite.error().description);
    }
    const std::optional<base::Data> blob = storedBlob(suite->get());
    const std::string configurationPath = configuration::path();
    auto vendor = configuration::read(configurationPath);

    std::string report;
    struct Comparable {
        std::vector<std::string> domains;
        bool enforcing = false;
    } filterSide, handlerSide;

    if (vendor && *vendor) {
        const auto policy = common::policyFromVendorConfiguration(**vendor, base::Date::now());
        report += "Filter reads the configuration file " + configurationPath + ":\n";
        report += modeLine(policy.enforcementEnabled());
        report += "  version: " + std::to_string(policy.policyVersion()) + "\n";
        report += domainsLine(policy.blockedDomains());
        filterSide = {policy.blockedDomains(), policy.enforcementEnabled()};
    } else {
        if (!vendor) {
            report += "Filter: the configuration file cannot be read (" +
                      vendor.error().description + "), so it finds no vendor dictionary there.\n";
        }
        std::optional<common::ContentFilterPolicy> policy;
        if (blob) {
            auto decoded = common::ContentFilterPolicy::decode(*blob);
            if (decoded) {
                policy = std::move(decoded).value();
                report += "Filter reads the policy blob (" + configurationPath +
                          " holds no vendor dictionary):\n";
            } else {
                report += "Filter: the policy blob cannot be read (" + decoded.error().description +
                          "); it uses the empty policy:\n";
            }
        } else {
            report += "Filter: no policy is published; it uses the empty policy:\n";
        }
        const common::ContentFilterPolicy& shown =
            policy ? *policy : common::ContentFilterPolicy::empty;
        report += modeLine(shown.enforcementEnabled());
        report += "  version: " + std::to_string(shown.policyVersion());
        report += policy ? ", updated " + iso8601Text(shown.updatedAt()) + "\n" : "\n";
        report += domainsLine(shown.blockedDomains());
        for (const std::string& domain : shown.blockedDomains()) {
            if (common::normalizedHostText(domain) == domain) {
                filterSide.domains.push_back(domain);
            }
        }
        filterSide.enforcing = shown.enforcementEnabled();
    }

    if (!blob) {
        report += "Browser handler: no policy blob is published; it blocks nothing.\n";
    } else if (auto decoded = common::ConfiguredDomainsPolicy::decode(*blob); !decoded) {
        report += "Browser handler: the policy blob cannot be read (" +
                  decoded.error().description + "); it blocks nothing.\n";
    } else {
        std::vector<std::string> domains = decoded->normalizedDomains();
        const common::ContentFilterPolicy& policy = decoded->policy;
        report += "Browser handler reads the policy blob in " + (*suite)->path() + ":\n";
        report += modeLine(policy.enforcementEnabled());
        report += "  version: " + std::to_string(policy.policyVersion()) + ", updated " +
                  iso8601Text(policy.updatedAt()) + "\n";
        report += domainsLine(domains,
                              decoded->configuredDomains ? "configuredDomains" : "blockedDomains");
        handlerSide = {std::move(domains), policy.enforcementEnabled()};
    }

    for (Comparable* side : {&filterSide, &handlerSide}) {
        std::sort(side->domains.begin(), side->domains.end());
        side->domains.erase(std::unique(side->domains.begin(), side->domains.end()),
                            side->domains.end());
    }
    if (filterSide.domains != handlerSide.domains ||
        filterSide.enforcing != handlerSide.enforcing) {
        report += "Note: the filter and the browser handler do not enforce the same policy.\n";
    }
    return console.print(report);
}

}  // namespace tools

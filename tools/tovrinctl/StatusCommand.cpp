#include "tools/tovrinctl/StatusCommand.h"

#include <optional>
#include <string>

#include "common/SharedDefaultsKeys.h"
#include "common/StoredBrowserEvent.h"
#include "platform/defaults/AppGroupContainer.h"
#include "tools/defaults/ISO8601.h"
#include "tools/tovrinctl/ElapsedTime.h"
#include "tools/tovrinctl/SharedSuite.h"

namespace tools {
namespace {

// Reads the diagnostics keys, saying plainly when one is missing or of an unexpected kind.
class DiagnosticsReader {
  public:
    explicit DiagnosticsReader(platform::SQLiteUserDefaults& defaults) : defaults(defaults) {}

    std::optional<std::string> text(std::string_view key) {
        auto stored = defaults.objectForKey(key);
        if (!stored) {
            return std::nullopt;
        }
        if (const auto* text = std::get_if<std::string>(&*stored)) {
            return *text;
        }
        return "(unexpected " + std::string(platform::kindName(platform::kindOf(*stored))) +
               " value)";
    }

    std::optional<std::int64_t> integer(std::string_view key) {
        auto stored = defaults.objectForKey(key);
        if (!stored) {
            return std::nullopt;
        }
        return defaults.integerForKey(key);
    }

    std::optional<base::Date> date(std::string_view key) {
        auto stored = defaults.objectForKey(key);
        if (!stored) {
            return std::nullopt;
        }
        if (const auto* date = std::get_if<base::Date>(&*stored)) {
            return *date;
        }
        return std::nullopt;
    }

  private:
    platform::SQLiteUserDefaults& defaults;
};

std::string whenText(base::Date date, base::Date now) {
    return iso8601Text(date) + " (" + elapsedText(date, now) + ")";
}

std::string filterReport(DiagnosticsReader& reader, base::Date now) {
    namespace keys = common::keys;
    const auto state = reader.text(keys::contentFilterExtensionState);
    if (!state) {
        return "Filter: no diagnostics yet; it has not started with this shared suite.\n";
    }
    std::string report = "Filter\n";
    report += "  state: " + *state + "\n";
    report += "  error: " + reader.text(keys::contentFilterExtensionError).value_or("none") + "\n";
    const auto starts = reader.integer(keys::contentFilterProviderStartCount).value_or(0);
    report += "  started: " + std::to_string(starts) + (starts == 1 ? " time\n" : " times\n");
    report +=
        "  policy: " + reader.text(keys::contentFilterLastPolicySummary).value_or("none recorded") +
        "\n";
    const auto flows = reader.integer(keys::contentFilterObservedFlowCount).value_or(0);
    report += "  flows observed: " + std::to_string(flows) + "\n";
    if (flows > 0 || reader.text(keys::contentFilterLastObservedHost)) {
        report += "  last observed flow: host " +
                  reader.text(keys::contentFilterLastObservedHost).value_or("none") + ", URL " +
                  reader.text(keys::contentFilterLastObservedURL).value_or("none") + ", endpoint " +
                  reader.text(keys::contentFilterLastObservedEndpoint).value_or("none") + "\n";
    }
    if (const auto blockedHost = reader.text(keys::contentFilterLastBlockedHost)) {
        report += "  last block: " + *blockedHost + " (matched " +
                  reader.text(keys::contentFilterLastMatchedDomain).value_or("no domain") + ")";
        if (const auto blockedAt = reader.date(keys::contentFilterLastBlockedAt)) {
            report += " at " + whenText(*blockedAt, now);
        }
        report += "\n";
    } else {
        report += "  last block: none\n";
    }
    return report;
}

std::string browserReport(platform::SQLiteUserDefaults& defaults, base::Date now) {
    const auto stored = defaults.dataForKey(common::keys::websiteTrackingLatestBrowserEvent);
    if (!stored) {
        return "Browser: no event stored yet.\n";
    }
    auto decoded = common::StoredBrowserEvent::decode(*stored);
    if (!decoded) {
        return "Browser: the stored event cannot be read (" + decoded.error().description + ").\n";
    }
    const common::StoredBrowserEvent& event = *decoded;
    std::string report =
        "Browser: latest event " + event.messageID + " from " + event.browser + "\n";
    report += "  page: " + event.url.value_or("no URL") + " (host " +
              (event.host ? (event.host->empty() ? "empty" : *event.host) : "none") + ")\n";
    std::string tab = "  tab: ";
    tab += event.tabID ? std::to_string(*event.tabID) : "unknown";
    tab += ", window " + (event.windowID ? std::to_string(*event.windowID) : "unknown");
    tab += event.isActiveTab ? ", the active tab" : ", not the active tab";
    tab += event.isWindowFocused ? ", window focused\n" : ", window not focused\n";
    report += tab;
    report += "  occurred: " + whenText(event.occurredAt, now) + "\n";
    report += "  received: " + whenText(event.receivedAt, now) + "\n";
    return report;
}

}  // namespace

int runStatus(std::span<const std::string_view> arguments, Console& console) {
    if (!arguments.empty()) {
        return console.usage("status takes no arguments");
    }
    auto suite = openSharedSuite(platform::IfMissing::fail);
    if (!suite) {
        return console.fail(suite.error().description);
    }
    if (!*suite) {
        return console.print("No shared suite under " + sharedSuiteRoot() +
                             " yet: no policy is published and nothing has been recorded.\n");
    }
    const base::Date now = base::Date::now();
    DiagnosticsReader reader(**suite);
    return console.print(filterReport(reader, now) + browserReport(**suite, now));
}

}  // namespace tools

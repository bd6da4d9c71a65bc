#pragma once

#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <optional>
#include <string_view>

#include "base/value/Expected.h"
#include "filter/framework/NEFilterDataProvider.h"
#include "platform/framework-replay/ReplayFramework.h"
#include "tools/filter-replay/ReplayFlowBuilder.h"

namespace tools {

// Hosts the filter's principal provider on a scripted framework. Each line of the script is one
// JSON event; each result is one compact JSON line on the output. The events:
//   {"op":"start"}                      startFilter; its completion prints {"op":"start","error":E}
//   {"op":"stop","reason":5}            stopFilter; its completion prints {"op":"stop"}
//   {"op":"configure","vendorConfiguration":{...}|null}
//                                       replaces the configuration and reports the change
//   {"op":"holdInstallations","hold":true}
//                                       installations wait for completeInstallation ("hold"
//                                       defaults to true; false lets them complete again)
//   {"op":"completeInstallation","error":null|"text"}
//                                       completes the oldest waiting installation
//   {"op":"failInstallations","error":"text"|null}
//                                       installations that are not held fail with the text
//   {"op":"settings"}                   prints the settings last installed successfully
//                                       ("defaultAction" null and no rules before any)
//   {"op":"newFlow","flow":FLOW}       the new-flow callback; prints its verdict and peek sizes
//   {"op":"outboundData","flow":FLOW,"offset":0,"hex":"..."}
//                                       one chunk of the flow's outbound bytes, given as "hex",
//                                       as "text" or as the contents of the "file" at a path;
//                                       prints the data verdict ("allow", "drop" or "pass") with
//                                       "passBytes" and "peekBytes"
//   {"op":"outboundComplete","flow":FLOW}
//                                       the end of the flow's outbound data; prints its verdict
//   {"op":"releaseProvider"}            drops the session's reference to the provider
// FLOW is described in ReplayFlowBuilder.h. Every completed installation prints
// {"op":"installation","rules":N,"error":E} before the provider hears of it. Unless installations
// are held, those asked for by a line complete right after it. A line that is not a JSON object
// or names no known op prints {"op":"error","line":N,"error":"..."} and the script goes on.
class ReplaySession {
  public:
    // Hosts `provider`, which the session attaches to its framework.
    ReplaySession(std::FILE* output, std::shared_ptr<filter::NEFilterDataProvider> provider);
    ~ReplaySession();
    ReplaySession(const ReplaySession&) = delete;
    ReplaySession& operator=(const ReplaySession&) = delete;

    // Handles `line`, the `lineNumber`th line of the script (from 1).
    void handleLine(std::string_view line, std::int64_t lineNumber);
    // The end of the script: installations still held are dropped.
    void finish();

  private:
    using Outcome = std::optional<base::Error>;

    Outcome perform(const base::Value& event);
    Outcome start();
    Outcome stop(const base::Value& event);
    Outcome configure(const base::Value& event);
    Outcome holdInstallations(const base::Value& event);
    Outcome completeInstallation(const base::Value& event);
    Outcome failInstallations(const base::Value& event);
    Outcome newFlow(const base::Value& event);
    Outcome outboundData(const base::Value& event);
    Outcome outboundComplete(const base::Value& event);
    Outcome requireProvider() const;
    // The flow an event's "flow" describes, once the provider is known to be there.
    base::Expected<ReplayFlow> flowOfEvent(const base::Value& event);

    void print(const base::Value& line);
    void printSettings();

    std::FILE* output;
    std::shared_ptr<platform::ReplayFramework> framework;
    std::shared_ptr<filter::NEFilterDataProvider> provider;
    ReplayFlowBuilder flows;
    bool holdsInstallations = false;
};

// Replays the script read from `input` on a new session hosting `provider` and writing to
// `output`; returns the exit status (0: the whole script was read).
int runFilterReplay(std::istream& input,
                    std::FILE* output,
                    std::shared_ptr<filter::NEFilterDataProvider> provider);

}  // namespace tools

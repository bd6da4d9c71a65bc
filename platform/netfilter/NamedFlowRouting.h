#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "filter/framework/NEFilterSettings.h"
#include "platform/netfilter/FilterRuleTranslation.h"

namespace platform::netfilter {

// What the installed settings say about a flow once the stand-in has learned its host's name: the
// named host rules in order and the default action. The framework replaces them at each
// installation; the flow tracker reads them on the dispatcher's thread.
class NamedFlowRouting {
  public:
    void replace(std::vector<NamedHostRule> rules, filter::NEFilterAction defaultAction) {
        std::lock_guard lock(mutex);
        namedRules = std::move(rules);
        fallback = defaultAction;
    }

    // The action of the first rule whose host covers `name` (equal to it, or a dot-suffix of it),
    // or nothing when no rule covers it.
    std::optional<filter::NEFilterAction> ruleActionFor(const std::string& name) const {
        std::lock_guard lock(mutex);
        for (const auto& rule : namedRules) {
            if (name == rule.host || (name.size() > rule.host.size() && name.ends_with(rule.host) &&
                                      name[name.size() - rule.host.size() - 1] == '.')) {
                return rule.action;
            }
        }
        return std::nullopt;
    }

    filter::NEFilterAction defaultAction() const {
        std::lock_guard lock(mutex);
        return fallback;
    }

  private:
    mutable std::mutex mutex;
    std::vector<NamedHostRule> namedRules;
    filter::NEFilterAction fallback = filter::NEFilterAction::allow;
};

}  // namespace platform::netfilter

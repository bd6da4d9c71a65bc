#include "tools/filter-replay/ReplaySession.h"

#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "base/json/JSON.h"
#include "base/text/Hex.h"

namespace tools {
namespace {

using base::Array;
using base::Dictionary;
using base::Error;
using base::Expected;
using base::Value;

Value optionalText(const std::optional<std::string>& text) {
    return text ? Value(*text) : Value();
}

std::int64_t count(std::size_t value) {
    return static_cast<std::int64_t>(value);
}

// The text or null under `key`; an absent key reads as null.
Expected<std::optional<std::string>> textOrNull(const Value& event, const char* key) {
    const auto* value = event.find(key);
    if (value == nullptr || value->isNull()) {
        return std::optional<std::string>();
    }
    if (const auto* text = value->text()) {
        return std::optional(*text);
    }
    return Error{std::string("\"") + key + "\" must be a string or null"};
}

Expected<base::Data> bytesFromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return Error{"\"hex\" must have an even number of digits"};
    }
    auto bytes = base::parseHex(hex);
    if (!bytes) {
        return Error{"\"hex\" must hold only hexadecimal digits"};
    }
    return std::move(*bytes);
}

Expected<base::Data> bytesOfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Error{"cannot read \"" + path + "\""};
    }
    base::Data bytes(std::istreambuf_iterator<char>(file), {});
    if (file.bad()) {
        return Error{"cannot read \"" + path + "\""};
    }
    return bytes;
}

const char* actionName(filter::NEFilterAction action) {
    switch (action) {
        case filter::NEFilterAction::allow:
            return "allow";
        case filter::NEFilterAction::drop:
            return "drop";
        case filter::NEFilterAction::filterData:
            return "filterData";
    }
    return "unknown";
}

const char* protocolName(filter::NENetworkRuleProtocol protocol) {
    switch (protocol) {
        case filter::NENetworkRuleProtocol::any:
            return "any";
        case filter::NENetworkRuleProtocol::tcp:
            return "tcp";
        case filter::NENetworkRuleProtocol::udp:
            return "udp";
    }
    return "unknown";
}

Value ruleObject(const filter::NEFilterRule& rule) {
    const auto& network = rule.networkRule;
    Dictionary object;
    if (network.kind() == filter::NENetworkRule::Kind::destinationHost) {
        object.push_back({"hostname", network.endpoint()->hostname()});
    } else {
        object.push_back({"address", network.endpoint()->hostname()});
        object.push_back({"prefix", network.prefix()});
    }
    object.push_back({"port", network.endpoint()->port()});
    object.push_back({"protocol", protocolName(network.protocol())});
    object.push_back({"action", actionName(rule.action)});
    return object;
}

const char* verdictName(filter::NEFilterNewFlowVerdict::Kind kind) {
    switch (kind) {
        case filter::NEFilterNewFlowVerdict::Kind::allow:
            return "allow";
        case filter::NEFilterNewFlowVerdict::Kind::drop:
            return "drop";
        case filter::NEFilterNewFlowVerdict::Kind::filterData:
            return "filterData";
    }
    return "unknown";
}

const char* verdictName(filter::NEFilterDataVerdict::Kind kind) {
    switch (kind) {
        case filter::NEFilterDataVerdict::Kind::allow:
            return "allow";
        case filter::NEFilterDataVerdict::Kind::drop:
            return "drop";
        case filter::NEFilterDataVerdict::Kind::pass:
            return "pass";
    }
    return "unknown";
}

}  // namespace

ReplaySession::ReplaySession(std::FILE* output,
                             std::shared_ptr<filter::NEFilterDataProvider> provider)
    : output(output),
      framework(std::make_shared<platform::ReplayFramework>(
          [this](const filter::NEFilterSettings& settings,
                 const std::optional<std::string>& error) {
              print(Dictionary{{"op", "installation"},
                               {"rules", count(settings.rules.size())},
                               {"error", optionalText(error)}});
          })),
      provider(std::move(provider)) {
    this->provider->attachFramework(framework);
}

ReplaySession::~ReplaySession() {
    finish();
}

void ReplaySession::handleLine(std::string_view line, std::int64_t lineNumber) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    Outcome outcome;
    auto event = base::json::JSONObjectWithData(
        std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    if (!event) {
        outcome = Error{"not valid JSON: " + event.error().description};
    } else {
        outcome = perform(*event);
    }
    if (outcome) {
        print(Dictionary{{"op", "error"}, {"line", lineNumber}, {"error", outcome->description}});
    }
    if (!holdsInstallations) {
        framework->completeInstallations();
    }
}

void ReplaySession::finish() {
    framework->dropInstallations();
}

ReplaySession::Outcome ReplaySession::perform(const Value& event) {
    if (!event.dictionary()) {
        return Error{"a line must be a JSON object"};
    }
    const auto* op = event.find("op");
    if (op == nullptr || !op->text()) {
        return Error{"\"op\" must be a string"};
    }
    const std::string& name = *op->text();
    if (name == "start") {
        return start();
    }
    if (name == "stop") {
        return stop(event);
    }
    if (name == "configure") {
        return configure(event);
    }
    if (name == "holdInstallations") {
        return holdInstallations(event);
    }
    if (name == "completeInstallation") {
        return completeInstallation(event);
    }
    if (name == "failInstallations") {
        return failInstallations(event);
    }
    if (name == "settings") {
        printSettings();
        return std::nullopt;
    }
    if (name == "newFlow") {
        return newFlow(event);
    }
    if (name == "outboundData") {
        return outboundData(event);
    }
    if (name == "outboundComplete") {
        return outboundComplete(event);
    }
    if (name == "releaseProvider") {
        provider.reset();
        return std::nullopt;
    }
    return Error{"unknown op \"" + name + "\""};
}

ReplaySession::Outcome ReplaySession::requireProvider() const {
    if (!provider) {
        return Error{"the provider was released"};
    }
    return std::nullopt;
}

base::Expected<ReplayFlow> ReplaySession::flowOfEvent(const Value& event) {
    if (auto missing = requireProvider()) {
        return *missing;
    }
    const auto* description = event.find("flow");
    return flows.flow(description ? *description : Value());
}

ReplaySession::Outcome ReplaySession::start() {
    if (auto missing = requireProvider()) {
        return missing;
    }
    provider->startFilter([this](std::optional<Error> error) {
        print(Dictionary{{"op", "start"}, {"error", error ? Value(error->description) : Value()}});
    });
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::stop(const Value& event) {
    if (auto missing = requireProvider()) {
        return missing;
    }
    std::int64_t reason = 0;
    if (const auto* given = event.find("reason"); given != nullptr && !given->isNull()) {
        if (!given->integer()) {
            return Error{"\"reason\" must be an integer"};
        }
        reason = *given->integer();
    }
    provider->stopFilter(reason, [this] { print(Dictionary{{"op", "stop"}}); });
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::configure(const Value& event) {
    const auto* given = event.find("vendorConfiguration");
    if (given == nullptr || given->isNull()) {
        framework->replaceVendorConfiguration(std::nullopt);
        return std::nullopt;
    }
    if (!given->dictionary()) {
        return Error{"\"vendorConfiguration\" must be an object or null"};
    }
    framework->replaceVendorConfiguration(*given);
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::holdInstallations(const Value& event) {
    bool hold = true;
    if (const auto* given = event.find("hold"); given != nullptr && !given->isNull()) {
        if (!given->boolean()) {
            return Error{"\"hold\" must be true or false"};
        }
        hold = *given->boolean();
    }
    holdsInstallations = hold;
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::completeInstallation(const Value& event) {
    auto error = textOrNull(event, "error");
    if (!error) {
        return error.error();
    }
    if (!framework->completeOldestInstallation(std::move(error).value())) {
        return Error{"no installation is waiting"};
    }
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::failInstallations(const Value& event) {
    auto error = textOrNull(event, "error");
    if (!error) {
        return error.error();
    }
    framework->setFailureText(std::move(error).value());
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::newFlow(const Value& event) {
    auto flow = flowOfEvent(event);
    if (!flow) {
        return flow.error();
    }
    const auto verdict = provider->handleNewFlow(*flow->flow);
    print(Dictionary{{"op", "newFlow"},
                     {"id", flow->label},
                     {"verdict", verdictName(verdict.kind)},
                     {"filterInbound", verdict.filterInbound},
                     {"peekInboundBytes", count(verdict.peekInboundBytes)},
                     {"filterOutbound", verdict.filterOutbound},
                     {"peekOutboundBytes", count(verdict.peekOutboundBytes)}});
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::outboundData(const Value& event) {
    auto flow = flowOfEvent(event);
    if (!flow) {
        return flow.error();
    }
    std::int64_t offset = 0;
    if (const auto* given = event.find("offset"); given != nullptr && !given->isNull()) {
        if (!given->integer() || *given->integer() < 0) {
            return Error{"\"offset\" must be a non-negative integer"};
        }
        offset = *given->integer();
    }
    base::Data bytes;
    const auto* hex = event.find("hex");
    const auto* text = event.find("text");
    const auto* file = event.find("file");
    if (hex != nullptr && hex->text()) {
        auto decoded = bytesFromHex(*hex->text());
        if (!decoded) {
            return decoded.error();
        }
        bytes = std::move(decoded).value();
    } else if (text != nullptr && text->text()) {
        bytes.assign(text->text()->begin(), text->text()->end());
    } else if (file != nullptr && file->text()) {
        auto contents = bytesOfFile(*file->text());
        if (!contents) {
            return contents.error();
        }
        bytes = std::move(contents).value();
    } else {
        return Error{"outboundData needs a \"hex\", \"text\" or \"file\" string"};
    }
    const auto verdict =
        provider->handleOutboundData(*flow->flow, static_cast<std::size_t>(offset), bytes);
    print(Dictionary{{"op", "outboundData"},
                     {"id", flow->label},
                     {"verdict", verdictName(verdict.kind)},
                     {"passBytes", count(verdict.passBytes)},
                     {"peekBytes", count(verdict.peekBytes)}});
    return std::nullopt;
}

ReplaySession::Outcome ReplaySession::outboundComplete(const Value& event) {
    auto flow = flowOfEvent(event);
    if (!flow) {
        return flow.error();
    }
    const auto verdict = provider->handleOutboundDataComplete(*flow->flow);
    print(Dictionary{
        {"op", "outboundComplete"}, {"id", flow->label}, {"verdict", verdictName(verdict.kind)}});
    return std::nullopt;
}

void ReplaySession::printSettings() {
    const auto& installed = framework->installedSettings();
    if (!installed) {
        print(Dictionary{{"op", "settings"}, {"defaultAction", Value()}, {"rules", Array{}}});
        return;
    }
    Array rules;
    for (const auto& rule : installed->rules) {
        rules.push_back(ruleObject(rule));
    }
    print(Dictionary{{"op", "settings"},
                     {"defaultAction", actionName(installed->defaultAction)},
                     {"rules", std::move(rules)}});
}

void ReplaySession::print(const Value& line) {
    auto text = base::json::dataWithJSONObject(line);
    if (!text) {
        text = base::json::dataWithJSONObject(
            Dictionary{{"op", "error"}, {"error", "result cannot be written as JSON"}});
    }
    if (text) {
        text->push_back('\n');
        std::fwrite(text->data(), 1, text->size(), output);
    }
    std::fflush(output);
}

int runFilterReplay(std::istream& input,
                    std::FILE* output,
                    std::shared_ptr<filter::NEFilterDataProvider> provider) {
    ReplaySession session(output, std::move(provider));
    std::string line;
    std::int64_t lineNumber = 0;
    while (std::getline(input, line)) {
        session.handleLine(line, ++lineNumber);
    }
    session.finish();
    return 0;
}

}  // namespace tools

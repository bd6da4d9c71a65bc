#include <cstdlib>
#include <memory>

#include "base/json/JSON.h"
#include "base/log/Log.h"
#include "fakes/FakeUserDefaults.h"
#include "safari-extension/SafariWebExtensionHandler.h"
#include "safari-extension/runtime/NSExtensionItem.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

// Any bytes, delivered as one native message the way the runtime delivers a frame, get exactly
// one answer: one item whose message is a writable dictionary with a boolean "ok".
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform;
    using namespace platform::extension;
    static fakes::FakeUserDefaultsStore* store = [] {
        base::setLogOutputToStandardError(false);
        auto* created = new fakes::FakeUserDefaultsStore;
        created->setData("contentFilterPolicyBlob",
                         R"({"blockedDomains":["example.com"," WWW.Ads.Example.ORG:443"],)"
                         R"("enforcementEnabled":true,"policyVersion":1,"updatedAt":0})");
        return created;
    }();

    auto item = std::make_shared<NSExtensionItem>();
    item->userInfo = base::Dictionary{};
    if (auto message = base::json::JSONObjectWithData(std::span(data, size), true)) {
        item->userInfo->push_back({SFExtensionMessageKey, std::move(message).value()});
    }
    std::vector<std::vector<NSExtensionItem>> answers;
    NSExtensionContext context(
        {item}, [&](std::vector<NSExtensionItem> items) { answers.push_back(std::move(items)); });
    safari::SafariWebExtensionHandler(store->opener()).beginRequest(context);

    if (answers.size() != 1 || answers[0].size() != 1 || !answers[0][0].userInfo ||
        answers[0][0].userInfo->size() != 1) {
        std::abort();
    }
    const base::Value& reply = answers[0][0].userInfo->front().value;
    const base::Value* ok = reply.find("ok");
    if (ok == nullptr || !ok->boolean() || !base::json::dataWithJSONObject(reply)) {
        std::abort();
    }
    return 0;
}

#include "platform/extension-runtime/stdio/NativeMessagingHost.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/json/JSON.h"
#include "platform/extension-runtime/stdio/NativeMessagingFrame.h"
#include "safari-extension/runtime/NSExtensionContext.h"
#include "safari-extension/runtime/SFExtensionMessageKey.h"

namespace platform::extension {
namespace {

const base::Value* messageEntry(const NSExtensionItem& item) {
    if (!item.userInfo) {
        return nullptr;
    }
    for (const auto& entry : *item.userInfo) {
        if (const auto* key = entry.key.text(); key != nullptr && *key == SFExtensionMessageKey) {
            return &entry.value;
        }
    }
    return nullptr;
}

}  // namespace

NativeMessagingHost::NativeMessagingHost(NSExtensionPrincipalClass principalClass)
    : principalClass(std::move(principalClass)), logger("extension-runtime", "native-messaging") {}

base::Data NativeMessagingHost::failureReply(const std::string& description) const {
    logger.error("%{public}s", {description});
    const base::Value reply(base::Dictionary{{"ok", false}, {"error", description}});
    auto bytes = base::json::dataWithJSONObject(reply);
    // A failure reply is a dictionary of a boolean and a text, which is always writable.
    return bytes ? std::move(bytes).value() : base::Data{};
}

base::Data NativeMessagingHost::replyToMessage(std::span<const std::uint8_t> message) const {
    auto item = std::make_shared<NSExtensionItem>();
    item->userInfo = base::Dictionary{};
    if (auto parsed = base::json::JSONObjectWithData(message, true)) {
        item->userInfo->push_back({SFExtensionMessageKey, std::move(parsed).value()});
    }

    std::optional<std::vector<NSExtensionItem>> answer;
    int answerCount = 0;
    NSExtensionContext context({item}, [&](std::vector<NSExtensionItem> items) {
        ++answerCount;
        if (!answer) {
            answer = std::move(items);
        }
    });
    try {
        principalClass.makeObject()->beginRequest(context);
    } catch (const std::exception& exception) {
        return failureReply(std::string("The extension failed handling the native message: ") +
                            exception.what());
    } catch (...) {
        return failureReply("The extension failed handling the native message.");
    }

    if (!answer) {
        return failureReply("The extension did not answer the native message.");
    }
    if (answerCount > 1) {
        logger.error(
            "The extension answered one native message %{public}ld times; the first "
            "answer was sent.",
            {static_cast<std::int64_t>(answerCount)});
    }
    const base::Value* reply = answer->empty() ? nullptr : messageEntry(answer->front());
    if (reply == nullptr) {
        return failureReply("The extension answered without a reply message.");
    }
    auto bytes = base::json::dataWithJSONObject(*reply);
    if (!bytes) {
        return failureReply("The extension's reply cannot be sent: " + bytes.error().description);
    }
    if (bytes->size() > maximumReplyLength) {
        return failureReply("The extension's reply of " + std::to_string(bytes->size()) +
                            " bytes exceeds the browser's limit of " +
                            std::to_string(maximumReplyLength) + " bytes for a native message.");
    }
    return std::move(bytes).value();
}

int NativeMessagingHost::serve(int input, int output) const {
    NativeMessagingFrameReader reader(input);
    while (true) {
        auto frame = reader.readFrame();
        if (!frame) {
            logger.error("%{public}s", {frame.error().description});
            return 1;
        }
        if (!frame->has_value()) {
            return 0;
        }
        const base::Data reply = replyToMessage(**frame);
        if (auto written = writeNativeMessagingFrame(output, reply); !written) {
            logger.error("%{public}s", {written.error().description});
            return 1;
        }
    }
}

}  // namespace platform::extension

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/log/Log.h"
#include "base/value/Value.h"
#include "safari-extension/runtime/NSExtensionPrincipalClass.h"

namespace platform::extension {

// Serves an extension's principal class as a browser's native-messaging host: each inbound frame
// becomes one request, whose answer goes back as one frame. Requests are served one at a time,
// each by a new object of the principal class.
class NativeMessagingHost {
  public:
    // Longer replies are refused by browsers, so they are replaced by a failure reply.
    static constexpr std::size_t maximumReplyLength = 1024 * 1024;

    explicit NativeMessagingHost(NSExtensionPrincipalClass principalClass);

    // The reply's JSON bytes for one inbound message's JSON bytes. The parsed message (any JSON
    // value, a bare string or null included) is the entry under SFExtensionMessageKey in the
    // `userInfo` of the request's one input item; bytes that are not JSON give an item without
    // that entry. The reply is the JSON text of the same entry of the first returned item. A
    // request that is not answered, answered without a JSON-representable entry, or with a reply
    // longer than maximumReplyLength, gets {"ok": false, "error": <why>} instead, and the reason
    // is logged. Never longer than maximumReplyLength.
    base::Data replyToMessage(std::span<const std::uint8_t> message) const;

    // Serves the frames read from `input`, writing each reply to `output`, until the input ends.
    // Returns the exit status: 0 when the input ended between frames; 1, after an error line on
    // standard error, when it ended inside a frame, a frame was too long, or either side failed.
    int serve(int input, int output) const;

  private:
    base::Data failureReply(const std::string& description) const;

    NSExtensionPrincipalClass principalClass;
    const base::Logger logger;
};

}  // namespace platform::extension

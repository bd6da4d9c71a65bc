#pragma once

namespace platform::extension {

// The `userInfo` key under which a browser extension's native message travels, in the request's
// input item and in the reply item alike.
inline constexpr char SFExtensionMessageKey[] = "message";

}  // namespace platform::extension

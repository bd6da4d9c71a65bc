#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/value/Value.h"
#include "tools/tovrinctl/Console.h"

namespace tools {

enum class Browser { chromium, firefox };

// The IDs of the extension shipped in browser-extension/: Chromium derives its ID from the "key"
// of the Chromium manifest; Firefox takes the add-on ID from browser_specific_settings.
inline constexpr char shippedChromiumExtensionID[] = "lnkkjibepcmpibihmkmedclmppnaoipj";
inline constexpr char shippedFirefoxAddOnID[] = "tovrinhelper@vorlane.com";

// The native-messaging host's name, which browsers find its manifest by and extensions pass to
// connectNative/sendNativeMessage: the host application's bundle identifier in lower case, with
// ".tovrinhelper" appended, every character other than a letter, digit, "." or "_" turned into
// "_".
std::string nativeMessagingHostName();

// Why `identifier` cannot name an extension of `browser`, or nothing when it can: for Chromium,
// 32 letters from "a" to "p"; for Firefox, an add-on ID as "name@domain" or a "{GUID}".
std::optional<std::string> extensionIdentifierProblem(Browser browser, std::string_view identifier);

// The manifest by which `browser` starts the handler at `handlerPath` (absolute) for the one
// extension `identifier`: "name", "description", "path", "type" "stdio", and for Chromium
// "allowed_origins" ["chrome-extension://ID/"], for Firefox "allowed_extensions" [ID].
base::Value hostManifest(Browser browser,
                         const std::string& handlerPath,
                         const std::string& identifier);

// Where `browser` looks for host manifests: for Chromium, /etc/chromium/native-messaging-hosts
// for root and $XDG_CONFIG_HOME/chromium/NativeMessagingHosts (or ~/.config/...) for anyone
// else; for Firefox, /usr/lib/mozilla/native-messaging-hosts for root and
// ~/.mozilla/native-messaging-hosts for anyone else. Nothing when there is no home folder.
std::optional<std::string> standardManifestFolder(Browser browser, bool isSystemWide);

// `tovrinctl install-browser-host (--chromium [EXTENSION_ID] | --firefox [ADDON_ID])
//  [--uninstall] [--user | --system] [--manifest-dir DIR] [--handler PATH]`: writes
// (atomically) or removes the manifest <folder>/<host name>.json for the extension given, or
// without an ID for the shipped one; the folder being the
// browser's standard one for this user (--user) or for everyone (--system; the default for
// root), or DIR. The handler defaults to TovrinHelperSafariWebExtension
// beside tovrinctl's own executable and must be an executable file.
int runInstallBrowserHost(std::span<const std::string_view> arguments, Console& console);

}  // namespace tools

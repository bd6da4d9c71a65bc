#include "tools/tovrinctl/BrowserHostManifest.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/json/JSON.h"
#include "common/BuildConstants.h"
#include "tools/tovrinctl/AtomicFile.h"

namespace tools {
namespace {

constexpr char handlerExecutableName[] = "TovrinHelperSafariWebExtension";

bool isLowerHex(char character) {
    return (character >= '0' && character <= '9') || (character >= 'a' && character <= 'f') ||
           (character >= 'A' && character <= 'F');
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in hexadecimal digits.
bool isBracedGUID(std::string_view text) {
    constexpr std::string_view shape = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t index = 0; index < shape.size(); ++index) {
        if (shape[index] == 'x' ? !isLowerHex(text[index]) : text[index] != shape[index]) {
            return false;
        }
    }
    return true;
}

bool isAddOnNameCharacter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') || character == '.' || character == '_' ||
           character == '-' || character == '+';
}

std::string browserName(Browser browser) {
    return browser == Browser::chromium ? "Chromium" : "Firefox";
}

// The handler beside this program's own executable.
std::optional<std::string> installedHandlerPath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return (self.parent_path() / handlerExecutableName).string();
}

struct InstallArguments {
    std::optional<Browser> browser;
    std::string identifier;
    bool uninstall = false;
    std::optional<bool> isSystemWide;
    std::optional<std::string> manifestFolder;
    std::optional<std::string> handlerPath;
};

}  // namespace

std::string nativeMessagingHostName() {
    std::string name = std::string(common::hostApplicationBundleIdentifier) + ".tovrinhelper";
    for (char& character : name) {
        if (character >= 'A' && character <= 'Z') {
            character = static_cast<char>(character - 'A' + 'a');
        } else if (!((character >= 'a' && character <= 'z') ||
                     (character >= '0' && character <= '9') || character == '.' ||
                     character == '_')) {
            character = '_';
        }
    }
    return name;
}

std::optional<std::string> extensionIdentifierProblem(Browser browser,
                                                      std::string_view identifier) {
    if (browser == Browser::chromium) {
        const bool isWellFormed =
            identifier.size() == 32 && std::all_of(identifier.begin(), identifier.end(),
                                                   [](char c) { return c >= 'a' && c <= 'p'; });
        if (!isWellFormed) {
            return "a Chromium extension ID is 32 letters from a to p";
        }
        return std::nullopt;
    }
    if (isBracedGUID(identifier)) {
        return std::nullopt;
    }
    const std::size_t at = identifier.find('@');
    const bool isEmailLike = at != std::string_view::npos && at > 0 && at + 1 < identifier.size() &&
                             identifier.find('@', at + 1) == std::string_view::npos &&
                             std::all_of(identifier.begin(), identifier.end(), [](char c) {
                                 return c == '@' || isAddOnNameCharacter(c);
                             });
    if (!isEmailLike) {
        return "a Firefox add-on ID looks like name@example.org or {GUID}";
    }
    return std::nullopt;
}

base::Value hostManifest(Browser browser,
                         const std::string& handlerPath,
                         const std::string& identifier) {
    base::Dictionary manifest{
        {base::Value("name"), base::Value(nativeMessagingHostName())},
        {base::Value("description"),
         base::Value("Tovrin helper: website blocking state and tracking of the active "
                     "website")},
        {base::Value("path"), base::Value(handlerPath)},
        {base::Value("type"), base::Value("stdio")},
    };
    if (browser == Browser::chromium) {
        manifest.push_back(
            {base::Value("allowed_origins"),
             base::Value(base::Array{base::Value("chrome-extension://" + identifier + "/")})});
    } else {
        manifest.push_back(
            {base::Value("allowed_extensions"), base::Value(base::Array{base::Value(identifier)})});
    }
    return base::Value(std::move(manifest));
}

std::optional<std::string> standardManifestFolder(Browser browser, bool isSystemWide) {
    if (isSystemWide) {
        return browser == Browser::chromium ? "/etc/chromium/native-messaging-hosts"
                                            : "/usr/lib/mozilla/native-messaging-hosts";
    }
    const char* home = std::getenv("HOME");
    const bool hasHome = home != nullptr && *home == '/';
    if (browser == Browser::chromium) {
        const char* configHome = std::getenv("XDG_CONFIG_HOME");
        if (configHome != nullptr && *configHome == '/') {
            return std::string(configHome) + "/chromium/NativeMessagingHosts";
        }
        if (!hasHome) {
            return std::nullopt;
        }
        return std::string(home) + "/.config/chromium/NativeMessagingHosts";
    }
    if (!hasHome) {
        return std::nullopt;
    }
    return std::string(home) + "/.mozilla/native-messaging-hosts";
}

int runInstallBrowserHost(std::span<const std::string_view> arguments, Console& console) {
    InstallArguments parsed;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view option = arguments[index];
        if (option == "--uninstall") {
            parsed.uninstall = true;
            continue;
        }
        if (option == "--user" || option == "--system") {
            parsed.isSystemWide = option == "--system";
            continue;
        }
        const bool isKnown = option == "--chromium" || option == "--firefox" ||
                             option == "--manifest-dir" || option == "--handler";
        if (!isKnown) {
            return console.usage("unknown option for install-browser-host: " + std::string(option));
        }
        const bool isBrowser = option == "--chromium" || option == "--firefox";
        const bool hasValue =
            index + 1 < arguments.size() && !(isBrowser && arguments[index + 1].starts_with("--"));
        // A browser's ID may be left out when uninstalling; that is checked once all is read.
        if (!hasValue && !isBrowser) {
            return console.usage(std::string(option) + " needs a value");
        }
        const std::string value(hasValue ? arguments[++index] : std::string_view());
        if (option == "--manifest-dir") {
            parsed.manifestFolder = value;
        } else if (option == "--handler") {
            parsed.handlerPath = value;
        } else {
            if (parsed.browser) {
                return console.usage("give one browser, --chromium or --firefox");
            }
            parsed.browser = option == "--chromium" ? Browser::chromium : Browser::firefox;
            parsed.identifier = value;
        }
    }
    if (!parsed.browser) {
        return console.usage(
            "install-browser-host needs --chromium [EXTENSION_ID] or --firefox "
            "[ADDON_ID]");
    }
    const Browser browser = *parsed.browser;
    // Without an ID, the manifest names the shipped extension; removing needs none either:
    // there is one manifest per browser.
    if (parsed.identifier.empty()) {
        parsed.identifier =
            browser == Browser::chromium ? shippedChromiumExtensionID : shippedFirefoxAddOnID;
    }
    if (auto problem = extensionIdentifierProblem(browser, parsed.identifier)) {
        return console.fail("not an extension ID: \"" + parsed.identifier + "\": " + *problem);
    }

    std::optional<std::string> folder = parsed.manifestFolder;
    if (!folder) {
        folder = standardManifestFolder(browser, parsed.isSystemWide.value_or(::geteuid() == 0));
    }
    if (!folder) {
        return console.fail("no home folder (HOME is not set): give --manifest-dir");
    }
    const std::string manifestPath = *folder + "/" + nativeMessagingHostName() + ".json";

    if (parsed.uninstall) {
        auto removed = removeFile(manifestPath);
        if (!removed) {
            return console.fail(removed.error().description);
        }
        return console.print(*removed ? "Removed the " + browserName(browser) +
                                            " native-messaging host manifest " + manifestPath + "\n"
                                      : "No " + browserName(browser) +
                                            " native-messaging host manifest at " + manifestPath +
                                            "; nothing to remove\n");
    }

    std::optional<std::string> handler = parsed.handlerPath;
    if (!handler) {
        handler = installedHandlerPath();
    }
    if (!handler) {
        return console.fail("cannot find this program's own folder: give --handler");
    }
    std::error_code error;
    const std::string handlerPath = std::filesystem::absolute(*handler, error).lexically_normal();
    if (error || ::access(handlerPath.c_str(), X_OK) != 0 ||
        !std::filesystem::is_regular_file(handlerPath, error)) {
        return console.fail("the handler " + handlerPath +
                            " is not an executable file; nothing was installed");
    }

    auto text =
        base::json::dataWithJSONObject(hostManifest(browser, handlerPath, parsed.identifier));
    if (!text) {
        return console.fail("cannot write the manifest: " + text.error().description);
    }
    text->push_back('\n');
    if (auto written = writeFileAtomically(manifestPath, *text, 0644); !written) {
        return console.fail(written.error().description + "; nothing was installed");
    }
    const std::string allowed = browser == Browser::chromium
                                    ? "chrome-extension://" + parsed.identifier + "/"
                                    : parsed.identifier;
    return console.print("Installed the " + browserName(browser) +
                         " native-messaging host manifest " + manifestPath +
                         "\n  host: " + nativeMessagingHostName() + "\n  handler: " + handlerPath +
                         "\n  allowed: " + allowed + "\n");
}

}  // namespace tools

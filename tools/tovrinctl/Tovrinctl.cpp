#include "tools/tovrinctl/Tovrinctl.h"

#include <string>

#include "tools/tovrinctl/BrowserHostManifest.h"
#include "tools/tovrinctl/Console.h"
#include "tools/tovrinctl/PolicyCommands.h"
#include "tools/tovrinctl/StatusCommand.h"

namespace tools {
namespace {

constexpr std::string_view usageText =
    "usage: tovrinctl policy set (--block DOMAIN[,DOMAIN...] | --block-file FILE)...\n"
    "                            (--enforce | --monitor)\n"
    "       tovrinctl policy show\n"
    "       tovrinctl status\n"
    "       tovrinctl install-browser-host (--chromium [EXTENSION_ID] | --firefox [ADDON_ID])\n"
    "                            [--uninstall] [--user | --system] [--manifest-dir DIR]\n"
    "                            [--handler PATH]\n"
    "\n"
    "policy set publishes a policy to the filter (its configuration file) and to the browser\n"
    "handler (the policy blob in the shared suite), with the next version number. Domains are\n"
    "separated by commas or white space; in a file, \"#\" starts a comment. --enforce drops\n"
    "matching traffic, --monitor only observes it. An empty file publishes no domains.\n"
    "policy show prints the policy as the filter and as the browser handler would read it.\n"
    "status prints the filter's diagnostics and the latest browser event.\n"
    "install-browser-host writes the native-messaging host manifest that lets the browser start\n"
    "the handler for that extension, or without an ID for the one built in browser-extension/:\n"
    "per user, or system-wide when run as root (--user and --system choose). The handler is\n"
    "TovrinHelperSafariWebExtension beside tovrinctl unless --handler names it. --uninstall\n"
    "removes the manifest.\n"
    "\n"
    "The shared suite lives under $APP_GROUP_CONTAINERS_ROOT (by default\n"
    "~/.local/state/tovrin/app-groups; for root, the service's /var/lib/tovrin/app-groups).\n"
    "The filter's configuration file is $CONTENT_FILTER_CONFIGURATION (by default\n"
    "/etc/tovrin/content-filter.json).\n"
    "Exit status: 0 done; 1 bad input, or a suite or file that cannot be used; 2 bad arguments.\n";

}  // namespace

int runTovrinctl(std::span<const std::string_view> arguments,
                 std::FILE* output,
                 std::FILE* errors) {
    Console console(output, errors);
    if (arguments.empty()) {
        return console.usage("no command given");
    }
    const std::string_view command = arguments[0];
    if (command == "help" || command == "-h" || command == "--help") {
        return console.print(usageText);
    }
    if (command == "policy") {
        if (arguments.size() < 2) {
            return console.usage("policy needs set or show");
        }
        if (arguments[1] == "set") {
            return runPolicySet(arguments.subspan(2), console);
        }
        if (arguments[1] == "show") {
            return runPolicyShow(arguments.subspan(2), console);
        }
        return console.usage("unknown policy command: " + std::string(arguments[1]));
    }
    if (command == "status") {
        return runStatus(arguments.subspan(1), console);
    }
    if (command == "install-browser-host") {
        return runInstallBrowserHost(arguments.subspan(1), console);
    }
    return console.usage("unknown command: " + std::string(command));
}

}  // namespace tools

#!/usr/bin/env python3
"""The shipped browser extension in Debian's browsers, with a web server on port 80 in a network
namespace.  browser_e2e.py --bin-dir B/bin --extension-dir B/browser-extension [CASE...] | --list"""

import json
import os
import shutil
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import e2e  # noqa: E402
from e2e import Namespace, Skip, main, wait_until  # noqa: E402

DEVTOOLS = "http://127.0.0.1:9222"
BLOCKED_PAGE = "chrome-extension://lnkkjibepcmpibihmkmedclmppnaoipj/blocked.html"
TITLE = "Page of the test server"


class Workspace(e2e.Workspace):
    """The case's files (suite root, configuration, home, browser profile, test page) and tools."""

    def __init__(self, bin_dir, extension_dir):
        super().__init__(bin_dir, {"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
        self.extension_dir, self.profile = extension_dir, os.path.join(self.path, "profile")
        self.environment["HOME"] = os.path.join(self.path, "home")
        self.environment["CONTENT_FILTER_CONFIGURATION"] = os.path.join(self.path, "filter.json")
        with open(os.path.join(self.path, "index.html"), "w") as file:
            file.write(f"<title>{TITLE}</title>")

    def tovrinctl(self, *arguments):
        result = self.tool("tovrinctl", *arguments)
        assert result.returncode == 0, f"tovrinctl {arguments}: {result.stderr}"

    def event_for(self, url):
        """The latest browser event, when it is for a URL that starts with `url`."""
        event = json.loads(self.read("websiteTrackingLatestBrowserEvent") or "{}")
        return event if event.get("url", "").startswith(url) else None

    def launch(self, namespace, arguments):
        namespace.spawn(arguments, env=self.environment)


def devtools(namespace, path, *options):
    return namespace.run(["curl", "-sf", *options, DEVTOOLS + path]).stdout


def title_at(namespace, url):
    pages = json.loads(devtools(namespace, "/json/list") or "[]")
    return next((page["title"] for page in pages if page["url"].startswith(url)), None)


def chromium(namespace, workspace, browser):
    """An allowed site loads untouched and is tracked; a blocked site ends on the extension's page
    naming the domain, and its event carries the tab's URL; once the host manifest is gone, a
    blocked site loads as it would without the extension, and stays loaded."""
    workspace.tovrinctl("policy", "set", "--block", "blocked.example", "--enforce")
    # A browser started with its own profile looks for host manifests inside it.
    host = ["install-browser-host", "--chromium", "--manifest-dir",
            os.path.join(workspace.profile, "NativeMessagingHosts")]
    workspace.tovrinctl(*host)
    extension = os.path.join(workspace.extension_dir, "chromium")
    allowed = "http://allowed.example/?q=a|b"
    workspace.launch(namespace, [
        browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--host-resolver-rules=MAP *.example 127.0.0.1", "--remote-debugging-port=9222",
        f"--user-data-dir={workspace.profile}",
        f"--load-extension={extension}", f"--disable-extensions-except={extension}", allowed])
    event = wait_until(lambda: workspace.event_for(allowed), "the allowed event", 30)
    assert event["browser"] == "chromium", f"event: {event}"


    blocked = "http://www.blocked.example/?search_query=a|b"
    devtools(namespace, "/json/new?" + urllib.parse.quote(blocked, safe=""), "-X", "PUT")
    query = urllib.parse.urlencode({"url": blocked, "domain": "blocked.example"})
    wait_until(lambda: title_at(namespace, f"{BLOCKED_PAGE}?{query}") == "Blocked: blocked.example",
               "the blocked page naming the site and the domain", 20)
    event = wait_until(lambda: workspace.event_for(blocked), "the blocked event", 10)
    assert isinstance(event.get("tabID"), int), f"event: {event}"
    assert title_at(namespace, allowed) == TITLE, "the allowed page stays where it was"

    workspace.tovrinctl(*host, "--uninstall")
    unchecked = "http://www.blocked.example/?without-host"
    devtools(namespace, "/json/new?" + urllib.parse.quote(unchecked, safe=""), "-X", "PUT")
    wait_until(lambda: title_at(namespace, unchecked) == TITLE, "the site to load", 20)
    time.sleep(1.0)  # room for a wrong late answer to move the tab
    assert title_at(namespace, unchecked) == TITLE and workspace.event_for(unchecked) is None, (
        "the site stays without a host")


def firefox(namespace, workspace, browser):
    """The add-on, sideloaded into a fresh profile, has a visited site tracked through the
    handler that the per-user host manifest names."""
    workspace.tovrinctl("install-browser-host", "--firefox", "--user")
    extensions = os.path.join(workspace.profile, "extensions")
    os.makedirs(extensions)
    shutil.copy(os.path.join(workspace.extension_dir, "firefox.xpi"),
                os.path.join(extensions, "tovrinhelper@vorlane.com.xpi"))
    # Unsigned and sideloaded add-ons run; allowed.example is this machine.
    preferences = {"xpinstall.signatures.required": False, "extensions.autoDisableScopes": 0,
                   "network.dns.localDomains": "allowed.example"}
    with open(os.path.join(workspace.profile, "user.js"), "w") as file:
        file.writelines(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n"
                        for name, value in preferences.items())
    command = [browser, "--headless", "--no-remote", "--profile", workspace.profile,
               "http://allowed.example/watch?v=1&t={x}"]
    # A first start now and then (2 of 8 full runs) brings no event; the cause is not known, so
    # a second start on the same profile is allowed, and said.
    for attempt in (1, 2):
        firefox_process = namespace.spawn(command, env=workspace.environment)
        try:
            event = wait_until(lambda: workspace.event_for("http://allowed.example/"), "the event",
                               25)
            break
        except AssertionError:
            print(f"no event after Firefox's start {attempt}", flush=True)
            firefox_process.kill()
            firefox_process.wait()
            if attempt == 2:
                raise
    assert (event["browser"] == "firefox" and isinstance(event.get("tabID"), int)
            and isinstance(event.get("windowID"), int)), f"event: {event}"


# Each case, and the browsers that can run it (the first one installed does).
CASES = {"chromium": (chromium, ["chromium"]), "firefox": (firefox, ["firefox-esr", "firefox"])}


def run_case(name, arguments):
    function, browser_names = CASES[name]
    browser = next(filter(None, map(shutil.which, browser_names)), None)
    if browser is None:
        raise Skip(f"no browser: install {browser_names[0]}")
    with Workspace(arguments.bin_dir, arguments.extension_dir) as workspace, \
            Namespace(name) as namespace:
        # Bound to ::, http.server takes IPv4 connections too.
        namespace.serve([sys.executable, "-m", "http.server", "80", "--bind", "::",
                         "--directory", workspace.path], 80)
        function(namespace, workspace, browser)


if __name__ == "__main__":
    sys.exit(main(CASES, run_case, "--extension-dir"))

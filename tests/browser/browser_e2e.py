#!/usr/bin/env python3
"""The shipped browser extension in Debian's browsers, each case in a network namespace of its own
with a web server on port 80 and the handler started through the host manifest tovrinctl writes.
  browser_e2e.py --bin-dir B/bin --extension-dir B/browser-extension [CASE...] | --list"""

import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import e2e  # noqa: E402
from e2e import Namespace, Skip, expect, main, wait_until as wait_every  # noqa: E402

DEVTOOLS = "http://127.0.0.1:9222"


def wait_until(probe, what, timeout):
    return wait_every(probe, what, timeout, interval=0.2)


class Page(http.server.BaseHTTPRequestHandler):
    """Any path: a small page whose title names the host it was asked for."""

    def do_GET(self):
        body = f"<title>Page of {self.headers.get('Host', '')}</title>".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments):
        pass


class DualStackServer(http.server.ThreadingHTTPServer):
    """Bound to ::, it takes IPv4 connections too."""
    address_family = socket.AF_INET6


class Workspace(e2e.Workspace):
    """The case's files (suite root, configuration, home, browser profile, log) and tools."""

    def __init__(self, bin_dir, extension_dir):
        super().__init__(bin_dir, {"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
        self.extension_dir, self.profile = extension_dir, os.path.join(self.path, "profile")
        self.environment["HOME"] = os.path.join(self.path, "home")
        self.environment["CONTENT_FILTER_CONFIGURATION"] = os.path.join(self.path, "filter.json")
        os.makedirs(self.profile)

    def tovrinctl(self, *arguments):
        result = self.tool("tovrinctl", *arguments)
        expect(result.returncode == 0, f"tovrinctl {arguments}: {result.stderr}")

    def event_for(self, host=None):
        event = json.loads(self.read("websiteTrackingLatestBrowserEvent") or "null")
        return event if event and (host is None or event.get("host") == host) else None

    def launch(self, arguments):
        with open(self.log_path, "w") as log:
            subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=log,
                             stderr=subprocess.STDOUT, env=self.environment)


def devtools_pages():
    with urllib.request.urlopen(DEVTOOLS + "/json/list", timeout=5) as reply:
        return [target for target in json.load(reply) if target.get("type") == "page"]


def page_at(prefix):
    try:
        return next((page for page in devtools_pages() if page["url"].startswith(prefix)), None)
    except OSError:
        return None


def title_at(prefix):
    return (page_at(prefix) or {}).get("title")


def launch_chromium(workspace, browser, url):
    extension = os.path.join(workspace.extension_dir, "chromium")
    workspace.launch([
        browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--host-resolver-rules=MAP *.example 127.0.0.1", "--remote-debugging-port=9222",
        f"--user-data-dir={workspace.profile}",
        f"--load-extension={extension}", f"--disable-extensions-except={extension}", url])


def chromium(workspace, browser):
    """A blocked site ends on the extension's page naming the domain, and its event carries the
    tab's URL and host; an allowed site loads untouched and is tracked."""
    workspace.tovrinctl("policy", "set", "--block", "blocked.example", "--enforce")
    # A browser started with its own profile looks for host manifests inside it.
    workspace.tovrinctl("install-browser-host", "--chromium", "--manifest-dir",
                        os.path.join(workspace.profile, "NativeMessagingHosts"))
    allowed = "http://allowed.example/start?q=a|b"
    launch_chromium(workspace, browser, allowed)
    event = wait_until(lambda: workspace.event_for("allowed.example"), "the allowed event", 30)
    expect(event["browser"] == "chromium" and event["url"] == allowed, f"event: {event}")
    wait_until(lambda: title_at(allowed) == "Page of allowed.example", "the allowed page", 10)

    blocked = "http://www.blocked.example/results?search_query=a|b"
    urllib.request.urlopen(urllib.request.Request(
        DEVTOOLS + "/json/new?" + urllib.parse.quote(blocked, safe=""), method="PUT"),
        timeout=5).close()
    blocked_page = "chrome-extension://lnkkjibepcmpibihmkmedclmppnaoipj/blocked.html"
    wait_until(lambda: title_at(blocked_page) == "Blocked: blocked.example",
               "the blocked page naming the domain", 20)
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(page_at(blocked_page)["url"]).query)
    expect(query == {"url": [blocked], "domain": ["blocked.example"]}, f"blocked page: {query}")
    event = wait_until(lambda: workspace.event_for("blocked.example"), "the blocked event", 10)
    expect(event["url"] == blocked and isinstance(event.get("tabID"), int), f"event: {event}")
    expect(page_at(allowed) is not None, "the allowed page stays where it was")


def chromium_without_host(workspace, browser):
    """With no host manifest installed, a site the policy blocks loads as it would without the
    extension, and stays loaded."""
    workspace.tovrinctl("policy", "set", "--block", "blocked.example", "--enforce")
    blocked = "http://www.blocked.example/news"
    launch_chromium(workspace, browser, blocked)
    wait_until(lambda: title_at(blocked) == "Page of www.blocked.example", "the site to load", 20)
    time.sleep(1.0)  # room for a wrong late answer to move the tab
    pages = devtools_pages()
    expect([page["url"] for page in pages] == [blocked], f"pages: {pages}")
    expect(workspace.event_for() is None, "no event without a host")


def firefox(workspace, browser):
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
    workspace.launch([browser, "--headless", "--no-remote", "--profile", workspace.profile,
                      "http://allowed.example/watch?v=1&t={x}"])
    event = wait_until(lambda: workspace.event_for("allowed.example"), "the visited event", 45)
    expect(event["browser"] == "firefox" and event["url"].startswith("http://allowed.example/")
           and isinstance(event.get("tabID"), int) and isinstance(event.get("windowID"), int),
           f"event: {event}")


# Each case, and the browsers that can run it (the first one installed does).
CASES = {"chromium": (chromium, ["chromium"]),
         "chromium_without_host": (chromium_without_host, ["chromium"]),
         "firefox": (firefox, ["firefox-esr", "firefox"])}


def run_case(name, arguments):
    """Runs `name` in a namespace of its own: this script again, with --inside, inside it."""
    function, browser_names = CASES[name]
    browser = next(filter(None, map(shutil.which, browser_names)), None)
    if browser is None:
        raise Skip(f"no browser: install {browser_names[0]}")
    if arguments.inside:
        with Workspace(arguments.bin_dir, arguments.extension_dir) as workspace:
            server = DualStackServer(("::", 80), Page)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            return function(workspace, browser)
    with Namespace(name) as namespace:
        inner = namespace.run([sys.executable, os.path.abspath(__file__), "--bin-dir",
                               arguments.bin_dir, "--extension-dir", arguments.extension_dir,
                               "--inside", "yes", name], timeout=110, capture=False)
        expect(inner.returncode == 0, f"{name} failed")


if __name__ == "__main__":
    sys.exit(main(CASES, run_case, "--extension-dir", "--inside"))

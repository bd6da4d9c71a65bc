#!/usr/bin/env python3
"""End-to-end tests of TovrinHelperContentFilterExtension on live traffic, each case in a private
network namespace (loopback only) with real servers (openssl s_server on 443, http.server on 80)
and real clients. Policies are published as the host application does: in the provider
configuration file, or as the suite's policy blob through the `defaults` tool.

  content_filter_e2e.py --bin-dir BUILD/bin [CASE...]  |  content_filter_e2e.py --list
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import Namespace, Skip, expect, main, wait_until  # noqa: E402

SUITE = "group.com.vorlane.VorlaneMacApp.shared"
TABLE = "tovrin_content_filter"
PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e_peers.py")
ADDRESSES = ["127.0.0.1", "::1"]
CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Workspace:
    """The case's files: the shared suite's root, the configuration file, certificates, log."""

    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.path = tempfile.mkdtemp(prefix="tovrin-e2e-")
        os.chmod(self.path, 0o777)
        self.groups = os.path.join(self.path, "groups")
        self.configuration = os.path.join(self.path, "conf", "content-filter.json")
        self.log_path = os.path.join(self.path, "filter.log")

    def environment(self):
        return {**os.environ, "APP_GROUP_CONTAINERS_ROOT": self.groups}

    def write_configuration(self, domains, enforcing, version):
        """Replaces the configuration file whole, by renaming a new file over it."""
        os.makedirs(os.path.dirname(self.configuration), exist_ok=True)
        vendor = {"blockedDomains": domains, "enforcementEnabled": enforcing,
                  "policyVersion": version}
        with open(self.configuration + ".new", "w") as file:
            json.dump({"vendorConfiguration": vendor}, file)
        os.rename(self.configuration + ".new", self.configuration)

    def publish_blob(self, domains, enforcing, version):
        blob = os.path.join(self.path, f"policy-{version}.json")
        with open(blob, "w") as file:
            json.dump({"blockedDomains": domains, "enforcementEnabled": enforcing,
                       "policyVersion": version, "updatedAt": 800000000.0}, file)
        self.defaults("write", SUITE, "contentFilterPolicyBlob", "-data-file", blob)

    def defaults(self, *arguments):
        result = subprocess.run([os.path.join(self.bin_dir, "defaults"), *arguments],
                                capture_output=True, text=True, env=self.environment())
        return result.stdout.strip() if result.returncode == 0 else None

    def value(self, key):
        return self.defaults("read", SUITE, f"contentFilter{key}")

    def log(self):
        with open(self.log_path) as file:
            return file.read()


class ContentFilter:
    """The deliverable, running inside the namespace."""

    def __init__(self, namespace, workspace):
        self.workspace = workspace
        env = {**workspace.environment(), "CONTENT_FILTER_CONFIGURATION": workspace.configuration,
               "CONTENT_FILTER_QUEUE_NUMBER": "77"}
        program = [os.path.join(workspace.bin_dir, "TovrinHelperContentFilterExtension")]
        with open(workspace.log_path, "w") as log:
            self.process = namespace.spawn(program, env=env, stdout=log, stderr=subprocess.STDOUT)
        wait_until(self.running, "the filter to run")

    def running(self):
        expect(self.process.poll() is None,
               f"the filter ended early ({self.process.returncode}):\n{self.workspace.log()}")
        return self.workspace.value("ExtensionState") == "running"


class Peers:
    """The servers and clients of one namespace."""

    def __init__(self, namespace, workspace):
        self.namespace = namespace
        for address in ADDRESSES:
            namespace.spawn([sys.executable, "-m", "http.server", "80", "--bind", address,
                             "--directory", workspace.path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        key, certificate = (os.path.join(workspace.path, name) for name in ("k.pem", "c.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=tovrin-e2e", "-keyout", key, "-out", certificate],
                       capture_output=True, check=True)
        namespace.spawn(["openssl", "s_server", "-accept", "443", "-cert", certificate, "-key",
                         key, "-www", "-quiet"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in (80, 443):
            wait_until(lambda: namespace.run(["ss", "-Hltn", f"sport = :{port}"]).stdout.strip(),
                       f"a server on port {port}")

    def expect_curl(self, scheme, host, address, answered=True):
        """curl --resolve: answered with 200, or else reset (or refused) within 2 s."""
        port = 443 if scheme == "https" else 80
        target = f"[{address}]" if ":" in address else address
        started = time.monotonic()
        result = self.namespace.run(["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{http_code}",
                                     "--max-time", "8", "--resolve", f"{host}:{port}:{target}",
                                     f"{scheme}://{host}/"])
        seconds, error = time.monotonic() - started, result.stderr.strip()
        what = f"{scheme}://{host} via {address}: {result.returncode} {result.stdout} {error}"
        if answered:
            expect(result.returncode == 0 and result.stdout.strip() == "200", f"no answer: {what}")
        else:
            expect(result.returncode != 0 and ("reset" in error or "refused" in error), what)
            expect(seconds < 2.0, f"{what}: took {seconds:.2f} s to fail")

    def expect_everywhere(self, host, answered=True):
        for address in ADDRESSES:
            for scheme in ("https", "http"):
                self.expect_curl(scheme, host, address, answered)

    def peer(self, *arguments):
        result = self.namespace.run([sys.executable, PEERS, *arguments], timeout=120)
        expect(result.returncode == 0, f"e2e_peers {arguments}: {result.stderr}")
        return json.loads(result.stdout)


def start(namespace, workspace):
    """Web servers, and the filter blocking blocked.example through the configuration file."""
    peers = Peers(namespace, workspace)
    workspace.write_configuration(["blocked.example"], True, 3)
    return peers, ContentFilter(namespace, workspace)


def expect_block_reported(workspace):
    for key, wanted in [("ExtensionState", "blocked blocked.example"),
                        ("LastBlockedHost", "blocked.example"),
                        ("LastMatchedDomain", "blocked.example")]:
        expect(workspace.value(key) == wanted, f"{key}: {workspace.value(key)}")


@case
def blocking(namespace, workspace):
    """TLS and HTTP to (www.)blocked.example fail fast with a reset; allowed.example is answered;
    the block is reported in the diagnostics."""
    peers, _ = start(namespace, workspace)
    expect(workspace.value("LastPolicySummary") == "v3 blocking [blocked.example]", "summary")
    peers.expect_everywhere("allowed.example")
    peers.expect_everywhere("www.blocked.example", answered=False)
    peers.expect_everywhere("blocked.example", answered=False)
    expect_block_reported(workspace)
    expect(workspace.defaults("read-type", SUITE, "contentFilterLastBlockedAt") == "date", "date")
    expect(int(workspace.value("ObservedFlowCount")) > 0, "observations")


@case
def new_policy_version(namespace, workspace):
    """A new policy version published while the filter runs takes effect on the next flow; under
    a monitoring one everything passes, and the flow that brought it is observed."""
    peers = Peers(namespace, workspace)
    workspace.publish_blob(["first.example"], True, 1)
    ContentFilter(namespace, workspace)
    peers.expect_curl("https", "first.example", "127.0.0.1", False)
    peers.expect_curl("https", "second.example", "127.0.0.1")

    workspace.publish_blob(["second.example"], True, 2)
    peers.expect_curl("https", "second.example", "127.0.0.1", False)
    peers.expect_curl("https", "first.example", "::1")
    observed = int(workspace.value("ObservedFlowCount"))

    workspace.publish_blob(["second.example"], False, 3)
    peers.expect_curl("http", "second.example", "127.0.0.1")
    expect(int(workspace.value("ObservedFlowCount")) > observed, "observed")
    expect(workspace.value("LastObservedEndpoint") == "127.0.0.1:80", "endpoint")
    wait_until(lambda: workspace.value("ExtensionState") == "reconfigured monitoring",
               "the monitoring settings")
    expect(workspace.value("LastPolicySummary") == "v3 monitoring [second.example]", "summary")
    peers.expect_everywhere("second.example")
    # Monitoring installs no rules: new flows (QUIC too) no longer reach the filter at all.
    listing = namespace.run(["nft", "list", "table", "inet", TABLE]).stdout
    expect("dport" not in listing, "no flow rules while monitoring")


@case
def sigkill_then_sigterm(namespace, workspace):
    """After SIGKILL the rules stay and traffic flows past the unbound queue; a filter started
    again takes over; after SIGTERM it ends with 0 and the kernel holds none of its rules."""
    peers, content_filter = start(namespace, workspace)
    has_table = lambda: namespace.run(["nft", "list", "table", "inet", TABLE]).returncode == 0
    peers.expect_curl("https", "blocked.example", "127.0.0.1", False)
    content_filter.process.kill()
    content_filter.process.wait(timeout=10)
    expect(has_table(), "the table outlives the process")
    peers.expect_everywhere("blocked.example")
    peers.expect_everywhere("allowed.example")

    content_filter = ContentFilter(namespace, workspace)
    peers.expect_curl("https", "blocked.example", "::1", False)
    content_filter.process.send_signal(signal.SIGTERM)
    expect(content_filter.process.wait(timeout=10) == 0, "exit status")
    expect(not has_table(), "no table after SIGTERM")
    expect(namespace.run(["nft", "list", "ruleset"]).stdout.strip() == "", "an empty ruleset")
    expect(workspace.value("ExtensionState") == "stopped (1)", "stop state")
    peers.expect_curl("https", "blocked.example", "127.0.0.1")


def run_in_workspace(name, arguments, body):
    """body(workspace), with the filter's log shown when it fails."""
    workspace = Workspace(os.path.abspath(arguments.bin_dir))
    try:
        body(workspace)
    except Exception:
        if os.path.exists(workspace.log_path):
            print(f"--- filter log of {name} ---\n{workspace.log()}", file=sys.stderr)
        raise
    finally:
        shutil.rmtree(workspace.path, ignore_errors=True)


def run_case(name, arguments):
    def body(workspace):
        with Namespace(name.replace("_", "-")[:20]) as namespace:
            CASES[name](namespace, workspace)
    run_in_workspace(name, arguments, body)


if __name__ == "__main__":
    sys.exit(main(CASES, run_case))

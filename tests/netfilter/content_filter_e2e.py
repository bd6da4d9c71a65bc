#!/usr/bin/env python3
"""End-to-end tests of TovrinHelperContentFilterExtension on live traffic, each case in a private
network namespace (loopback only) with real servers (openssl s_server on 443, http.server on 80)
and real clients. Policies are published as the host application does: in the provider
configuration file, or as the suite's policy blob through the `defaults` tool.

  content_filter_e2e.py --bin-dir BUILD/bin [CASE...]  |  content_filter_e2e.py --list
"""

import json
import os
import re
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
        # A small quarantine keeps a sanitized build's resident size a measure of what it holds.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                      "quarantine_size_mb=4"]))
        program = [os.path.join(workspace.bin_dir, "TovrinHelperContentFilterExtension")]
        with open(workspace.log_path, "w") as log:
            self.process = namespace.spawn(program, env=env, stdout=log, stderr=subprocess.STDOUT)
        wait_until(self.running, "the filter to run")

    def running(self):
        expect(self.process.poll() is None,
               f"the filter ended early ({self.process.returncode}):\n{self.workspace.log()}")
        return self.workspace.value("ExtensionState") == "running"

    def resident_kilobytes(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


class Peers:
    """The servers and clients of one namespace."""

    def __init__(self, namespace, workspace, tls=True, python_server=False):
        self.namespace = namespace
        for address in ADDRESSES:
            if python_server:  # with a listen backlog large enough for many connections
                arguments = [sys.executable, PEERS, "http-server", address]
            else:
                arguments = [sys.executable, "-m", "http.server", "80", "--bind", address,
                             "--directory", workspace.path]
            namespace.spawn(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ports = [80]
        if tls:
            key, certificate = (os.path.join(workspace.path, name) for name in ("k.pem", "c.pem"))
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                            "/CN=tovrin-e2e", "-keyout", key, "-out", certificate],
                           capture_output=True, check=True)
            namespace.spawn(["openssl", "s_server", "-accept", "443", "-cert", certificate,
                             "-key", key, "-www", "-quiet"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            ports.append(443)
        for port in ports:
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


def start(namespace, workspace, **peer_options):
    """Web servers, and the filter blocking blocked.example through the configuration file."""
    peers = Peers(namespace, workspace, **peer_options)
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


@case
def concurrent_connections(namespace, workspace):
    """200 concurrent connections through the filter all complete; memory stays bounded."""
    peers, content_filter = start(namespace, workspace, tls=False, python_server=True)
    hosts = "allowed.example,allowed.example,allowed.example,blocked.example"
    sizes = []
    for round_number in range(3):
        for address in ADDRESSES:
            outcome = peers.peer("concurrent", address, "200", hosts)
            for result in outcome["results"]:
                wanted = "reset" if result["host"] == "blocked.example" else "HTTP/1.0 200 OK"
                expect(result["status"] == wanted, f"round {round_number} via {address}: {result}")
        sizes.append(content_filter.resident_kilobytes())
    print(f"  resident memory after each round (KiB): {sizes}")
    expect(sizes[-1] - sizes[0] < 16 * 1024, f"memory grew from {sizes[0]} to {sizes[-1]} KiB")


class QUICSinks:
    """A UDP socket on port 443 of each loopback address, counting the datagrams it receives."""

    def __init__(self, namespace, workspace):
        self.namespace = namespace
        self.paths = {}
        for address in ADDRESSES:
            self.paths[address] = os.path.join(workspace.path, f"udp-{len(address)}.bin")
            namespace.spawn([sys.executable, PEERS, "udp-sink", address, self.paths[address]])
        wait_until(lambda: len(namespace.run(["ss", "-Hlun", "sport = :443"]).stdout
                               .strip().splitlines()) == len(ADDRESSES), "the UDP sinks")

    def count(self, address):
        path = self.paths[address]
        if not os.path.exists(path):
            return 0
        with open(path, "rb") as file:
            data, count = file.read(), 0
        while len(data) >= 2:
            data, count = data[2 + int.from_bytes(data[:2], "big"):], count + 1
        return count

    def chromium(self, peers, host, address, seconds=8):
        """Chromium forced onto QUIC to HOST at ADDRESS: how many datagrams reached the sink,
        whether Chromium gave up by itself, and after how long."""
        before = self.count(address)
        result = peers.peer("chromium-quic", host, address, str(seconds))
        return self.count(address) - before, result["gaveUp"], result["seconds"]


@case
def quic_blocked_and_allowed(namespace, workspace):
    """Chromium forced onto QUIC: to a blocked name no datagram passes and it gives up within a
    few seconds; to an allowed name its datagrams reach the server; IPv4 and IPv6."""
    if shutil.which("chromium") is None:
        raise Skip("the QUIC case needs Chromium")
    peers, _ = start(namespace, workspace)
    sinks = QUICSinks(namespace, workspace)
    for address in ADDRESSES:
        passed, gave_up, seconds = sinks.chromium(peers, "www.blocked.example", address)
        expect(passed == 0, f"{passed} datagrams to www.blocked.example via {address} passed")
        expect(gave_up and seconds < 6.0,
               f"Chromium to www.blocked.example via {address}: gave up {gave_up} "
               f"after {seconds:.1f} s")
        passed, _, _ = sinks.chromium(peers, "allowed.example", address, seconds=6)
        expect(passed >= 2, f"only {passed} datagrams to allowed.example via {address}")
    expect_block_reported(workspace)


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

#!/usr/bin/env python3
"""End-to-end tests of TovrinHelperContentFilterExtension on live traffic.

Each case creates a private network namespace (only its loopback is used), starts real servers
(openssl s_server on port 443, Python's http.server on port 80) and the filter inside it, and
drives real clients (curl --resolve, openssl s_client, Python sockets). Policies are published the
way the host application does: in the provider configuration file, or as the policy blob in the
shared suite through the `defaults` tool.

  content_filter_e2e.py --bin-dir BUILD/bin CASE...   runs the cases
  content_filter_e2e.py --list                        names them

Exits 0 when every case passed, 1 when one failed and 77 (skipped) when no namespace can be made.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

SUITE = "group.com.vorlane.VorlaneMacApp.shared"
TABLE = "tovrin_content_filter"
SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "e2e_peers.py")

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Skip(Exception):
    pass


def wait_until(predicate, what, timeout=10.0):
    """Polls predicate until it gives a true value, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


class Namespace:
    """A network namespace of the case's own, removed with everything still running in it."""

    def __init__(self, label):
        self.name = f"tovrin-e2e-{os.getpid()}-{label}"[:64]
        self.processes = []

    def __enter__(self):
        if os.geteuid() != 0:
            raise Skip("creating network namespaces needs root")
        if shutil.which("ip") is None:
            raise Skip("the ip tool (iproute2) is missing")
        made = subprocess.run(["ip", "netns", "add", self.name], capture_output=True, text=True)
        if made.returncode != 0:
            raise Skip(f"cannot create a network namespace: {made.stderr.strip()}")
        try:
            self.check(["ip", "link", "set", "lo", "up"])
        except BaseException:
            self.remove()
            raise
        return self

    def __exit__(self, *exception):
        self.remove()

    def remove(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        # Anything a started program left behind in the namespace is ours too.
        left = subprocess.run(["ip", "netns", "pids", self.name], capture_output=True, text=True)
        for pid in left.stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)

    def command(self, arguments):
        return ["ip", "netns", "exec", self.name, *arguments]

    def run(self, arguments, timeout=30, **options):
        return subprocess.run(self.command(arguments), capture_output=True, text=True,
                              timeout=timeout, **options)

    def check(self, arguments, **options):
        result = self.run(arguments, **options)
        expect(result.returncode == 0,
               f"{' '.join(arguments)} failed ({result.returncode}): {result.stderr.strip()}")
        return result.stdout

    def spawn(self, arguments, **options):
        # `ip netns exec` replaces itself with the program, so the process is the program.
        process = subprocess.Popen(self.command(arguments), **options)
        self.processes.append(process)
        return process

    def is_listening(self, port):
        return self.run(["ss", "-Hltn", f"sport = :{port}"]).stdout.strip() != ""

    def table_listing(self):
        return self.run(["nft", "list", "table", "inet", TABLE])


class Workspace:
    """The case's files: the shared suite's root, the configuration file, certificates, logs."""

    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.path = tempfile.mkdtemp(prefix="tovrin-e2e-")
        os.chmod(self.path, 0o777)
        self.groups = os.path.join(self.path, "groups")
        self.configuration = os.path.join(self.path, "conf", "content-filter.json")

    def environment(self):
        return {**os.environ, "APP_GROUP_CONTAINERS_ROOT": self.groups}

    def write_configuration(self, domains, enforcing, version):
        """Replaces the configuration file whole, by renaming a new file over it."""
        os.makedirs(os.path.dirname(self.configuration), exist_ok=True)
        vendor = {"blockedDomains": domains, "enforcementEnabled": enforcing,
                  "policyVersion": version}
        temporary = self.configuration + ".new"
        with open(temporary, "w") as file:
            json.dump({"vendorConfiguration": vendor}, file)
        os.rename(temporary, self.configuration)

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
        return self.defaults("read", SUITE, key)

    def kind(self, key):
        return self.defaults("read-type", SUITE, key)

    def make_certificate(self):
        key = os.path.join(self.path, "key.pem")
        certificate = os.path.join(self.path, "certificate.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=tovrin-e2e", "-keyout", key, "-out", certificate],
                       capture_output=True, check=True)
        return certificate, key

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class ContentFilter:
    """The deliverable, running inside the namespace."""

    def __init__(self, namespace, workspace, environment=None, user=None):
        self.namespace = namespace
        self.workspace = workspace
        self.log_path = os.path.join(workspace.path, "filter.log")
        env = workspace.environment()
        env["CONTENT_FILTER_CONFIGURATION"] = workspace.configuration
        env["CONTENT_FILTER_QUEUE_NUMBER"] = "77"
        env.update(environment or {})
        # A sanitized build keeps freed memory in quarantine; a small one keeps the resident size
        # a measure of what the filter holds.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                      "quarantine_size_mb=4"]))
        program = [os.path.join(workspace.bin_dir, "TovrinHelperContentFilterExtension")]
        if user:
            program = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups",
                       *program]
        with open(self.log_path, "w") as log:
            self.process = namespace.spawn(program, env=env, stdout=log, stderr=subprocess.STDOUT)

    def log(self):
        with open(self.log_path) as file:
            return file.read()

    def wait_running(self):
        def running():
            if self.process.poll() is not None:
                raise AssertionError(f"the filter ended early ({self.process.returncode}):\n"
                                     f"{self.log()}")
            return self.workspace.value("contentFilterExtensionState") == "running"
        wait_until(running, "the filter to run")

    def wait_exit(self, timeout=10):
        return self.process.wait(timeout=timeout)

    def resident_kilobytes(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


class Peers:
    """The servers and clients of one namespace."""

    def __init__(self, namespace, workspace):
        self.namespace = namespace
        self.workspace = workspace

    def start_http(self, address, high_backlog=False):
        if high_backlog:
            arguments = [sys.executable, PEERS, "http-server", address]
        else:
            arguments = [sys.executable, "-m", "http.server", "80", "--bind", address,
                         "--directory", self.workspace.path]
        self.namespace.spawn(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_tls(self):
        certificate, key = self.workspace.make_certificate()
        self.namespace.spawn(["openssl", "s_server", "-accept", "443", "-cert", certificate,
                              "-key", key, "-www", "-quiet"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)

    def wait_listening(self, *ports):
        for port in ports:
            wait_until(lambda: self.namespace.is_listening(port), f"a server on port {port}")

    def curl(self, scheme, host, address):
        """(exit status, HTTP status, error text, seconds) of one request."""
        port = 443 if scheme == "https" else 80
        target = f"[{address}]" if ":" in address else address
        started = time.monotonic()
        result = self.namespace.run(["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{http_code}",
                                     "--max-time", "8", "--resolve", f"{host}:{port}:{target}",
                                     f"{scheme}://{host}/"])
        return result.returncode, result.stdout.strip(), result.stderr.strip(), \
            time.monotonic() - started

    def expect_answered(self, scheme, host, address):
        status, code, error, _ = self.curl(scheme, host, address)
        expect(status == 0 and code == "200",
               f"{scheme}://{host} via {address}: expected an answer, got {status} {code} {error}")

    def expect_reset(self, scheme, host, address):
        status, code, error, seconds = self.curl(scheme, host, address)
        expect(status != 0 and ("reset" in error or "refused" in error),
               f"{scheme}://{host} via {address}: expected a reset, got {status} {code} {error}")
        expect(seconds < 2.0, f"{scheme}://{host} via {address}: took {seconds:.2f} s to fail")

    def s_client(self, server_name, address):
        target = f"[{address}]:443" if ":" in address else f"{address}:443"
        return self.namespace.run(["openssl", "s_client", "-connect", target, "-servername",
                                   server_name, "-brief"], input="")

    def peer(self, *arguments, timeout=60):
        output = self.namespace.check([sys.executable, PEERS, *arguments], timeout=timeout)
        return json.loads(output)


ADDRESSES = ["127.0.0.1", "::1"]


def start_web_servers(namespace, workspace):
    peers = Peers(namespace, workspace)
    for address in ADDRESSES:
        peers.start_http(address)
    peers.start_tls()
    peers.wait_listening(80, 443)
    return peers


def block_blocked_example(workspace, version=3):
    workspace.write_configuration(["blocked.example"], True, version)


@case
def blocking(namespace, workspace):
    """TLS and HTTP to blocked.example and www.blocked.example fail fast with a reset;
    allowed.example gets its answer; the block is reported in the diagnostics."""
    peers = start_web_servers(namespace, workspace)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    expect(workspace.value("contentFilterLastPolicySummary") == "v3 blocking [blocked.example]",
           "policy summary")

    for address in ADDRESSES:
        for scheme in ("https", "http"):
            peers.expect_answered(scheme, "allowed.example", address)
            peers.expect_reset(scheme, "www.blocked.example", address)
            peers.expect_reset(scheme, "blocked.example", address)

        refused = peers.s_client("blocked.example", address)
        expect(refused.returncode != 0 and "errno=104" in refused.stderr,  # ECONNRESET
               f"s_client to blocked.example via {address}: {refused.stderr}")
        accepted = peers.s_client("allowed.example", address)
        expect(accepted.returncode == 0 and "Protocol version" in accepted.stderr,
               f"s_client to allowed.example via {address}: {accepted.stderr}")

    expect(workspace.value("contentFilterExtensionState") == "blocked blocked.example", "state")
    expect(workspace.value("contentFilterLastBlockedHost") == "blocked.example", "blocked host")
    expect(workspace.value("contentFilterLastMatchedDomain") == "blocked.example", "domain")
    expect(workspace.kind("contentFilterLastBlockedAt") == "date", "block date")
    expect(int(workspace.value("contentFilterObservedFlowCount")) > 0, "observations")
    log = content_filter.log()
    expect("blocked flow host=blocked.example domain=blocked.example" in log, "block log line")
    expect("endpoint=[::1]:443" in log and "endpoint=127.0.0.1:80" in log, "endpoints logged")


@case
def split_client_hello(namespace, workspace):
    """A ClientHello sent in two TCP writes is still decided."""
    start_web_servers(namespace, workspace)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers = Peers(namespace, workspace)
    for address in ADDRESSES:
        blocked = peers.peer("split-hello", address, "blocked.example")
        expect(blocked["outcome"] == "reset" and blocked["seconds"] < 2.0,
               f"split ClientHello for blocked.example via {address}: {blocked}")
        allowed = peers.peer("split-hello", address, "allowed.example")
        expect(allowed["outcome"] == "data",
               f"split ClientHello for allowed.example via {address}: {allowed}")
    log = content_filter.log()
    expect(log.count("allowed inspected flow host=allowed.example") == 2, "allowed twice")


@case
def silent_client(namespace, workspace):
    """A client that sends nothing is allowed when it closes: its FIN reaches the server."""
    start_web_servers(namespace, workspace)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers = Peers(namespace, workspace)
    for address in ADDRESSES:
        closed = peers.peer("silent-close", address)
        expect(closed["outcome"] == "eof" and closed["seconds"] < 2.0,
               f"silent client via {address}: {closed}")
    expect(content_filter.log().count("inspecting unresolved flow") == 2, "both inspected")
    peers.expect_answered("http", "allowed.example", "127.0.0.1")


@case
def monitoring_mode(namespace, workspace):
    """Monitoring lets everything through; the flow that brought the new policy is observed."""
    peers = start_web_servers(namespace, workspace)
    workspace.publish_blob(["blocked.example"], True, 1)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers.expect_reset("http", "blocked.example", "127.0.0.1")
    observed = int(workspace.value("contentFilterObservedFlowCount"))

    workspace.publish_blob(["blocked.example"], False, 2)
    peers.expect_answered("http", "blocked.example", "127.0.0.1")
    expect(int(workspace.value("contentFilterObservedFlowCount")) > observed, "observed")
    expect(workspace.value("contentFilterLastObservedEndpoint") == "127.0.0.1:80", "endpoint")
    wait_until(lambda: workspace.value("contentFilterExtensionState") == "reconfigured monitoring",
               "the monitoring settings")
    expect(workspace.value("contentFilterLastPolicySummary") == "v2 monitoring [blocked.example]",
           "policy summary")
    for address in ADDRESSES:
        for scheme in ("https", "http"):
            peers.expect_answered(scheme, "blocked.example", address)
    # Monitoring installs no rules: new flows no longer reach the filter at all.
    expect("dport" not in namespace.table_listing().stdout, "no flow rules while monitoring")


@case
def new_policy_version(namespace, workspace):
    """A new policy version published while the filter runs takes effect on the next flow."""
    peers = start_web_servers(namespace, workspace)
    workspace.publish_blob(["first.example"], True, 1)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers.expect_reset("https", "first.example", "127.0.0.1")
    peers.expect_answered("https", "second.example", "127.0.0.1")

    workspace.publish_blob(["second.example"], True, 2)
    peers.expect_reset("https", "second.example", "127.0.0.1")
    peers.expect_answered("https", "first.example", "::1")
    expect("loaded policy version=2 enforcement=true domains=second.example"
           in content_filter.log(), "version 2 loaded")


@case
def configuration_replaced(namespace, workspace):
    """A replaced configuration file takes effect through the watch, even at the same version."""
    peers = start_web_servers(namespace, workspace)
    workspace.write_configuration(["first.example"], True, 7)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers.expect_reset("http", "first.example", "127.0.0.1")

    workspace.write_configuration(["second.example"], True, 7)
    wait_until(lambda: workspace.value("contentFilterLastPolicySummary")
               == "v7 blocking [second.example]", "the new configuration")
    wait_until(lambda: workspace.value("contentFilterExtensionState") == "reconfigured blocking",
               "the new settings")
    peers.expect_reset("http", "second.example", "::1")
    peers.expect_answered("http", "first.example", "127.0.0.1")


@case
def sigterm_removes_rules(namespace, workspace):
    """After SIGTERM the process ends with 0 and the kernel holds none of its rules."""
    peers = start_web_servers(namespace, workspace)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    expect(namespace.table_listing().returncode == 0, "the table while running")
    peers.expect_reset("https", "blocked.example", "127.0.0.1")

    content_filter.process.send_signal(signal.SIGTERM)
    expect(content_filter.wait_exit() == 0, f"exit status\n{content_filter.log()}")
    expect(namespace.table_listing().returncode != 0, "no table after SIGTERM")
    expect(namespace.check(["nft", "list", "ruleset"]).strip() == "", "an empty ruleset")
    expect(workspace.value("contentFilterExtensionState") == "stopped (1)", "stop state")
    expect("stopFilter reason=1" in content_filter.log(), "stop logged")
    peers.expect_answered("https", "blocked.example", "127.0.0.1")


@case
def sigkill_fails_open(namespace, workspace):
    """After SIGKILL the rules stay, and traffic still flows past the unbound queue."""
    peers = start_web_servers(namespace, workspace)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()
    peers.expect_reset("https", "blocked.example", "127.0.0.1")

    content_filter.process.kill()
    content_filter.wait_exit()
    expect(namespace.table_listing().returncode == 0, "the table outlives the process")
    for address in ADDRESSES:
        for scheme in ("https", "http"):
            peers.expect_answered(scheme, "blocked.example", address)
            peers.expect_answered(scheme, "allowed.example", address)


@case
def concurrent_connections(namespace, workspace):
    """200 concurrent connections through the filter all complete; memory stays bounded."""
    peers = Peers(namespace, workspace)
    for address in ADDRESSES:
        peers.start_http(address, high_backlog=True)
    peers.wait_listening(80)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace)
    content_filter.wait_running()

    hosts = "allowed.example,allowed.example,allowed.example,blocked.example"
    sizes = []
    for round_number in range(3):
        for address in ADDRESSES:
            outcome = peers.peer("concurrent", address, "200", hosts, timeout=120)
            statuses = [result["status"] for result in outcome["results"]]
            for result in outcome["results"]:
                wanted = "reset" if result["host"] == "blocked.example" else "HTTP/1.0 200 OK"
                expect(result["status"] == wanted,
                       f"round {round_number} via {address}: {result}")
            print(f"  round {round_number} via {address}: {len(statuses)} requests in "
                  f"{outcome['seconds']:.2f} s")
        sizes.append(content_filter.resident_kilobytes())
    print(f"  resident memory after each round (KiB): {sizes}")
    expect(sizes[-1] - sizes[0] < 16 * 1024, f"memory grew from {sizes[0]} to {sizes[-1]} KiB")


@case
def flow_table_bounded(namespace, workspace):
    """A flood of half-open flows leaves the flow table at its bound."""
    peers = Peers(namespace, workspace)
    peers.start_http("127.0.0.1")
    peers.wait_listening(80)
    block_blocked_example(workspace)
    content_filter = ContentFilter(namespace, workspace, {"CONTENT_FILTER_MAX_FLOWS": "64"})
    content_filter.wait_running()
    peers.peer("refused-flood", "127.0.0.1", "443", "300", timeout=120)
    before = content_filter.resident_kilobytes()
    # Nothing listens on 443: every attempt is offered to the filter, which never sees it end.
    flood = peers.peer("refused-flood", "127.0.0.1", "443", "1500", timeout=120)
    expect(flood["refused"] == 1500, f"flood: {flood}")
    after = content_filter.resident_kilobytes()
    print(f"  resident memory before and after 1500 half-open flows (KiB): {before}, {after}")
    expect("flow table full (64 flows)" in content_filter.log(), "the table reached its bound")
    expect(after - before < 8 * 1024, f"memory grew from {before} to {after} KiB")
    peers.expect_answered("http", "allowed.example", "127.0.0.1")
    peers.expect_reset("http", "blocked.example", "127.0.0.1")


@case
def unprivileged_start_fails(namespace, workspace):
    """Without the privilege to filter, the start fails with a readable error and the process
    ends."""
    if shutil.which("setpriv") is None:
        raise Skip("setpriv (util-linux) is missing")
    block_blocked_example(workspace)
    os.makedirs(workspace.groups, mode=0o777, exist_ok=True)
    os.chmod(workspace.groups, 0o777)
    content_filter = ContentFilter(namespace, workspace, user=65534)  # nobody
    expect(content_filter.wait_exit() == 1, f"exit status\n{content_filter.log()}")
    expect(workspace.value("contentFilterExtensionState") == "failed to apply settings", "state")
    error = workspace.value("contentFilterExtensionError") or ""
    expect("Operation not permitted" in error, f"error text: {error}")
    expect("the filter could not start" in content_filter.log(), "start failure logged")
    expect(namespace.table_listing().returncode != 0, "no table")


def run_case(name, bin_dir):
    workspace = Workspace(bin_dir)
    passed = False
    try:
        with Namespace(name.replace("_", "-")[:20]) as namespace:
            CASES[name](namespace, workspace)
        passed = True
    finally:
        if not passed:
            log = os.path.join(workspace.path, "filter.log")
            if os.path.exists(log):
                with open(log) as file:
                    print(f"--- filter log of {name} ---\n{file.read()}", file=sys.stderr)
        workspace.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("cases", nargs="*")
    arguments = parser.parse_args()
    if arguments.list:
        print("\n".join(CASES))
        return 0
    failed = False
    for name in arguments.cases or list(CASES):
        started = time.monotonic()
        try:
            run_case(name, os.path.abspath(arguments.bin_dir))
            print(f"PASS {name} ({time.monotonic() - started:.1f} s)")
        except Skip as reason:
            print(f"SKIP {name}: {reason}")
            return SKIPPED
        except Exception:
            failed = True
            print(f"FAIL {name}\n{traceback.format_exc()}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""TovrinHelperContentFilterExtension on live traffic in network namespaces of its own, with real
servers and clients; policies come in the provider configuration file, the diagnostics are read
with `defaults`.  content_filter_e2e.py --bin-dir BUILD/bin [CASE...] | --list"""

import itertools, json, os, shutil, signal, subprocess, sys, time  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import e2e  # noqa: E402
from e2e import Namespace, Skip, expect, main, wait_until  # noqa: E402

PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e_peers.py")
ADDRESSES = ["127.0.0.1", "::1"]


def serve(namespace, arguments, port, options="-Hltn"):
    """Starts a server, its output dropped, and waits until `ss OPTIONS` shows it on the port."""
    namespace.spawn(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until(lambda: namespace.run(["ss", options, f"sport = :{port}"]).stdout.strip(),
               f"a server on port {port}")


def peer(namespace, *arguments):
    """Runs an e2e_peers.py client command inside the namespace; what it printed."""
    result = namespace.run([sys.executable, PEERS, *map(str, arguments)], timeout=120)
    expect(result.returncode == 0, f"e2e_peers {arguments}: {result.stderr}")
    return json.loads(result.stdout)


def list_table(namespace):
    return namespace.run(["nft", "list", "table", "inet", "tovrin_content_filter"])


class Workspace(e2e.Workspace):
    """The case's files: the suite's root, the configuration file, certificates, the log."""

    def __init__(self, bin_dir):
        super().__init__(bin_dir, os.environ)
        self.configuration = os.path.join(self.path, "conf", "content-filter.json")

    def write_configuration(self, domains, enforcing, version):
        os.makedirs(os.path.dirname(self.configuration), exist_ok=True)
        with open(self.configuration + ".new", "w") as file:
            json.dump({"vendorConfiguration": {"blockedDomains": domains,
                       "enforcementEnabled": enforcing, "policyVersion": version}}, file)
        os.rename(self.configuration + ".new", self.configuration)

    def value(self, key):
        return self.read(f"contentFilter{key}")


class ContentFilter:
    """The deliverable, running inside the namespace."""

    def __init__(self, namespace, workspace):
        self.workspace = workspace
        env = {**workspace.environment, "CONTENT_FILTER_CONFIGURATION": workspace.configuration,
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
    """Web servers on ports 80 and 443 of both loopback addresses, and curl as their client."""

    def __init__(self, namespace, workspace):
        self.namespace = namespace
        # Bound to ::, http.server takes IPv4 connections too.
        serve(namespace, [sys.executable, "-m", "http.server", "80", "--bind", "::",
                          "--directory", workspace.path], 80)
        key, certificate = (os.path.join(workspace.path, name) for name in ("k.pem", "c.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=tovrin-e2e", "-keyout", key, "-out", certificate],
                       capture_output=True, check=True)
        serve(namespace, ["openssl", "s_server", "-accept", "443", "-cert", certificate, "-key",
                          key, "-www", "-quiet"], 443)

    def expect_curl(self, host, answered=True):
        """curl over TLS and HTTP to the host at each address: answered with 200, or else reset
        (or refused) within 2 s."""
        for address, scheme in itertools.product(ADDRESSES, ("https", "http")):
            target = f"[{address}]" if ":" in address else address
            started = time.monotonic()
            result = self.namespace.run(["curl", "-sS", "-k", "-o", "/dev/null", "-w",
                                         "%{http_code}", "--max-time", "8", "--connect-to",
                                         f"{host}::{target}:", f"{scheme}://{host}/"])
            seconds, error = time.monotonic() - started, result.stderr.strip()
            what = f"{scheme}://{host} via {address}: {result.returncode} {result.stdout} {error}"
            if answered:
                expect(result.returncode == 0 and result.stdout == "200", f"no answer: {what}")
            else:
                expect(result.returncode != 0 and ("reset" in error or "refused" in error), what)
                expect(seconds < 2.0, f"{what}: took {seconds:.2f} s to fail")


def start_filter(namespace, workspace):
    workspace.write_configuration(["blocked.example"], True, 3)
    return ContentFilter(namespace, workspace)


def expect_block_reported(workspace):
    expect(workspace.value("ExtensionState") == "blocked blocked.example", "the blocked state")
    for key in ("LastBlockedHost", "LastMatchedDomain"):
        expect(workspace.value(key) == "blocked.example", f"{key}: {workspace.value(key)}")


def blocking(namespace, workspace):
    """TLS and HTTP to (www.)blocked.example fail fast with a reset; allowed.example is answered;
    so are connections whose handshake and first bytes leave from different processors (and so
    reach the filter through different queues); the block is reported in the diagnostics."""
    peers = Peers(namespace, workspace)
    start_filter(namespace, workspace)
    peers.expect_curl("allowed.example")
    peers.expect_curl("www.blocked.example", answered=False)
    peers.expect_curl("blocked.example", answered=False)
    for host, wanted in (("allowed.example", "answered"), ("blocked.example", "reset")):
        outcome = peer(namespace, "tls-across-processors", "127.0.0.1", host)["outcome"]
        expect(outcome in (wanted, "one processor"), f"{host} across processors: {outcome}")
    expect_block_reported(workspace)


def sigkill_then_sigterm(namespace, workspace):
    """After SIGKILL the rules stay and traffic flows past the unbound queue; a filter started
    again takes over; after SIGTERM it ends with 0 and the kernel holds none of its rules."""
    peers, content_filter = Peers(namespace, workspace), start_filter(namespace, workspace)
    peers.expect_curl("blocked.example", answered=False)
    content_filter.process.kill()
    content_filter.process.wait(timeout=10)
    expect(list_table(namespace).returncode == 0, "the table outlives the process")
    peers.expect_curl("blocked.example")

    content_filter = ContentFilter(namespace, workspace)
    peers.expect_curl("blocked.example", answered=False)
    content_filter.process.send_signal(signal.SIGTERM)
    expect(content_filter.process.wait(timeout=10) == 0, "exit status")
    expect(namespace.run(["nft", "list", "ruleset"]).stdout.strip() == "", "an empty ruleset")
    expect(workspace.value("ExtensionState") == "stopped (1)", "stop state")


def quic_first_flight(namespace, workspace):
    """Chromium's first QUIC flight to blocked.example (its ClientHello across two Initial
    packets) is refused at once with an ICMP unreachable, over IPv4 and IPv6; it passes once the
    policy no longer lists the name."""
    serve(namespace, [sys.executable, PEERS, "echo-server", "443", *ADDRESSES], 443, "-Hlun")
    capture = os.path.join(os.path.dirname(PEERS), "..", "data", "captures", "quic-chromium-v4.bin")
    start_filter(namespace, workspace)
    for domains, version, wanted in ((["blocked.example"], 3, "refused"),
                                     (["other.example"], 4, "echo")):
        workspace.write_configuration(domains, True, version)
        wait_until(lambda: workspace.value("LastPolicySummary") ==
                   f"v{version} blocking [{domains[0]}]", "the policy")
        for address in ADDRESSES:
            outcome = peer(namespace, "quic", address, capture)
            expect(outcome["outcome"] == wanted and outcome["seconds"] < 2.0,
                   f"the QUIC flight via {address} under v{version}: {outcome}")
        if version == 3:
            expect_block_reported(workspace)


# The names learnt from DNS answers: two namespaces joined by a veth pair, the client's, where the
# filter runs and programs use the system resolver, and the server's, with dnsmasq as its DNS
# server and TCP and UDP echo servers on ports 8080 and 9000.
CLIENT_V4, CLIENT_V6 = "10.77.0.1", "fd77::1"
DNS_V4, DNS_V6 = "10.77.0.2", "fd77::2"
# The DNS server shares its addresses with blocked.example; the blocked www.blocked.example is an
# alias of a name no rule lists.
SERVER_ADDRESSES = [DNS_V4, "10.77.0.3", "10.77.0.4", DNS_V6, "fd77::3", "fd77::4"]
DNS_SERVER = [
    "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--bind-interfaces",
    f"--listen-address={DNS_V4}", f"--listen-address={DNS_V6}", "--user=root", "--pid-file=",
    "--log-facility=/dev/null", "--local-ttl=60", "--local=/example/", "--local=/test/",
    "--host-record=blocked.example,10.77.0.2,fd77::2",
    "--host-record=allowed.example,10.77.0.3,fd77::3",
    "--host-record=edge.cdn.test,10.77.0.4,fd77::4", "--cname=www.blocked.example,edge.cdn.test",
]
TCP_PORT, UDP_PORT = 8080, 9000


class Network:
    """The client's and the server's namespaces, joined by a veth pair, with the servers running
    and the client's resolver pointed at the DNS server."""

    def __init__(self, client, server):
        self.client, self.server = client, server
        made = client.run(["ip", "link", "add", "veth-c", "type", "veth", "peer", "name",
                           "veth-s", "netns", server.name])
        if made.returncode != 0:
            raise Skip(f"cannot make a veth pair: {made.stderr.strip()}")
        for namespace, device, addresses in ((client, "veth-c", [CLIENT_V4, CLIENT_V6]),
                                             (server, "veth-s", SERVER_ADDRESSES)):
            for address in addresses:
                extra = ["/64", "nodad"] if ":" in address else ["/24"]
                namespace.run(["ip", "addr", "add", address + extra[0], "dev", device, *extra[1:]])
            namespace.run(["ip", "link", "set", device, "up"])
        if shutil.which("dnsmasq") is None:
            raise Skip("the DNS cases need dnsmasq (dnsmasq-base)")
        serve(server, DNS_SERVER, 53)
        for port in (TCP_PORT, UDP_PORT):
            serve(server, [sys.executable, PEERS, "echo-server", str(port), *SERVER_ADDRESSES],
                  port)
        self.use_resolver(DNS_V4)

    def use_resolver(self, address, options=""):
        """`ip netns exec` shows this file as the client's /etc/resolv.conf."""
        folder = os.path.join("/etc/netns", self.client.name)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "resolv.conf"), "w") as file:
            file.write(f"nameserver {address}\noptions timeout:1 attempts:2 {options}\n")

    def expect_flows(self, name, family, passes):
        """TCP and UDP to the name: echoed after a lookup within 1 s, or else refused (TCP: or
        reset) within 2 s. (A fresh network's very first lookup may take a resolver retry.)"""
        for protocol, port in (("tcp", TCP_PORT), ("udp", UDP_PORT)):
            wanted = ("echo",) if passes else ("refused", "reset")[:2 if protocol == "tcp" else 1]
            outcome = peer(self.client, protocol, name, port, family)
            expect(outcome["outcome"] in wanted,
                   f"{protocol} to {name}:{port} over IPv{family}: {outcome}, wanted {wanted}")
            quick = outcome["lookup_seconds"] < 1.0 if passes else outcome["seconds"] < 2.0
            expect(quick, f"{protocol} to {name} took too long: {outcome}")


def names_from_answers(network, workspace):
    """TCP to port 8080 and UDP to a blocked name are refused over IPv4 and IPv6, also when the
    name is an alias of an unlisted name; an allowed name passes; an unasked-for answer teaches
    nothing."""
    start_filter(network.client, workspace)
    for source, client, address in (("10.77.0.3", CLIENT_V4, "10.77.0.4"),
                                    ("fd77::3", CLIENT_V6, "fd77::4")):
        peer(network.server, "unasked", source, client, "blocked.example", address)
        outcome = peer(network.client, "tcp-address", address, TCP_PORT)
        expect(outcome["outcome"] == "echo", f"after an unasked-for answer: {outcome}")
    for family in ("4", "6"):
        network.expect_flows("blocked.example", family, False)
        network.expect_flows("www.blocked.example", family, False)
        network.expect_flows("allowed.example", family, True)
    expect(workspace.value("LastMatchedDomain") == "blocked.example", "diagnostics")


def answers_over_tcp_and_ipv6(network, workspace):
    """Answers that come over TCP, or from a DNS server's IPv6 address, name flows too; the learnt
    addresses are in the table's sets; flows and their lookups keep working after SIGKILL."""
    content_filter = start_filter(network.client, workspace)
    network.use_resolver(DNS_V6, "use-vc")
    network.expect_flows("blocked.example", "4", False)
    network.expect_flows("blocked.example", "6", False)
    network.use_resolver(DNS_V4, "use-vc")
    network.expect_flows("www.blocked.example", "6", False)
    network.expect_flows("allowed.example", "4", True)
    listing = list_table(network.client).stdout
    expect("learned_ipv4" in listing and "10.77.0.2" in listing and "fd77::4" in listing,
           f"the learnt addresses in the sets:\n{listing}")

    network.use_resolver(DNS_V4)
    content_filter.process.kill()
    content_filter.process.wait(timeout=10)
    for family in ("4", "6"):
        network.expect_flows("blocked.example", family, True)


NETWORK_CASES = [names_from_answers, answers_over_tcp_and_ipv6]
CASES = {case.__name__: case for case in
         [blocking, sigkill_then_sigterm, quic_first_flight, *NETWORK_CASES]}


def run_case(name, arguments):
    """Runs the case in its namespace, or in a client's and a server's joined into a network."""
    label = name.replace("_", "-")[:16]
    with Workspace(os.path.abspath(arguments.bin_dir)) as workspace:
        if CASES[name] not in NETWORK_CASES:
            with Namespace(label) as namespace:
                return CASES[name](namespace, workspace)
        with Namespace(label + "-c") as client, Namespace(label + "-s") as server:
            CASES[name](Network(client, server), workspace)


if __name__ == "__main__":
    sys.exit(main(CASES, run_case))

#!/usr/bin/env python3
"""TovrinHelperContentFilterExtension on live traffic in network namespaces of its own, with real
servers and clients (`content_filter_e2e.py peer ...` inside them), a policy in its configuration
file.  content_filter_e2e.py --bin-dir BUILD/bin [CASE...] | --list"""

import itertools
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import e2e  # noqa: E402
from e2e import Namespace, Skip, main, wait_until  # noqa: E402

CAPTURES = os.path.join(HERE, "..", "data", "captures")
ADDRESSES = ["127.0.0.1", "[::1]"]  # as URLs write them


def family_of(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


def echo_server(protocol, port, *addresses):
    """Echoes each UDP datagram, or a line over TCP, on PORT of each address; one socket per
    address, so that a UDP reply leaves from the address the client sent to."""
    class UDP(socketserver.BaseRequestHandler):
        def handle(self):
            self.request[1].sendto(self.request[0], self.client_address)

    class TCP(socketserver.StreamRequestHandler):
        def handle(self):
            self.wfile.write(self.rfile.readline())

    base, handler = ((socketserver.ThreadingUDPServer, UDP) if protocol == "udp"
                     else (socketserver.ThreadingTCPServer, TCP))
    for address in addresses:
        server = type("Server", (base,), {"address_family": family_of(address)})
        threading.Thread(target=server((address, int(port)), handler).serve_forever).start()


def exchange(protocol, target, port, family, messages=(b"hello\n",)):
    """Sends a line over TCP, or the datagrams (up to four times) over UDP, to TARGET's first
    address of the family (4 or 6); the outcome: echo (one of them came back), other, refused (for
    UDP: an ICMP unreachable came back), reset or timeout; the lookup's time and the exchange's."""
    started, outcome, udp = time.monotonic(), "timeout", protocol == "udp"
    kind = socket.SOCK_DGRAM if udp else socket.SOCK_STREAM
    family = socket.AF_INET6 if family == "6" else socket.AF_INET
    address, looked_up = socket.getaddrinfo(target, port, family, kind)[0][4], time.monotonic()
    with socket.socket(family, kind) as s:
        s.settimeout(0.5 if udp else 4)
        for _ in range(4 if udp else 1):
            try:
                s.connect(address)
                for message in messages:
                    s.send(message)
                # The echo server answers each datagram on its own thread, in either order.
                outcome = "echo" if s.recv(2048) in messages else "other"
            except ConnectionRefusedError:
                outcome = "refused"
            except ConnectionResetError:
                outcome = "reset"
            except socket.timeout:
                continue
            break
    return {"address": address[0], "outcome": outcome, "lookup_seconds": looked_up - started,
            "seconds": time.monotonic() - looked_up}


def quic_flight(address, capture):
    """Sends to ADDRESS:443 the datagrams in CAPTURE (each after its 16-bit length)."""
    with open(capture, "rb") as file:
        data, datagrams = file.read(), []
    while len(data) >= 2:
        datagrams.append(data[2:2 + int.from_bytes(data[:2], "big")])
        data = data[2 + len(datagrams[-1]):]
    return exchange("udp", address, 443, "6" if ":" in address else "4", datagrams)


def tls_across_processors(address, host):
    """A TLS handshake with ADDRESS:443 for HOST whose connection opens from the first processor
    and whose ClientHello leaves from the last, so that they reach the filter through different
    queues: answered or reset."""
    processors = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, processors[:1])
    try:
        with socket.create_connection((address, 443), timeout=5) as raw:
            os.sched_setaffinity(0, processors[-1:])
            context = ssl.create_default_context()
            context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
            with context.wrap_socket(raw, server_hostname=host):
                return "answered"
    except (ConnectionError, ssl.SSLError):
        return "reset"


def unasked(source, destination, capture, address):
    """Sends from SOURCE:53 to DESTINATION:40000 the answer in CAPTURE, saying ADDRESS."""
    packed = socket.inet_pton(family_of(address), address)
    with open(capture, "rb") as file, socket.socket(family_of(source), socket.SOCK_DGRAM) as sock:
        sock.bind((source, 53))
        sock.sendto(file.read()[:-len(packed)] + packed, (destination, 40000))


PEERS = {"echo-server": echo_server, "exchange": exchange, "quic": quic_flight,
         "tls-across-processors": tls_across_processors, "unasked": unasked}


def peer(namespace, *arguments):
    result = namespace.run([sys.executable, __file__, "peer", *map(str, arguments)], timeout=120)
    assert result.returncode == 0, f"peer {arguments}: {result.stderr}"
    return json.loads(result.stdout)


class Workspace(e2e.Workspace):
    def __init__(self, bin_dir):
        super().__init__(bin_dir, os.environ)
        self.environment["CONTENT_FILTER_CONFIGURATION"] = os.path.join(self.path, "filter.json")

    def publish(self, domains):
        """Publishes an enforcing policy as the host application does, with the next version."""
        result = self.tool("tovrinctl", "policy", "set", "--block", ",".join(domains), "--enforce")
        assert result.returncode == 0, f"tovrinctl: {result.stderr}"

    def value(self, key):
        return self.read(f"contentFilter{key}")

    def start_filter(self, namespace):
        env = {**self.environment, "CONTENT_FILTER_QUEUE_NUMBER": "77"}
        program = os.path.join(self.bin_dir, "TovrinHelperContentFilterExtension")
        process = namespace.spawn([program], env=env)
        wait_until(lambda: process.poll() is not None or self.value("ExtensionState") == "running",
                   "the filter to run")
        assert process.poll() is None, f"the filter ended early ({process.returncode})"
        return process


def expect_curl(namespace, host, answered):
    """curl over TLS and HTTP to each address: 200, or else reset (or refused) within 2 s."""
    for address, scheme in itertools.product(ADDRESSES, ("https", "http")):
        started = time.monotonic()
        result = namespace.run(["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{http_code}",
                                "--max-time", "8", "--connect-to", f"{host}::{address}:",
                                f"{scheme}://{host}/"])
        seconds, error = time.monotonic() - started, result.stderr.strip()
        what = f"{scheme}://{host} via {address}: {result.returncode} {result.stdout} {error}"
        if answered:
            assert result.returncode == 0 and result.stdout == "200", f"no answer: {what}"
        else:
            assert result.returncode != 0 and ("reset" in error or "refused" in error), what
            assert seconds < 2.0, f"{what}: took {seconds:.2f} s to fail"


def expect_quic(namespace, wanted):
    """Chromium's first QUIC flight (a ClientHello in two Initial packets) to each address."""
    for address in ADDRESSES:
        outcome = peer(namespace, "quic", address.strip("[]"),
                       os.path.join(CAPTURES, "quic-chromium-v4.bin"))
        assert outcome["outcome"] == wanted and outcome["seconds"] < 2.0, (
            f"the QUIC flight via {address}: {outcome}, wanted {wanted}")


def loopback(namespace, workspace):
    """Web and QUIC servers on both loopback addresses. TLS and HTTP to blocked.example fail fast
    with a reset, also when the handshake and the first bytes leave from different processors, and
    QUIC with an ICMP unreachable; other names are answered; the block is reported. After SIGKILL,
    traffic flows past the unbound queue; a filter started again takes over and follows a new
    policy; after SIGTERM it ends with 0 and the kernel holds none of its rules."""
    # Bound to ::, http.server takes IPv4 connections too.
    namespace.serve([sys.executable, "-m", "http.server", "80", "--bind", "::", "--directory",
                     workspace.path], 80)
    key, certificate = (os.path.join(workspace.path, name) for name in ("k.pem", "c.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=e2e",
                    "-keyout", key, "-out", certificate], capture_output=True, check=True)
    namespace.serve(["openssl", "s_server", "-accept", "443", "-cert", certificate, "-key", key,
                     "-www", "-quiet"], 443)
    namespace.serve([sys.executable, __file__, "peer", "echo-server", "udp", "443", "127.0.0.1",
                     "::1"], 443, "-Hlun")
    workspace.publish(["blocked.example"])
    content_filter = workspace.start_filter(namespace)
    expect_curl(namespace, "blocked.example", False)
    expect_quic(namespace, "refused")
    for host, wanted in (("allowed.example", "answered"), ("blocked.example", "reset")):
        outcome = peer(namespace, "tls-across-processors", "127.0.0.1", host)
        assert outcome == wanted, f"{host} across processors: {outcome}"
    reported = [workspace.value(key) for key in ("ExtensionState", "LastBlockedHost",
                                                 "LastMatchedDomain")]
    assert reported == ["blocked blocked.example"] + 2 * ["blocked.example"], f"{reported}"

    content_filter.kill()
    content_filter.wait(timeout=10)
    expect_curl(namespace, "blocked.example", True)
    content_filter = workspace.start_filter(namespace)
    expect_curl(namespace, "blocked.example", False)
    workspace.publish(["other.example"])
    wait_until(lambda: workspace.value("LastPolicySummary") == "v2 blocking [other.example]",
               "the new policy")
    expect_curl(namespace, "blocked.example", True)
    expect_quic(namespace, "echo")
    content_filter.send_signal(signal.SIGTERM)
    assert content_filter.wait(timeout=10) == 0, "exit status"
    assert namespace.run(["nft", "list", "ruleset"]).stdout.strip() == "", "an empty ruleset"
    assert workspace.value("ExtensionState") == "stopped (1)", "stop state"


# The names learnt from DNS answers: two namespaces joined by a veth pair, the client's, where the
# filter runs and programs use the system resolver, and the server's, with dnsmasq as its DNS
# server (sharing its addresses with blocked.example) and TCP and UDP echo servers.
CLIENT_V4, CLIENT_V6 = "10.77.0.1", "fd77::1"
DNS_V4, DNS_V6 = "10.77.0.2", "fd77::2"
SERVER_ADDRESSES = [DNS_V4, "10.77.0.3", "10.77.0.4", DNS_V6, "fd77::3", "fd77::4"]
DNS_SERVER = ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--bind-interfaces",
              f"--listen-address={DNS_V4}", f"--listen-address={DNS_V6}", "--user=root",
              "--pid-file=", "--log-facility=/dev/null", "--local-ttl=60",
              "--host-record=blocked.example,10.77.0.2,fd77::2",
              "--host-record=allowed.example,10.77.0.3,fd77::3"]
PORTS = {"tcp": 8080, "udp": 9000}


class Network:
    """The client's and the server's namespaces joined, and the servers running."""

    def __init__(self, client, server):
        self.client, self.server = client, server
        made = client.run(["ip", "link", "add", "veth-c", "type", "veth", "peer", "name",
                           "veth-s", "netns", server.name])
        if made.returncode != 0 or shutil.which("dnsmasq") is None:
            raise Skip(f"the DNS case needs a veth pair and dnsmasq (dnsmasq-base): {made.stderr}")
        for namespace, device, addresses in ((client, "veth-c", [CLIENT_V4, CLIENT_V6]),
                                             (server, "veth-s", SERVER_ADDRESSES)):
            for address in addresses:
                extra = ["/64", "nodad"] if ":" in address else ["/24"]
                namespace.run(["ip", "addr", "add", address + extra[0], "dev", device, *extra[1:]])
            namespace.run(["ip", "link", "set", device, "up"])
        server.serve(DNS_SERVER, 53)
        for protocol, port in PORTS.items():
            server.serve([sys.executable, __file__, "peer", "echo-server", protocol, str(port),
                          *SERVER_ADDRESSES], port, f"-Hl{protocol[0]}n")

    def use_resolver(self, address, options):
        """`ip netns exec` shows this file as the client's /etc/resolv.conf."""
        folder = os.path.join("/etc/netns", self.client.name)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "resolv.conf"), "w") as file:
            file.write(f"nameserver {address}\noptions timeout:1 attempts:2 {options}\n")

    def expect_flows(self, name, family, passes):
        """TCP and UDP to the name: echoed after a lookup within 1 s, or else refused (TCP: or
        reset) within 2 s."""
        for protocol, port in PORTS.items():
            wanted = ("echo",) if passes else ("refused", "reset")[:2 if protocol == "tcp" else 1]
            outcome = peer(self.client, "exchange", protocol, name, port, family)
            assert outcome["outcome"] in wanted, (
                f"{protocol} to {name}:{port} over IPv{family}: {outcome}, wanted {wanted}")
            seconds = outcome["seconds"] + (outcome["lookup_seconds"] if passes else 0)
            assert seconds < (1.0 if passes else 2.0), f"{protocol} to {name}: slow, {outcome}"


def learned_names(network, workspace):
    """TCP and UDP to a blocked name are refused over IPv4 and IPv6 (its A record read from UDP
    answers of an IPv4 server, its AAAA record from TCP answers of an IPv6 server); an allowed
    name passes; an unasked-for answer teaches nothing. After SIGKILL, lookups and flows pass."""
    workspace.publish(["blocked.example"])
    content_filter = workspace.start_filter(network.client)
    for family, source, client, address, capture in (
            ("4", "10.77.0.3", CLIENT_V4, "10.77.0.4", "dns-a.bin"),
            ("6", "fd77::3", CLIENT_V6, "fd77::4", "dns-aaaa.bin")):
        peer(network.server, "unasked", source, client, os.path.join(CAPTURES, capture), address)
        outcome = peer(network.client, "exchange", "tcp", address, PORTS["tcp"], family)
        assert outcome["outcome"] == "echo", f"after an unasked-for answer: {outcome}"
    for family, resolver, options in (("6", DNS_V6, "use-vc"), ("4", DNS_V4, "")):
        network.use_resolver(resolver, options)
        network.expect_flows("blocked.example", family, False)
        network.expect_flows("allowed.example", family, True)
    content_filter.kill()
    content_filter.wait(timeout=10)
    network.expect_flows("blocked.example", "4", True)


CASES = {"loopback": loopback, "learned_names": learned_names}


def run_case(name, arguments):
    with Workspace(os.path.abspath(arguments.bin_dir)) as workspace:
        if name == "loopback":
            with Namespace(name) as namespace:
                return loopback(namespace, workspace)
        with Namespace("client") as client, Namespace("server") as server:
            learned_names(Network(client, server), workspace)


if __name__ == "__main__":
    if sys.argv[1:2] == ["peer"]:
        print(json.dumps(PEERS[sys.argv[2]](*sys.argv[3:])))
    else:
        sys.exit(main(CASES, run_case))

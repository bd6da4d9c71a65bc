#!/usr/bin/env python3
"""End-to-end tests of the names the content filter learns from DNS answers, in two private
network namespaces joined by a veth pair: the client's, where the filter runs and programs use the
system resolver, and the server's, with dnsmasq as its DNS server and TCP and UDP echo
servers on ports 8080 and 9000. Run as content_filter_e2e.py is."""

import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from content_filter_e2e import PEERS, TABLE, ContentFilter, run_in_workspace  # noqa: E402
from e2e import Namespace, Skip, expect, main, wait_until  # noqa: E402

CLIENT_V4, CLIENT_V6 = "10.77.0.1", "fd77::1"
DNS_V4, DNS_V6 = "10.77.0.2", "fd77::2"
# The DNS server shares its addresses with blocked.example.
SERVER_ADDRESSES = [DNS_V4, "10.77.0.3", "10.77.0.4", "10.77.0.5",
                    DNS_V6, "fd77::3", "fd77::4", "fd77::5"]
# The DNS server: two names, one blocked and one not, share 10.77.0.5; the blocked
# www.blocked.example is an alias of a name no rule lists.
DNS_SERVER = [
    "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--bind-interfaces",
    f"--listen-address={DNS_V4}", f"--listen-address={DNS_V6}", "--user=root", "--pid-file=",
    "--log-facility=/dev/null", "--local-ttl=60", "--local=/example/", "--local=/test/",
    "--host-record=blocked.example,10.77.0.2,fd77::2",
    "--host-record=allowed.example,10.77.0.3,fd77::3",
    "--host-record=edge.cdn.test,10.77.0.4,fd77::4", "--cname=www.blocked.example,edge.cdn.test",
    "--host-record=other.blocked.example,10.77.0.5,fd77::5",
    "--host-record=fine.example,10.77.0.5,fd77::5",
]
TCP_PORT, UDP_PORT = 8080, 9000
CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Network:
    """The client's and the server's namespaces, joined by a veth pair, with the servers running
    and the client's resolver pointed at the DNS server."""

    def __init__(self, client, server, workspace):
        self.client, self.server, self.workspace = client, server, workspace
        self.resolver_folder = os.path.join("/etc/netns", client.name)

    def __enter__(self):
        made = self.client.run(["ip", "link", "add", "veth-c", "type", "veth", "peer", "name",
                                "veth-s", "netns", self.server.name])
        if made.returncode != 0:
            raise Skip(f"cannot make a veth pair: {made.stderr.strip()}")
        for namespace, device, addresses in (
                (self.client, "veth-c", [CLIENT_V4, CLIENT_V6]),
                (self.server, "veth-s", SERVER_ADDRESSES)):
            for address in addresses:
                extra = ["nodad"] if ":" in address else []
                prefix = "/64" if ":" in address else "/24"
                namespace.run(["ip", "addr", "add", address + prefix, "dev", device, *extra])
            namespace.run(["ip", "link", "set", device, "up"])
        if shutil.which("dnsmasq") is None:
            raise Skip("the DNS cases need dnsmasq (dnsmasq-base)")
        self.server.spawn(DNS_SERVER, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in (TCP_PORT, UDP_PORT):
            self.server.spawn([sys.executable, PEERS, "echo-server", str(port), *SERVER_ADDRESSES],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in (53, TCP_PORT):
            wait_until(lambda: self.server.run(["ss", "-Hltn", f"sport = :{port}"]).stdout.strip(),
                       f"a server on port {port}")
        self.use_resolver(DNS_V4)
        return self

    def __exit__(self, *exception):
        shutil.rmtree(self.resolver_folder, ignore_errors=True)

    def use_resolver(self, address, options=""):
        """`ip netns exec` shows this file as the client's /etc/resolv.conf."""
        os.makedirs(self.resolver_folder, exist_ok=True)
        with open(os.path.join(self.resolver_folder, "resolv.conf"), "w") as file:
            file.write(f"nameserver {address}\noptions timeout:1 attempts:2 {options}\n")

    def peer(self, *arguments, namespace=None):
        result = (namespace or self.client).run([sys.executable, PEERS, *map(str, arguments)],
                                                timeout=120)
        expect(result.returncode == 0, f"e2e_peers {arguments}: {result.stderr}")
        return json.loads(result.stdout)

    def expect_outcome(self, protocol, name, family, wanted):
        port = TCP_PORT if protocol == "tcp" else UDP_PORT
        outcome = self.peer(protocol, name, port, family)
        expect(outcome["outcome"] in wanted,
               f"{protocol} to {name}:{port} over IPv{family}: {outcome}, wanted {wanted}")
        if "echo" not in wanted:
            expect(outcome["seconds"] < 2.0, f"{protocol} to {name} took {outcome['seconds']} s")

    def expect_refused(self, name, family):
        self.expect_outcome("tcp", name, family, ("refused", "reset"))
        self.expect_outcome("udp", name, family, ("refused",))

    def expect_passes(self, name, family):
        self.expect_outcome("tcp", name, family, ("echo",))
        self.expect_outcome("udp", name, family, ("echo",))


def start(network, workspace):
    workspace.write_configuration(["blocked.example"], True, 5)
    return ContentFilter(network.client, workspace)


@case
def names_from_answers(network, workspace):
    """TCP to port 8080 and UDP to a blocked name are refused over IPv4 and IPv6, also when the
    name is an alias of an unlisted name; an allowed name passes; so does an address shared with
    a blocked name when it was last resolved for the allowed one, and not the other way round."""
    start(network, workspace)
    # An answer nobody asked for teaches nothing.
    for source, client, address in (("10.77.0.3", CLIENT_V4, "10.77.0.4"),
                                    ("fd77::3", CLIENT_V6, "fd77::4")):
        network.peer("unasked", source, client, "blocked.example", address,
                     namespace=network.server)
        outcome = network.peer("tcp-address", address, TCP_PORT)
        expect(outcome["outcome"] == "echo", f"after an unasked-for answer: {outcome}")
    for family in ("4", "6"):
        network.expect_refused("blocked.example", family)
        network.expect_refused("www.blocked.example", family)
        network.expect_passes("allowed.example", family)

        network.peer("lookup", "other.blocked.example", family)
        network.expect_passes("fine.example", family)
        network.peer("lookup", "fine.example", family)
        network.expect_refused("other.blocked.example", family)
    expect(workspace.value("LastMatchedDomain") == "blocked.example", "diagnostics")


@case
def answers_over_tcp_and_ipv6(network, workspace):
    """Answers that come over TCP, or from a DNS server's IPv6 address, name flows too; web ports
    are not named from DNS; lookups keep working while the filter runs and after SIGKILL."""
    content_filter = start(network, workspace)
    network.use_resolver(DNS_V6, "use-vc")
    network.expect_refused("blocked.example", "4")
    network.expect_refused("blocked.example", "6")
    network.use_resolver(DNS_V4, "use-vc")
    network.expect_refused("www.blocked.example", "6")
    network.expect_passes("allowed.example", "4")
    # A web flow's name comes from its first bytes: a connection to port 80 of a blocked name's
    # address, with no server, is refused by the server's kernel, not reset by the filter at once.
    listing = network.client.run(["nft", "list", "table", "inet", TABLE]).stdout
    expect("learned_ipv4" in listing and "10.77.0.2" in listing and "fd77::4" in listing,
           f"the learnt addresses in the sets:\n{listing}")

    network.use_resolver(DNS_V4)
    content_filter.process.kill()
    content_filter.process.wait(timeout=10)
    for family in ("4", "6"):
        answer = network.peer("lookup", "blocked.example", family)
        expect(answer["addresses"] and answer["seconds"] < 1.0, f"lookup after SIGKILL: {answer}")
        network.expect_passes("blocked.example", family)


def run_case(name, arguments):
    label = name.replace("_", "-")[:16]

    def body(workspace):
        with Namespace(label + "-c") as client, Namespace(label + "-s") as server, \
                Network(client, server, workspace) as network:
            CASES[name](network, workspace)
    run_in_workspace(name, arguments, body)


if __name__ == "__main__":
    sys.exit(main(CASES, run_case))

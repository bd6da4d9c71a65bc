#!/usr/bin/env python3
"""What the content filter adds to a DNS lookup, A/B in one run.

Two private namespaces joined by a veth pair: dnsmasq in the server's answers on port 53 and on
port 5353, the filter runs in the client's with blocked.example blocked. The filter's answer
queue takes answers from port 53 only, so a question to port 5353 is the same lookup without the
filter (A) and one to port 53 the lookup with it (B). Questions alternate A, B, A, B... so that
both see the same machine; each is a raw UDP question and its answer, timed around send and
receive. Reported: the median and 90th percentile of each, and the medians' difference, for a
blocked name (its addresses go into the nftables sets: the costliest path) and an allowed one.

  bench/dns_lookup_overhead.py --bin-dir BUILD/bin [--count N]

Needs root, iproute2, nftables and dnsmasq (dnsmasq-base).
"""

import argparse
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "netfilter"))
from content_filter_e2e import ContentFilter, Namespace, Workspace, wait_until  # noqa: E402

CLIENT, SERVER = "10.78.0.1", "10.78.0.2"
CLIENT_SCRIPT = r"""
import random, socket, struct, sys, time, json
server, count, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def question(name):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    return struct.pack("!HHHHHH", random.randrange(65536), 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack("!HH", 1, 1)
results = {}
for name in names:
    times = {53: [], 5353: []}
    for round_number in range(count):
        for port in (5353, 53) if round_number % 2 == 0 else (53, 5353):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                sock.settimeout(2)
                sock.connect((server, port))
                message = question(name)
                started = time.perf_counter_ns()
                sock.send(message)
                sock.recv(4096)
                times[port].append((time.perf_counter_ns() - started) / 1000)
    results[name] = times
print(json.dumps(results))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--count", type=int, default=3000)
    arguments = parser.parse_args()

    workspace = Workspace(os.path.abspath(arguments.bin_dir))
    with Namespace("dnsbench-c") as client, Namespace("dnsbench-s") as server:
        client.run(["ip", "link", "add", "veth-c", "type", "veth", "peer", "name", "veth-s",
                    "netns", server.name], check=True)
        for namespace, device, address in ((client, "veth-c", CLIENT), (server, "veth-s", SERVER)):
            namespace.run(["ip", "addr", "add", address + "/24", "dev", device], check=True)
            namespace.run(["ip", "link", "set", device, "up"], check=True)
        for port in (53, 5353):
            server.spawn(["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                          f"--listen-address={SERVER}", "--bind-interfaces", f"--port={port}",
                          "--user=root", "--pid-file=", "--cache-size=0",
                          "--host-record=blocked.example,10.78.0.20,300",
                          "--host-record=allowed.example,10.78.0.21,300"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_until(lambda: server.run(["ss", "-Hlun", f"sport = :{port}"]).stdout.strip(),
                       f"dnsmasq on port {port}")
        workspace.write_configuration(["blocked.example"], True, 1)
        ContentFilter(client, workspace)
        result = client.run([sys.executable, "-c", CLIENT_SCRIPT, SERVER, str(arguments.count),
                             "blocked.example", "allowed.example"], timeout=600)
        if result.returncode != 0:
            print(result.stderr, file=sys.stderr)
            return 1
        import json
        results = json.loads(result.stdout)
        listing = client.run(["nft", "list", "set", "inet", "tovrin_content_filter",
                              "learned_ipv4"]).stdout
    print(f"load average: {open('/proc/loadavg').read().split()[:3]}; "
          f"{arguments.count} lookups of each name through each port, alternating")
    for name, times in results.items():
        without, with_filter = times["5353"], times["53"]
        a, b = statistics.median(without), statistics.median(with_filter)
        ninety = lambda values: statistics.quantiles(values, n=10)[-1]
        print(f"{name:16} without filter (A): median {a:7.1f} us, p90 {ninety(without):7.1f} us; "
              f"with filter (B): median {b:7.1f} us, p90 {ninety(with_filter):7.1f} us; "
              f"added at the median: {b - a:6.1f} us")
    print("blocked.example's address in the set:", "10.78.0.20" in listing)
    return 0


if __name__ == "__main__":
    sys.exit(main())

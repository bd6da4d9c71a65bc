#!/usr/bin/env python3
"""What the live content filter adds to allowed HTTPS connections, measured where users feel it.

Runs as root. Makes a private network namespace (only its loopback is used), a TLS server on
127.0.0.1:443 in it (a thread per connection and a listen backlog of 1024, so that a burst is
neither queued behind one handshake nor dropped at the backlog), and a policy of --domains blocked domains that the connections' server name
(allowed.example) does not match. Each round measures the same client twice, in random order:
without the filter and with TovrinHelperContentFilterExtension running in the namespace. A client
measures, per connection, the time from connect() to the first byte of the answer (TCP and TLS
handshakes, one request): --sequential connections one after another, then a burst of --burst
connections opened at once.

  live_ab.py --bin-dir BUILD/bin [--rounds 5] [--sequential 120] [--burst 40] [--domains 10000]

Prints one line per round and the medians over all rounds, in milliseconds: "added" is the
median with the filter minus the median without it; then how many packets went through the
filter's queue for each connection. Exits 77 when no namespace can be made.
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from e2e import Namespace, wait_until  # noqa: E402

SUITE = "group.com.vorlane.VorlaneMacApp.shared"
SERVER_NAME = "allowed.example"
ADDRESS = "127.0.0.1"
SKIPPED = 77


# The client, run inside the namespace: one JSON object with the latencies in seconds.

def one_connection(context):
    started = time.perf_counter()
    with socket.create_connection((ADDRESS, 443), timeout=10) as raw:
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with context.wrap_socket(raw, server_hostname=SERVER_NAME) as tls:
            tls.sendall(b"GET / HTTP/1.0\r\n\r\n")
            if not tls.recv(1):
                raise ConnectionError("no answer")
    return time.perf_counter() - started


def client(sequential, burst):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    one_connection(context)  # warms the server and the client's TLS setup
    sequence = [one_connection(context) for _ in range(sequential)]

    barrier = threading.Barrier(burst)
    bursted = [None] * burst

    def run(index):
        barrier.wait(timeout=20)
        bursted[index] = one_connection(context)

    threads = [threading.Thread(target=run, args=(index,)) for index in range(burst)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if None in bursted:
        raise ConnectionError("a burst connection failed")
    json.dump({"sequential": sequence, "burst": bursted}, sys.stdout)


# The server, run inside the namespace.

def server(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((ADDRESS, 443))
    listener.listen(1024)

    def answer(connection):
        try:
            with context.wrap_socket(connection, server_side=True) as tls:
                tls.recv(4096)
                tls.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
        except (OSError, ssl.SSLError):
            pass

    while True:
        connection, _ = listener.accept()
        threading.Thread(target=answer, args=(connection,), daemon=True).start()


# The driver.

class Filter:
    def __init__(self, namespace, bin_dir, workspace):
        self.namespace, self.bin_dir, self.workspace = namespace, bin_dir, workspace
        self.environment = {**os.environ, "APP_GROUP_CONTAINERS_ROOT": workspace + "/groups",
                            "CONTENT_FILTER_CONFIGURATION": workspace + "/configuration.json",
                            "CONTENT_FILTER_QUEUE_NUMBER": "78",
                            "CONTENT_FILTER_DNS_QUEUE_NUMBER": "90"}
        self.process = None

    def state(self):
        result = subprocess.run([os.path.join(self.bin_dir, "defaults"), "read", SUITE,
                                 "contentFilterExtensionState"], capture_output=True, text=True,
                                env=self.environment)
        return result.stdout.strip()

    def start(self):
        log = open(os.path.join(self.workspace, "filter.log"), "a")
        program = os.path.join(self.bin_dir, "TovrinHelperContentFilterExtension")
        self.process = self.namespace.spawn([program], env=self.environment, stdout=log,
                                            stderr=subprocess.STDOUT)
        log.close()

        def running():
            if self.process.poll() is not None:
                raise SystemExit(f"the filter ended early ({self.process.returncode})")
            return self.state() == "running"

        wait_until(running, "the filter to run", timeout=30)

    def queued_packets(self):
        """How many packets the filter's flow queues (78 up to the answer queues at 90) have
        taken since the filter started."""
        table = self.namespace.run(["cat", "/proc/net/netfilter/nfnetlink_queue"]).stdout
        return sum(int(fields[7]) for fields in map(str.split, table.splitlines())
                   if fields and 78 <= int(fields[0]) < 90)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)
        # The next start must find "running" written by itself, not left by this run.
        wait_until(lambda: self.state().startswith("stopped"), "the stop state", timeout=30)


def measure(namespace, arguments):
    result = namespace.run([sys.executable, os.path.abspath(__file__), "client",
                            str(arguments.sequential), str(arguments.burst)], timeout=300)
    if result.returncode != 0:
        raise SystemExit(f"client failed: {result.stderr}")
    return json.loads(result.stdout)


def milliseconds(seconds):
    return f"{seconds * 1000:7.3f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sequential", type=int, default=120)
    parser.add_argument("--burst", type=int, default=40)
    parser.add_argument("--domains", type=int, default=10000)
    arguments = parser.parse_args()
    if arguments.sequential < 1 or arguments.burst < 1 or arguments.rounds < 1:
        parser.error("--rounds, --sequential and --burst take 1 or more")
    if os.geteuid() != 0 or shutil.which("ip") is None:
        print("needs root and the ip tool (iproute2)", file=sys.stderr)
        return SKIPPED

    workspace = tempfile.mkdtemp(prefix="tovrin-bench-")
    try:
        domains = [f"blocked-{index}.example" for index in range(arguments.domains)]
        with open(os.path.join(workspace, "configuration.json"), "w") as file:
            json.dump({"vendorConfiguration": {"blockedDomains": domains,
                                               "enforcementEnabled": True,
                                               "policyVersion": 1}}, file)
        key, certificate = (os.path.join(workspace, name) for name in ("k.pem", "c.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=tovrin-bench", "-keyout", key, "-out", certificate],
                       capture_output=True, check=True)
        with Namespace("live-ab") as namespace:
            namespace.spawn([sys.executable, os.path.abspath(__file__), "server", certificate,
                             key], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_until(lambda: namespace.run(["ss", "-Hltn", "sport = :443"]).stdout.strip(),
                       "the TLS server")
            content_filter = Filter(namespace, arguments.bin_dir, workspace)
            totals = {(mode, kind): [] for mode in ("without", "with")
                      for kind in ("sequential", "burst")}
            print(f"{'round':>5} {'seq without':>12} {'seq with':>9} {'added':>8} "
                  f"{'burst without':>14} {'burst with':>11} {'added':>8}   (ms, medians)")
            queued = 0
            for round_number in range(1, arguments.rounds + 1):
                medians = {}
                order = ["without", "with"]
                random.shuffle(order)
                for mode in order:
                    if mode == "with":
                        content_filter.start()
                    try:
                        measured = measure(namespace, arguments)
                        if mode == "with":
                            queued += content_filter.queued_packets()
                    finally:
                        if mode == "with":
                            content_filter.stop()
                    for kind in ("sequential", "burst"):
                        totals[(mode, kind)].extend(measured[kind])
                        medians[(mode, kind)] = statistics.median(measured[kind])
                row = [round_number]
                for kind in ("sequential", "burst"):
                    row += [medians[("without", kind)], medians[("with", kind)],
                            medians[("with", kind)] - medians[("without", kind)]]
                print(f"{row[0]:>5} {milliseconds(row[1]):>12} {milliseconds(row[2]):>9} "
                      f"{milliseconds(row[3]):>8} {milliseconds(row[4]):>14} "
                      f"{milliseconds(row[5]):>11} {milliseconds(row[6]):>8}", flush=True)
            print("all rounds, median of every connection:")
            for kind, count in (("sequential", arguments.sequential), ("burst", arguments.burst)):
                without = statistics.median(totals[("without", kind)])
                with_filter = statistics.median(totals[("with", kind)])
                print(f"  {kind:<10} ({count} a round) without {milliseconds(without)} ms, "
                      f"with {milliseconds(with_filter)} ms, "
                      f"the filter adds {milliseconds(with_filter - without)} ms")
            # Each round's client opens one connection to warm up, then the measured ones.
            connections = arguments.rounds * (1 + arguments.sequential + arguments.burst)
            print(f"  packets through the filter's queue: {queued / connections:.2f} a connection")
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "client":
        client(int(sys.argv[2]), int(sys.argv[3]))
    elif len(sys.argv) == 4 and sys.argv[1] == "server":
        server(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())

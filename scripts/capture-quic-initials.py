#!/usr/bin/env python3
"""Captures the first flight of headless Chromium forced onto QUIC, for the QUIC Initial reader's
tests and fuzzing seeds: inside a private network namespace, a UDP socket on port 443 of each
loopback address receives what Chromium sends to https://blocked.example/, and the first two
datagrams are kept (its post-quantum ClientHello spans two Initial packets).

  scripts/capture-quic-initials.py [OUTPUT_DIR]   writes quic-chromium-v4.bin and
                                                  quic-chromium-v6.bin (default: tests/data/captures/)

Each file holds the datagrams as a two-byte big-endian length, then the datagram. Needs root.
"""

import os
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path.insert(0, os.path.join(TESTS, "support"))
from e2e import Namespace, wait_until  # noqa: E402

PEERS = os.path.join(TESTS, "netfilter", "e2e_peers.py")

HOST = "blocked.example"


def datagrams_in(path):
    datagrams = []
    if os.path.exists(path):
        with open(path, "rb") as file:
            data = file.read()
        while len(data) >= 2:
            length = int.from_bytes(data[:2], "big")
            datagrams.append(data[2:2 + length])
            data = data[2 + length:]
    return datagrams


def capture(namespace, address, directory):
    sink = os.path.join(directory, f"sink-{len(address)}.bin")
    namespace.spawn([sys.executable, PEERS, "udp-sink", address, sink])
    wait_until(lambda: namespace.run(["ss", "-Hlun", "sport = :443"]).stdout.strip(),
               "the UDP sink")
    namespace.run([sys.executable, PEERS, "chromium-quic", HOST, address, "3"], timeout=60)
    datagrams = datagrams_in(sink)
    if len(datagrams) < 2:
        raise SystemExit(f"only {len(datagrams)} datagrams from Chromium via {address}")
    return datagrams[:2]


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(TESTS, "data", "captures")
    with tempfile.TemporaryDirectory() as directory:
        for address, name in [("127.0.0.1", "quic-chromium-v4.bin"), ("::1", "quic-chromium-v6.bin")]:
            with Namespace(f"capture-{len(address)}") as namespace:
                datagrams = capture(namespace, address, directory)
            with open(os.path.join(output, name), "wb") as file:
                for datagram in datagrams:
                    file.write(len(datagram).to_bytes(2, "big") + datagram)
            print(f"{name}: {[len(datagram) for datagram in datagrams]} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())

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
import shutil
import socket
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path.insert(0, os.path.join(TESTS, "support"))
from e2e import Namespace, wait_until  # noqa: E402

HOST = "blocked.example"


def udp_sink(address, path):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    with socket.socket(family, socket.SOCK_DGRAM) as sock:
        sock.bind((address, 443))
        while True:
            datagram = sock.recv(65536)
            with open(path, "ab") as file:
                file.write(len(datagram).to_bytes(2, "big") + datagram)


def chromium_quic(host, address, seconds):
    """Chromium forced onto QUIC for HOST, whose name resolves to ADDRESS only."""
    profile = tempfile.mkdtemp(prefix="tovrin-chromium-")
    target = f"[{address}]" if ":" in address else address
    arguments = [shutil.which("chromium") or "chromium", "--headless", "--no-sandbox",
                 "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-extensions",
                 "--disable-default-apps", "--metrics-recording-only", "--mute-audio",
                 f"--user-data-dir={profile}", "--enable-quic",
                 f"--origin-to-force-quic-on={host}:443",
                 f"--host-resolver-rules=MAP {host} {target}", "--ignore-certificate-errors",
                 "--dump-dom", f"https://{host}/"]
    started = time.monotonic()
    process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        process.wait(timeout=float(seconds))
        gave_up = True
    except subprocess.TimeoutExpired:
        gave_up = False
        os.killpg(process.pid, 9)
        process.wait()
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return {"gaveUp": gave_up, "seconds": time.monotonic() - started}


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
    namespace.spawn([sys.executable, __file__, "udp-sink", address, sink])
    wait_until(lambda: namespace.run(["ss", "-Hlun", "sport = :443"]).stdout.strip(),
               "the UDP sink")
    namespace.run([sys.executable, __file__, "chromium-quic", HOST, address, "3"], timeout=60)
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
    # The sink and Chromium run inside the namespace as this script's own sub-commands.
    if len(sys.argv) > 1 and sys.argv[1] == "udp-sink":
        udp_sink(*sys.argv[2:])
    elif len(sys.argv) > 1 and sys.argv[1] == "chromium-quic":
        chromium_quic(*sys.argv[2:])
    else:
        sys.exit(main())

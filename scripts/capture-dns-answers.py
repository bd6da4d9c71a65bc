#!/usr/bin/env python3
"""Captures the DNS answers kept in tests/data/captures/ (dns-*.bin): dnsmasq, in a network
namespace of this script's own, answers questions sent over UDP and TCP; each answer is kept as
the message bytes (over TCP without its two-byte length). Needs root, iproute2 and dnsmasq (dnsmasq-base).

  scripts/capture-dns-answers.py   writes the files into tests/data/captures/
"""

import os
import random
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data",
                    "captures")
NAMESPACE = f"tovrin-dns-capture-{os.getpid()}"
SERVER = [
    "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-daemon",
    "--listen-address=127.0.0.1", "--bind-interfaces", "--port=53", "--user=root",
    "--pid-file=", "--log-facility=/dev/null",
    "--host-record=blocked.example,192.0.2.10,2001:db8::10,300",
    "--host-record=edge.cdn.test,192.0.2.20,2001:db8::20,30",
    "--address=/many.example/192.0.2.31", "--address=/many.example/192.0.2.32",
    "--address=/many.example/192.0.2.33", "--local=/example/",
    "--cname=www.blocked.example,edge.cdn.test,120",
    "--cname=a.chain.example,b.chain.example,900",
    "--cname=b.chain.example,www.blocked.example,60",
    "--txt-record=blocked.example,hello",
]
# File, question name, type, over TCP.
QUESTIONS = [
    ("dns-a.bin", "blocked.example", 1, False),
    ("dns-aaaa.bin", "Blocked.Example", 28, False),
    ("dns-cname.bin", "www.blocked.example", 1, False),
    ("dns-cname-chain.bin", "a.chain.example", 28, False),
    ("dns-many.bin", "many.example", 1, True),
    ("dns-txt.bin", "blocked.example", 16, False),
    ("dns-nxdomain.bin", "nowhere.example", 1, False),
    ("dns-refused.bin", "elsewhere.test", 1, False),
]


def question(name, kind):
    labels = b"".join(bytes([len(part)]) + part.encode() for part in name.split("."))
    return struct.pack("!HHHHHH", random.randrange(65536), 0x0100, 1, 0, 0, 0) + labels + \
        b"\0" + struct.pack("!HH", kind, 1)


def ask(name, kind, over_tcp):
    message = question(name, kind)
    if over_tcp:
        with socket.create_connection(("127.0.0.1", 53), timeout=2) as sock:
            sock.sendall(struct.pack("!H", len(message)) + message)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack("!H", data[:2])[0]:
                data += sock.recv(65536)
            return data[2:]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(2)
        sock.sendto(message, ("127.0.0.1", 53))
        return sock.recv(65536)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        server = subprocess.Popen(SERVER, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            for file, name, kind, over_tcp in QUESTIONS:
                with open(os.path.join(HERE, file), "wb") as output:
                    output.write(ask(name, kind, over_tcp))
                print(f"{file}: {name} type {kind}{' over TCP' if over_tcp else ''}")
        finally:
            server.kill()
        return 0
    subprocess.run(["ip", "netns", "add", NAMESPACE], check=True)
    try:
        subprocess.run(["ip", "netns", "exec", NAMESPACE, "ip", "link", "set", "lo", "up"],
                       check=True)
        return subprocess.run(["ip", "netns", "exec", NAMESPACE, sys.executable,
                               os.path.abspath(__file__), "--inside"]).returncode
    finally:
        subprocess.run(["ip", "netns", "del", NAMESPACE])


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Clients and servers for the content filter's end-to-end suites, run inside their namespaces:
`e2e_peers.py COMMAND ARGUMENTS...` (see COMMANDS and SERVERS at the end). Each client command
prints one JSON object saying what happened. The DNS server answers A, AAAA and CNAME questions
from a JSON zone {"name": [["A", "192.0.2.1"], ["CNAME", "other"]...], "ttl": 60} over UDP and
TCP; udp-sink appends each datagram to a file as a two-byte big-endian length, then the bytes."""

import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time


def connect(address, port, timeout=5):
    sock = socket.create_connection((address, port), timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def outcome_of_read(sock):
    """How the peer answered: 'data', 'eof', 'reset' or 'timeout'."""
    try:
        return "data" if sock.recv(65536) else "eof"
    except ConnectionResetError:
        return "reset"
    except socket.timeout:
        return "timeout"


def split_hello(address, server_name):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    outgoing = ssl.MemoryBIO()
    connection = context.wrap_bio(ssl.MemoryBIO(), outgoing, server_hostname=server_name)
    try:
        connection.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    started = time.monotonic()
    with connect(address, 443) as sock:
        sock.sendall(hello[:40])
        time.sleep(0.1)  # lets the first part leave on its own
        try:
            sock.sendall(hello[40:])
            outcome = outcome_of_read(sock)
        except (ConnectionResetError, BrokenPipeError):
            outcome = "reset"
    return {"outcome": outcome, "seconds": time.monotonic() - started}


def silent_close(address):
    started = time.monotonic()
    with connect(address, 80) as sock:
        sock.shutdown(socket.SHUT_WR)
        outcome = outcome_of_read(sock)
    return {"outcome": outcome, "seconds": time.monotonic() - started}


def concurrent(address, count, hosts):
    count, hosts = int(count), hosts.split(",")
    barrier = threading.Barrier(count)
    results = [None] * count

    def request(index):
        host = hosts[index % len(hosts)]
        try:
            barrier.wait(timeout=20)
            with connect(address, 80, timeout=20) as sock:
                sock.sendall(f"GET / HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"
                             .encode())
                answer = b""
                while data := sock.recv(65536):
                    answer += data
            status = answer.split(b"\r\n", 1)[0].decode()
        except ConnectionResetError:
            status = "reset"
        except Exception as failure:  # reported, not raised: the suite judges the outcome
            status = f"error: {failure!r}"
        results[index] = {"host": host, "status": status}

    started = time.monotonic()
    threads = [threading.Thread(target=request, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"results": results, "seconds": time.monotonic() - started}


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *arguments):
        pass


def http_server(address):
    class Server(http.server.ThreadingHTTPServer):
        address_family = socket.AF_INET6 if ":" in address else socket.AF_INET
        request_queue_size = 1024
        daemon_threads = True

    with Server((address, 80), QuietHandler) as server:
        server.serve_forever()


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


TYPES = {"A": 1, "AAAA": 28, "CNAME": 5}


def encode_name(name):
    return b"".join(bytes([len(label)]) + label.encode()
                    for label in name.rstrip(".").split(".") if label) + b"\0"


def read_question(message):
    labels, position = [], 12
    while message[position]:
        length = message[position]
        labels.append(message[position + 1:position + 1 + length].decode())
        position += 1 + length
    question_type, _ = struct.unpack("!HH", message[position + 1:position + 5])
    return ".".join(labels), question_type, message[12:position + 5]


def answer(zone, message):
    identifier, flags = struct.unpack("!HH", message[:4])
    name, question_type, question = read_question(message)
    ttl = zone.get("ttl", 60)
    records, current, seen = [], name.lower(), set()
    while current in zone and current not in seen:
        seen.add(current)
        aliases = [value for kind, value in zone[current] if kind == "CNAME"]
        if aliases:
            target = aliases[0]
            records.append((current, TYPES["CNAME"], encode_name(target)))
            current = target.lower()
            continue
        for kind, value in zone[current]:
            if TYPES[kind] == question_type:
                family = socket.AF_INET6 if kind == "AAAA" else socket.AF_INET
                records.append((current, question_type, socket.inet_pton(family, value)))
        break
    known = name.lower() in zone
    header = struct.pack("!HHHHHH", identifier, 0x8180 | (flags & 0x0100) | (0 if known else 3),
                         1, len(records), 0, 0)
    body = b"".join(encode_name(owner) + struct.pack("!HHIH", kind, 1, ttl, len(data)) + data
                    for owner, kind, data in records)
    return header + question + body


def serve_forever(addresses, port, udp_handler, tcp_handler):
    """UDP and TCP on `port` of each address, one socket per address, so that a UDP reply leaves
    from the address the client sent to."""
    for address in addresses:
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        for base, handler in ((socketserver.ThreadingUDPServer, udp_handler),
                              (socketserver.ThreadingTCPServer, tcp_handler)):
            server_class = type("Server", (base,), {"address_family": family,
                                                    "allow_reuse_address": True,
                                                    "daemon_threads": True})
            server = server_class((address, port), handler)
            threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Event().wait()


def dns_server(zone_file, *addresses):
    with open(zone_file) as file:
        zone = {key.lower() if key != "ttl" else key: value for key, value in json.load(file).items()}

    class UDPHandler(socketserver.BaseRequestHandler):
        def handle(self):
            data, sock = self.request
            sock.sendto(answer(zone, data), self.client_address)

    class TCPHandler(socketserver.StreamRequestHandler):
        def handle(self):
            while prefix := self.rfile.read(2):
                message = self.rfile.read(struct.unpack("!H", prefix)[0])
                reply = answer(zone, message)
                self.wfile.write(struct.pack("!H", len(reply)) + reply)

    serve_forever(addresses, 53, UDPHandler, TCPHandler)


def echo_server(port, *addresses):
    port = int(port)

    class UDPHandler(socketserver.BaseRequestHandler):
        def handle(self):
            data, sock = self.request
            sock.sendto(data, self.client_address)

    class TCPHandler(socketserver.StreamRequestHandler):
        def handle(self):
            self.wfile.write(self.rfile.readline())

    serve_forever(addresses, port, UDPHandler, TCPHandler)


def resolve(name, family):
    family = socket.AF_INET6 if family == "6" else socket.AF_INET
    return [info[4][0] for info in socket.getaddrinfo(name, None, family, socket.SOCK_STREAM)]


def lookup(name, family):
    started = time.monotonic()
    try:
        addresses = resolve(name, family)
    except socket.gaierror as failure:
        return {"addresses": [], "error": str(failure), "seconds": time.monotonic() - started}
    return {"addresses": addresses, "seconds": time.monotonic() - started}


def tcp_address(address, port):
    started = time.monotonic()
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    try:
        with socket.socket(family, socket.SOCK_STREAM) as sock:
            sock.settimeout(4)
            sock.connect((address, int(port)))
            sock.sendall(b"hello\n")
            outcome = "echo" if sock.recv(100) == b"hello\n" else "other"
    except ConnectionRefusedError:
        outcome = "refused"
    except ConnectionResetError:
        outcome = "reset"
    except socket.timeout:
        outcome = "timeout"
    return {"address": address, "outcome": outcome, "seconds": time.monotonic() - started}


def udp_address(address, port):
    started = time.monotonic()
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    outcome = "timeout"
    with socket.socket(family, socket.SOCK_DGRAM) as sock:
        sock.settimeout(0.5)
        sock.connect((address, int(port)))
        for _ in range(4):
            try:
                sock.send(b"hello")
                outcome = "echo" if sock.recv(100) == b"hello" else "other"
                break
            except ConnectionRefusedError:  # an ICMP unreachable came back
                outcome = "refused"
                break
            except socket.timeout:
                continue
    return {"address": address, "outcome": outcome, "seconds": time.monotonic() - started}


def unasked(source, destination, name, address):
    family = socket.AF_INET6 if ":" in source else socket.AF_INET
    zone = {name: [["AAAA" if ":" in address else "A", address]]}
    query = struct.pack("!HHHHHH", 7, 0x0100, 1, 0, 0, 0) + encode_name(name) + \
        struct.pack("!HH", TYPES["AAAA" if ":" in address else "A"], 1)
    with socket.socket(family, socket.SOCK_DGRAM) as sock:
        sock.bind((source, 53))
        for _ in range(3):
            sock.sendto(answer(zone, query), (destination, 40000))
    return {"sent": 3}


COMMANDS = {"split-hello": split_hello, "silent-close": silent_close, "concurrent": concurrent,
            "chromium-quic": chromium_quic, "lookup": lookup, "tcp-address": tcp_address,
            "tcp": lambda name, port, family: tcp_address(resolve(name, family)[0], port),
            "udp": lambda name, port, family: udp_address(resolve(name, family)[0], port),
            "unasked": unasked}
SERVERS = {"http-server": http_server, "udp-sink": udp_sink, "dns-server": dns_server,
           "echo-server": echo_server}

if __name__ == "__main__":
    if sys.argv[1] in SERVERS:
        SERVERS[sys.argv[1]](*sys.argv[2:])
    else:
        print(json.dumps(COMMANDS[sys.argv[1]](*sys.argv[2:])))

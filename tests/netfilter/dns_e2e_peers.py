#!/usr/bin/env python3
"""Peers for the end-to-end cases about names learnt from DNS answers, run inside their
namespaces. Client commands print one JSON object saying what happened.

  dns-server ZONE_FILE ADDRESS...   answers A, AAAA and CNAME questions from the JSON zone
                                    {"name": [["A", "192.0.2.1"], ["CNAME", "other"]...]} over
                                    UDP and TCP on port 53 of each ADDRESS; NXDOMAIN otherwise;
                                    every answer's TTL is the zone's "ttl" (default 60)
  echo-server PORT ADDRESS...       TCP and UDP on PORT of each ADDRESS: sends back what comes
  lookup NAME FAMILY                the system resolver's addresses for NAME (4 or 6), and how
                                    long the lookup took
  tcp NAME PORT FAMILY              resolves NAME, connects to PORT, sends a line; the outcome
  udp NAME PORT FAMILY              resolves NAME, sends a datagram to PORT; the outcome
  tcp-address ADDRESS PORT          the same without a lookup
  udp-address ADDRESS PORT
  lookup-time NAME COUNT FAMILY     COUNT lookups of NAME: each one's time in microseconds
  unasked FROM TO NAME ADDRESS      sends, from FROM port 53 to TO port 40000, an answer nobody
                                    asked for, saying that NAME is at ADDRESS
"""

import json
import socket
import socketserver
import struct
import sys
import threading
import time

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

    servers = []
    for address in addresses:
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        for base, handler in ((socketserver.ThreadingUDPServer, UDPHandler),
                              (socketserver.ThreadingTCPServer, TCPHandler)):
            server_class = type("Server", (base,), {"address_family": family,
                                                    "allow_reuse_address": True,
                                                    "daemon_threads": True})
            server = server_class((address, 53), handler)
            servers.append(server)
            threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Event().wait()


def echo_server(port, *addresses):
    port = int(port)

    class UDPHandler(socketserver.BaseRequestHandler):
        def handle(self):
            data, sock = self.request
            sock.sendto(data, self.client_address)

    class TCPHandler(socketserver.StreamRequestHandler):
        def handle(self):
            self.wfile.write(self.rfile.readline())

    # One socket per address, so that a UDP reply leaves from the address the client sent to.
    for address in addresses:
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        for base, handler in ((socketserver.ThreadingUDPServer, UDPHandler),
                              (socketserver.ThreadingTCPServer, TCPHandler)):
            server_class = type("Server", (base,), {"address_family": family,
                                                    "allow_reuse_address": True,
                                                    "daemon_threads": True})
            server = server_class((address, port), handler)
            threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Event().wait()


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


def tcp(name, port, family):
    return tcp_address(resolve(name, family)[0], port)


def udp(name, port, family):
    return udp_address(resolve(name, family)[0], port)


def lookup_time(name, count, family):
    family_value = socket.AF_INET6 if family == "6" else socket.AF_INET
    times = []
    for _ in range(int(count)):
        started = time.perf_counter_ns()
        socket.getaddrinfo(name, None, family_value, socket.SOCK_STREAM)
        times.append((time.perf_counter_ns() - started) / 1000)
    return {"microseconds": times}


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


COMMANDS = {"lookup": lookup, "tcp": tcp, "udp": udp, "tcp-address": tcp_address,
            "udp-address": udp_address, "lookup-time": lookup_time,
            "unasked": unasked}

if __name__ == "__main__":
    if sys.argv[1] == "dns-server":
        dns_server(*sys.argv[2:])
    elif sys.argv[1] == "echo-server":
        echo_server(*sys.argv[2:])
    else:
        print(json.dumps(COMMANDS[sys.argv[1]](*sys.argv[2:])))

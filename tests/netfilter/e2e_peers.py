#!/usr/bin/env python3
"""Clients and an echo server for the content filter's end-to-end suite, run inside its
namespaces: `e2e_peers.py COMMAND ARGUMENTS...`; a client command prints a JSON object."""

import json, os, socket, socketserver, ssl, sys, threading, time  # noqa: E401


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

    base = socketserver.ThreadingUDPServer if protocol == "udp" else socketserver.ThreadingTCPServer
    for address in addresses:
        server = type("Server", (base,), {"address_family": family_of(address)})
        handler = UDP if protocol == "udp" else TCP
        threading.Thread(target=server((address, int(port)), handler).serve_forever).start()


def exchange(address, port, udp=False, messages=(b"hello\n",)):
    """Sends a line to ADDRESS:PORT over TCP, or the datagrams (up to four times) over UDP; the
    outcome: echo (one of them came back), other, refused (for UDP: an ICMP unreachable came
    back), reset or timeout."""
    started, outcome = time.monotonic(), "timeout"
    kind = socket.SOCK_DGRAM if udp else socket.SOCK_STREAM
    with socket.socket(family_of(address), kind) as sock:
        sock.settimeout(0.5 if udp else 4)
        for _ in range(4 if udp else 1):
            try:
                sock.connect((address, int(port)))
                for message in messages:
                    sock.send(message)
                # The echo server answers each datagram on its own thread, in either order.
                outcome = "echo" if sock.recv(2048) in messages else "other"
            except ConnectionRefusedError:
                outcome = "refused"
            except ConnectionResetError:
                outcome = "reset"
            except socket.timeout:
                continue
            break
    return {"address": address, "outcome": outcome, "seconds": time.monotonic() - started}


def exchange_with(name, port, family, udp=False):
    """exchange() with NAME's first address of the family (4 or 6), and how long the lookup
    took."""
    started = time.monotonic()
    family = socket.AF_INET6 if family == "6" else socket.AF_INET
    address = socket.getaddrinfo(name, None, family, socket.SOCK_STREAM)[0][4][0]
    return dict(exchange(address, port, udp), lookup_seconds=time.monotonic() - started)


def quic_flight(address, capture):
    """Sends the first flight of a QUIC client, kept in CAPTURE (each datagram after its 16-bit
    length), to ADDRESS port 443 over UDP."""
    with open(capture, "rb") as file:
        data, datagrams = file.read(), []
    while len(data) >= 2:
        datagrams.append(data[2:2 + int.from_bytes(data[:2], "big")])
        data = data[2 + len(datagrams[-1]):]
    return exchange(address, 443, True, datagrams)


def tls_across_processors(address, host):
    """A TLS request to ADDRESS:443 for HOST whose handshake leaves from one processor and whose
    ClientHello from another, so that the filter receives them through different queues."""
    processors = sorted(os.sched_getaffinity(0))
    if len(processors) < 2:
        return {"outcome": "one processor"}
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    os.sched_setaffinity(0, {processors[0]})
    try:
        with socket.create_connection((address, 443), timeout=5) as raw:
            os.sched_setaffinity(0, {processors[1]})
            with context.wrap_socket(raw, server_hostname=host) as tls:
                tls.sendall(b"GET / HTTP/1.0\r\n\r\n")
                return {"outcome": "answered" if tls.recv(1) else "closed"}
    except (ConnectionError, ssl.SSLError):
        return {"outcome": "reset"}


def unasked(source, destination, capture, address):
    """Sends, from SOURCE port 53 to DESTINATION port 40000, an answer nobody asked for: the one
    in CAPTURE, its one address replaced by ADDRESS."""
    packed = socket.inet_pton(family_of(address), address)
    with open(capture, "rb") as file, socket.socket(family_of(source), socket.SOCK_DGRAM) as sock:
        sock.bind((source, 53))
        sock.sendto(file.read()[:-len(packed)] + packed, (destination, 40000))
    return {}


COMMANDS = {"echo-server": echo_server, "unasked": unasked, "quic": quic_flight,
            "tls-across-processors": tls_across_processors, "tcp": exchange_with,
            "udp": lambda name, port, family: exchange_with(name, port, family, True)}

if __name__ == "__main__":
    print(json.dumps(COMMANDS[sys.argv[1]](*sys.argv[2:])))

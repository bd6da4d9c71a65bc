#!/usr/bin/env python3
"""Clients and a server for the content filter's end-to-end suite, run inside its namespaces.

Each command prints one JSON object on standard output describing what happened.

  split-hello ADDRESS SERVER_NAME   a TLS ClientHello for SERVER_NAME sent to ADDRESS:443 in two
                                    TCP writes (TCP_NODELAY); says whether the server answered
  silent-close ADDRESS              connects to ADDRESS:80, sends nothing, closes its side and
                                    says how the server's side ended
  concurrent ADDRESS COUNT HOSTS    COUNT simultaneous HTTP requests to ADDRESS:80, the Host
                                    header cycling through the comma-separated HOSTS
  refused-flood ADDRESS PORT COUNT  COUNT connection attempts to a port nothing listens on
  http-server ADDRESS               Python's http.server on ADDRESS:80, with a listen backlog
                                    large enough for the concurrency test
"""

import errno
import http.server
import json
import socket
import ssl
import sys
import threading
import time


def family_of(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


def client_hello(server_name):
    """The first flight of a real TLS client for server_name."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    connection = context.wrap_bio(incoming, outgoing, server_hostname=server_name)
    try:
        connection.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def outcome_of_read(sock):
    """How the peer answered: 'data', 'eof' or 'reset'."""
    try:
        data = sock.recv(65536)
    except ConnectionResetError:
        return "reset"
    except socket.timeout:
        return "timeout"
    return "data" if data else "eof"


def split_hello(address, server_name):
    hello = client_hello(server_name)
    started = time.monotonic()
    with socket.socket(family_of(address), socket.SOCK_STREAM) as sock:
        sock.settimeout(5)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.connect((address, 443))
        sock.sendall(hello[:40])
        # Let the first part leave on its own before the rest follows.
        time.sleep(0.1)
        try:
            sock.sendall(hello[40:])
        except (ConnectionResetError, BrokenPipeError):
            return {"outcome": "reset", "seconds": time.monotonic() - started, "length": len(hello)}
        outcome = outcome_of_read(sock)
    return {"outcome": outcome, "seconds": time.monotonic() - started, "length": len(hello)}


def silent_close(address):
    started = time.monotonic()
    with socket.socket(family_of(address), socket.SOCK_STREAM) as sock:
        sock.settimeout(5)
        sock.connect((address, 80))
        sock.shutdown(socket.SHUT_WR)
        outcome = outcome_of_read(sock)
    return {"outcome": outcome, "seconds": time.monotonic() - started}


def concurrent(address, count, hosts):
    barrier = threading.Barrier(count)
    results = [None] * count

    def request(index):
        host = hosts[index % len(hosts)]
        try:
            with socket.socket(family_of(address), socket.SOCK_STREAM) as sock:
                sock.settimeout(20)
                barrier.wait(timeout=20)
                sock.connect((address, 80))
                sock.sendall(f"GET / HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
                answer = b""
                while True:
                    data = sock.recv(65536)
                    if not data:
                        break
                    answer += data
            results[index] = {"host": host, "status": answer.split(b"\r\n", 1)[0].decode()}
        except ConnectionResetError:
            results[index] = {"host": host, "status": "reset"}
        except Exception as failure:  # reported, not raised: the suite judges the outcome
            results[index] = {"host": host, "status": f"error: {failure!r}"}

    started = time.monotonic()
    threads = [threading.Thread(target=request, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"results": results, "seconds": time.monotonic() - started}


def refused_flood(address, port, count):
    refused = 0
    for _ in range(count):
        with socket.socket(family_of(address), socket.SOCK_STREAM) as sock:
            sock.settimeout(5)
            if sock.connect_ex((address, port)) == errno.ECONNREFUSED:
                refused += 1
    return {"refused": refused}


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *arguments):
        pass


def http_server(address):
    class Server(http.server.ThreadingHTTPServer):
        address_family = family_of(address)
        request_queue_size = 1024
        daemon_threads = True

    with Server((address, 80), QuietHandler) as server:
        server.serve_forever()


def main(arguments):
    command = arguments[0]
    if command == "http-server":
        http_server(arguments[1])
        return
    if command == "split-hello":
        result = split_hello(arguments[1], arguments[2])
    elif command == "silent-close":
        result = silent_close(arguments[1])
    elif command == "concurrent":
        result = concurrent(arguments[1], int(arguments[2]), arguments[3].split(","))
    elif command == "refused-flood":
        result = refused_flood(arguments[1], int(arguments[2]), int(arguments[3]))
    else:
        sys.exit(f"unknown command {command}")
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])

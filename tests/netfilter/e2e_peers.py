#!/usr/bin/env python3
"""Clients and a server for the content filter's end-to-end suite, run inside its namespaces.
Each client command prints one JSON object saying what happened.

  split-hello ADDRESS SERVER_NAME   a ClientHello for SERVER_NAME to ADDRESS:443 in two TCP
                                    writes (TCP_NODELAY); whether the server answered
  silent-close ADDRESS              connects to ADDRESS:80, sends nothing, closes its side; how
                                    the server's side ended
  concurrent ADDRESS COUNT HOSTS    COUNT simultaneous HTTP requests to ADDRESS:80, the Host
                                    header cycling through the comma-separated HOSTS
  http-server ADDRESS               http.server on ADDRESS:80 with a large listen backlog
  udp-sink ADDRESS FILE             receives UDP datagrams on ADDRESS:443 and appends each to
                                    FILE (a two-byte big-endian length, then the datagram)
  udp-send ADDRESS FILE             sends the first datagram of FILE (as udp-sink writes them) to
                                    ADDRESS:443 from a connected socket
  chromium-quic HOST ADDRESS SECS   headless Chromium loading https://HOST/ from ADDRESS, forced
                                    onto QUIC; whether it gave up by itself within SECS, and when
"""

import http.server
import json
import os
import shutil
import socket
import ssl
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


def udp_send(address, path):
    with open(path, "rb") as file:
        data = file.read()
    datagram = data[2:2 + int.from_bytes(data[:2], "big")]
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    with socket.socket(family, socket.SOCK_DGRAM) as sock:
        sock.connect((address, 443))
        sock.send(datagram)
    return {"sent": len(datagram)}


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


COMMANDS = {"split-hello": split_hello, "silent-close": silent_close, "concurrent": concurrent,
            "chromium-quic": chromium_quic, "udp-send": udp_send}

if __name__ == "__main__":
    if sys.argv[1] == "http-server":
        http_server(sys.argv[2])
    elif sys.argv[1] == "udp-sink":
        udp_sink(sys.argv[2], sys.argv[3])
    else:
        print(json.dumps(COMMANDS[sys.argv[1]](*sys.argv[2:])))

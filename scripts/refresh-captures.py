#!/usr/bin/env python3
"""Captures the first bytes that real clients on this machine send and stores them in
tests/data/captures/, the bytes the parser tests, the fuzz targets and the benchmarks read.

Each client is pointed at a listener on 127.0.0.1 under the host name the tests expect; what it
sends first (up to 16 KB, or until it stays silent for a second) becomes its capture. Clients
that are not installed are skipped. Run from anywhere:  scripts/refresh-captures.py [NAME...]
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile

CAPTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data",
                        "captures")
CAPTURE_LIMIT = 16 * 1024

# name, file, seconds to wait for the connection, command (PORT and SCRATCH are filled in).
CLIENTS = [
    ("OpenSSLTLS12", "tls12-openssl.bin", 5,
     "openssl s_client -connect 127.0.0.1:PORT -tls1_2 -servername tls12.openssl.test"),
    ("OpenSSLTLS13", "tls13-openssl.bin", 5,
     "openssl s_client -connect 127.0.0.1:PORT -tls1_3 -servername www.TLS13.OpenSSL.test"),
    ("CurlTLS", "tls-curl.bin", 5,
     "curl -s -k --max-time 10 --resolve curl.test:PORT:127.0.0.1 https://curl.test:PORT/"),
    ("PythonTLS", "tls-python.bin", 5,
     "python3 -c \"import socket, ssl; ssl.create_default_context().wrap_socket("
     "socket.create_connection(('127.0.0.1', PORT)), server_hostname='python.test')\""),
    ("ChromiumTLS", "tls-chromium.bin", 15,
     "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
     "--disable-background-networking --disable-component-update --disable-sync "
     "--no-proxy-server --user-data-dir=SCRATCH "
     "'--host-resolver-rules=MAP chromium.test 127.0.0.1' https://chromium.test:PORT/"),
    ("CurlHTTP", "http-curl.bin", 5,
     "curl -s --max-time 10 --resolve http.curl.test:PORT:127.0.0.1 http://http.curl.test:PORT/"),
    ("PythonHTTP", "http-python.bin", 5,
     "python3 -c \"import urllib.request as web; web.urlopen(web.Request("
     "'http://127.0.0.1:PORT/', headers={'Host': 'http.python.test'}), timeout=10)\""),
]


def capture(command, wait_seconds):
    with socket.socket() as listener, tempfile.TemporaryDirectory() as scratch:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(wait_seconds)
        port = listener.getsockname()[1]
        environment = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        script = command.replace("PORT", str(port)).replace("SCRATCH", scratch)
        client = subprocess.Popen(["sh", "-c", "exec " + script], env=environment,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            os.killpg(client.pid, 9)
            client.wait()
            return None
        captured = b""
        with connection:
            connection.settimeout(1)
            try:
                while len(captured) < CAPTURE_LIMIT:
                    chunk = connection.recv(CAPTURE_LIMIT - len(captured))
                    if not chunk:
                        break
                    captured += chunk
            except socket.timeout:
                pass
        os.killpg(client.pid, 9)
        client.wait()
        return captured


def main(names):
    status = 0
    for name, file, wait_seconds, command in CLIENTS:
        if names and name not in names:
            continue
        program = command.split()[0]
        if shutil.which(program) is None:
            print(f"{name}: {program} is not installed, skipped")
            continue
        captured = capture(command, wait_seconds)
        if not captured:
            print(f"{name}: {program} did not connect")
            status = 1
            continue
        with open(os.path.join(CAPTURES, file), "wb") as output:
            output.write(captured)
        print(f"{name}: {len(captured)} bytes in tests/data/captures/{file}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

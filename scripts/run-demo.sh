#!/usr/bin/env bash
# `make run`: a short demonstration of the whole system, built in build/.
#
# It publishes a policy that blocks blocked.example (tovrinctl), runs the filter, serves HTTPS and
# HTTP locally, sends real requests (curl) to blocked and allowed names, talks to the browser
# handler through real native-messaging frames, and prints what happened.
#
# Live: as root, where a network namespace can be made and the live filter is built, everything
# runs inside a private namespace (loopback only) that the script creates and removes, with the
# real filter on netfilter-queue, openssl s_server and Python's http.server.
# Replayed: otherwise, the same story runs on 127.0.0.1 through filter-replay: a small gate in
# front of the local servers hands each connection and its first bytes to the filter's provider
# and resets the connections it drops, as the live filter does.
#
# Nothing is left running; the work folder is removed (TOVRIN_DEMO_KEEP=1 keeps it).
# TOVRIN_DEMO_MODE=replay forces the replayed story; TOVRIN_DEMO_BIN names another build's bin.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${TOVRIN_DEMO_BIN:-$PWD/build/bin}
for program in tovrinctl TovrinHelperSafariWebExtension; do
    if [ ! -x "$bin/$program" ]; then
        echo "run-demo: $bin/$program is not built; run make run (or make build) first" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tovrin-demo.XXXXXX")
export APP_GROUP_CONTAINERS_ROOT=$work/app-groups
export CONTENT_FILTER_CONFIGURATION=$work/content-filter.json
namespace=""
started=()

# Ends every process this script started, by its id, and waits for each.
stop_started() {
    local pid
    for pid in "${started[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${started[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    started=()
}

delete_namespace() {
    if [ -n "$namespace" ]; then
        ip netns delete "$namespace" 2>/dev/null || true
        namespace=""
    fi
}

cleanup() {
    local status=$?
    stop_started
    delete_namespace
    if [ "${TOVRIN_DEMO_KEEP:-0}" = 1 ] || [ "$status" -ne 0 ]; then
        echo "(logs kept in $work)"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section() { printf '\n== %s ==\n' "$1"; }
indent() { sed 's/^/  /'; }

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Runs the rest of its arguments inside the namespace (live) or here (replayed).
in_place() {
    if [ "$mode" = live ]; then
        ip netns exec "$namespace" "$@"
    else
        "$@"
    fi
}

publish_policy() {
    "$bin/tovrinctl" policy set --block blocked.example --enforce
}

filter_state() {
    "$bin/tovrinctl" status | sed -n 's/^  state: //p'
}

# The live story's servers and filter, inside a fresh namespace. Fails, with the reason in $why,
# when the filter cannot run here; the caller then tells the story through filter-replay.
start_live() {
    namespace="tovrin-demo-$$"
    if ! ip netns add "$namespace" 2>"$work/netns.err"; then
        namespace=""
        why="no network namespace can be made here ($(head -n1 "$work/netns.err"))"
        return 1
    fi
    ip -n "$namespace" link set lo up
    https_port=443
    http_port=80
    # Started straight from this shell (not through a function), so that each $! is the
    # program itself: `ip netns exec` becomes it.
    ip netns exec "$namespace" openssl s_server -quiet -accept "$https_port" -cert "$work/cert.pem" \
        -key "$work/key.pem" -www >"$work/https-server.log" 2>&1 &
    started+=($!)
    ip netns exec "$namespace" python3 -m http.server "$http_port" --bind 127.0.0.1 --directory "$work/site" \
        >"$work/http-server.log" 2>&1 &
    started+=($!)
    listening() { ip netns exec "$namespace" ss -Hltn "sport = :$1" | grep -q .; }
    if ! wait_for 50 listening "$https_port" || ! wait_for 50 listening "$http_port"; then
        why="the local servers did not start in the namespace"
        return 1
    fi
    ip netns exec "$namespace" "$bin/TovrinHelperContentFilterExtension" 2>"$work/filter.log" &
    filter_pid=$!
    started+=("$filter_pid")
    # Running, or gone: a filter that cannot start ends at once.
    filter_settled() { [ "$(filter_state)" = running ] || ! kill -0 "$filter_pid"; }
    wait_for 100 filter_settled || true
    local state
    state=$(filter_state)
    if [ "$state" != running ]; then
        why="the live filter did not start (state: ${state:-none}; $(tail -n1 "$work/filter.log"))"
        return 1
    fi
}

# The replayed story: the gate in front of local servers, with filter-replay behind it.
start_replay() {
    if [ ! -x "$bin/filter-replay" ]; then
        echo "run-demo: $why, and $bin/filter-replay is not built either" >&2
        exit 1
    fi
cat >"$work/gate.py" <<'PYTHON'
# A gate on 127.0.0.1 that asks the filter's provider, hosted by filter-replay, about every
# connection, as the live filter does: a new flow with the remote endpoint only, then the
# client's first bytes while the provider asks for them. Dropped connections are reset; allowed
# ones are served (HTTPS with the demonstration certificate, or plain HTTP).
import itertools, json, os, signal, socket, ssl, struct, subprocess, sys, threading, time

replay_path, certificate, key, configuration, ports_file, replay_log = sys.argv[1:7]


class Replay:
    def __init__(self):
        self.process = subprocess.Popen([replay_path], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=open(replay_log, "w"),
                                        text=True, bufsize=1)
        self.lock = threading.Lock()

    def ask(self, event, answer):
        with self.lock:
            self.process.stdin.write(json.dumps(event) + "\n")
            self.process.stdin.flush()
            while answer:
                line = self.process.stdout.readline()
                if not line:
                    raise RuntimeError("filter-replay ended")
                reply = json.loads(line)
                if reply.get("op") == "error":
                    raise RuntimeError(reply.get("error"))
                if reply.get("op") == answer:
                    return reply

    def stop(self):
        self.ask({"op": "stop", "reason": 0}, "stop")
        self.process.stdin.close()
        self.process.wait(timeout=10)


replay = Replay()
vendor = None
if os.path.exists(configuration):
    with open(configuration) as file:
        vendor = json.load(file).get("vendorConfiguration")
replay.ask({"op": "configure", "vendorConfiguration": vendor}, None)
started = replay.ask({"op": "start"}, "start")
if started.get("error"):
    sys.exit("the filter did not start: " + started["error"])

labels = itertools.count(1)


def peeked(connection, wanted, settle=0.1, patience=3.0):
    """Up to `wanted` bytes the client has sent, left unread in the socket; fewer once the client
    pauses (it waits for the server), none when it closes without sending."""
    begun = time.monotonic()
    data, changed = b"", begun
    while True:
        try:
            fresh = connection.recv(wanted, socket.MSG_PEEK | socket.MSG_DONTWAIT)
            if not fresh:
                return data
        except BlockingIOError:
            fresh = b""
        now = time.monotonic()
        if len(fresh) >= wanted:
            return fresh
        if len(fresh) > len(data):
            data, changed = fresh, now
        elif (data and now - changed >= settle) or now - begun >= patience:
            return data
        time.sleep(0.02)


def decide(connection, is_tls):
    # The gate listens on free ports, but the flows it stands for are web traffic: the provider
    # sees them go to the HTTPS or HTTP port, as a browser's would.
    flow = {"id": "connection-%d" % next(labels), "socket": True, "socketType": 1,
            "remoteEndpoint": {"hostname": "127.0.0.1", "port": "443" if is_tls else "80"}}
    reply = replay.ask({"op": "newFlow", "flow": flow}, "newFlow")
    verdict, offset, wanted = reply["verdict"], 0, reply.get("peekOutboundBytes", 0)
    while verdict in ("filterData", "pass"):
        data = peeked(connection, offset + wanted)[offset:offset + wanted]
        if not data:
            verdict = replay.ask({"op": "outboundComplete", "flow": flow}, "outboundComplete")["verdict"]
            break
        reply = replay.ask({"op": "outboundData", "flow": flow, "offset": offset,
                            "hex": data.hex()}, "outboundData")
        verdict = reply["verdict"]
        if verdict == "pass":
            offset, wanted = offset + reply["passBytes"], reply["peekBytes"]
    return verdict


def serve(connection, is_tls):
    try:
        if decide(connection, is_tls) == "drop":
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
            return
        if is_tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
            connection = context.wrap_socket(connection, server_side=True)
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = connection.recv(4096)
            if not chunk:
                break
            request += chunk
        body = b"hello from the demonstration site\n"
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
        connection.close()
    except Exception as error:  # one connection's trouble must not end the gate
        print("gate:", error, file=sys.stderr)
        connection.close()


def listen(is_tls):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]

    def accept():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve, args=(connection, is_tls), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return port


ports = {"https": listen(True), "http": listen(False)}


def finish(*_):
    replay.stop()
    os._exit(0)


signal.signal(signal.SIGTERM, finish)
with open(ports_file + ".partial", "w") as file:
    json.dump(ports, file)
os.rename(ports_file + ".partial", ports_file)
while True:
    signal.pause()
PYTHON
    python3 "$work/gate.py" "$bin/filter-replay" "$work/cert.pem" "$work/key.pem" \
        "$CONTENT_FILTER_CONFIGURATION" "$work/ports.json" "$work/filter.log" 2>"$work/gate.log" &
    filter_pid=$!
    started+=("$filter_pid")
    if ! wait_for 100 test -s "$work/ports.json"; then
        echo "run-demo: the replay gate did not start:" >&2
        tail -n 5 "$work/gate.log" "$work/filter.log" >&2 || true
        exit 1
    fi
    https_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["https"])' "$work/ports.json")
    http_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$work/ports.json")
}

unexpected=0
# Sends one request with curl and says what became of it.
request() {
    local expectation=$1 scheme=$2 host=$3 port=$4 suffix=""
    [ "$mode" = replay ] && suffix=":$port"
    local code status=0 outcome judgement=ok
    code=$(in_place curl -sS -k --max-time 5 -o /dev/null -w '%{http_code}' \
        --resolve "$host:$port:127.0.0.1" "$scheme://$host$suffix/" 2>"$work/curl.err") || status=$?
    if [ "$status" -eq 0 ]; then
        outcome="answered: HTTP $code"
    else
        outcome="failed: $(sed 's/^curl: ([0-9]*) //' "$work/curl.err" | head -n1)"
    fi
    if { [ "$expectation" = blocked ] && [ "$status" -eq 0 ]; } ||
        { [ "$expectation" = allowed ] && { [ "$status" -ne 0 ] || [ "$code" != 200 ]; }; }; then
        judgement="UNEXPECTED"
        unexpected=1
    fi
    printf '  %-28s %-8s %s  [%s]\n' "$scheme://$host/" "$expectation" "$outcome" "$judgement"
}

# --- Setting up ---------------------------------------------------------------------------------

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=allowed.example" \
    -addext "subjectAltName=DNS:allowed.example,DNS:blocked.example,DNS:www.blocked.example" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
mkdir -p "$work/site"
echo "hello from the demonstration site" >"$work/site/index.html"

echo "Tovrin demonstration"
section "Policy"
echo "$ tovrinctl policy set --block blocked.example --enforce"
publish_policy | indent

mode=replay
why=""
if [ "${TOVRIN_DEMO_MODE:-}" = replay ]; then
    why="TOVRIN_DEMO_MODE=replay"
elif [ "$(id -u)" -ne 0 ]; then
    why="not running as root, so no network namespace or netfilter rules can be made"
elif [ ! -x "$bin/TovrinHelperContentFilterExtension" ]; then
    why="the live filter (TovrinHelperContentFilterExtension) is not built"
elif ! command -v ip >/dev/null; then
    why="the ip command (iproute2) is missing"
else
    mode=live
    if ! start_live; then
        stop_started
        delete_namespace
        mode=replay
        # The replayed story starts from a clean suite.
        rm -rf "$APP_GROUP_CONTAINERS_ROOT" "$CONTENT_FILTER_CONFIGURATION"
        publish_policy >/dev/null
    fi
fi

section "Filter"
if [ "$mode" = live ]; then
    echo "  Live: TovrinHelperContentFilterExtension runs on netfilter-queue inside the private"
    echo "  network namespace $namespace (loopback only), in front of openssl s_server (HTTPS)"
    echo "  and Python's http.server (HTTP)."
else
    start_replay
    echo "  Replayed: $why."
    echo "  The same story runs on 127.0.0.1: a gate hands each connection and its first bytes to"
    echo "  the filter's provider through filter-replay, and resets the connections it drops. The"
    echo "  servers listen on free ports; the provider is told each flow goes to port 443 or 80."
fi
echo "  state: $(filter_state)"

# --- Requests -----------------------------------------------------------------------------------

section "Requests (curl)"
request blocked https blocked.example "$https_port"
request blocked https www.blocked.example "$https_port"
request allowed https allowed.example "$https_port"
request blocked http blocked.example "$http_port"
request allowed http allowed.example "$http_port"

section "What the filter decided (its log)"
sed -n 's/.*\] default: \(blocked flow .*\|allowed inspected flow .*\|allowed flow .*\)/  \1/p' \
    "$work/filter.log"

# --- Browser handler ----------------------------------------------------------------------------

section "Browser handler (native-messaging frames)"
cat >"$work/frames.py" <<'PYTHON'
# Talks to the handler as a browser does: a 32-bit native-endian length, then UTF-8 JSON.
import json, struct, subprocess, sys, time

handler, log = sys.argv[1:3]
messages = [
    {"action": "trackActiveWebsite", "messageID": "demo-1", "browser": "chromium", "tabID": 7,
     "windowID": 1, "url": "https://www.blocked.example/news", "isActiveTab": True,
     "isWindowFocused": True, "occurredAt": time.time() * 1000},
    {"action": "getWebsiteBlockingState", "url": "https://allowed.example/"},
]
with open(log, "w") as errors:
    process = subprocess.Popen([handler], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=errors)
    for message in messages:
        frame = json.dumps(message).encode()
        process.stdin.write(struct.pack("=I", len(frame)) + frame)
        process.stdin.flush()
        header = process.stdout.read(4)
        if len(header) < 4:
            sys.exit("the handler ended without a reply")
        reply = process.stdout.read(struct.unpack("=I", header)[0])
        print("-> " + json.dumps(message))
        print("<- " + reply.decode())
    process.stdin.close()
    sys.exit(process.wait(timeout=10))
PYTHON
if ! python3 "$work/frames.py" "$bin/TovrinHelperSafariWebExtension" "$work/handler.log" | indent; then
    echo "run-demo: the browser handler did not answer" >&2
    exit 1
fi

# --- Diagnostics --------------------------------------------------------------------------------

section "Diagnostics (tovrinctl status)"
"$bin/tovrinctl" status | indent

section "Stopping"
kill -TERM "$filter_pid"
filter_status=0
wait "$filter_pid" || filter_status=$?
remaining=()
for pid in "${started[@]}"; do
    [ "$pid" != "$filter_pid" ] && remaining+=("$pid")
done
started=("${remaining[@]}")
if [ "$mode" = live ]; then
    echo "  The filter ended on SIGTERM with status $filter_status; state: $(filter_state)."
else
    echo "  filter-replay stopped the provider; state: $(filter_state)."
fi

echo
if [ "$unexpected" -ne 0 ]; then
    echo "Some requests did not end as the policy says (marked UNEXPECTED above)."
    exit 1
fi
echo "Every request ended as the policy says: the blocked names failed, the allowed name answered."

#!/usr/bin/env bash
# Installs the Debian package on this machine, checks that it works, purges it and checks that
# nothing of it remains. Needs root; refuses when the package is already installed.
#
#   tests/packaging/install_round_trip.sh [PACKAGE.deb]     (default: the one `make package` made)
#
# What it checks once installed: every program is on the PATH; the group and the suite's folder
# exist; tovrinctl runs (status, a published policy) and the browser handler, started with a
# login shell's environment, answers from that policy; the manifests name the handler. Where a
# network namespace can be made, a filter is started inside one (its traffic only) to check that
# removing the package stops it. After the purge: no file of the package, no suite, no
# configuration, no manifest, no filter process. The group tovrin stays, as system groups do.
set -euo pipefail

package=tovrin-helpers
host=com.vorlane.vorlanemacapp.tovrinhelper
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
deb=${1:-$(ls "$source_dir"/build/${package}_*.deb 2>/dev/null | head -n 1)}
programs=(TovrinHelperContentFilterExtension TovrinHelperSafariWebExtension tovrinctl defaults
    filter-replay)
manifests=("/etc/chromium/native-messaging-hosts/$host.json"
    "/usr/lib/mozilla/native-messaging-hosts/$host.json")
namespace=tovrin-pkg-$$
failures=0

fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
check_equal() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: \"$2\", not \"$3\""; fi
}
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
apt() {
    # Waits for another apt or dpkg run on this machine to finish.
    DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the package is installed on this machine and purged again" >&2
    exit 2
fi
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "no package: run make package, or name the .deb" >&2
    exit 2
fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    echo "$package is installed already; this script installs and purges it, so it stops" >&2
    exit 2
fi
deb=$(realpath "$deb")
scratch=$(mktemp -d)
filter_pid=
cleanup() {
    [ -n "$filter_pid" ] && kill "$filter_pid" 2>/dev/null || true
    ip netns delete "$namespace" 2>/dev/null || true
    rm -rf "$scratch"
    # Never leave the package behind, whatever failed.
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "installed"; then
        apt purge "$package" >/dev/null || true
    fi
}
trap cleanup EXIT

echo "== installing $deb"
apt install "$deb" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log" >&2
    exit 1
}
dpkg-query -L "$package" | sort >"$scratch/files"

echo "== installed"
for program in "${programs[@]}"; do
    check "$program is on the PATH" test "$(command -v "$program")" = "/usr/bin/$program"
done
check "group tovrin" sh -c 'getent group tovrin >/dev/null'
check_equal "the suite's folder" "$(stat -c '%a %U %G' /var/lib/tovrin/app-groups)" \
    "2770 root tovrin"
installed_filter_running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = /usr/bin/TovrinHelperContentFilterExtension ] && return 0
    done
    return 1
}
no_installed_filter() { ! installed_filter_running; }
check "installing started no filter" no_installed_filter

check "tovrinctl status runs" sh -c 'tovrinctl status >/dev/null'
check "tovrinctl publishes a policy" \
    sh -c 'tovrinctl policy set --block blocked.example --enforce >/dev/null'
check "tovrinctl shows it" sh -c 'tovrinctl policy show | grep -q blocked.example'
suite=/var/lib/tovrin/app-groups/group.com.vorlane.VorlaneMacApp.shared
check_equal "the suite is the group's" "$(stat -c '%a %G' "$suite" "$suite/defaults.sqlite3")" \
    "$(printf '2770 tovrin\n660 tovrin')"

# The handler as a browser of a login session starts it: with the profile's environment only.
reply=$(env -i PATH=/usr/bin:/bin HOME=/nonexistent sh -c '. /etc/profile.d/tovrin.sh; python3 -c "
import json, struct, subprocess, sys
message = json.dumps({\"action\": \"getWebsiteBlockingState\", \"host\": \"www.blocked.example\"}).encode()
out = subprocess.run([\"TovrinHelperSafariWebExtension\"], input=struct.pack(\"=I\", len(message)) + message,
                     capture_output=True, timeout=10).stdout
print(out[4:4 + struct.unpack(\"=I\", out[:4])[0]].decode() if len(out) >= 4 else \"\")
"')
check "the handler answers from the published policy ($reply)" \
    python3 -c 'import json, sys; r = json.loads(sys.argv[1]); sys.exit(0 if r.get("blocked") is True else 1)' "$reply"
for manifest in "${manifests[@]}"; do
    check "$manifest names the handler" python3 -c '
import json, sys
manifest = json.load(open(sys.argv[1]))
sys.exit(0 if manifest["path"] == "/usr/bin/TovrinHelperSafariWebExtension" else 1)' "$manifest"
done

# A filter started by hand, inside a namespace of its own so that this machine's traffic is
# untouched: removing the package must stop it.
if ip netns add "$namespace" 2>/dev/null; then
    ip netns exec "$namespace" ip link set lo up
    ip netns exec "$namespace" env APP_GROUP_CONTAINERS_ROOT=/var/lib/tovrin/app-groups \
        TovrinHelperContentFilterExtension 2>"$scratch/filter.log" &
    filter_pid=$!
    for _ in $(seq 50); do
        state=$(APP_GROUP_CONTAINERS_ROOT=/var/lib/tovrin/app-groups defaults read \
            group.com.vorlane.VorlaneMacApp.shared contentFilterExtensionState 2>/dev/null || true)
        [ -n "$state" ] && [ "$state" != "starting" ] && break
        sleep 0.1
    done
    check "a filter runs in $namespace (state: $state)" kill -0 "$filter_pid"
else
    echo "skipped: no network namespace, so no filter to stop"
fi

echo "== purging"
apt purge "$package" >"$scratch/purge.log" 2>&1 || {
    cat "$scratch/purge.log" >&2
    fail "purge"
}
if [ -n "$filter_pid" ]; then
    check "removing stopped the filter" no_installed_filter
    wait "$filter_pid" && code=0 || code=$?
    check "the filter stopped cleanly (status $code)" test "$code" -eq 0
    filter_pid=
fi
check "the package is gone" sh -c "! dpkg-query -W -f='\${Status}' $package 2>/dev/null | grep -q installed"
left=0
while read -r path; do
    # Folders other packages share (/usr/bin, /etc/profile.d...) stay.
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        fail "left behind: $path"
        left=1
    fi
done <"$scratch/files"
check "no file of the package remains" test "$left" -eq 0
for path in /var/lib/tovrin /etc/tovrin "${manifests[@]}" /usr/share/tovrin \
    /usr/share/doc/$package; do
    check "$path is gone" test ! -e "$path"
done
echo "(the group tovrin stays: $(getent group tovrin || echo none))"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install, use and purge: ok"

#!/usr/bin/env bash
# Installs the Debian package on this machine, checks that it works, purges it and checks that
# nothing of it remains. Needs root; refuses when the package is already installed.
#
#   tests/packaging/install_round_trip.sh [PACKAGE.deb]     (default: the one `make package` made)
#
# Once installed: the group and the suite's folder exist; tovrinctl publishes a policy and the
# browser handler, started with a login shell's environment, answers from it. Where a network
# namespace can be made, a filter runs inside one (its traffic only) to check that removing the
# package stops it. After the purge: no file of the package, suite, configuration or filter
# process. The group stays. What the package holds is check_package.py's concern.
set -euo pipefail

package=tovrin-helpers
root=/var/lib/tovrin/app-groups
suite=$root/group.com.vorlane.VorlaneMacApp.shared
deb=${1:-$(ls "$(dirname "$0")"/../../build/${package}_*.deb 2>/dev/null | head -n 1)}
namespace=tovrin-pkg-$$
failures=0

# check WHAT COMMAND...: counts a failure of COMMAND.
check() {
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1" >&2; failures=$((failures + 1)); fi
}
apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; }

[ "$(id -u)" -eq 0 ] || { echo "run as root: the package is installed and purged" >&2; exit 2; }
[ -f "$deb" ] || { echo "no package: run make package, or name the .deb" >&2; exit 2; }
! installed || { echo "$package is installed already; stopping" >&2; exit 2; }
deb=$(realpath "$deb")
scratch=$(mktemp -d)
filter_pid=
cleanup() {
    [ -n "$filter_pid" ] && kill "$filter_pid" 2>/dev/null || true
    ip netns delete "$namespace" 2>/dev/null || true
    rm -rf "$scratch"
    installed && apt purge "$package" >/dev/null || true  # never leave the package behind
}
trap cleanup EXIT

apt install "$deb" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; exit 1; }
dpkg-query -L "$package" | sort >"$scratch/files"
# stat names the group UNKNOWN when there is no group tovrin.
check "the group and the suite's folder" test "$(stat -c '%a %U %G' $root)" = "2770 root tovrin"
check "tovrinctl publishes a policy" tovrinctl policy set --block blocked.example --enforce
check "the suite is the group's" test "$(stat -c '%a %G' "$suite" "$suite/defaults.sqlite3")" \
    = "$(printf '2770 tovrin\n660 tovrin')"

# The handler as a browser of a login session starts it: with the profile's environment only.
# One native message: its length in four bytes (this machine's order, little-endian), then JSON.
message='{"action":"getWebsiteBlockingState","host":"www.blocked.example"}'
reply=$(printf "\\x$(printf %02x ${#message})\\0\\0\\0%s" "$message" | env -i PATH=/usr/bin:/bin \
    HOME=/nonexistent sh -c '. /etc/profile.d/tovrin.sh; exec TovrinHelperSafariWebExtension' |
    tail -c +5)
check "the handler answers from the published policy" grep -q '"blocked":true' <<<"$reply"

# A filter started by hand, inside a namespace of its own so that this machine's traffic is
# untouched: removing the package must stop it.
if ip netns add "$namespace" 2>/dev/null; then
    ip netns exec "$namespace" env APP_GROUP_CONTAINERS_ROOT=$root \
        TovrinHelperContentFilterExtension 2>"$scratch/filter.log" &
    filter_pid=$!
    sleep 2
    check "a filter runs in $namespace" kill -0 "$filter_pid"
fi

apt purge "$package" >"$scratch/purge.log" 2>&1 || check "purge: $(cat "$scratch/purge.log")" false
# A stopped filter is our zombie: its exe link leads nowhere. (The content filter suite checks
# that SIGTERM ends it with status 0.)
[ -z "$filter_pid" ] || check "removing stopped the filter" test ! -e "/proc/$filter_pid/exe"
# Every file of the package (manifests included) is gone; folders others share stay.
while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || check "left behind: $path" false
done <"$scratch/files"
check "its folders are gone" sh -c "! ls -d /var/lib/tovrin /etc/tovrin /usr/share/tovrin \
    /usr/share/doc/$package 2>/dev/null"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "install, use and purge: ok"

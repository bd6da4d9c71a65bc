#!/usr/bin/env python3
"""check_package.py --build-dir BUILD [--cpack CPACK]: builds the Debian package and checks its
files and lintian's verdict. Exits 0, 1 on a failed check, 77 without Debian tools."""

import argparse
import glob
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

PACKAGE, HOST = "tovrin-helpers", "com.vorlane.vorlanemacapp.tovrinhelper"
SUITE_ROOT = "/var/lib/tovrin/app-groups"
PROGRAMS = ["TovrinHelperContentFilterExtension", "TovrinHelperSafariWebExtension", "tovrinctl",
            "defaults", "filter-replay"]
# Browser option, shipped extension ID, packaged manifest.
MANIFESTS = [("--chromium", "lnkkjibepcmpibihmkmedclmppnaoipj",
              f"etc/chromium/native-messaging-hosts/{HOST}.json"),
             ("--firefox", "tovrinhelper@vorlane.com",
              f"usr/lib/mozilla/native-messaging-hosts/{HOST}.json")]
UNIT = "usr/lib/systemd/system/tovrin-content-filter.service"
EXTENSION_FOLDER = "usr/share/tovrin/browser-extension/"
FILES = {"usr/bin/" + program for program in PROGRAMS} | {
    UNIT, "usr/lib/sysusers.d/tovrin.conf", "usr/lib/tmpfiles.d/tovrin.conf",
    "usr/lib/environment.d/60-tovrin.conf", "etc/profile.d/tovrin.sh",
    f"usr/share/doc/{PACKAGE}/copyright", f"usr/share/doc/{PACKAGE}/changelog.gz",
    EXTENSION_FOLDER + "chromium/manifest.json", EXTENSION_FOLDER + "firefox.xpi",
} | {manifest for _, _, manifest in MANIFESTS} | {
    f"usr/share/man/man{section}/{program}.{section}.gz"
    for program, section in zip(PROGRAMS, "81111")}
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def read(*path):
    return pathlib.Path(*path).read_text()


def check_tree(tree, bin_dir, scratch):
    files = {os.path.relpath(os.path.join(folder, name), tree)
             for folder, _, names in os.walk(tree) for name in names}
    # The control files, and the extension's files besides the two that FILES names.
    others = {path for path in files if path.startswith(("DEBIAN/", EXTENSION_FOLDER))} - FILES
    expect(files - others == FILES, "files: missing %s, unexpected %s"
           % (sorted(FILES - files), sorted(files - others - FILES)))
    # lintian cannot know the variables of our maintainer scripts' templates.
    for script in ["postinst", "prerm", "postrm"]:
        expect("@" not in read(tree, "DEBIAN/" + script), f"{script}: an unreplaced @VARIABLE@")
    # The packaged manifests are the ones tovrinctl writes for the shipped IDs.
    for option, identifier, packaged in MANIFESTS:
        folder = os.path.join(scratch, "manifests" + option)
        written = run([os.path.join(bin_dir, "tovrinctl"), "install-browser-host", option,
                       identifier, "--manifest-dir", folder, "--handler",
                       os.path.join(bin_dir, "TovrinHelperSafariWebExtension")])
        if expect(written.returncode == 0, "tovrinctl: " + written.stderr.strip()):
            expected = dict(json.loads(read(folder, HOST + ".json")),
                            path="/usr/bin/TovrinHelperSafariWebExtension")
            expect(json.loads(read(tree, packaged)) == expected, f"{packaged} is not {expected}")
    # The unit starts the filter; sessions, login shells and the service agree on the suite's
    # root. (install_round_trip.sh sees that the group and the suite's folder are made.)
    for path, pattern in [
            (UNIT, r"^ExecStart=/usr/bin/TovrinHelperContentFilterExtension$"),
            ("usr/lib/environment.d/60-tovrin.conf",
             r"^APP_GROUP_CONTAINERS_ROOT=\$\{APP_GROUP_CONTAINERS_ROOT:-@\}$"),
            (UNIT, r"^Environment=APP_GROUP_CONTAINERS_ROOT=@$"),
            ("usr/lib/tmpfiles.d/tovrin.conf", r"^d\s+@\s+2770\s+root\s+tovrin\b"),
            ("usr/lib/sysusers.d/tovrin.conf", r"^g\s+tovrin\b")]:
        expect(re.search(pattern.replace("@", re.escape(SUITE_ROOT)), read(tree, path), re.M),
               f"{path} does not match {pattern}")
    for preset in [None, "", "/srv/x"]:
        shell = run(["sh", "-uc", '. "$0"; sh -c \'echo "$APP_GROUP_CONTAINERS_ROOT"\'',
                     os.path.join(tree, "etc/profile.d/tovrin.sh")],
                    env={"PATH": "/usr/bin:/bin"} | ({} if preset is None
                                                     else {"APP_GROUP_CONTAINERS_ROOT": preset}))
        expect(shell.stdout.strip() == (preset or SUITE_ROOT),
               f"profile.d with {preset!r} exports {shell.stdout.strip() + shell.stderr!r}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", default="cpack")
    arguments = parser.parse_args()
    if not all(map(shutil.which, ["dpkg-deb", "dpkg-shlibdeps", "lintian"])):
        print("skipped: dpkg-deb, dpkg-shlibdeps and lintian are needed (scripts/install-deps.sh)")
        return 77
    build_dir = os.path.abspath(arguments.build_dir)
    with tempfile.TemporaryDirectory(prefix="tovrin-package-") as scratch:
        built = run([arguments.cpack, "-G", "DEB", "--config",
                     os.path.join(build_dir, "CPackConfig.cmake"), "-B", scratch])
        packages = glob.glob(os.path.join(scratch, "*.deb"))
        if built.returncode != 0 or len(packages) != 1:
            sys.exit("cpack failed:\n" + built.stdout + built.stderr)
        subprocess.run(["dpkg-deb", "-R", packages[0], os.path.join(scratch, "tree")], check=True)
        check_tree(os.path.join(scratch, "tree"), os.path.join(build_dir, "bin"), scratch)
        lintian = run(["lintian", "--fail-on", "error", "--pedantic", packages[0]])
        expect(lintian.returncode == 0, "lintian:\n" + lintian.stdout + lintian.stderr)
    print("".join(f"FAILED: {failure}\n" for failure in failures) or "package: ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""What the end-to-end suites share: network namespaces, a scratch folder holding the suite's root,
and the command line of their cases (`--list` names them; 0 passed, 1 failed, 77 skipped)."""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

SUITE = "group.com.vorlane.VorlaneMacApp.shared"


class Skip(Exception):
    pass


def wait_until(probe, what, timeout=10.0, interval=0.1):
    """Calls `probe` until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        assert time.monotonic() < deadline, f"timed out after {timeout} s waiting for {what}"
        time.sleep(interval)
    return value


class Namespace:
    """A network namespace of the case's own, its loopback up, removed with everything still
    running in it. Its name carries the pid: other suites may run on the machine at once."""

    def __init__(self, label):
        self.name = f"tovrin-e2e-{os.getpid()}-{label}"[:64]

    def __enter__(self):
        if os.geteuid() != 0 or not shutil.which("ip") or subprocess.run(
                ["ip", "netns", "add", self.name], capture_output=True).returncode != 0:
            raise Skip("cannot create a network namespace (that needs root and iproute2)")
        self.run(["ip", "link", "set", "lo", "up"])
        return self

    def __exit__(self, *exception):
        subprocess.run(f"ip netns pids {self.name} | xargs -r kill -9; ip netns del {self.name}",
                       shell=True, capture_output=True)
        # Files that `ip netns exec` shows in /etc (resolv.conf) outlive the namespace.
        shutil.rmtree(os.path.join("/etc/netns", self.name), ignore_errors=True)

    def run(self, arguments, timeout=60):
        return subprocess.run(["ip", "netns", "exec", self.name, *arguments],
                              capture_output=True, text=True, timeout=timeout)

    def spawn(self, arguments, **options):
        # `ip netns exec` replaces itself with the program, so the process is the program. Its
        # output is the case's, which ctest shows when the case fails. A session of its own keeps
        # two suites' Firefox instances, run at once, from meeting each other.
        return subprocess.Popen(["ip", "netns", "exec", self.name, *arguments],
                                stdin=subprocess.DEVNULL, start_new_session=True, **options)

    def serve(self, arguments, port, options="-Hltn"):
        """Starts a server, its output dropped, and waits until `ss OPTIONS` shows the port."""
        self.spawn(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self.run(["ss", options, f"sport = :{port}"]).stdout.strip(),
                   f"a server on port {port}")


class Workspace:
    """A case's scratch folder, the suite's root inside it, and the built tools run on that suite;
    `environment` is what the programs see besides the root."""

    def __init__(self, bin_dir, environment):
        self.bin_dir, self.path = bin_dir, tempfile.mkdtemp(prefix="tovrin-e2e-")
        self.environment = {**environment,
                            "APP_GROUP_CONTAINERS_ROOT": os.path.join(self.path, "app-groups")}

    def tool(self, name, *arguments):
        return subprocess.run([os.path.join(self.bin_dir, name), *arguments],
                              capture_output=True, text=True, env=self.environment)

    def read(self, key):
        """The suite's value for `key` as `defaults read` prints it, or None."""
        result = self.tool("defaults", "read", SUITE, key)
        return result.stdout.strip() if result.returncode == 0 else None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        shutil.rmtree(self.path, ignore_errors=True)


def main(cases, run_case, *options):
    """Runs the named cases (all without names); a failure ends the run with its traceback."""
    parser = argparse.ArgumentParser()
    for option in ("--bin-dir", *options):
        parser.add_argument(option)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("cases", nargs="*")
    arguments = parser.parse_args()
    if arguments.list:
        print("\n".join(cases))
    try:
        for name in [] if arguments.list else arguments.cases or cases:
            run_case(name, arguments)
    except Skip as reason:
        print(f"SKIP: {reason}")
        return 77
    return 0

#!/usr/bin/python3
"""The updater's main job, shown end to end: a device with release 1
installed, release 2 published over HTTP the way docs/publishing.md tells a
vendor to, one plain run of the real updater, and a summary of what it did."""

import argparse
import os
import re
import shutil
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "e2e"))

# The hook stand-in also notes the status file as it finds it at each call.
HOOK_STATUS = 'echo "$(cat /var/lib/updater/status 2>/dev/null || echo -)" >> /var/log/standins/hook-status\n'


def section(title):
    print("\n=== %s" % title, flush=True)


def installed(root):
    out = root.check(["rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"]).stdout
    return sorted(n for n in out.split() if not n.startswith("gpg-pubkey-"))


def passes(log):
    """Package files rpm installed, by pass, as the log tells them."""
    done, current, pass_name = {}, [], "pass 0"
    for line in log.splitlines():
        if line.startswith("INFO: pass "):
            pass_name = line[len("INFO: "):].split(":")[0]
        elif re.match(r"INFO: starting update \(\d+ packages\):", line):
            current = []
        elif line.startswith("INFO: \t"):
            current.append(line[len("INFO: \t"):])
        elif line == "INFO: packages installed OK":
            done[pass_name] = current
    return done


def summary(root, result, before):
    section("summary")
    for name, files in passes(result.stderr).items():
        print("%-8s installed %s" % (name, ", ".join(files)))
    after = installed(root)
    print("packages  %d updated: %s" % (len(set(after) - set(before)), ", ".join(sorted(set(after) - set(before)))))
    seen = (root.read("/var/log/standins/hook-status") or "").split()
    print("status    as the hook found it: %s; at the end: %s" % (" ".join(seen), (root.status() or "-").strip()))
    print("update    state %s" % (root.update_state() or "-").strip())
    print("hook      " + "; ".join(" ".join(call[1:]) for call in root.calls("hook")))
    deadline = time.time() + 10  # shutdown is started detached
    while not root.calls("shutdown") and time.time() < deadline:
        time.sleep(0.05)
    for name in ("telinit", "shutdown"):
        for call in root.calls(name):
            print("%-9s %s" % (name, " ".join(repr(a) if " " in a else a for a in call[1:])))
    print("exit      %d" % result.returncode)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(top, "build"))
    args = parser.parse_args()
    os.environ["UPDATER_BUILD_DIR"] = args.build

    import devroot
    import httpserver
    import publishing
    import release
    import testdata

    work = tempfile.mkdtemp(prefix="updater-demo-")
    try:
        section("building release 1 and 2 with rpmbuild; publishing release 2 as docs/publishing.md says")
        key = testdata.Key("demo-release")
        repo = publishing.publish(os.path.join(work, "release2"), release.build_release(2), key)
        print("repository %s, signed by %s (key %s)" % (repo, key.uid, key.keyid))

        with devroot.DeviceRoot() as root:
            section("device: release 1 installed, release key imported into its rpm database")
            root.set_identity()
            release.install_release(root, 1)
            publishing.import_key(root, os.path.join(work, "release2", "updates-key.asc"))
            root.write_config(text=release.CONFIG % {"location": "http://127.0.0.1:8080/"})
            root.write("/etc/standins/hook.sh", HOOK_STATUS)
            for name in ("telinit", "shutdown"):
                root.install_standin("/usr/local/sbin/" + name)
            before = installed(root)
            print(" ".join(before))
            httpserver.ScriptedServer(root, {"root": repo}, port=8080)

            section("updater --max-wait-time -1")
            started = time.time()
            result = root.updater("--max-wait-time", "-1", timeout=600)
            sys.stdout.write(result.stderr)
            print("(%.1f s)" % (time.time() - started))
            summary(root, result, before)
            return 0 if result.returncode == 0 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

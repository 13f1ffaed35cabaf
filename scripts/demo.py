#!/usr/bin/python3
"""The updater's main job, shown end to end: a device with release 1
installed, a signed repository of release 2 served over HTTP, one plain run
of the real updater, and what it did."""

import argparse
import os
import shutil
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "e2e"))


def section(title):
    print("\n=== %s" % title, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(top, "build"))
    args = parser.parse_args()
    os.environ["UPDATER_BUILD_DIR"] = args.build

    import devroot
    import httpserver
    import release
    import testdata

    work = tempfile.mkdtemp(prefix="updater-demo-")
    try:
        section("building release 1 and 2 with rpmbuild, signing release 2, createrepo_c")
        key = testdata.Key("demo-release")
        repo = release.make_release_repo(os.path.join(work, "release2"), key)
        print("repository: %s (key %s)" % (repo, key.keyid))

        with devroot.DeviceRoot() as root:
            section("device root: release 1 installed, release key imported")
            release.install_release(root, 1)
            key.import_into(root)
            root.write_config(text=release.CONFIG % {"location": "http://127.0.0.1:8080/"})
            for name in ("telinit", "shutdown"):
                root.install_standin("/usr/local/sbin/" + name)
            print(root.run(["rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\n"]).stdout, end="")

            server = httpserver.ScriptedServer(root, {"root": repo}, port=8080)

            section("updater --max-wait-time -1 (standard error)")
            started = time.time()
            result = root.updater("--max-wait-time", "-1", timeout=600)
            sys.stdout.write(result.stderr)
            print("exit status %d after %.1f s" % (result.returncode, time.time() - started))

            section("/var/log/updater/lastlog")
            sys.stdout.write(root.lastlog() or "(none)\n")
            section("requests the repository server saw")
            for request in server.requests():
                print("%s %s" % (request["method"], request["path"]))
            section("state files")
            print("status:       %s" % (root.status() or "(none)\n"), end="")
            print("update-state: %s" % (root.update_state() or "(none)\n"), end="")
            section("installed packages after the update")
            print(root.run(["rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\n"]).stdout, end="")
            section("what the hook stand-in was called with")
            for call in root.calls("hook"):
                print(" ".join(call))
            section("what the reboot stand-ins were called with")
            deadline = time.time() + 10  # shutdown is started detached
            while not root.calls("shutdown") and time.time() < deadline:
                time.sleep(0.05)
            for name in ("telinit", "shutdown"):
                for call in root.calls(name):
                    print(" ".join(repr(a) if " " in a else a for a in call))
            return 0 if result.returncode == 0 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

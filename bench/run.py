#!/usr/bin/python3
"""Benchmarks. Each figure is put beside a floor measured in the same run on
the same input (the machine is shared and noisy), and the ratio is printed.

  check     parsePrimary and the package selection at 1,000, 10,000 and
            60,000 packages, with a gzip and a zstd primary, each against its
            reader floor (`xmllint --stream --noout FILE` for gzip, `zstd -dc
            FILE | xmllint --stream --noout -` for zstd), and the whole
            `updater --check-only --cache-only --no-md-sig-check` run
  update    a plain update of 300 signed packages from a local signed
            repository against `rpm -U` of the same files in an identical
            device root, and the `--check-only` run over that repository:
            the update's whole run should stay within 1.15 x rpm's time plus
            the check's
  download  fetchPackages of one large package (an rpm with an incompressible
            payload) over loopback HTTP from a plain static server, against
            `curl -s -o FILE URL` and `sha256sum FILE` of the same file, and
            the peak resident memory of the fetching program
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "e2e"))
sys.path.insert(0, os.path.join(top, "bench"))

import genrepo  # noqa: E402

INSTALLED = 3000


def best_of(runs, fn):
    results = [fn() for _ in range(runs)]
    return min(results, key=lambda r: r[0])


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(cmd, **kw):
    """Wall seconds and CPU seconds (of all its processes) of one command."""
    start, cpu = time.monotonic(), children_cpu()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)
    return time.monotonic() - start, children_cpu() - cpu


def time_in_root(root, args):
    """Wall seconds, peak resident kB, the result and CPU seconds of one
    command in the device root."""
    result = root.run(["/usr/bin/time", "-f", "TIME %e %M %U %S"] + args, timeout=900)
    line = [l for l in result.stderr.splitlines() if l.startswith("TIME ")][-1]
    _, seconds, kb, user, system = line.split()
    return float(seconds), int(kb), result, float(user) + float(system)


def installed_root(devroot, data):
    import testdata
    rpms = genrepo.build_installed(os.path.join(data, "installed"), INSTALLED)
    root = devroot.DeviceRoot()
    testdata.install(root, rpms, justdb=True)
    return root


# The reader floor of a primary file in each compression.
FLOORS = {
    "gzip": lambda primary: ["xmllint", "--stream", "--noout", primary],
    "zstd": lambda primary: ["sh", "-c", "zstd -dc '%s' | xmllint --stream --noout -" % primary],
}


def check_repo(data, size, compression):
    """The repository of `size` packages with its primary in `compression`;
    returns (repository, primary path)."""
    repo = os.path.join(data, "repo-%d" % size)
    if not os.path.isdir(os.path.join(repo, "repodata")):
        genrepo.write_repo(repo, size, INSTALLED)
    if compression == "zstd":
        gzip_repo, repo = repo, os.path.join(data, "repo-%d-zstd" % size)
        if not os.path.isdir(os.path.join(repo, "repodata")):
            genrepo.zstd_copy(repo, gzip_repo)
    suffix = {"gzip": "primary.xml.gz", "zstd": "primary.xml.zst"}[compression]
    primary = [f for f in os.listdir(os.path.join(repo, "repodata")) if f.endswith(suffix)][0]
    return repo, os.path.join(repo, "repodata", primary)


def bench_check(build, data, sizes, compressions):
    import devroot
    print("== check-only: parse and selection (%d installed packages)" % INSTALLED)
    # CPU seconds beside wall seconds: on a shared machine the wall clock
    # of a single-threaded run varies with the load, its CPU time much less.
    print("%8s %6s %8s %6s %8s %6s %9s %8s %8s %8s %7s %6s %6s %8s" % (
        "packages", "format", "floor s", "cpu s", "parse s", "ratio", "select s", "peak MB", "run s", "cpu s",
        "run MB", "ratio", "cpu r", "updates"))
    root = installed_root(devroot, data)
    try:
        for size in sizes:
            for compression in compressions:
                repo, primary = check_repo(data, size, compression)
                floor, floor_cpu = best_of(3, lambda: timed(FLOORS[compression](primary)))
                parsed = best_of(3, lambda: _bench_resolve(root, build, primary))
                stats = parsed[1]
                cache = "/var/cache/updater/base"
                root.check(["rm", "-rf", cache])
                root.check(["mkdir", "-p", cache])
                root.check(["cp", os.path.join(repo, "repodata", "repomd.xml"), primary, cache + "/"])
                root.write_config(location="http://127.0.0.1:9/")
                run = best_of(3, lambda: time_in_root(root, [os.path.join(build, "updater"), "--check-only",
                                                              "--cache-only", "--no-md-sig-check", "--quiet"]))
                updates = [l for l in run[2].stderr.splitlines() if "need to update" in l]
                print("%8d %6s %8.2f %6.2f %8.2f %6.2f %9.2f %8.1f %8.2f %8.2f %7.1f %6.2f %6.2f %8s" % (
                    size, compression, floor, floor_cpu, stats["parse_s"], stats["parse_s"] / floor,
                    stats["resolve_s"], stats["peak_kb"] / 1024.0, run[0], run[3], run[1] / 1024.0, run[0] / floor,
                    run[3] / floor_cpu, updates[0].split("(")[1].split()[0] if updates else "?"), flush=True)
    finally:
        root.close()


def _bench_resolve(root, build, primary):
    result = root.run([os.path.join(build, "bench", "bench_resolve"), primary], timeout=900)
    if result.returncode != 0:
        raise RuntimeError("bench_resolve failed: %r" % result)
    stats = json.loads(result.stdout)
    return (stats["parse_s"], stats)


UPDATE_COUNT = 300
UPDATE_TRIALS = 5


def signed_update_repo(data, count):
    """Release 1 and a signed release 2 of `count` packages, with a signed
    repository of release 2 (built once, kept under data)."""
    import testdata
    old = genrepo.build_update_set(os.path.join(data, "update-1"), count, "1.0")
    new = genrepo.build_update_set(os.path.join(data, "update-2"), count, "2.0")
    key = testdata.Key("bench-update")
    signed_dir = os.path.join(data, "update-2-signed")
    repo = os.path.join(data, "update-repo")
    marker = os.path.join(repo, ".complete-%d" % count)
    if not os.path.exists(marker):
        shutil.rmtree(signed_dir, ignore_errors=True)
        shutil.rmtree(repo, ignore_errors=True)
        os.makedirs(signed_dir)
        for path in new:
            shutil.copy(path, signed_dir)
        signed = sorted(os.path.join(signed_dir, os.path.basename(p)) for p in new)
        subprocess.run(["rpmsign", "--addsign", "--define", "_gpg_name " + key.uid, "--define", "_gpg_path " + key.home,
                        "--define", "__gpg /usr/bin/gpg"] + signed, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin", "HOME": key.home, "LANG": "C"})
        testdata.make_repo(repo, signed, key=key)
        open(marker, "w").close()
    signed = sorted(os.path.join(repo, os.path.basename(p)) for p in new)
    return old, signed, repo, key


def release_1_root(devroot, old, key):
    """A device root with release 1 installed by rpm and the release key imported."""
    import testdata
    root = devroot.DeviceRoot()
    for name in ("telinit", "shutdown"):
        root.install_standin("/usr/local/sbin/" + name)
    testdata.install(root, old, nodeps=False)
    key.import_into(root)
    return root


def bench_update(build, data):
    import devroot
    count = UPDATE_COUNT
    print("== update: %d signed packages from a local repository, %d trials" % (count, UPDATE_TRIALS))
    old, signed, repo, key = signed_update_repo(data, count)
    rpm_args = ["rpm", "--define=__nofsync nofsync", "-v", "-U"] + signed
    updater = os.path.join(build, "updater")
    figures = {"rpm": [], "check": [], "update": []}
    for _ in range(UPDATE_TRIALS):
        root = release_1_root(devroot, old, key)
        try:
            seconds, _, result, _ = time_in_root(root, rpm_args)
            if result.returncode != 0:
                raise RuntimeError("rpm -U failed: %r" % result)
            figures["rpm"].append(seconds)
        finally:
            root.close()
        root = release_1_root(devroot, old, key)
        try:
            root.write_config(location=repo)
            for mode, args in (("check", ["--check-only"]), ("update", [])):
                seconds, kb, result, _ = time_in_root(root, [updater, "--max-wait-time", "-1"] + args)
                if result.returncode != 0 or "INFO: --- %d UPDATE(S) ---" % count not in result.lines:
                    raise RuntimeError("updater %s failed: %r" % (mode, result))
                figures[mode].append(seconds)
            installed = root.check(["rpm", "-q", "--qf", "%{VERSION}\n"] + [genrepo.update_name(i) for i in range(count)])
            if set(installed.stdout.split()) != {"2.0"}:
                raise RuntimeError("the update left other versions: %r" % installed)
        finally:
            root.close()
    # Each trial's rpm and updater ran back to back; the machine's load
    # drifts between trials, so each update is judged against its own rpm.
    print("%6s %10s %10s %10s %10s %8s" % ("trial", "rpm -U s", "check s", "update s", "bound s", "ratio"))
    ratios = []
    for i, (rpm, check, update) in enumerate(zip(figures["rpm"], figures["check"], figures["update"])):
        bound = 1.15 * rpm + check
        ratios.append(update / bound)
        print("%6d %10.2f %10.2f %10.2f %10.2f %8.2f" % (i + 1, rpm, check, update, bound, update / bound))
    rpm, check, update = (min(figures[k]) for k in ("rpm", "check", "update"))
    median = sorted(ratios)[len(ratios) // 2]
    print("%6s %10.2f %10.2f %10.2f %10.2f %8.2f  (best of each; median update/bound %.2f: %s)" % (
        "best", rpm, check, update, 1.15 * rpm + check, update / (1.15 * rpm + check), median,
        "within" if median <= 1.0 else "OVER"), flush=True)


DOWNLOAD_PORT = 8090


def download_repo(data, megabytes):
    import testdata
    rpm = testdata.build(testdata.Pkg("bigpayload%d" % megabytes, payload_size=megabytes * 1024 * 1024))
    repo = os.path.join(data, "download-%d" % megabytes)
    if not os.path.isdir(os.path.join(repo, "repodata")):
        testdata.make_repo(repo, [rpm])
    return repo, os.path.basename(rpm)


def _bench_fetch(root, build):
    result = root.run([os.path.join(build, "bench", "bench_download"), "http://127.0.0.1:%d/" % DOWNLOAD_PORT,
                       "/var/cache/updater"], timeout=600)
    if result.returncode != 0:
        raise RuntimeError("bench_download failed: %r" % result)
    stats = json.loads(result.stdout)
    return (stats["fetch_s"], stats)


def _curl_and_hash(root, name):
    """Seconds of curl into a file and of sha256sum of it, timed inside the root."""
    script = ('rm -f /var/cache/updater/floor.rpm; s=$(date +%%s%%N); '
              'curl -s -o /var/cache/updater/floor.rpm http://127.0.0.1:%d/%s; m=$(date +%%s%%N); '
              'sha256sum /var/cache/updater/floor.rpm >/dev/null; e=$(date +%%s%%N); echo $((m - s)) $((e - m))'
              % (DOWNLOAD_PORT, name))
    curl, sha = root.check(["sh", "-c", script]).stdout.split()
    return int(curl) / 1e9, int(sha) / 1e9


def bench_download(build, data, sizes):
    import devroot
    print("== download: fetchPackages of one package over loopback HTTP (static sendfile server)")
    print("%6s %8s %8s %12s %10s %8s %6s %9s %10s" % ("MB", "curl s", "sha s", "curl+sha s", "fetch s", "(hash s)",
                                                       "ratio", "MB/s", "peak MB"))
    for megabytes in sizes:
        repo, name = download_repo(data, megabytes)
        root = devroot.DeviceRoot(hook=False, rpmdb=False)
        try:
            ready = os.path.join(root.base, "server-ready")
            root.start_server([os.path.join(build, "bench", "staticserver"), repo, str(DOWNLOAD_PORT), ready],
                              ready_file=ready)
            floors, fetches = [], []
            for _ in range(5):  # alternated, so that both see the same machine
                floors.append(_curl_and_hash(root, name))
                fetches.append(_bench_fetch(root, build)[1])
            floor = min(floors, key=sum)
            best = min(fetches, key=lambda stats: stats["fetch_s"])
            peak = max(stats["peak_kb"] for stats in fetches)
            print("%6d %8.3f %8.3f %12.3f %10.3f %8.3f %6.2f %9.0f %10.1f" % (
                megabytes, floor[0], floor[1], sum(floor), best["fetch_s"], best["hash_s"], best["fetch_s"] / sum(floor),
                best["bytes"] / 1048576.0 / best["fetch_s"], peak / 1024.0), flush=True)
        finally:
            root.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(top, "build"))
    parser.add_argument("--sizes", default="1000,10000,60000")
    parser.add_argument("--compressions", default="gzip,zstd", help="primary compressions for check")
    parser.add_argument("--download-sizes", default="50,200", help="package sizes in MB")
    parser.add_argument("which", nargs="*", default=["check"])
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.environ["UPDATER_BUILD_DIR"] = args.build
    data = os.path.join(args.build, "bench-data")
    os.makedirs(data, exist_ok=True)
    if "check" in args.which:
        bench_check(args.build, data, [int(s) for s in args.sizes.split(",")], args.compressions.split(","))
    if "update" in args.which:
        bench_update(args.build, data)
    if "download" in args.which:
        bench_download(args.build, data, [int(s) for s in args.download_sizes.split(",")])


if __name__ == "__main__":
    main()

"""Builds the real repositories the repository unit tests load: packages made
by rpmbuild, metadata by createrepo_c. Usage: make_test_repos.py OUTDIR

OUTDIR/sha256 and OUTDIR/sha hold the same packages, with SHA-256 and with
SHA-1 ("sha") checksums; packages.txt in each lists its package files, one a
line, for the test to query with rpm.
"""

import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from testdata import Pkg, build_all, make_repo  # noqa: E402

PACKAGES = [
    Pkg("alpha", "1.0", "1", group="Applications/Text"),
    Pkg("alpha", "1.1", "1", group="Applications/Text"),
    Pkg("alpha", "2.0", "3", provides=["alpha-api = 2"]),
    Pkg("beta", "3.0", "7", epoch=2, arch="x86_64", group="System Environment/Base",
        provides=["beta-api = 3.0", "virtual-thing", "beta-compat = 1:2.5-4"],
        requires=["alpha >= 1.1", "alpha < 3.0", "gamma = 1:2.0-5", "delta <= 4", "eps > 0.5", "zeta",
                  "/bin/sh"],
        obsoletes=["oldbeta < 2.0", "older-beta", "ancient-beta <= 1:1.0-1"],
        recommends=["alpha-doc"]),
    Pkg("gamma", "2.0", "5", epoch=1, provides=["delta = 4.0"], obsoletes=["gamma-old"]),
    Pkg("eps", "1.0", "1", arch="x86_64", requires=["gamma > 1:1.0", "alpha = 2.0-3"]),
]


def main():
    out = os.path.abspath(sys.argv[1])
    rpms = build_all(PACKAGES)
    for name, checksum in (("sha256", "sha256"), ("sha", "sha")):
        repo = os.path.join(out, name)
        shutil.rmtree(repo, ignore_errors=True)
        make_repo(repo, rpms, extra_args=["--checksum", checksum])
        with open(os.path.join(repo, "packages.txt"), "w") as f:
            for path in rpms:
                f.write(os.path.basename(path) + "\n")


if __name__ == "__main__":
    main()

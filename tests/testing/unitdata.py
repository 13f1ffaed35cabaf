"""Builds the real data the unit tests read, with the builders of
tests/e2e/testdata.py. Usage: unitdata.py OUTDIR

OUTDIR/packages   packages for the rpm database tests (rpmbuild)
OUTDIR/repos/sha256, OUTDIR/repos/sha   the same packages in repositories
                  with SHA-256 and SHA-1 checksums (createrepo_c), and
                  packages.txt listing their files
OUTDIR/keys/NAME.pub     each key as gpg exports it (binary; NAME.asc armored)
OUTDIR/keys/NAME.facts   "key ID, subkey IDs, newest creation time"
OUTDIR/signed/NAME/      the signature test packages signed by the key
OUTDIR/docs/index.xml    a document, with NAME.asc (armored) and NAME.sig
                  (binary) detached signatures, NAME.text.sig in text mode,
                  and NAME.fields: gpg's own reading of NAME.sig
"""

import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from testdata import Key, Pkg, build_all, make_repo  # noqa: E402

DATABASE = [
    Pkg("alpha", requires=["beta >= 2.0", "gamma", "(delta or epsilon)"], recommends=["weak-extra"],
        provides=["alpha-cap = 3.1-2", "plain-cap"]),
    Pkg("beta", "2.5", "4", epoch=3, provides=["beta-compat = 1:2.0"]),
    Pkg("bigepoch", epoch=70000, requires=["beta < 1:0"]),
    Pkg("zeroepoch", epoch=0),
    Pkg("twin", "1.0", requires=["beta"]),
    Pkg("twin", "2.0", requires=["beta"]),
    Pkg("signed", summary="Header text of the signature test package", payload_size=16384),
    Pkg("signed-other", payload_size=16384),
]

REPOSITORY = [
    Pkg("alpha", "1.0", "1", group="Applications/Text"),
    Pkg("alpha", "1.1", "1", group="Applications/Text"),
    Pkg("alpha", "2.0", "3", provides=["alpha-api = 2"]),
    Pkg("beta", "3.0", "7", epoch=2, arch="x86_64", group="System Environment/Base",
        provides=["beta-api = 3.0", "virtual-thing", "beta-compat = 1:2.5-4"],
        requires=["alpha >= 1.1", "alpha < 3.0", "gamma = 1:2.0-5", "delta <= 4", "eps > 0.5", "zeta", "/bin/sh"],
        obsoletes=["oldbeta < 2.0", "older-beta", "ancient-beta <= 1:1.0-1"], recommends=["alpha-doc"]),
    Pkg("gamma", "2.0", "5", epoch=1, provides=["delta = 4.0"], obsoletes=["gamma-old"]),
    Pkg("eps", "1.0", "1", arch="x86_64", requires=["gamma > 1:1.0", "alpha = 2.0-3"]),
]

# name: (algorithm, subkey algorithm and usage or None). rsa, dsa and
# subkeyed go into the device's rpm database; outsider stays outside.
KEYS = {"rsa": ("rsa2048", "rsa2048 encr"), "dsa": ("dsa2048", None), "subkeyed": ("rsa2048", "rsa2048 sign"),
        "outsider": ("rsa2048", None), "eddsa": ("ed25519", "cv25519 encr")}


def make_key(name, algorithm, subkey):
    key = Key("unit-" + name, algorithm)
    listing = lambda: key._gpg("--list-keys", "--with-colons", key.uid).stdout  # noqa: E731
    if subkey and "\nsub:" not in listing():
        fingerprint = listing().split("\nfpr:")[1].split(":")[8]
        key._gpg("--batch", "--passphrase", "", "--quick-add-key", fingerprint, *subkey.split(), "never")
    rows = [line.split(":") for line in listing().splitlines()]
    subkeys = [row[4].lower() for row in rows if row[0] == "sub"]
    newest = max(int(row[5]) for row in rows if row[0] in ("pub", "sub"))
    return key, "%s %s %d\n" % (key.keyid, ",".join(subkeys) or "-", newest)


def main():
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    for sub in ("packages", "keys", "docs"):
        os.makedirs(os.path.join(out, sub))
    packages = build_all(DATABASE)
    for path in packages:
        shutil.copy(path, os.path.join(out, "packages"))
    rpms = build_all(REPOSITORY)
    for checksum in ("sha256", "sha"):
        repo = make_repo(os.path.join(out, "repos", checksum), rpms, extra_args=["--checksum", checksum])
        with open(os.path.join(repo, "packages.txt"), "w") as f:
            f.write("".join(os.path.basename(path) + "\n" for path in rpms))
    document = os.path.join(out, "docs", "index.xml")
    with open(document, "w") as f:
        f.write("<repomd>signed index</repomd>\n")
    for name, (algorithm, subkey) in KEYS.items():
        key, facts = make_key(name, algorithm, subkey)
        with open(os.path.join(out, "keys", name + ".facts"), "w") as f:
            f.write(facts)
        with open(os.path.join(out, "keys", name + ".pub"), "wb") as f:
            f.write(subprocess.run(["gpg", "--homedir", key.home, "--export", key.uid], capture_output=True,
                                   check=True).stdout)
        with open(os.path.join(out, "keys", name + ".asc"), "w") as f:
            f.write(key._gpg("--armor", "--export", key.uid).stdout)
        for path in packages[-2:]:
            key.sign_rpm(path, os.path.join(out, "signed", name))
        key.detach_sign(document, document + "." + name + ".asc")
        binary = document + "." + name + ".sig"
        key._gpg("--batch", "--yes", "--detach-sign", "-u", key.uid, "-o", binary, document)
        key._gpg("--batch", "--yes", "--textmode", "--detach-sign", "-u", key.uid, "-o",
                 document + "." + name + ".text.sig", document)
        listing = key._gpg("--list-packets", binary).stdout
        fields = [re.search(pattern, listing).group(1) for pattern in (
            r"algo (\d+), keyid", r"version (\d+), created", r"created (\d+),", r"digest algo (\d+),")]
        with open(document + "." + name + ".fields", "w") as f:
            f.write(" ".join(fields) + "\n")


if __name__ == "__main__":
    main()

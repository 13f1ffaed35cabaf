"""The steps of docs/publishing.md, run as they stand, so that the guide stays true."""

import os
import pathlib
import re
import shutil
import subprocess

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "publishing.md")


def blocks(where):
    """The guide's shell blocks whose first line is "# <where>", in order."""
    found = re.findall(r"^```sh\n# (\w+)\n(.*?)^```$", pathlib.Path(GUIDE).read_text(), re.M | re.S)
    return [code for tag, code in found if tag == where]


def publish(directory, rpm_paths, key, steps=None):
    """`directory`/repo made by the guide's vendor blocks (`steps` picks some by position)."""
    repo = os.path.join(directory, "repo")
    os.makedirs(repo, exist_ok=True)
    for path in rpm_paths:
        shutil.copy(path, repo)
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": key.home, "LANG": "C", "GNUPGHOME": key.home,
           "KEY": key.uid, "REPO": repo}
    vendor = blocks("vendor")
    for number, code in enumerate(vendor):
        if steps is None or number in steps:
            subprocess.run(["sh", "-ec", code], env=env, check=True, capture_output=True, cwd=repo)
    return repo


def import_key(root, key_file):
    root.write("/tmp/image/updates-key.asc", pathlib.Path(key_file).read_text())
    for code in blocks("image"):
        root.check(["sh", "-ec", code], env={"IMAGE": "/"}, cwd="/tmp/image")

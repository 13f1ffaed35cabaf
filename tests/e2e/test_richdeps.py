"""Rich (boolean) requires built by rpmbuild: the updater's selection is what
the real rpm installs, and what nothing can meet is reported with its text,
as rpm reports it."""

import os

import release
from testdata import Pkg
from harness import FIVE, UpdateTestCase, nevras

# Alternatives, each a package of its own name; the comment names the one the
# rich requires below take.
EXTRAS = [
    Pkg("fast", provides=["libfast = 1"]),  # too old for libfast >= 2
    Pkg("slow", provides=["libslow"]),  # taken
    Pkg("help-viewer"),  # taken: addon-docs is installed
    Pkg("gui-kit"),
    Pkg("console-kit"),  # taken: no display
    Pkg("plugin-a", provides=["plugin-api", "plugin-abi = 1"]),
    Pkg("plugin-b", provides=["plugin-api", "plugin-abi = 2"]),  # taken: both from one package
    Pkg("codec-a", provides=["codec", "codec-legacy"]),
    Pkg("codec-b", provides=["codec"]),  # taken: codec without codec-legacy
    Pkg("tool-x"),  # taken: first of the or
    Pkg("tool-y"),
    Pkg("tool-z"),  # taken: app is installed after the update
]
TAKEN = ["slow", "help-viewer", "console-kit", "plugin-b", "codec-b", "tool-x", "tool-z"]

MET = ["(libcore.so.2 and (libfast >= 2 or libslow))", "(help-viewer if addon-docs)",
       "(gui-kit if no-such-display else console-kit)", "(plugin-api with plugin-abi = 2)",
       "(codec without codec-legacy)", "((tool-x or tool-y) and (tool-z if app))"]

# Nothing in the repository meets these.
UNMET = ["(libnone >= 1 or libalsonone)", "(plugin-api with plugin-abi = 3)", "(libnone if addon-docs)",
         "(codec-legacy without codec)"]


def rich_app(requires):
    return Pkg("app", version="2", requires=requires, files={"/usr/share/app/VERSION": "app 2\n"})


class RichRequires(UpdateTestCase):
    def test_update_installs_what_the_rich_requires_select(self):
        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[rich_app(MET)], extra=EXTRAS)))
        result = self.updater("--no-md-sig-check", "--no-reboot")
        self.assertEqual(result.returncode, 0, result)
        self.assertFalse([line for line in result.lines if "unsatisfied" in line or "Failed dep" in line], result)
        self.assertEqual(result.lines.count("INFO: packages installed OK"), 2, result)
        installed = nevras(self.root)
        self.assertIn("app-2-1", installed)
        self.assertEqual(sorted(p.name for p in EXTRAS if "%s-1.0-1" % p.name in installed), sorted(TAKEN))

    def test_requires_that_nothing_meets_are_reported_as_rpm_reports_them(self):
        repo = self.repo(release.variant(2, drop=FIVE, replace=[rich_app(MET + UNMET)], extra=EXTRAS))
        self.use_cache_of(repo)
        result = self.updater("--check-only", "--cache-only", "--no-md-sig-check")
        self.assertLinesInOrder(result, ["ERROR: unsatisfied non-file dependencies:"] +
                                ["ERROR: \t" + text for text in sorted(UNMET)] + ["ERROR: cannot update"])
        reported = [line for line in result.lines if line.startswith("ERROR: \t(")]
        self.assertEqual(len(reported), len(UNMET), result)
        # rpm, given app and every package that could meet its requires, fails the same ones.
        staged = ["/tmp/rpms/" + name for name in sorted(os.listdir(repo)) if name.endswith(".rpm")]
        for path in staged:
            with open(os.path.join(repo, os.path.basename(path)), "rb") as f:
                self.root.write(path, f.read())
        rpm = self.root.run(["rpm", "-U", "--test", "--nosignature"] + staged)
        failed = sorted(line.split(" is needed by ")[0].strip() for line in rpm.stderr.splitlines()
                        if " is needed by " in line)
        self.assertEqual(failed, sorted(UNMET), rpm.stderr)

"""Check-only selection from real repositories over a database rpm filled, rich requires included."""

import os
import pathlib

import release
from harness import FIVE, UPDATES_2, UpdateTestCase, info_lines, nevras, release_nevras
from testdata import Pkg

CHECK = ("--check-only", "--cache-only", "--no-md-sig-check")
RELEASE_2 = UPDATES_2[1:]


def app(*requires):
    return Pkg("app", version="3", requires=["libcore.so.2"] + list(requires), files={"/usr/share/app/VERSION": "3"})


# Packages, exit code, lines in order, update state, failure class.
CASES = (
    # app 3 needs libextra, which nothing installed carries: it is pulled.
    ("pulled", release.variant(2, replace=[app("libextra >= 1")], extra=[Pkg("libextra", provides=["libextra = 1.0"])]),
     0, ["INFO: --- 7 UPDATE(S) ---", "INFO: --- FIRMWARE 2-1 ---", "INFO: need to update (7 packages):"]
     + sorted(RELEASE_2[:2] + ["INFO: \tapp-3-1.noarch.rpm", "INFO: \tlibextra-1.0-1.noarch.rpm"] + RELEASE_2[3:])
     + ["INFO: --- EXIT OK ---"], "AVAILABLE", None),
    ("nothing newer", release.packages(1), 0,
     ["INFO: --- 0 UPDATE(S) ---", "INFO: no updates", "INFO: --- EXIT OK ---"], "COMPLETE", None),
    # The repository's updater 9.0 meets app's requires, the running one does not: the updater goes first.
    ("newer updater", release.variant(2, replace=[Pkg("updater", version="9.0", provides=["updater-running = 9.0"]),
                                                  app("updater-running >= 9", "updater-running > 1.8.3",
                                                      "updater-running < 10")]),
     0, ["ERROR: newer updater required to install: updater-running > 0:1.8.3",
         "ERROR: newer updater required to install: updater-running >= 0:9",
         "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
         "INFO: --- 1 UPDATE(S) ---", "INFO: --- UPDATER 9.0-1 ---", "INFO: need to update (1 packages):",
         "INFO: \tupdater-9.0-1.noarch.rpm", "INFO: --- EXIT OK ---"], "AVAILABLE", None),
    ("unsatisfied", release.variant(2, drop=["updater"], replace=[app("libmissing >= 2", "/usr/bin/missing")]),
     1, ["ERROR: unsatisfied non-file dependencies:", "ERROR: \tlibmissing >= 0:2", "ERROR: cannot update",
         "ERROR: failed updating, will try updating updater only", "INFO: --- RETRY UPDATER ONLY ---",
         "INFO: --- 0 UPDATE(S) ---", "INFO: --- EXIT ERROR ---"], None, "dependency"),
)


class CheckOnly(UpdateTestCase):
    def test_selections_and_what_they_pull(self):
        for name, pkgs, code, lines, update_state, error_class in CASES:
            with self.subTest(name):
                self.root.remove("/var/lib/updater/update-state")
                self.use_cache_of(self.repo(pkgs, name=name.replace(" ", "-")))
                result = self.updater(*CHECK)
                self.assertRun(result, code, *lines)
                # Each pass is counted once, and only what is met is reported.
                self.assertEqual(len([line for line in result.lines if "UPDATE(S)" in line]), 1, result)
                self.assertFalse([line for line in result.lines if "/usr/bin/missing" in line], result)
                self.assertState("READY", update_state)
                self.assertRecord("error" if code else "ok", error_class)
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.hook_calls(), [["init", "1.8.3"]] * len(CASES))
        self.assertEqual(self.reboot_calls(), [])

    def test_quiet_prints_only_the_list(self):
        for pkgs, listed in ((release.packages(2), UPDATES_2),
                             (release.packages(1), [])):
            self.use_cache_of(self.repo(pkgs, name="release-%s" % pkgs[1].version))
            result = self.updater("--quiet", *CHECK)
            self.assertEqual((result.returncode, info_lines(result.stderr)), (0, ["INFO: running init hook"] + listed))


# Alternatives; the comment names those the rich requires below take.
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


class RichRequires(UpdateTestCase):
    def test_unmet_ones_are_reported_as_rpm_reports_them_and_met_ones_select_what_is_installed(self):
        repo = self.repo(release.variant(2, drop=FIVE, replace=[app(*MET, *UNMET)], extra=EXTRAS), name="unmet")
        self.use_cache_of(repo)
        result = self.updater(*CHECK)
        self.assertLinesInOrder(result, ["ERROR: unsatisfied non-file dependencies:"] +
                                ["ERROR: \t" + text for text in sorted(UNMET)] + ["ERROR: cannot update"])
        self.assertEqual(len([line for line in result.lines if line.startswith("ERROR: \t(")]), len(UNMET), result)
        # rpm, given app and every package that could meet its requires, fails the same ones.
        staged = ["/tmp/rpms/" + name for name in sorted(os.listdir(repo)) if name.endswith(".rpm")]
        for path in staged:
            self.root.write(path, pathlib.Path(repo, os.path.basename(path)).read_bytes())
        rpm = self.root.run(["rpm", "-U", "--test", "--nosignature"] + staged)
        self.assertEqual(sorted(line.split(" is needed by ")[0].strip() for line in rpm.stderr.splitlines()
                                if " is needed by " in line), sorted(UNMET), rpm.stderr)

        self.use_repo(self.repo(release.variant(2, drop=FIVE, replace=[app(*MET)], extra=EXTRAS), name="met"))
        result = self.updater("--no-md-sig-check", "--no-reboot")
        self.assertEqual(result.returncode, 0, result)
        self.assertFalse([line for line in result.lines if "unsatisfied" in line or "Failed dep" in line], result)
        self.assertEqual(result.lines.count("INFO: packages installed OK"), 2, result)
        installed = nevras(self.root)
        self.assertIn("app-3-1", installed)
        self.assertEqual(sorted(p.name for p in EXTRAS if "%s-1.0-1" % p.name in installed), sorted(TAKEN))

"""Check-only runs from the cache: a repository made by createrepo_c from real
packages, the cache laid out as the updater keeps it, and an rpm database
that rpm filled with release 1."""

import unittest

import release
from testdata import Pkg
from driverhelpers import info_lines
from updatehelpers import UpdateTestCase, nevras, release_nevras

CHECK = ("--check-only", "--cache-only", "--no-md-sig-check")
RELEASE_2_FILES = ["addon-docs-2-1.noarch.rpm", "addon-tools-2-1.noarch.rpm", "app-2-1.noarch.rpm",
                   "libcore-2-1.noarch.rpm", "product-release-2-1.noarch.rpm", "updater-1.8.3-2.noarch.rpm"]


def app(version="3", requires=()):
    return Pkg("app", version=version, requires=["libcore.so.2"] + list(requires), files={"/usr/share/app/VERSION": version})


class CheckOnly(UpdateTestCase):
    def check(self, pkgs, *args):
        self.use_cache_of(self.repo(pkgs))
        return self.updater(*(CHECK + args))

    def test_lists_the_updates_and_the_dependencies_they_pull(self):
        # app 3 needs libextra, which nothing installed carries: it is pulled.
        pkgs = release.variant(2, replace=[app(requires=["libextra >= 1"])],
                               extra=[Pkg("libextra", provides=["libextra = 1.0"])])
        result = self.check(pkgs)
        self.assertEqual(result.returncode, 0, result)
        files = sorted(RELEASE_2_FILES[:2] + ["app-3-1.noarch.rpm", "libextra-1.0-1.noarch.rpm"] + RELEASE_2_FILES[3:])
        self.assertEqual(info_lines(result.stderr)[-11:],
                         ["INFO: --- 7 UPDATE(S) ---", "INFO: --- FIRMWARE 2-1 ---",
                          "INFO: need to update (7 packages):"] + ["INFO: \t" + f for f in files] + ["INFO: --- EXIT OK ---"])
        self.assertState("READY", "AVAILABLE")
        self.assertEqual(nevras(self.root), release_nevras(1))
        self.assertEqual(self.hook_calls(), [["init", "1.8.3"]])
        self.assertFalse(self.root.exists("/var/log/standins/telinit"))

    def test_updater_line_without_the_release_package(self):
        result = self.check(release.variant(2, drop=["product-release"]))
        self.assertIn("INFO: --- UPDATER 1.8.3-2 ---", result.lines, result)
        self.assertFalse([line for line in result.lines if "FIRMWARE" in line])

    def test_nothing_newer(self):
        result = self.check(release.packages(1))
        self.assertEqual(result.returncode, 0, result)
        self.assertLinesInOrder(result, ["INFO: --- 0 UPDATE(S) ---", "INFO: no updates", "INFO: --- EXIT OK ---"])
        self.assertFalse([line for line in result.lines if "need to" in line])
        self.assertState("READY", "COMPLETE")

    def test_quiet_prints_only_the_list(self):
        self.use_cache_of(self.repo(release.packages(2)))
        result = self.updater("--quiet", *CHECK)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook", "INFO: need to update (6 packages):"]
                         + ["INFO: \t" + f for f in RELEASE_2_FILES])
        self.use_cache_of(self.repo(release.packages(1), name="repo1"))
        result = self.updater("--quiet", *CHECK)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook"])
        self.assertEqual(result.returncode, 0, result)

    def test_named_packages_restrict_the_run_to_one_pass(self):
        self.root.write("/var/lib/updater/update-state", "PENDING\n")
        self.use_cache_of(self.repo(release.packages(2)))
        result = self.updater("--log-level", "debug", *(CHECK + ("app",)))
        self.assertEqual(result.returncode, 0, result)
        # app 2 needs libcore.so.2: the selection is app, the pull libcore.
        self.assertLinesInOrder(result, ["INFO: --- 2 UPDATE(S) ---", "INFO: need to update (2 packages):",
                                         "INFO: \tapp-2-1.noarch.rpm", "INFO: \tlibcore-2-1.noarch.rpm"])
        self.assertEqual(len([line for line in result.lines if line == "DEBUG: resolving for newer packages"]), 1)
        self.assertState("READY", "PENDING")

    def test_newer_updater_required_then_updater_only_retry(self):
        # The repository's updater 9.0 meets app's requires; the running
        # updater does not, so only the updater may go first.
        newer = Pkg("updater", version="9.0", provides=["updater-running = 9.0"])
        pkgs = release.variant(2, replace=[newer, app(requires=["updater-running >= 9", "updater-running > 1.8.3",
                                                                "updater-running < 10"])])
        result = self.check(pkgs)
        self.assertLinesInOrder(result, [
            "ERROR: newer updater required to install: updater-running > 0:1.8.3",
            "ERROR: newer updater required to install: updater-running >= 0:9",
            "ERROR: failed updating, will try updating updater only",
            "INFO: --- RETRY UPDATER ONLY ---",
            "INFO: --- 1 UPDATE(S) ---", "INFO: --- UPDATER 9.0-1 ---",
            "INFO: need to update (1 packages):", "INFO: \tupdater-9.0-1.noarch.rpm",
            "INFO: --- EXIT OK ---"])
        self.assertEqual(len([line for line in result.lines if "newer updater required" in line]), 2, result)
        self.assertEqual(len([line for line in result.lines if "UPDATE(S)" in line]), 1, result)
        self.assertEqual(result.returncode, 0, result)
        self.assertState("READY", "AVAILABLE")

    def test_unsatisfied_dependencies_are_reported(self):
        pkgs = release.variant(2, drop=["updater"], replace=[app(requires=["libmissing >= 2", "/usr/bin/missing"])])
        result = self.check(pkgs)
        self.assertLinesInOrder(result, ["ERROR: unsatisfied non-file dependencies:", "ERROR: \tlibmissing >= 0:2",
                                         "ERROR: cannot update", "ERROR: failed updating, will try updating updater only",
                                         "INFO: --- RETRY UPDATER ONLY ---", "INFO: --- 0 UPDATE(S) ---",
                                         "INFO: --- EXIT ERROR ---"])
        self.assertFalse([line for line in result.lines if "/usr/bin/missing" in line], result)
        self.assertEqual(result.returncode, 1, result)
        self.assertState("READY", None)
        self.assertRecord("error", "dependency")


if __name__ == "__main__":
    unittest.main()

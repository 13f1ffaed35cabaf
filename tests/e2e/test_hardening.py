"""What the agent leaves to others and takes from them: the descriptors its
child programs inherit, the modes of the files it creates whatever the
caller's umask, and log lines that a repository's texts cannot forge."""

import gzip
import os
import stat
import subprocess
import unittest

import release
from devroot import UPDATER
from driverhelpers import LOCK_FILE, RootTestCase
from updatehelpers import CACHE_DIR, UpdateTestCase

CHECK = ("--check-only", "--cache-only", "--no-md-sig-check")

# Run by the hook stand-in: the descriptors a program it starts inherits, as
# "number target" lines, without the directory ls itself opens.
LIST_DESCRIPTORS = "ls -l /proc/self/fd/ | awk 'NR > 1 && $NF !~ /^\\/proc\\// {print $(NF - 2), $NF}' " \
                   "> /tmp/hook-fds\n"


def shell(command, *args):
    """The updater under test, started by sh after `command`."""
    return ["/bin/sh", "-c", command + '; exec "$0" "$@"', UPDATER] + list(args)


class Descriptors(RootTestCase):
    def test_hook_inherits_only_the_standard_descriptors(self):
        self.root.write("/etc/standins/hook.sh", LIST_DESCRIPTORS)
        result = self.updater("--log-to", "/tmp/run.log")
        self.assertExitLine(result, "ERROR")
        listed = self.root.read("/tmp/hook-fds").splitlines()
        self.assertEqual([line.split()[0] for line in listed], ["0", "1", "2"], listed)

    def test_closed_standard_descriptors_take_no_file_of_the_agent(self):
        # Left closed, standard error would be the next file opened: each line
        # would go to the last-run log twice, or into the lock file.
        result = self.root.run(shell("exec <&- >&- 2>&-"))
        self.assertEqual(result.returncode, 1, result)
        lastlog = self.root.lastlog().splitlines()
        self.assertEqual(lastlog.count("INFO: running init hook"), 1, lastlog)
        self.assertRegex(self.root.read(LOCK_FILE), r"^ *\d+\n$")


class FileModes(UpdateTestCase):
    def test_modes_do_not_depend_on_the_callers_umask(self):
        self.use_repo(self.repo(release.packages(2)))
        files = {LOCK_FILE: 0o644, "/var/log/updater/lastlog": 0o644, "/tmp/run.log": 0o644,
                 "/var/lib/updater/status": 0o644, "/var/lib/updater/update-state": 0o644,
                 CACHE_DIR: 0o755, CACHE_DIR + "/repomd.xml": 0o644}
        for umask in ("000", "077"):
            with self.subTest(umask=umask):
                for path in ("/tmp/run.log", "/var/lib/updater/update-state", LOCK_FILE, CACHE_DIR):
                    self.root.remove(path)
                result = self.root.run(shell("umask " + umask, "--log-to", "/tmp/run.log",
                                             *(self.ARGS + ("--check-only", "--no-md-sig-check"))))
                self.assertEqual(result.returncode, 0, result)
                modes = {path: stat.S_IMODE(os.stat(self.root.path(path)).st_mode) for path in files}
                self.assertEqual({path: oct(mode) for path, mode in modes.items()},
                                 {path: oct(mode) for path, mode in files.items()})


class ForgedLogLines(UpdateTestCase):
    def test_repository_texts_cannot_start_a_log_line(self):
        repo = self.repo(release.packages(2))
        forged = "app-2-1.noarch.rpm&#10;FATAL: forged line&#10;INFO: --- EXIT OK ---"
        self.replace_primary(repo, lambda text: text.replace('href="app-2-1.noarch.rpm"', 'href="%s"' % forged))
        self.use_cache_of(repo)
        result = self.updater(*CHECK)
        self.assertEqual(result.returncode, 0, result)
        for log in (result.lines, self.root.lastlog().splitlines()):
            self.assertNotIn("FATAL: forged line", log)
            self.assertEqual(log.count("INFO: --- EXIT OK ---"), 1, log)
            self.assertIn("INFO: \tapp-2-1.noarch.rpm\\x0aFATAL: forged line\\x0aINFO: --- EXIT OK ---", log)

    @staticmethod
    def replace_primary(repo, edit):
        """Edits the repository's primary file and has modifyrepo_c put the
        result in its place, checksums and sizes included."""
        repodata = os.path.join(repo, "repodata")
        old = [name for name in os.listdir(repodata) if name.endswith("primary.xml.gz")][0]
        with gzip.open(os.path.join(repodata, old), "rt") as f:
            text = edit(f.read())
        edited = os.path.join(repo, "primary.xml")
        with open(edited, "w") as f:
            f.write(text)
        subprocess.run(["modifyrepo_c", "--mdtype=primary", edited, repodata], check=True, capture_output=True)


if __name__ == "__main__":
    unittest.main()

"""Start-up of the real updater binary in a device root: options, the
configuration files, the start-up guards, the persisted status and the exit
line and code. Updates are not these runs' subject: their repository does
not exist, so a run that gets through start-up ends with ERROR."""

import os
import re
import unittest

from devroot import UPDATER
from driverhelpers import DEFAULTS_FILE, RootTestCase, config, info_lines, repository

STATUS_FILE = "/var/lib/updater/status"
REPO_LINE = "INFO: updating packages from repository '%s' (URI '%s')"


class RepositoryChoice(RootTestCase):
    def test_repo_url_replaces_the_location_after_the_first_colon(self):
        result = self.updater("--repo-url", "base:file:///media/repo")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn(REPO_LINE % ("Base", "file:///media/repo"), result.lines)
        self.assertExitLine(result, "ERROR")

    def test_malformed_repo_url_stops_before_the_run(self):
        for value, message in (("base", "missing ':' in --repo-url option"),
                               (":x", "missing ID in --repo-url option"),
                               ("base:", "missing URL in --repo-url option")):
            result = self.updater("--repo-url", value)
            self.assertEqual(result.returncode, 1, result)
            self.assertIn("ERROR: " + message, result.lines)
            self.assertNoExitLine(result)
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.status())

    def test_repo_url_for_an_unknown_repository_is_ignored(self):
        result = self.updater("--repo-url", "other:http://example.invalid/")
        self.assertIn("WARNING: ignoring URL override for non-existing repo 'other'", result.lines)
        self.assertIn(REPO_LINE % ("Base", "/var/lib/repo"), result.lines)
        self.assertExitLine(result, "ERROR")

    def test_two_enabled_repositories_need_repo(self):
        self.root.write_config(text=config(repository("base", "/var/lib/repo"),
                                           repository("extra", "http://127.0.0.1:9/extra"),
                                           repository("old", "/var/lib/old", enabled="false")))
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: only one active repository supported", result.lines)
        self.assertNoExitLine(result)

        result = self.updater("--repo", "old")  # disabled in the file: enabled, all others off
        self.assertIn(REPO_LINE % ("Old", "/var/lib/old"), result.lines)
        self.assertExitLine(result, "ERROR")

        result = self.updater("--repo", "nope")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: no repository with ID 'nope'", result.lines)
        self.assertNoExitLine(result)

    def test_no_enabled_repository_ends_after_writing_ready(self):
        self.root.write_config(text=config(repository("base", "/var/lib/repo", enabled="no")))
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: no active repository, nothing to do", result.lines)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(self.root.status(), "READY\n")
        self.assertEqual(len(self.hook_calls()), 1)


class ConfigurationFiles(RootTestCase):
    def test_malformed_configuration_file_ends_without_exit_line(self):
        self.root.write_config(text="<updater><repository id='base'>")
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: failed parsing configuration file '/etc/updater.conf'", result.lines)
        self.assertNoExitLine(result)
        self.assertIsNone(self.root.status())
        self.assertRecord("error", "configuration", state=None)

        result = self.updater("--conf-file", "/etc/missing.conf")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: failed parsing configuration file '/etc/missing.conf'", result.lines)

    def test_defaults_file_and_configuration_file_merge(self):
        self.root.write(DEFAULTS_FILE, config(
            repository("base", "http://127.0.0.1:9/defaults"),
            repository("spare", "/var/lib/spare", enabled="false"),
            "<product><name>Defaults Product</name></product>", log=""))
        # The configuration file redefines "base" and names the product; the
        # defaults file's "spare" stays available for --repo.
        self.root.write_config(text=config(
            repository("base", "/var/lib/configured"),
            "<product><name>Lumen 7</name></product>"))
        result = self.updater("--log-level", "debug")
        self.assertIn("DEBUG: replacing default definition of repo 'base'", result.lines, result)
        self.assertIn("INFO: updater version 1.8.3, product Lumen 7", result.lines)
        self.assertIn(REPO_LINE % ("Base", "/var/lib/configured"), result.lines)
        result = self.updater("--repo", "spare")
        self.assertIn(REPO_LINE % ("Spare", "/var/lib/spare"), result.lines, result)

    def test_defaults_repository_counts_as_enabled(self):
        self.root.write(DEFAULTS_FILE, config(repository("local-usb", "/media/usb1/updates"), log=""))
        result = self.updater()
        self.assertIn("ERROR: only one active repository supported", result.lines, result)
        self.assertNoExitLine(result)

    def test_missing_defaults_file_is_only_a_debug_message(self):
        self.root.remove(DEFAULTS_FILE)
        result = self.updater("--log-level", "trace")
        self.assertIn("DEBUG: missing or incorrect defaults file '%s'" % DEFAULTS_FILE, result.lines, result)
        self.assertIn("DEBUG: initialized OK", result.lines)
        self.assertExitLine(result, "ERROR")

    def test_proxy_file_as_reported_at_start(self):
        cases = (("8080", "INFO: using HTTP proxy 'proxy.lan' port 8080"),
                 ("65534", "INFO: using HTTP proxy 'proxy.lan' port 65534"),
                 ("65535", None), ("80x", None))
        for port, line in cases:
            self.root.write("/etc/network/vrkproxy.conf",
                            '<proxyconf><proxy server="proxy.lan" port="%s"/></proxyconf>' % port)
            result = self.updater()
            proxy_lines = [text for text in result.lines if "using HTTP proxy" in text]
            if line:
                self.assertEqual(proxy_lines, [line], result)
            else:
                self.assertEqual(proxy_lines, [], result)
                self.assertIn("ERROR: invalid port number '%s'" % port, result.lines)


class Logging(RootTestCase):
    def test_without_stderr_or_syslog_stderr_is_enabled(self):
        self.root.write_config(text=config(repository("base", "/var/lib/repo"), log='<log level="info"/>'))
        result = self.updater()
        self.assertIn("ERROR: no log output! enabling stderr", result.lines, result)
        self.assertExitLine(result, "ERROR")

    def test_quiet_keeps_only_hook_and_error_lines(self):
        self.root.write("/etc/network/vrkproxy.conf", '<proxyconf><proxy server="p" port="3128"/></proxyconf>')
        result = self.updater("--quiet")
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(info_lines(result.stderr), ["INFO: running init hook"], result)
        self.assertEqual(info_lines(self.root.lastlog()), ["INFO: running init hook"])

    def test_log_to_file_gets_configuration_parsing_and_appends(self):
        for _ in range(2):
            self.updater("--log-to", "/tmp/run.log", "--log-level", "debug")
        log = self.root.read("/tmp/run.log").splitlines()
        self.assertEqual(log.count("INFO: --- EXIT ERROR ---"), 2)
        self.assertIn("DEBUG: initialized OK", log)
        # Configuration parsing is logged: the proxy file of the device is absent.
        self.assertIn("DEBUG: no proxy configuration file '/etc/network/vrkproxy.conf'", log)

    def test_lastlog_holds_the_locked_part_of_the_last_run(self):
        self.updater("--repo-url", "base:/var/lib/first")
        self.updater("--repo-url", "base:/var/lib/second", "--log-level", "debug")
        lastlog = self.root.lastlog().splitlines()
        self.assertEqual(lastlog[0], "INFO: updater version 1.8.3, product ")
        self.assertIn(REPO_LINE % ("Base", "/var/lib/second"), lastlog)
        self.assertNotIn(REPO_LINE % ("Base", "/var/lib/first"), lastlog)
        self.assertFalse([line for line in lastlog if line.startswith("DEBUG")])


class CommandLine(RootTestCase):
    def test_help_lists_the_options_in_order_and_ends_before_the_run(self):
        result = self.updater("--help")
        self.assertEqual(result.returncode, 0, result)
        # The option table is an interface: its order and names stay as they are.
        options = re.findall(r"^\s+(?:-\S, )?(--[a-z-]+)", result.stdout, re.M)
        self.assertEqual(options, [
            "--quiet", "--log-level", "--repo", "--repo-url", "--log-to-stderr", "--log-to", "--check-only", "--test",
            "--no-sig-check", "--no-pkg-sig-check", "--no-md-sig-check", "--no-reboot", "--background",
            "--cache-only", "--no-cache-clean", "--check-db-headers", "--max-wait-time", "--lock-timeout",
            "--cache-dir", "--conf-file", "--allow-metadata-rollback", "--version", "--clear-reboot-status", "--help",
            "--usage"])
        text = " ".join(result.stdout.split())
        for help_text in ("-r, --repo=repo-id Use the specified repo from the configuration file instead of the default.",
                          "--cache-dir=<dir> Specify a cache directory other than the default.",
                          "--conf-file=<file> Specify a configuration file other than the default '/etc/updater.conf'.",
                          "--allow-metadata-rollback Accept repository metadata older than the metadata accepted "
                          "before, for a deliberate rollback.",
                          "Help options:"):
            self.assertIn(help_text, text)
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.read("/run/lock/updater"))

    def test_version_answers_before_the_configuration_is_read(self):
        self.root.write_config(text="<updater><repository id='base'>")  # unparsable: not read
        result = self.updater("--version")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "updater 1.8.3\n", ""))

    def test_mode_line_names_the_mode(self):
        for args, mode in (((), "update"), (("-N",), "test"), (("--check-only",), "check"), (("-n", "-N"), "check")):
            result = self.updater(*args)
            self.assertIn("INFO: --- MODE %s ---" % mode, result.lines, result)

    def test_home_is_taken_from_the_user_database_when_missing(self):
        result = self.root.run(["/usr/bin/env", "-u", "HOME", UPDATER, "--log-level", "debug"])
        self.assertIn("DEBUG: HOME set to '/root' in environment", result.lines, result)
        result = self.updater("--log-level", "debug")
        self.assertFalse([line for line in result.lines if "HOME" in line], result)

    def test_unknown_option_is_refused_by_the_option_parser(self):
        result = self.updater("--bogus")
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr, "updater: --bogus: unknown option\n")

    def test_relative_and_empty_cache_dir_warn(self):
        result = self.updater("--cache-dir", "cache")
        self.assertIn("WARNING: cache dir 'cache' is not an absolute path", result.lines, result)
        self.assertExitLine(result, "ERROR")
        result = self.updater("--cache-dir", "")
        self.assertIn("WARNING: cache dir empty, assuming './'", result.lines, result)


class StartGuards(RootTestCase):
    def test_no_run_file_stops_every_run(self):
        for make in (lambda: self.root.write("/run/updater.norun", ""),
                     lambda: self.root.check(["ln", "-sf", "/nonexistent", "/var/run/updater.norun"])):
            make()
            result = self.updater()
            self.assertEqual(result.returncode, 1, result)
            self.assertIn("ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'", result.lines)
            self.assertExitLine(result, "ERROR")
            self.root.remove("/run/updater.norun")
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.read("/run/lock/updater"))

    def test_os_release_key_disables_updates(self):
        cases = (("VRK_NO_UPDATE='lab unit'\n", "lab unit"),
                 ("VRK_NO_UPDATE=a\\ b\n", "a b"),
                 ('NAME=x\nVRK_NO_UPDATE=\n', ""),
                 ('VRK_NO_UPDATE="\n', ""),
                 ('VRK_NO_UPDATE=first\nVRK_NO_UPDATE="second \\"one\\""  \n', 'second "one"'))
        for text, value in cases:
            self.root.write("/etc/os-release", text)
            result = self.updater()
            self.assertEqual(result.returncode, 1, result)
            self.assertIn("ERROR: firmware update is disabled: " + value, result.lines, result)
            self.assertExitLine(result, "ERROR")
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.root.status())

    def test_fallback_os_release_only_when_the_first_is_missing(self):
        self.root.write("/usr/lib/os-release", "VRK_NO_UPDATE=fallback\n")
        self.root.write("/etc/os-release", "ID=device\n")
        result = self.updater()
        self.assertFalse([line for line in result.lines if "firmware update" in line], result)
        self.root.remove("/etc/os-release")
        result = self.updater()
        self.assertIn("ERROR: firmware update is disabled: fallback", result.lines, result)


class PersistedStatus(RootTestCase):
    def test_interrupted_update_marks_the_system_corrupted(self):
        self.root.write("/var/lib/updater/status", "UPDATING\n")
        result = self.updater()
        self.assertEqual(result.returncode, 2, result)
        self.assertIn("FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting", result.lines)
        self.assertExitLine(result, "FATAL")
        self.assertEqual(self.root.status(), "CORRUPTED\n")
        self.assertEqual(self.root.update_state(), "CORRUPTED\n")
        self.assertEqual(self.hook_calls(), [])
        self.assertRecord("fatal", "interrupted", state="CORRUPTED", interrupted_run={"state": "UPDATING"})

        result = self.updater()
        self.assertEqual(result.returncode, 2, result)
        self.assertIn("FATAL: system is corrupted cannot update", result.lines)
        self.assertEqual(self.root.status(), "CORRUPTED\n")

    def test_unknown_status_word_cannot_be_recovered(self):
        self.root.write("/var/lib/updater/status", "ready\n")
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: unknown status 'ready'", result.lines)
        self.assertIn("ERROR: cannot recover status, aborting", result.lines)
        self.assertExitLine(result, "ERROR")
        self.assertEqual(self.root.status(), "ready\n")

    def test_rebooting_refuses_and_earlier_phases_do_not(self):
        self.root.write("/var/lib/updater/status", "REBOOTING\n")
        result = self.updater()
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("INFO: machine is rebooting after update, cannot start", result.lines)
        self.assertEqual(self.root.status(), "REBOOTING\n")
        self.root.write("/var/lib/updater/status", "DOWNLOADING\n")
        result = self.updater()
        self.assertEqual(len(self.hook_calls()), 1, result)
        self.assertEqual(self.root.status(), "READY\n")
        self.assertIn("WARNING: the previous run was interrupted in state DOWNLOADING", result.lines)
        self.assertEqual(self.record()["interrupted_run"], {"state": "DOWNLOADING"})

    def test_boot_clears_only_a_reboot_status_from_before_the_boot(self):
        with open("/proc/stat") as f:
            booted = int(re.search(r"^btime (\d+)$", f.read(), re.M).group(1))
        # The configuration file is not read: a broken one cannot keep the device refusing.
        self.root.write_config(text="<updater><repository id='base'>")
        cases = (("REBOOTING", booted - 60, "READY"), ("REBOOTING", booted + 1, "REBOOTING"),
                 ("CORRUPTED", booted - 60, "CORRUPTED"), ("UPDATING", booted - 60, "UPDATING"), (None, 0, None))
        for word, written, expected in cases:
            self.root.remove(STATUS_FILE)
            if word:
                self.root.write_inside(STATUS_FILE, word + "\n")
                os.utime(self.root.path(STATUS_FILE), (written, written))
            result = self.updater("--clear-reboot-status")
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.root.status(), expected and expected + "\n", (word, written))
            cleared = "INFO: device rebooted after update, status is READY again" in result.lines
            self.assertEqual(cleared, expected == "READY" != word, result)
        self.assertEqual(self.hook_calls(), [])
        self.assertIsNone(self.record())  # not an update run
        self.root.write_inside(STATUS_FILE, "ready\n")
        result = self.updater("--clear-reboot-status")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("ERROR: cannot recover status, aborting", result.lines)


if __name__ == "__main__":
    unittest.main()

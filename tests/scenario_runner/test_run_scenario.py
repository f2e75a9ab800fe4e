"""Checks of the scenario runner's reading of scenario folders and logs."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_scenario as rs  # noqa: E402

HEADER_GLIBC = "**** Tue Dec  8 04:32:42 2026 - Logging Enabled ****"
HEADER_MSVCRT = "**** Tue Dec 08 04:32:42 2026 - Logging Enabled ****"


_scratch = None


def setUpModule():
    global _scratch
    _scratch = tempfile.TemporaryDirectory()


def tearDownModule():
    _scratch.cleanup()


class Folder:
    """A scenario folder in the module's scratch directory."""

    def __init__(self, files):
        self.path = tempfile.mkdtemp(dir=_scratch.name)
        files.setdefault("machine.reg", b"REGEDIT4\n")
        files.setdefault("expect.log", b"The Morix Failed\n")
        for name, data in files.items():
            with open(os.path.join(self.path, name), "wb") as f:
                f.write(data)

    def scenario(self):
        return rs.Scenario(self.path)


class ScenarioFolder(unittest.TestCase):
    def test_command_line_keeps_blanks_and_loses_only_the_final_newline(self):
        self.assertIsNone(Folder({}).scenario().cmdline)
        self.assertEqual(Folder({"cmdline": b""}).scenario().cmdline, b"")
        self.assertEqual(Folder({"cmdline": b"\n"}).scenario().cmdline, b"")
        self.assertEqual(Folder({"cmdline": b"  -uninstall=Model  12 \n"}).scenario().cmdline,
                         b"  -uninstall=Model  12 ")
        self.assertEqual(Folder({"cmdline": b"-a=1\n\n"}).scenario().cmdline, b"-a=1\n")

    def test_environment_defaults_overrides_and_unsetting(self):
        s = Folder({}).scenario()
        self.assertEqual(s.env, {"TEMP": "C:\\TEMP", "TMP": "C:\\TEMP"})
        s = Folder({"env": b"TEMP=C:\\MY TEMP\\LOGS\nTMP=\nOTHER=a=b\n"}).scenario()
        self.assertEqual(s.env, {"TEMP": "C:\\MY TEMP\\LOGS", "TMP": "", "OTHER": "a=b"})
        self.assertEqual(s.temp_directory(), "C:\\MY TEMP\\LOGS")
        s = Folder({"env": b"TEMP=\n"}).scenario()
        self.assertEqual(s.temp_directory(), "C:\\TEMP")  # from TMP
        s = Folder({"env": b"TEMP=\nTMP=\n"}).scenario()
        self.assertEqual(s.temp_directory(), "C:\\TEMP")  # the Windows drive's TEMP

    def test_files_links_and_access_times(self):
        s = Folder({"files": b"dir C:\\X Y\nC:\\TEMP\\qvzmorix03.log 2001-01-01T00:00:00\n"
                             b"C:\\My Logs\\a b.log\n"
                             b"link C:\\TEMP\\qvzmorix04.log C:\\TEMP\\qvzmorix03.log 2000-01-01T00:00:00\n"}).scenario()
        self.assertEqual(s.dirs, ["C:\\X Y"])
        self.assertEqual(s.files, [("C:\\TEMP\\qvzmorix03.log", 978307200, None),
                                   ("C:\\My Logs\\a b.log", None, None),
                                   ("C:\\TEMP\\qvzmorix04.log", 946684800, "C:\\TEMP\\qvzmorix03.log")])
        for files in (b"link C:\\TEMP\\qvzmorix04.log\n", b"link C:\\TEMP\\a.log C:\\windows\\win.ini\n"):
            with self.assertRaises(rs.ScenarioError):
                Folder({"files": files}).scenario()

    def test_concurrent_run_needs_its_log_and_two_names(self):
        s = Folder({"concurrent": b"-uninstall=B\n", "expect.concurrent.log": b"B\n"}).scenario()
        self.assertEqual((s.concurrent, s.expect_concurrent_log), (b"-uninstall=B", ["B"]))
        self.assertEqual(s.expect_lognames, ["qvzmorix00.log", "qvzmorix01.log"])
        with self.assertRaises(rs.ScenarioError):
            Folder({"concurrent": b"-uninstall=B\n"}).scenario()
        with self.assertRaises(rs.ScenarioError):
            Folder({"concurrent": b"x", "expect.concurrent.log": b"", "expect.logname": b"a.log\n"}).scenario()

    def test_component_and_calls(self):
        s = Folder({}).scenario()
        self.assertEqual((s.component, s.expect_calls), ("none", None))
        s = Folder({"component": b"recording\n"}).scenario()
        self.assertEqual((s.component, s.expect_calls), ("recording", []))
        s = Folder({"component": b"recording\n", "expect.calls": b"Model 12 USB\nB\n"}).scenario()
        self.assertEqual(s.expect_calls, ["Model 12 USB", "B"])
        with self.assertRaises(rs.ScenarioError):
            Folder({"component": b"other\n"}).scenario()

    def test_windows_version_defaults_to_winxp(self):
        s = Folder({}).scenario()
        self.assertIn('"Version"="winxp"', s.registry_text())
        s = Folder({"machine.reg": b'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="win98"\n'}).scenario()
        self.assertNotIn("winxp", s.registry_text())

    def test_missing_files_are_reported(self):
        folder = Folder({})
        os.remove(os.path.join(folder.path, "expect.log"))
        with self.assertRaises(rs.ScenarioError):
            folder.scenario()


class LogChecks(unittest.TestCase):
    def test_header_accepts_both_runtimes_day_padding(self):
        self.assertTrue(rs.HEADER_PATTERN.match(HEADER_GLIBC))
        self.assertTrue(rs.HEADER_PATTERN.match(HEADER_MSVCRT))
        self.assertFalse(rs.HEADER_PATTERN.match("**** Unknown - Logging Enabled ****"))
        self.assertFalse(rs.HEADER_PATTERN.match(HEADER_GLIBC + " "))

    def test_line_ends(self):
        lines, problem = rs.split_log(b"\r\na\r\nb\r\n", crlf=True)
        self.assertEqual((lines, problem), (["", "a", "b"], None))
        self.assertIsNotNone(rs.split_log(b"\r\na\nb\r\n", crlf=True)[1])
        self.assertIsNotNone(rs.split_log(b"a\r\n", crlf=False)[1])
        # The host may write either, but one way throughout.
        self.assertEqual(rs.split_log(b"\r\na\r\n", crlf=None), (["", "a"], None))
        self.assertEqual(rs.split_log(b"\na\n", crlf=None), (["", "a"], None))
        self.assertIsNotNone(rs.split_log(b"\r\na\n", crlf=None)[1])
        self.assertIsNotNone(rs.split_log(b"a\r\r\n", crlf=None)[1])
        self.assertIsNotNone(rs.split_log(b"a\nb", crlf=False)[1])
        self.assertEqual(rs.split_log(b"\na\n\n", crlf=False), (["", "a", ""], None))

    def test_body_normalises_line_numbers_and_the_program_path(self):
        expected = ["[morix_main.cpp, Line N]: Error --> *lpszCmdLine == '\\0'", "Morix Pathname = *", "x"]
        actual = ["[morix_main.cpp, Line 123]: Error --> *lpszCmdLine == '\\0'",
                  "Morix Pathname = Z:\\build\\qvzmrx14.exe", "x"]
        self.assertEqual(rs.compare_log_body(expected, actual, "qvzmrx14.exe"), [])
        # The host program has no .exe; a wrong program path is a difference.
        self.assertNotEqual(rs.compare_log_body(expected, actual, "qvzmrx14"), [])
        # Tabs, blanks and order count.
        self.assertNotEqual(rs.compare_log_body(["a\tb"], ["a b"], "qvzmrx14"), [])
        self.assertNotEqual(rs.compare_log_body(["a", "b"], ["b", "a"], "qvzmrx14"), [])
        self.assertNotEqual(rs.compare_log_body(["a"], ["a", ""], "qvzmrx14"), [])


class Paths(unittest.TestCase):
    def test_windows_paths_match_existing_names_without_regard_to_case(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "drive_c", "windows", "System32"))
            self.assertEqual(rs.map_windows_path(root, "C:\\WINDOWS\\system32\\qvzcon14.dll"),
                             os.path.join(root, "drive_c", "windows", "System32", "qvzcon14.dll"))
            self.assertEqual(rs.map_windows_path(root, "c:\\New\\"), os.path.join(root, "drive_c", "New"))
            with self.assertRaises(rs.ScenarioError):
                rs.map_windows_path(root, "\\\\server\\share")


class PrefixClone(unittest.TestCase):
    def test_clone_shares_only_stubs_and_nothing_writes_through_them(self):
        with tempfile.TemporaryDirectory() as root:
            template = os.path.join(root, "template")
            system32 = os.path.join(template, "drive_c", "windows", "system32")
            os.makedirs(system32)
            os.makedirs(os.path.join(template, "dosdevices"))
            os.symlink("../drive_c", os.path.join(template, "dosdevices", "c:"))
            files = {"system.reg": b"reg", "drive_c/windows/win.ini": b"ini",
                     "drive_c/windows/system32/kernel32.dll": b"stub",
                     "drive_c/windows/system32/qvzcon14.dll": b"old"}
            for name, data in files.items():
                with open(os.path.join(template, name), "wb") as f:
                    f.write(data)
            prefix = os.path.join(root, "prefix")
            shared = rs.clone_prefix(template, prefix)

            def inode(base, name):
                return os.stat(os.path.join(base, name)).st_ino

            self.assertEqual(sorted(os.path.relpath(p, prefix) for p in shared),
                             ["drive_c/windows/system32/kernel32.dll", "drive_c/windows/system32/qvzcon14.dll"])
            for name in ("system.reg", "drive_c/windows/win.ini"):
                self.assertNotEqual(inode(template, name), inode(prefix, name))
            self.assertEqual(os.readlink(os.path.join(prefix, "dosdevices", "c:")), "../drive_c")

            # A planted file replaces a shared one instead of writing into it.
            rs.write_private(os.path.join(prefix, "drive_c/windows/system32/qvzcon14.dll"), b"new")
            with open(os.path.join(template, "drive_c/windows/system32/qvzcon14.dll"), "rb") as f:
                self.assertEqual(f.read(), b"old")
            self.assertEqual(rs.check_shared(shared), [])

            # A write through a link is found.
            kernel32 = os.path.join(prefix, "drive_c/windows/system32/kernel32.dll")
            with open(kernel32, "ab") as f:
                f.write(b"!")
            self.assertEqual(rs.check_shared(shared), [kernel32])


if __name__ == "__main__":
    unittest.main()

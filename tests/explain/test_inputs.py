"""explain-log on odd inputs: each row builds files in a fresh folder, runs
the explainer on them and checks its exit status and what it says of each
file. No input may be changed by it."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

import explain_log

LF_HEADER = b"\n**** Tue Dec  8 04:32:42 2026 - Logging Enabled ****\n\n"
WINDOWS_HEADER = b"\r\n**** Tue Dec 08 04:32:42 2026 - Logging Enabled ****\r\n\r\n"
ROUTINE_START = [b"[qvzvesk_utils.cpp, Line 93]: Error --> sDriverName.empty()"] * 4


def log(body, header=LF_HEADER, end=b"\n", final_end=True):
    text = header + end.join(body)
    return text + end if final_end else text


def closing(driver, verdict, cmdline=None):
    return [b"Morix Pathname = C:\\WINDOWS\\SYSTEM\\qvzmrx14.exe",
            b"Command Line = " + (cmdline or b"-uninstall=" + driver), b"Driver Name = " + driver,
            b"The Morix " + verdict]


# An uninstall on Windows 98 whose component step found no printer and one of
# whose keys could not be deleted although it exists; a key that was not there
# is routine.
UNINSTALL = ROUTINE_START + [
    b"[morix_uninstall.cpp, Line 110]: Error --> cbNeeded == 0",
    b"ComponentUninstall (Model 12) Failed",
    b"[qvzvesk_registry.cpp, Line 370]: Error --> (lResult = RegOpenKeyEx( hRegKey, sSubkey.c_str(), 0, "
    b"KEY_ALL_ACCESS, &hRegSubkey )) != ERROR_SUCCESS",
    b"[qvzvesk_registry.cpp, Line 324]: Error --> RegRecursiveDeleteKey( hRegKey, sSubkey ) == false",
    b"RegDeleteKey (SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Legacy) Failed, lResult = 0xffffffff",
    b"[qvzvesk_registry.cpp, Line 311]: Error --> lResult != ERROR_SUCCESS",
    b"RegDeleteKey (SOFTWARE\\Brenmoor\\qvf\\C32) Failed, lResult = 0x00000005",
    b"CleanupRegistry (Model 12) Successful"] + closing(b"Model 12", b"Succeeded")
UNINSTALL_CAUSES = [9, 14]  # the component step's closing line, the key access was denied to
# An install that failed: a flag could not be written, passed on outwards.
INSTALL_FAILED = [b"[qvzvesk_utils.cpp, Line 93]: Error --> sDriverName.empty()"] * 2 + [
    b"[qvzvesk_registry.cpp, Line 119]: Error --> lResult != ERROR_SUCCESS",
    b"RegSetDwordValue (SOFTWARE\\Brenmoor\\QVKR Printing System Config, QVKREnableTaskbarUtility, 0x00000000) "
    b"Failed, lResult = 5",
    b"[morix_install.cpp, Line 145]: Error --> RegSetDwordValue( g_sRegKeyAccessoryFlags, "
    b"g_sRegVnEnableTaskbarUtility, dwEnableTaskbarUtility ) == false",
    b"NetworkInstall = false", b"Localization= false", b"CIOSupport = false", b"BrimzelSupport = false",
    b"[morix_install.cpp, Line 32]: Error --> SetAccessoryFlags( sDriverName ) == false",
    b"[morix_main.cpp, Line 102]: Error --> InstallHelper( sDriverName ) == false",
] + closing(b"Model 12", b"Failed", b"-printerdriver=Model 12 -product=X -port=LPT1:")
CP1252_NAME = "Mod\u00e8le 12 \u2013 \u00c9dition"  # è, en dash (0x96), É

HUNDRED = {"qvzmorix%02d.log" % i: log(ROUTINE_START[:1], header=b"\r\n**** Mon Jan %s 00:00:%02d 2001 - "
           b"Logging Enabled ****\r\n\r\n" % (b"%2d" % (1 + (99 - i) // 60), (99 - i) % 60), end=b"\r\n")
           for i in range(100)}

# (name, files, arguments ({} is the folder), exit status,
#  [(file, outcome, operation, driver, cause lines or None, routine count or None)] in the order printed)
ROWS = [
    ("failed install, LF", {"a.log": log(INSTALL_FAILED)}, ["a.log"], 0,
     [("a.log", "failed", "install", "Model 12", [7], 6)]),
    ("failed install, CR LF and the Windows date", {"a.log": log(INSTALL_FAILED, WINDOWS_HEADER, b"\r\n")},
     ["a.log"], 0, [("a.log", "failed", "install", "Model 12", [7], 6)]),
    ("uninstall with a key it could not delete", {"u.log": log(UNINSTALL, WINDOWS_HEADER, b"\r\n")}, ["u.log"],
     0, [("u.log", "succeeded", "uninstall", "Model 12", UNINSTALL_CAUSES, 8)]),
    ("Windows-1252 driver name", {"w.log": log(ROUTINE_START + closing(CP1252_NAME.encode("cp1252"), b"Failed"))},
     ["w.log"], 0, [("w.log", "failed", "none", CP1252_NAME, [], 4)]),
    ("cut off in the middle of a line", {"c.log": log(ROUTINE_START[:2] + [b"[qvzvesk_utils.cpp, Li"],
                                                       final_end=False)},
     ["c.log"], 0, [("c.log", "incomplete", "none", None, [], 3)]),
    ("cut off after its header", {"h.log": LF_HEADER}, ["h.log"], 0, [("h.log", "incomplete", "none", None, [], 0)]),
    ("empty file", {"e.log": b""}, ["e.log"], 1, [("e.log", "not a log", "none", None, [], 0)]),
    ("binary file", {"b.log": bytes(range(256)) * 4}, ["b.log"], 1, [("b.log", "not a log", "none", None, [], 0)]),
    ("another program's log", {"o.log": b"2026-12-08 04:32:42 INFO service started\r\n"}, ["o.log"], 1,
     [("o.log", "not a log", "none", None, [], 0)]),
    ("huge file", {"big.log": None}, ["big.log"], 1, [("big.log", "not a log", "none", None, [], 0)]),
    ("missing file", {}, ["gone.log"], 2, [("gone.log", "not a log", "none", None, [], 0)]),
    ("missing file beside a log", {"a.log": log(INSTALL_FAILED)}, ["gone.log", "a.log"], 1,
     [("gone.log", "not a log", "none", None, [], 0), ("a.log", "failed", "install", "Model 12", [7], 6)]),
    ("empty folder", {}, [{}], 2, [("", "not a log", "none", None, [], 0)]),
    # A folder: only its qvzmorix??.log files, in the order the runs happened
    # (here the reverse of their numbers); the odd file among them is named.
    ("a folder of a hundred logs", dict(HUNDRED, **{"notes.txt": b"x", "qvzmorix7.log": b"x"}), [{}], 0,
     [("qvzmorix%02d.log" % (99 - i), "incomplete", "none", None, [], 1) for i in range(100)]),
    ("a folder with one binary log among good ones",
     {"qvzmorix00.log": log(INSTALL_FAILED), "qvzmorix01.log": b"\0\0\0", "qvzmorix02.log": log(UNINSTALL)},
     [{}], 1, [("qvzmorix01.log", "not a log", "none", None, [], 0),
               ("qvzmorix00.log", "failed", "install", "Model 12", [7], 6),
               ("qvzmorix02.log", "succeeded", "uninstall", "Model 12", UNINSTALL_CAUSES, 8)]),
]


def snapshot(folder):
    found = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        st = os.stat(path)
        with open(path, "rb") as f:
            found[name] = (f.read(1 << 16), st.st_size, st.st_mtime_ns)
    return found


class InputsTest(unittest.TestCase):
    def test_rows(self):
        for name, files, arguments, status, expected in ROWS:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                for file_name, data in files.items():
                    with open(os.path.join(folder, file_name), "wb") as f:
                        if data is None:
                            f.truncate(40 << 20)  # sparse: large without the disk
                        else:
                            f.write(data)
                mtime = 1000000000
                for file_name in sorted(files):  # file times in the order of the names
                    os.utime(os.path.join(folder, file_name), (mtime, mtime))
                    mtime += 1
                before = snapshot(folder)
                argv = [folder if a == {} else os.path.join(folder, a) for a in arguments]
                proc = subprocess.run([sys.executable, explain_log.SCRIPT, "--json"] + argv,
                                      capture_output=True, timeout=120)
                self.assertEqual(snapshot(folder), before, "an input changed")
                self.assertEqual(proc.returncode, status, proc.stderr.decode(errors="replace"))
                results = [json.loads(l) for l in proc.stdout.decode("utf-8").splitlines()]
                got = [(os.path.relpath(r["file"], folder) if r["file"] != folder else "", r["outcome"],
                        r["operation"], r["driver"], [c["line"] for c in r["causes"]], r["routine"])
                       for r in results]
                self.assertEqual(got, [(os.path.normpath(e[0]) if e[0] else "",) + e[1:] for e in expected])
                for r in results:
                    self.assertIn("started", r)
                    if r["outcome"] == "not a log":
                        self.assertTrue(r["reason"])
                    else:
                        self.assertRegex(r["started"], r"^Tue Dec [ 0]8 04:32:42 2026$|^Mon Jan")
                    for cause in r["causes"]:
                        self.assertTrue(cause["meaning"] and cause["text"] and "action" in cause)

    def test_text_output_names_what_to_do(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "qvzmorix00.log")
            with open(path, "wb") as f:
                f.write(log(UNINSTALL, WINDOWS_HEADER, b"\r\n"))
            shown = subprocess.run([sys.executable, explain_log.SCRIPT, folder], capture_output=True,
                                   check=True).stdout.decode()
            every = subprocess.run([sys.executable, explain_log.SCRIPT, "--all", path], capture_output=True,
                                   check=True).stdout.decode()
        self.assertIn("SUCCEEDED", shown)
        self.assertIn("line 14: RegDeleteKey (SOFTWARE\\Brenmoor\\qvf\\C32) Failed, lResult = 0x00000005", shown)
        self.assertIn("access denied", shown)
        self.assertIn("8 routine lines not shown", shown)
        self.assertNotIn("Legacy", shown)
        self.assertIn("Legacy", every)
        self.assertIn("Windows 95, 98 or Me (by the program's folder", shown)


if __name__ == "__main__":
    unittest.main()

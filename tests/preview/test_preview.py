"""The preview command on a sample 9x export and a sample XP export (HKLM and
HKCU in separate version 5.00 files), and its refusals of bad input; the
readers on every text form, the current user of a 9x machine, and the real
registries of ../shared/real-registries where that folder is there.

    test_preview.py PREVIEW-PROGRAM CASE [REG2HIVE]
               CASE: win98, winxp, options, bad_input, hive, text_forms, user, real
"""

import collections
import hashlib
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REAL = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "real-registries"))
PREVIEW = None
REG2HIVE = None
LOG_TIME = re.compile(r"^\*\*\*\* .* - Logging Enabled \*\*\*\*$", re.M)
REPORT_LINE = re.compile(r"Line \d+\]")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run(*args, tmpdir=None, locale="C"):
    env = dict(os.environ, LC_ALL=locale)
    if tmpdir:
        env["TMPDIR"] = tmpdir
    return subprocess.run([PREVIEW, *args], cwd=HERE, env=env, capture_output=True, text=True,
                          encoding="latin-1", timeout=120)


def normalise(text):
    text = LOG_TIME.sub("**** <time> - Logging Enabled ****", text)
    return REPORT_LINE.sub("Line N]", text)


def in_c_locale(text):
    """Text as the preview shows it in the C locale: all beyond ASCII escaped."""
    return "".join(ch if ord(ch) < 0x80 else "<U+%04X>" % ord(ch) for ch in text)


def expected(name):
    with open(os.path.join(HERE, name), encoding="latin-1") as f:
        return f.read()


class PreviewOnSamples(unittest.TestCase):
    def check_sample(self, files, expect_file, result_checks):
        before = {f: digest(os.path.join(HERE, f)) for f in files}
        with tempfile.TemporaryDirectory() as tmp:
            result = os.path.join(tmp, "after.reg")
            args = [a for f in files for a in ("--machine", f)]
            done = run(*args, "--write-result", result, "--", "-uninstall=Model 12", tmpdir=tmp)
            self.assertEqual(done.returncode, 0, done.stderr)
            shown = normalise(done.stdout).replace(result, "<result>")
            self.assertEqual(expected(expect_file), shown)
            with open(result, "rb") as f:
                after = f.read()
            for needle, present in result_checks:
                self.assertEqual(needle in after, present, needle)
            self.assertEqual(sorted(os.listdir(tmp)), ["after.reg"], "the machine folder is gone")
        self.assertEqual(before, {f: digest(os.path.join(HERE, f)) for f in files},
                         "the input files are never changed")

    def test_win98(self):
        self.check_sample(["win98/machine.reg"], "win98/expect.txt", [
            (b"[HKEY_LOCAL_MACHINE\\Enum\\USBPRINT\\OTHERLASER5\\0000]", True),
            (b"BRENMOORMODEL_12", False),
            (b"\"registrycleanup\"=\"false\"", True),
            (b"[HKEY_CURRENT_USER\\Software\\Wine]", False),
        ])

    def test_winxp(self):
        self.check_sample(["winxp/hklm.reg", "winxp/hkcu.reg"], "winxp/expect.txt", [
            # UTF-16 text arrives in the machine's ANSI code page.
            (b"\"RegisteredOrganization\"=\"B\xfcro M\xfcller \x96 Druck \x80\"", True),
            (b"\"InstallPath\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,42,72,65", True),
            (b"[HKEY_CURRENT_USER\\Printers]", True),
            (b"QVKR Printing System Config", False),
        ])

    def test_assumptions_are_shown(self):
        done = run("--os", "win2k", "--component", "absent", "--machine", "winxp/hklm.reg",
                   "--", "-uninstall=Model 12")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("Windows version: win2k (named with --os; the export says winxp)", done.stdout)
        self.assertIn("Component library: absent (assumed)", done.stdout)
        self.assertTrue(done.stdout.rstrip().endswith("(none)"), done.stdout)


ME_CLEAN = (b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
            b"\"VersionNumber\"=\"4.90.3000\"\r\n")
FAX_PRINTER = (b"\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\"
               b"Fax B\xfcro]\r\n\"Name\"=\"Fax B\xfcro\"\r\n\"Printer Driver\"=\"Mod\xe8l 12\"\r\n\"Port\"=\"LPT1:\"\r\n")
INSTALL = "-printerdriver=Model 12 -product=X -port=LPT1:"


class Assumptions(unittest.TestCase):
    """What the run assumes and changes, on small machines written here."""

    def preview(self, machine, *args, locale="C"):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "machine.reg")
            with open(path, "wb") as f:
                f.write(machine)
            result = os.path.join(tmp, "after.reg")
            done = run(*args[:-1], "--machine", path, "--write-result", result, "--", args[-1],
                       tmpdir=tmp, locale=locale)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(result, "rb") as f:
                return done.stdout, f.read()

    def test_every_key_the_run_makes_is_listed_and_counted(self):
        for text, keys in (("-uninstall=Model 12", ["QVZ\\Vesk\\Model 12"]),
                           (INSTALL, ["QVZ\\Vesk\\Model 12", "QVKR Printing System Config\\Model 12"])):
            shown, after = self.preview(ME_CLEAN, text)
            made = re.findall(r"^\[(HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor.*)\]\n; a new key$", shown, re.M)
            self.assertEqual(len(made), len(set(made)), shown)
            for key in made:  # each parent is listed before its subkeys
                parent = key.rsplit("\\", 1)[0]
                self.assertTrue(parent.endswith("SOFTWARE") or made.index(parent) < made.index(key))
            for key in keys:
                self.assertIn("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\" + key, made)
            self.assertIn("; keys: 0 removed (0 with their subkeys), %d created\n" % len(made), shown)
            self.assertEqual(len(made), after.count(b"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor"))
        self.assertEqual(6, len(made))

    def test_os_decides_and_the_folders_are_the_machines(self):
        nt351 = ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                 "\"CurrentVersion\"=\"3.51\"\r\n\"SystemRoot\"=\"D:\\\\NT351\"\r\n" +
                 FAX_PRINTER.decode("latin-1")).encode("utf-16-le")
        me = ME_CLEAN + FAX_PRINTER
        typed = "-uninstall=Mod\xe8l 12".encode("latin-1")  # from a Windows-1252 terminal
        for machine, os_name, lines in (
                (me, "win98", ["Windows version: win98 (named with --os; the export says winme)",
                               "Windows folder: C:\\WINDOWS (assumed",
                               "System folder: C:\\WINDOWS\\SYSTEM (",
                               "Morix Pathname = C:\\WINDOWS\\SYSTEM\\qvzmrx14.exe"]),
                (me, "nt40", ["Windows folder: C:\\WINNT (assumed",
                              "Morix Pathname = C:\\WINNT\\system32\\qvzmrx14.exe"]),
                (nt351, "winxp", [
                    "Windows version: winxp (named with --os; the export says none of the six)",
                    "  %s: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion "
                    "\"CurrentVersion\" = \"3.51\"",
                    "Windows folder: D:\\NT351 (HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
                    "Windows NT\\CurrentVersion \"SystemRoot\")",
                    "Morix Pathname = D:\\NT351\\system32\\qvzmrx14.exe"])):
            shown, _ = self.preview(machine, "--os", os_name, typed)
            where = shown.split("Machine file: ")[1].split(" (")[0]
            for line in lines:
                self.assertIn(line.replace("%s", where), shown)
            # The component library is found in that system folder.
            # Where the terminal lacks a character, it is escaped, never a raw byte.
            self.assertIn('VendorUninstall("Fax B<U+00FC>ro")', shown)
            self.assertIn("  * \"Fax B<U+00FC>ro\": driver \"Mod<U+00E8>l 12\"", shown)
            self.assertNotRegex(shown, "[\x80-\xff]")

    def test_machine_text_is_shown_in_the_terminals_character_set(self):
        shown, _ = self.preview(ME_CLEAN + FAX_PRINTER, "-uninstall=Mod\xe8l 12", locale="C.UTF-8")
        shown = shown.encode("latin-1")
        self.assertNotIn(b"\xfc", shown.replace("ü".encode(), b""))
        for needle in ('"Fax Büro": driver "Modèl 12", port "LPT1:"', "Driver Name = Modèl 12",
                       'VendorUninstall("Fax Büro")', "Printers: 1 in HKEY_LOCAL_MACHINE\\System\\"
                       "CurrentControlSet\\control\\Print\\Printers ("):
            self.assertIn(needle.encode(), shown)


class BadInput(unittest.TestCase):
    def refused(self, files, message, *extra):
        with tempfile.TemporaryDirectory() as tmp:
            paths = []
            for name, data in files:
                path = os.path.join(tmp, name)
                if data is not None:
                    with open(path, "wb") as f:
                        f.write(data)
                paths.append(path)
            args = [a for p in paths for a in ("--machine", p)]
            extra = [a.replace("TMP", tmp) for a in extra]
            done = run(*extra, *args, "--", "-uninstall=Model 12", tmpdir=tmp)
            self.assertNotEqual(done.returncode, 0)
            self.assertEqual(done.stdout, "", "nothing ran")
            self.assertIn(message.replace("TMP", tmp), done.stderr)
            self.assertEqual(sorted(os.listdir(tmp)), sorted(n for n, d in files if d is not None))

    def test_each_bad_input_is_refused_before_anything_runs(self):
        nt = "\ufeffWindows Registry Editor Version 5.00\r\n\r\n" \
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n" \
             "\"CurrentVersion\"=\"5.1\"\r\n"
        r98 = b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]" \
              b"\r\n\"VersionNumber\"=\"4.10.2222\"\r\n"
        self.refused([("missing.reg", None)], "TMP/missing.reg: cannot be read")
        self.refused([("bad.reg", b"REGEDIT4\r\n[HKLM\\A]\r\n\"V\"=dword:xyz\r\n")],
                     "TMP/bad.reg:3: dword: needs 1 to 8 hexadecimal digits")
        self.refused([("head.reg", b"REGEDIT5\r\n")], "TMP/head.reg:1: unknown header")
        # UTF-16BE is read like any other encoding, so this one says nothing.
        self.refused([("be.reg", "\ufeffWindows Registry Editor Version 5.00\r\n".encode("utf-16-be"))],
                     "cannot tell the Windows version")
        self.refused([("cut.reg", nt.encode("utf-16-le")[:-1])],
                     "TMP/cut.reg:4: truncated UTF-16 file")
        self.refused([("long.reg", (nt + "\"%s\"=\"\u4e2d\"\r\n" % ("n" * 16384)).encode("utf-16-le"))],
                     "TMP/long.reg:5: value name 'nnnn")
        wine98 = b"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n\"Version\"=\"win98\"\r\n"
        self.refused([("xp.reg", nt.encode("utf-16-le")), ("98.reg", wine98)],
                     "conflicting Windows versions: TMP/xp.reg says winxp")
        self.refused([("xp.reg", nt.encode("utf-16-le")), ("98.reg", r98)],
                     "TMP/98.reg: HKEY_LOCAL_MACHINE\\SOFTWARE: TMP/xp.reg gives "
                     "HKEY_LOCAL_MACHINE\\SOFTWARE already")
        self.refused([("none.reg", b"REGEDIT4\r\n[HKLM\\A]\r\n")],
                     "cannot tell the Windows version")
        self.refused([("nt351.reg", nt.replace("5.1", "3.51").encode("utf-16-le"))],
                     "Windows NT version 3.51 is none the program runs on")
        self.refused([("ok.reg", r98)], "--write-result TMP/ok.reg is an input file",
                     "--write-result", "TMP/ok.reg")
        # Beyond what Windows holds: 512 levels, key names of 255 characters.
        self.refused([("deep.reg", b"REGEDIT4\r\n[HKEY_LOCAL_MACHINE" + b"\\k" * 513 + b"]\r\n")],
                     "TMP/deep.reg:2: key path 513 levels deep; Windows allows 512")
        self.refused([("kname.reg", b"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + b"k" * 256 + b"]\r\n")],
                     "TMP/kname.reg:3: key name 'kkk")
        # Within those limits, but each key line of the machine file would
        # repeat a path of 130 KB: 33 MB from one line.
        self.refused([("wide.reg", b"REGEDIT4\r\n[HKEY_LOCAL_MACHINE" + (b"\\" + b"n" * 255) * 512 + b"]\r\n")],
                     "keys so deep and long that the temporary machine file would take 32 MB")
        # UTF-8 by its first line beyond ASCII, then a line that is not.
        self.refused([("mixed.reg", "REGEDIT4\r\n[HKEY_CURRENT_USER\\B\u00fcro]\r\n"
                                    "[HKEY_CURRENT_USER\\B\u00fcro]\r\n".encode("utf-8")[:-8] +
                       b"\xfcro]\r\n")],
                     "TMP/mixed.reg:3: text that is not UTF-8")


def empty_hive():
    """An NT hive with nothing but its root key: a base block, one bin with the
    root's key cell, a security cell and the free rest (libhivex cannot start
    a hive from nothing)."""
    def cell(body):
        size = (len(body) + 4 + 7) & ~7
        return struct.pack("<i", -size) + body + b"\0" * (size - 4 - len(body))

    def key(security):
        return (b"nk" + struct.pack("<HQI", 0x2C, 0, 0) +
                struct.pack("<15I", 0xFFFFFFFF, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF,
                            security, 0xFFFFFFFF, 0, 0, 0, 0, 0, 0) + struct.pack("<HH", 4, 0) + b"ROOT")
    root = 0x20
    security = root + len(cell(key(0)))
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)
    cells = cell(key(security)) + cell(b"sk" + struct.pack("<HIIII", 0, security, security, 1,
                                                           len(descriptor)) + descriptor)
    free = 4096 - 32 - len(cells)
    hbin = (b"hbin" + struct.pack("<II", 0, 4096) + b"\0" * 20 + cells + struct.pack("<i", free) +
            b"\0" * (free - 4))
    base = bytearray(4096)
    struct.pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, 0, 1, 3, 0, 1, root, 4096, 1)
    checksum = 0
    for i in range(127):
        checksum ^= struct.unpack_from("<I", base, i * 4)[0]
    struct.pack_into("<I", base, 0x1FC, checksum)
    return bytes(base) + hbin


class PreviewOnHives(unittest.TestCase):
    def test_hives_of_the_xp_sample_preview_as_its_exports_do(self):
        with tempfile.TemporaryDirectory() as tmp:
            base = os.path.join(tmp, "empty.hive")
            with open(base, "wb") as f:
                f.write(empty_hive())
            for extra, export, key, name in (
                    ([], "winxp/hklm.reg", "HKEY_LOCAL_MACHINE\\SOFTWARE", "SOFTWARE"),
                    (["--control-set"], "winxp/hklm.reg", "HKEY_LOCAL_MACHINE\\SYSTEM", "SYSTEM"),
                    ([], "winxp/hkcu.reg", "HKEY_CURRENT_USER", "NTUSER.DAT")):
                subprocess.run([REG2HIVE, *extra, base, export, key, os.path.join(tmp, name)],
                               cwd=HERE, check=True)
            hives = [os.path.join(tmp, n) for n in ("SOFTWARE", "SYSTEM", "NTUSER.DAT")]
            result = os.path.join(tmp, "after.reg")
            done = run(*[a for h in hives for a in ("--machine", h)], "--write-result", result,
                       "--", "-uninstall=Model 12", tmpdir=tmp)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("Machine file: %s (NT hive file)" % hives[1], done.stdout)
            self.assertIn("Windows version: winxp (inferred from %s" % hives[0], done.stdout)
            # The log, the changes and the calls are those of the exports; the
            # printers come from ControlSet001, as SYSTEM\Select names it.
            tail = lambda text: text[text.index("\n======== The log"):]
            shown = normalise(done.stdout).replace(result, "<result>")
            self.assertEqual(tail(expected("winxp/expect.txt")), tail(shown))

            os.rename(hives[0], os.path.join(tmp, "SOFTWARE.old"))
            done = run("--machine", os.path.join(tmp, "SOFTWARE.old"), "--", "-uninstall=M",
                       tmpdir=tmp)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn("SOFTWARE.old: a hive file is named for the part of the registry it "
                          "holds", done.stderr)


# A printer whose name has characters Windows-1252 lacks: a best fit
# (U+0100), one without any (U+00A0 is kept, U+4E2D is not) and a pair.
PRINTER = "Fax B\u00fcro \u0100\u4e2d\U0001F600"
SEEN = "Fax B\u00fcro A???"
MACHINE = ("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
           "\"CurrentVersion\"=\"5.1\"\n\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\%s]\n"
           "\"Name\"=\"%s\"\n\"Printer Driver\"=\"Model 12\"\n\"Port\"=\"USB001\"\n")


class TextForms(unittest.TestCase):
    def preview(self, name, data, tmp):
        path = os.path.join(tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        result = path + ".after"
        done = run("--machine", path, "--write-result", result, "--", "-uninstall=Model 12",
                   tmpdir=tmp)
        self.assertEqual(done.returncode, 0, name + ": " + done.stderr)
        with open(result, "rb") as f:
            return done.stdout, f.read()

    def test_every_form_of_one_export_gives_the_same_machine(self):
        v5 = "Windows Registry Editor Version 5.00\n\n" + MACHINE % (PRINTER, PRINTER)
        r4 = "REGEDIT4\n\n" + MACHINE % (PRINTER, PRINTER)
        crlf = lambda text, end="\r\n": text.replace("\n", end)
        forms = {
            "v5.reg": ("UTF-16LE, CR LF", b"\xff\xfe" + crlf(v5).encode("utf-16-le")),
            "nobom.reg": ("UTF-16LE without byte order mark", crlf(v5).encode("utf-16-le")),
            "be.reg": ("UTF-16BE, CR LF", b"\xfe\xff" + crlf(v5).encode("utf-16-be")),
            "crcrlf.reg": ("CR CR LF", b"\xff\xfe" + crlf(v5, "\r\r\n").encode("utf-16-le")),
            "cr.reg": ("CR line ends", b"\xff\xfe" + crlf(v5, "\r").encode("utf-16-le")),
            "v5utf8.reg": ("5.00, UTF-8, LF", v5.encode("utf-8")),
            "utf8.reg": ("REGEDIT4, UTF-8, CR LF", crlf(r4).encode("utf-8")),
            "utf8bom.reg": ("UTF-8 with byte order mark", b"\xef\xbb\xbf" + crlf(r4).encode("utf-8")),
        }
        with tempfile.TemporaryDirectory() as tmp:
            ansi = (crlf(r4).replace(PRINTER, SEEN)).encode("cp1252")
            shown, machine = self.preview("ansi.reg", ansi, tmp)
            self.assertIn("(REGEDIT4, Windows-1252, CR LF line ends)", shown)
            self.assertIn('VendorUninstall("%s")' % in_c_locale(SEEN), shown)
            self.assertNotIn("converted", shown)
            for name, (form, data) in forms.items():
                shown, after = self.preview(name, data, tmp)
                self.assertIn(form, shown)
                # The same machine, but that it keeps the name it stores (in
                # its order on NT) before the printer's key line.
                self.assertIn(b"\n;winsim:key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"
                              b"\\Control\\Print\\Printers\\" + PRINTER.encode("utf-8") + b"\n",
                              after, name)
                self.assertEqual(machine, re.sub(rb"\n;winsim:key [^\n]*", b"", after), name)
                # Converted as the program sees it, and said so, with the line.
                self.assertIn('VendorUninstall("%s")' % in_c_locale(SEEN), shown, name)
                self.assertIn("2 names and strings converted to Windows-1252", shown, name)
                self.assertIn("line 6 [HKEY_LOCAL_MACHINE\\SYSTEM", shown, name)
                # The printer is on the run's path: named below its changes.
                self.assertRegex(shown, r'; the program sees \[HKEY_LOCAL_MACHINE\\SYSTEM\\.*'
                                        r'\\Printers\\Fax B.*\] "Name" as "Fax B.*ro A\?\?\?"')


    def test_string_data_of_an_odd_length_is_read_and_named_where_the_run_goes(self):
        # A machine is refused for no value; the one the run reads (the
        # printer's port) is named below the changes, the other is not.
        odd = lambda text: ",".join("%02x" % b for b in text.encode("utf-16-le") + b"\0\0\x43")
        v5 = ("Windows Registry Editor Version 5.00\n\n" + MACHINE % (SEEN, SEEN)).replace(
            '"Port"="USB001"', '"Port"=hex(1):' + odd("USB001")) + (
            "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters]\n"
            '"DynamicSiteName"=hex(1):' + odd("Default-First-Site-Name") + "\n")
        with tempfile.TemporaryDirectory() as tmp:
            shown, after = self.preview("odd.reg", b"\xff\xfe" + v5.encode("utf-16-le"), tmp)
        self.assertIn("2 string values have an odd number of bytes, read as regedit imports them",
                      shown)
        self.assertIn('driver "Model 12", port "USB001"', shown)
        self.assertRegex(shown, r'the program sees \[HKEY_LOCAL_MACHINE\\SYSTEM\\.*\\Printers'
                                r'\\Fax B.*\] "Port" as "USB001"; .*odd.reg stores 15 bytes of '
                                r'string data, an odd number')
        self.assertNotIn('sees [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services', shown)
        self.assertIn(b'"DynamicSiteName"="Default-First-Site-Name"', after)


class CurrentUserOfA9xMachine(unittest.TestCase):
    USERS = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
             "\"VersionNumber\"=\"4.90.3000\"\r\n\r\n" +
             "".join("[HKEY_USERS\\%s\\Software\\Brenmoor\\QVKR Printing System Config\\Model 12]\r\n"
                     "\"Flags\"=dword:00000001\r\n\r\n" % user for user in (".DEFAULT", "alice")))

    def preview(self, *extra, files=None):
        with tempfile.TemporaryDirectory() as tmp:
            paths = []
            for name, text in files or [("me.reg", self.USERS)]:
                paths.append(os.path.join(tmp, name))
                with open(paths[-1], "w", newline="") as f:
                    f.write(text)
            result = os.path.join(tmp, "after.reg")
            done = run(*[a for p in paths for a in ("--machine", p)], *extra, "--write-result",
                       result, "--", "-uninstall=Model 12", tmpdir=tmp)
            after = open(result).read() if os.path.exists(result) else None
            return done, after

    def test_hkey_users_default_or_the_named_user_is_the_current_user(self):
        key = "[HKEY_USERS\\%s\\Software\\Brenmoor\\QVKR Printing System Config\\Model 12]"
        for extra, user, other in (([], ".DEFAULT", "alice"), (["--user", "alice"], "alice", ".DEFAULT")):
            done, after = self.preview(*extra)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("Current user: HKEY_CURRENT_USER is HKEY_USERS\\" + user, done.stdout)
            self.assertIn("[-HKEY_CURRENT_USER\\Software\\Brenmoor\\QVKR Printing System Config]",
                          done.stdout)
            # The result keeps the user where the machine keeps it.
            self.assertNotIn(key % user, after)
            self.assertIn(key % other, after)
            self.assertNotIn("[HKEY_CURRENT_USER", after)

        done, _ = self.preview("--user", "bob")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("--user bob: HKEY_USERS has no such subkey (it has .DEFAULT, alice)", done.stderr)
        nt = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n\"Version\"=\"winxp\"\r\n"
        done, _ = self.preview("--user", "alice", files=[("me.reg", self.USERS), ("nt.reg", nt)])
        self.assertIn("gives HKEY_CURRENT_USER itself", done.stderr)
        done, _ = self.preview(files=[("me.reg", self.USERS.replace("HKEY_USERS\\", "HKEY_USERS\\x"))])
        self.assertIn("Current user: none", done.stdout)


SYSTEM_ONLY = ("Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P1]\r\n"
               "\"Name\"=\"P1\"\r\n\"Printer Driver\"=\"Model 12\"\r\n\"Port\"=\"LPT1:\"\r\n"
               "\r\n[HKEY_CURRENT_USER\\Software]\r\n").encode("utf-16-le")


def summary(shown):
    """The lines before the details."""
    return shown.split("\n\n", 1)[0]


class AnswerFirst(unittest.TestCase):
    """The verdict, the printers told and every warning come first, and the
    JSON document tells the same as the text."""

    def preview(self, machine, *args, text="-uninstall=Model 12", json_too=False):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "machine.reg")
            with open(path, "wb") as f:
                f.write(machine)
            if not json_too:  # in the C locale, as a Windows-1252 terminal would type it
                done = run(*args, "--machine", path, "--", text.encode("latin-1"), tmpdir=tmp)
                self.assertEqual(done.returncode, 0, done.stderr)
                return done.stdout
            shown, as_json = (run(*args, *extra, "--machine", path, "--", text, tmpdir=tmp,
                                  locale="C.UTF-8") for extra in ([], ["--json"]))
            self.assertEqual((shown.returncode, as_json.returncode), (0, 0), shown.stderr)
            return shown.stdout.encode("latin-1").decode(), json.loads(as_json.stdout)

    def test_each_misleading_case_is_warned_in_the_summary(self):
        for machine, args, text, warning in (
                (SYSTEM_ONLY, ["--os", "winxp"], "-uninstall=Model 12",
                 "Warning: no input gives HKEY_LOCAL_MACHINE\\Software, yet the run writes there: "
                 "its 5 keys shown as new may already exist on the machine (add the SOFTWARE hive"),
                (ME_CLEAN + FAX_PRINTER, [], '-uninstall="Model 12"',
                 'Warning: the driver name ""Model 12"" has quotes or blanks at its ends'),
                (ME_CLEAN + FAX_PRINTER, [], "-uninstall=Model 12 ",
                 'Warning: the driver name "Model 12 " has quotes or blanks'),
                (ME_CLEAN, [], "-uninstall=Model 12",
                 'Warning: no printer uses the driver "Model 12", so none would be told; the '
                 'log\'s "ComponentUninstall (...) Failed" says the same and does not stop'),
                (ME_CLEAN + FAX_PRINTER, ["--os", "win98"], "-uninstall=Model 12",
                 "Warning: --os win98 decides, but the inputs say otherwise: "),
                (ME_CLEAN, [], "-uninstall=Model 12",
                 "Warning: no input gives HKEY_CURRENT_USER, which the run reads")):
            shown = self.preview(machine, *args, text=text)
            self.assertIn(warning, summary(shown))
        shown = self.preview(ME_CLEAN + FAX_PRINTER, text="-uninstall=Mod\xe8l 12")
        self.assertIn('Verdict: the run would succeed (the log ends "The Morix Succeeded")\n'
                      'Operation: uninstall of the driver "Mod<U+00E8>l 12"\n'
                      'Printers told: 1 of 1 ("Fax B<U+00FC>ro")\n', shown)
        shown = self.preview(ME_CLEAN, text="-uninstall=A\\B")
        self.assertIn("Verdict: the run would fail", summary(shown))

    def test_the_json_document_tells_what_the_text_does(self):
        for machine, args, text in ((ME_CLEAN + FAX_PRINTER, [], "-uninstall=Mod\xe8l 12"),
                                    (SYSTEM_ONLY, ["--os", "winxp", "--component", "absent"],
                                     "-uninstall=Model 12"),
                                    (ME_CLEAN, [], INSTALL)):
            shown, doc = self.preview(machine, *args, text=text, json_too=True)
            head = summary(shown)
            self.assertIn("Verdict: the run would %s" % {"succeeded": "succeed", "failed": "fail"}[
                doc["verdict"]], head)
            self.assertEqual([w["text"] for w in doc["warnings"]],
                             [l[len("Warning: "):] for l in head.splitlines()
                              if l.startswith("Warning: ")])
            told = [p["name"] for p in doc["printers"] if p["told"]]
            self.assertEqual(told, [c["printer"] for c in doc["component_calls"]])
            self.assertEqual(len(told), int(re.search(r"Printers told: (\d+)", head).group(1)))
            log = shown.split("\n======== The log (C:\\TEMP\\qvzmorix00.log)\n")[1].split(
                "\n\n======== Registry changes")[0]
            self.assertEqual(normalise("\n".join(doc["log"]["lines"])), normalise(log))
            counts, changes = doc["registry"]["counts"], doc["registry"]["changes"]
            kinds = collections.Counter(c["change"] for c in changes)
            self.assertEqual((kinds["key_removed"], kinds["key_created"], kinds["value_written"],
                              kinds["value_removed"]),
                             (counts["keys_removed"], counts["keys_created"],
                              counts["values_written"], counts["values_removed"]))
            self.assertIn("Registry: %d key" % counts["keys_removed"], head)
            for change in changes:
                if change["change"] == "value_written":
                    self.assertIn('"%s"=' % change["name"], shown)
                    self.assertEqual(change["after"]["type"] == "REG_SZ",
                                     "text" in change["after"])
        self.assertEqual(doc["operation"], "install")
        self.assertEqual(doc["driver"], "Model 12")

    def test_json_carries_any_name_and_any_path(self):
        printer = "Tab\tQuote\" Back\\ \x01 B\xfcro \x81"
        escaped = printer.replace("\\", "\\\\").replace('"', '\\"')
        machine = ME_CLEAN + FAX_PRINTER.replace(b'"Name"="Fax B\xfcro"',
                                                 b'"Name"="%s"' % escaped.encode("latin-1"))
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(os.fsencode(tmp), b"m\xff.reg")
            with open(path, "wb") as f:
                f.write(machine)
            done = subprocess.run([PREVIEW, "--json", "--machine", path, "--",
                                   "-uninstall=Mod\xe8l 12".encode("latin-1")],
                                  env=dict(os.environ, LC_ALL="C", TMPDIR=tmp),
                                  capture_output=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.isascii())
            doc = json.loads(done.stdout)
            self.assertEqual(os.fsencode(doc["inputs"][0]["path"]), path)
            seen = printer.encode("latin-1").decode("cp1252", errors="replace").replace(
                "\ufffd", "\x81")
            self.assertEqual(doc["printers"][0]["name"], seen)
            self.assertEqual(doc["component_calls"], [{"function": "VendorUninstall",
                                                       "printer": seen}])
            self.assertEqual(doc["driver"], "Mod\xe8l 12")
            # The terminal shows the same name with its control characters escaped.
            text = run("--machine", os.fsdecode(path), "--", "-uninstall=Model 12", tmpdir=tmp)
            self.assertIn('"Tab\tQuote" Back\\ <U+0001> B<U+00FC>ro <U+0081>": driver', text.stdout)


class HelpAndChecks(unittest.TestCase):
    def test_help_options_and_what_to_do(self):
        for args in (["--help"], ["--machine", "x", "--help"], ["-h"]):
            done = run(*args)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            for word in ("--machine", "--os", "--user", "--component", "--write-result", "--keep",
                         "--json", "NTUSER.DAT", "SYSTEM.DAT", "REGEDIT4", "Exit status", "130"):
                self.assertIn(word, done.stdout)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "me.reg")
            with open(path, "wb") as f:
                f.write(ME_CLEAN)
            done = run("--os=win98", "--component=absent", "--machine=" + path, "--",
                       "-uninstall=Model 12", tmpdir=tmp)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("Windows version: win98 (named with --os", done.stdout)
            self.assertIn("Component library: absent", done.stdout)
            for args, code, message in (
                    (["--machine", path, "-uninstall=Model 12"], 2,
                     "unknown argument -uninstall=Model 12: the program's argument text goes "
                     "after --, quoted as one argument: -- '-uninstall=Model 12'"),
                    (["--machine", path, "--", "-uninstall=Model", "12"], 2,
                     "quoted as one argument: -- '-uninstall=Model 12'"),
                    (["--keep=yes", "--machine", path, "--", "-uninstall=M"], 2,
                     "--keep takes no value"),
                    (["--write-result", tmp + "/no/after.reg", "--machine", path, "--", "-uninstall=M"],
                     1, "the folder %s/no/ does not exist" % tmp),
                    (["--write-result", tmp, "--machine", path, "--", "-uninstall=M"], 1,
                     "is a folder"),
                    (["--machine", SYSTEM_ONLY and path.replace("me.reg", "none.reg"), "--", "-u"],
                     1, "cannot be read")):
                done = run(*args, tmpdir=tmp)
                self.assertEqual((done.returncode, done.stdout), (code, ""), args)
                self.assertIn(message, done.stderr)
            with open(os.path.join(tmp, "sys.reg"), "wb") as f:
                f.write(SYSTEM_ONLY)
            done = run("--machine", os.path.join(tmp, "sys.reg"), "--", "-uninstall=M", tmpdir=tmp)
            self.assertIn("add the input that has it (NT: the SOFTWARE hive", done.stderr)
            result = os.path.join(tmp, "after.reg")
            with open(result, "w") as f:
                f.write("old")
            done = run("--write-result", result, "--machine", path, "--", "-uninstall=M", tmpdir=tmp)
            self.assertIn("--write-result replaces the existing file " + result, done.stdout)
            self.assertEqual(sorted(os.listdir(tmp)), ["after.reg", "me.reg", "sys.reg"])


class Interrupts(unittest.TestCase):
    def test_each_interrupt_removes_the_temporary_folder(self):
        with tempfile.TemporaryDirectory() as tmp:
            machine = os.path.join(tmp, "big.reg")
            with open(machine, "w") as f:
                f.write(ME_CLEAN.decode() + "".join(
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Filler\\K%06d]\r\n\"V\"=\"%s\"\r\n" % (i, "x" * 40)
                    for i in range(150000)))
            work = os.path.join(tmp, "work")
            os.mkdir(work)
            for signal_number, when in ((signal.SIGINT, "run"), (signal.SIGTERM, "run"),
                                        (signal.SIGHUP, "run"), (signal.SIGTERM, "load")):
                child = subprocess.Popen([PREVIEW, "--machine", machine, "--", "-uninstall=M"],
                                         env=dict(os.environ, TMPDIR=work),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                # Once it reads the machine file, or once the temporary folder is there.
                fds = "/proc/%d/fd" % child.pid
                loading = lambda: any(os.path.realpath(os.path.join(fds, fd)) == machine
                                      for fd in os.listdir(fds))
                deadline = time.monotonic() + 60
                while not (os.listdir(work) if when == "run" else loading()) and \
                        time.monotonic() < deadline:
                    time.sleep(0.002)
                child.send_signal(signal_number)
                _, err = child.communicate(timeout=60)
                self.assertEqual(child.returncode, 128 + signal_number, err)
                self.assertEqual(os.listdir(work), [], (signal_number, when))
                if when == "run":
                    self.assertIn(b"the temporary machine folder is removed", err)


def real(*parts):
    path = os.path.join(REAL, *parts)
    if not os.path.exists(path):
        raise unittest.SkipTest("%s is not there" % path)
    return path


def placed(path, name, tmp):
    """The sample under the name Windows gives it, decompressed."""
    folder = tempfile.mkdtemp(dir=tmp)
    target = os.path.join(folder, name)
    with open(target, "wb") as f:
        if path.endswith(".xz"):
            subprocess.run(["xz", "-dc", path], stdout=f, check=True)
        else:
            with open(path, "rb") as source:
                f.write(source.read())
    return target


class RealRegistries(unittest.TestCase):
    def test_damaged_and_odd_input_is_refused_with_its_reason(self):
        with tempfile.TemporaryDirectory() as tmp:
            for sample, name, message in (
                    (("derived", "hives", "loop", "NTUSER.DAT.xz"), "NTUSER.DAT",
                     "[HKEY_CURRENT_USER\\AppEvents\\$$$PROTO.HIV]: damaged hive: its subkey list leads "
                     "back to a key above it"),
                    (("derived", "hives", "valnl", "SOFTWARE"), "SOFTWARE",
                     "value name 'line1\\nline2' has a line break"),
                    (("derived", "text", "deep100000.reg"), "deep.reg",
                     "deep.reg:3: key path 100001 levels deep"),
                    (("regipy", "corrupted_system_hive.xz"), "SYSTEM",
                     "trailing garbage at end of file"),
                    (("yarp", "TruncatedHive"), "NTUSER.DAT",
                     "its subkeys cannot be read (damaged hive): ri-offset is not a valid block")):
                path = placed(real(*sample), name, tmp)
                started = time.monotonic()
                done = run("--os", "winxp", "--machine", path, "--", "-uninstall=Model 12",
                           tmpdir=tmp)
                self.assertLess(time.monotonic() - started, 5, name)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertIn(path + ":", done.stderr)
                self.assertIn(message, done.stderr)

    def test_real_hives_load_with_what_they_hold(self):
        with tempfile.TemporaryDirectory() as tmp:
            system = placed(real("regipy", "SYSTEM.xz"), "SYSTEM", tmp)
            sam = placed(real("dfwinreg", "SAM"), "SAM", tmp)
            dirty = placed(real("yarp", "NewDirtyHive1", "NewDirtyHive"), "NTUSER.DAT", tmp)
            result = os.path.join(tmp, "after.reg")
            done = run("--os", "winxp", "--machine", system, "--machine", sam, "--machine", dirty,
                       "--write-result", result, "--", "-uninstall=Model 12", tmpdir=tmp)
            self.assertEqual(done.returncode, 0, done.stderr)
            # The Japanese era names, as the program sees them.
            self.assertRegex(done.stdout, system + r": \d+ names and strings converted")
            self.assertIn(dirty + ": a dirty hive", done.stdout)
            with open(result, "rb") as f:
                after = f.read()
            # Value types beyond libhivex's list stay the numbers they are.
            self.assertRegex(after, rb"=hex\([0-9a-f]{3,8}\):")

    def test_9x_registry_files_preview_as_their_export(self):
        with tempfile.TemporaryDirectory() as tmp:
            files = [placed(real("dfwinreg", n), n, tmp) for n in ("SYSTEM.DAT", "USER.DAT")]
            export = [real("dfwinreg-winme", n) for n in ("system.reg", "user.reg")]
            shown = []
            for paths in (files, export):
                done = run(*[a for p in paths for a in ("--machine", p)], "--",
                           "-uninstall=Model 12", tmpdir=tmp)
                if "libcreg" in done.stderr:
                    self.skipTest(done.stderr)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("Windows version: winme", done.stdout)
                self.assertIn("Current user: HKEY_CURRENT_USER is HKEY_USERS\\.DEFAULT", done.stdout)
                shown.append(normalise(done.stdout).split("\n======== The log", 1)[1])
            self.assertEqual(shown[0], shown[1])


if __name__ == "__main__":
    PREVIEW = sys.argv[1]
    REG2HIVE = sys.argv[3] if len(sys.argv) > 3 else None
    cases = {"hive": "PreviewOnHives","win98": "PreviewOnSamples.test_win98", "winxp": "PreviewOnSamples.test_winxp",
             "options": "PreviewOnSamples.test_assumptions_are_shown", "bad_input": "BadInput",
             "assumptions": "Assumptions", "text_forms": "TextForms",
             "user": "CurrentUserOfA9xMachine", "real": "RealRegistries",
             "answer": "AnswerFirst", "checks": "HelpAndChecks", "interrupts": "Interrupts"}
    suite = unittest.defaultTestLoader.loadTestsFromName(cases[sys.argv[2]], sys.modules[__name__])
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)

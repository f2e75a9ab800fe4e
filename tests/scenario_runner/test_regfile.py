"""Checks of the registry file reader shared by the scenario runner and the demo."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import regfile  # noqa: E402
from regfile import REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_MULTI_SZ, REG_SZ  # noqa: E402

SAMPLE = r'''REGEDIT4

; a comment
[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\Model 12]
"Product"="X"
@="default"
"Quoted"="say \"hi\" C:\\TEMP\\"
"Flag"=dword:0000000a
"Blob"=hex:01,02,\
  03,ff
"Expand"=hex(2):25,54,45,4d,50,25,00
"Multi"=hex(7):61,00,62,63,00,00

[HKLM\software\brenmoor\qvz\vesk\model 12\Sub]
'''


class Regedit4(unittest.TestCase):
    def test_values_keep_type_and_data(self):
        reg = regfile.Registry().apply(regfile.parse_operations(SAMPLE))
        key = r"HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\Model 12"
        self.assertEqual(reg.get_value(key, "product"), (REG_SZ, "X"))
        self.assertEqual(reg.get_value(key, ""), (REG_SZ, "default"))
        self.assertEqual(reg.get_value(key, "Quoted"), (REG_SZ, 'say "hi" C:\\TEMP\\'))
        self.assertEqual(reg.get_value(key, "Flag"), (REG_DWORD, b"\x0a\0\0\0"))
        self.assertEqual(reg.get_value(key, "Blob"), (REG_BINARY, b"\x01\x02\x03\xff"))
        self.assertEqual(reg.get_value(key, "Expand"), (REG_EXPAND_SZ, "%TEMP%"))
        self.assertEqual(reg.get_value(key, "Multi"), (REG_MULTI_SZ, "a\0bc\0"))
        self.assertIsNone(reg.get_value(key, "Missing"))

    def test_keys_ignore_letter_case_and_root_abbreviations(self):
        reg = regfile.Registry().apply(regfile.parse_operations(SAMPLE))
        self.assertIsNotNone(reg.find_key(r"HKEY_LOCAL_MACHINE\SOFTWARE\BRENMOOR\QVZ\VESK\MODEL 12\SUB"))
        # Parents exist although the file never names them.
        self.assertIsNotNone(reg.find_key(r"HKLM\Software\Brenmoor"))
        self.assertIsNone(reg.find_key(r"HKCU\Software\Brenmoor"))

    def test_deletions(self):
        text = SAMPLE + '\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12\\Sub]\n' \
            '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n"Flag"=-\n'
        reg = regfile.Registry().apply(regfile.parse_operations(text))
        key = r"HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\Model 12"
        self.assertIsNone(reg.find_key(key + r"\Sub"))
        self.assertIsNone(reg.get_value(key, "Flag"))
        self.assertEqual(reg.get_value(key, "Product"), (REG_SZ, "X"))

    def test_malformed_files_name_the_line(self):
        with self.assertRaisesRegex(regfile.RegError, "header"):
            regfile.parse_operations("[HKEY_LOCAL_MACHINE\\X]\n")
        with self.assertRaisesRegex(regfile.RegError, r"f:4: cannot read value data"):
            regfile.parse_operations('REGEDIT4\n\n[HKLM\\X]\n"a"=dword:zz\n', "f")
        with self.assertRaisesRegex(regfile.RegError, "value outside a key"):
            regfile.parse_operations('REGEDIT4\n"a"="b"\n')

    def test_dump_reads_back_the_same(self):
        reg = regfile.Registry().apply(regfile.parse_operations(SAMPLE))
        again = regfile.Registry().apply(regfile.parse_operations(regfile.dump(reg)))
        self.assertEqual(regfile.diff(reg, again), "")
        self.assertEqual(regfile.dump(again), regfile.dump(reg))


WINE_FILE = r'''WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win32

[Software\\Brenmoor\\QVZ\\Vesk] 1733636290
#time=1db4935a1a0b3a4
"registrycleanup"="false"
"Name"="Caf\xe9 \"q\""
"Path"=str(2):"%SystemRoot%\\system32"
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Count"=dword:00000002

[System\\ControlSet001\\Control\\Print\\Printers\\Model 12 USB] 1733636290
"Printer Driver"="Model 12"

[Software\\Link] 1733636290
#link
"SymbolicLinkValue"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,00,\
  5c,00,4d,00,61,00,63,00,68,00,69,00,6e,00,65,00,5c,00,53,00,6f,00,66,00,74,00,\
  77,00,61,00,72,00,65,00,5c,00,42,00,72,00,65,00,6e,00,6d,00,6f,00,6f,00,72,00
'''


class WinePrefixFiles(unittest.TestCase):
    def setUp(self):
        self.reg = regfile.parse_wine_file(WINE_FILE, "HKEY_LOCAL_MACHINE")

    def test_wine_strings_are_unicode_and_escaped(self):
        key = r"HKLM\Software\Brenmoor\QVZ\Vesk"
        self.assertEqual(self.reg.get_value(key, "registrycleanup"), (REG_SZ, "false"))
        self.assertEqual(self.reg.get_value(key, "Name"), (REG_SZ, 'Caf\xe9 "q"'))
        self.assertEqual(self.reg.get_value(key, "Path"), (REG_EXPAND_SZ, "%SystemRoot%\\system32"))
        self.assertEqual(self.reg.get_value(key, "Multi"), (REG_MULTI_SZ, "a\0b\0"))
        self.assertEqual(self.reg.get_value(key, "Count"), (REG_DWORD, b"\2\0\0\0"))

    def test_same_value_from_regedit4_and_wine_compares_equal(self):
        ops = regfile.parse_operations('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brenmoor\\QVZ\\Vesk]\n'
                                       '"Multi"=hex(7):61,00,62,00,00\n"registrycleanup"="false"\n')
        self.assertEqual(regfile.check_expectations(self.reg, ops), [])

    def test_symbolic_links_are_followed(self):
        self.assertEqual(self.reg.get_value(r"HKLM\Software\Link\QVZ\Vesk", "Count"), (REG_DWORD, b"\2\0\0\0"))

    def test_current_control_set_is_control_set_001(self):
        import tempfile
        with tempfile.TemporaryDirectory() as prefix:
            with open(os.path.join(prefix, "system.reg"), "w") as f:
                f.write(WINE_FILE)
            with open(os.path.join(prefix, "user.reg"), "w") as f:
                f.write('WINE REGISTRY Version 2\n\n[Software\\\\Wine] 1\n"Version"="win98"\n')
            reg = regfile.load_wine_prefix(prefix)
        self.assertEqual(reg.get_value(r"HKLM\System\CurrentControlSet\Control\Print\Printers\Model 12 USB",
                                       "Printer Driver"), (REG_SZ, "Model 12"))
        self.assertEqual(reg.get_value(r"HKCU\Software\Wine", "Version"), (REG_SZ, "win98"))


class Expectations(unittest.TestCase):
    def setUp(self):
        self.reg = regfile.Registry().apply(regfile.parse_operations(SAMPLE))

    def check(self, body):
        return regfile.check_expectations(self.reg, regfile.parse_operations("REGEDIT4\n\n" + body))

    def test_values_must_match_type_and_data(self):
        key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n"
        self.assertEqual(self.check(key + '"Product"="X"\n"Flag"=dword:0000000a\n'), [])
        self.assertEqual(len(self.check(key + '"Product"="x"\n')), 1)  # data is exact
        self.assertEqual(len(self.check(key + '"Flag"=hex:0a,00,00,00\n')), 1)  # type counts
        self.assertEqual(len(self.check(key + '"Expand"="%TEMP%"\n')), 1)
        self.assertEqual(len(self.check(key + '"Missing"="X"\n')), 1)

    def test_absent_values_and_keys(self):
        key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n"
        self.assertEqual(self.check(key + '"Missing"=-\n'), [])
        self.assertEqual(len(self.check(key + '"Product"=-\n')), 1)
        self.assertEqual(self.check("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"), [])
        self.assertEqual(len(self.check("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor]\n")), 1)

    def test_bare_key_must_exist_but_a_key_with_absent_values_need_not(self):
        self.assertEqual(self.check("[HKLM\\SOFTWARE\\Brenmoor\\QVZ]\n"), [])
        self.assertEqual(len(self.check("[HKLM\\SOFTWARE\\Nowhere]\n")), 1)
        self.assertEqual(self.check('[HKLM\\SOFTWARE\\Nowhere]\n"x"=-\n'), [])


class Diff(unittest.TestCase):
    def test_lists_what_changed(self):
        before = regfile.Registry().apply(regfile.parse_operations(SAMPLE))
        after = regfile.Registry().apply(regfile.parse_operations(
            SAMPLE + '\n[-HKLM\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]\n'
            '[HKLM\\SOFTWARE\\Brenmoor\\QVZ\\Vesk]\n"registrycleanup"="false"\n'))
        changes = regfile.diff(before, after)
        # Only the top of a removed subtree is listed.
        self.assertIn("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\QVZ\\Vesk\\Model 12]", changes)
        self.assertNotIn("Sub]", changes)
        self.assertIn('"registrycleanup"="false"', changes)
        # Applying the listing to before gives after.
        again = regfile.Registry().apply(regfile.parse_operations(SAMPLE)).apply(
            regfile.parse_operations("REGEDIT4\n\n" + changes))
        self.assertEqual(regfile.diff(after, again), "")


if __name__ == "__main__":
    unittest.main()

"""What `scripts/preview --wine` gives Wine from an input (scripts/wine_machine.py), without Wine: the
keys the program works on, with the current control set as CurrentControlSet,
a 9x export's default user as HKEY_CURRENT_USER, ANSI text decoded, and the
rest left out."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import wine_machine  # noqa: E402

V5_FROM_HIVE = """Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]
"Current"=dword:00000002

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Old]
"Name"="Old"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Control\\Print\\Printers\\Łódź]
"Name"="Łódź"

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Netlogon\\Parameters]
"DynamicSiteName"=hex(1):41,00,42

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf\\C32]
"Installed"="1"
"""

R4_9X = """REGEDIT4

[HKEY_USERS\\.DEFAULT\\Software\\Brenmoor\\X]
"A"=hex(2):80,e9,00

[HKEY_USERS\\Other\\Software\\Brenmoor\\Y]

[HKEY_LOCAL_MACHINE\\Enum\\USBPRINT\\M\\0001]
"HardwareID"="B\xfcro"

[HKEY_LOCAL_MACHINE\\Enum\\PCI\\X]
"""


class Import(unittest.TestCase):
    def machine(self, text, encoding, user=None):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "machine.reg")
            with open(path, "wb") as f:
                f.write(b"\xff\xfe" + text.encode("utf-16-le") if encoding == "utf-16-le" else text.encode(encoding))
            machine = wine_machine.WineMachine(user)
            machine.read([path], None)
        return machine

    def test_hive_export(self):
        m = self.machine(V5_FROM_HIVE, "utf-16-le")
        keys = sorted(k.path for k in m.registry.keys.values() if wine_machine.under(k.path, wine_machine.IMPORTED))
        self.assertEqual(keys, ["HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf",
                                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\qvf\\C32",
                                "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                                "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Łódź"])
        self.assertEqual(m.skipped, 3)  # Select, the other control set's printer, Services
        self.assertIn('[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Łódź]\r\n"Name"="Łódź"',
                      m.export("winxp").decode("utf-16-le"))

    def test_9x_export(self):
        m = self.machine(R4_9X, "latin-1")
        self.assertEqual(m.registry.get_value("HKEY_CURRENT_USER\\Software\\Brenmoor\\X", "A"), (2, "€é"))
        self.assertIsNone(m.registry.find_key("HKEY_CURRENT_USER\\Software\\Brenmoor\\Y"))
        self.assertEqual(m.registry.get_value("HKEY_LOCAL_MACHINE\\Enum\\USBPRINT\\M\\0001", "HardwareID"),
                         (1, "Büro"))
        self.assertIsNone(m.registry.find_key("HKEY_LOCAL_MACHINE\\Enum\\PCI\\X"))
        other = self.machine(R4_9X, "latin-1", user="Other")
        self.assertIsNotNone(other.registry.find_key("HKEY_CURRENT_USER\\Software\\Brenmoor\\Y"))

    def test_ansi_as_windows_converts(self):
        self.assertEqual(wine_machine.to_ansi("Łódź Ā∞ Drucker €"), "Lódz A8 Drucker \x80")
        self.assertEqual(wine_machine.to_ansi("ＡＢ\U0001F600"), "AB??")


if __name__ == "__main__":
    unittest.main()

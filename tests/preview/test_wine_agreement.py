#!/usr/bin/env python3
"""The preview against the shipped program under Wine, on real machines of
the corpus with an installed "Model 12" grafted on: `scripts/preview --wine`
for each case must report the same registry changes, component calls in the
same order and the same log lines (exit status 0).

    test_wine_agreement.py CORPUS-FOLDER [PATTERN ...]

PATTERN: run only the cases whose name contains one of them (e.g. winme,
-install). MORIX_WINE_BUILD and MORIX_WINE_ARCH name the Windows build and
Wine to use (default: the windows preset, 32-bit Wine). Exits 77 (skipped),
saying why, without the corpus or where that Wine cannot run. The inputs are
made in a work folder under the build folder (the corpus is only read).
"""

import concurrent.futures
import hashlib
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import hivefile  # noqa: E402
import wine_machine  # noqa: E402
import regfile  # noqa: E402

SKIPPED = 77
INSTALL = "-printerdriver=Model 12 -product=X -port=LPT1:"
UNINSTALL = "-uninstall=Model 12"
PRINTERS = "Control\\Print\\Printers"

# The driver as its installer leaves it: vendor keys in both roots (HKCU as
# a 9x whole export names it) and, on 9x, the device keys it removes.
VENDOR = r"""
[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\Factory\Model 12]
"DeviceID"="BRENMOORMODEL_12"

[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\1284PnP]
"Model 12"="BRENMOORMODEL_12"

[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVZ\Vesk\Legacy\Model 12]
"Installed"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\qvf\C32]
"Installed"="1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Brenmoor\QVKR Printing System Config\Model 12]
"QVKREnableStatusServer"=dword:00000001
"""
USER_VENDOR = r"""
[{user}\Software\Brenmoor\QVKR Printing System Config\Model 12]
"QVKREnableStatusWindow"=dword:00000001
"""
DEVICES_9X = r"""
[HKEY_LOCAL_MACHINE\Enum\PARENUM\BRENMOORMODEL_12]
"HardwareID"="PARENUM\\BRENMOORMODEL_12"

[HKEY_LOCAL_MACHINE\Enum\LPTENUM\BRENMOORMODEL_12]
"HardwareID"="LPTENUM\\BRENMOORMODEL_12"

[HKEY_LOCAL_MACHINE\Enum\USBPRINT\BrenmoorModel_12\0001]
"HardwareID"="USBPRINT\\BRENMOORMODEL_12A1B2"
"Driver"="Printer\\0009"
"ClassGuid"="{0B5A1C3E-0000-4000-8000-00000000AAAA}"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Printer\0009]
"DriverDesc"="Model 12"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\{0B5A1C3E-0000-4000-8000-00000000AAAA}]
"Class"="Printer"
"""


def printers(key, names):
    """Printer keys: (name, driver, port), under the given printers key."""
    return "".join('\n[%s\\%s]\n"Name"="%s"\n"Printer Driver"="%s"\n"Port"="%s"\n' % (key, n, n, d, p)
                   for n, d, p in names)


def copy_with(src, dest, text, encoding):
    """A copy of an export with keys appended, in the export's own encoding."""
    with open(src, "rb") as f:
        data = f.read()
    with open(dest, "wb") as f:
        f.write(data + text.replace("\n", "\r\n").encode(encoding))
    return dest


def winme(corpus, work):
    folder = os.path.join(corpus, "dfwinreg-winme")
    key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\" + PRINTERS
    system = printers(key, [("Model 12 USB", "Model 12", "USB001"), ("Büro Laser", "Model 12", "LPT1:"),
                            ("Other Laser", "Other 5", "LPT2:")]) + VENDOR + DEVICES_9X
    return [copy_with(os.path.join(folder, "system.reg"), os.path.join(work, "system.reg"), system, "cp1252"),
            copy_with(os.path.join(folder, "user.reg"), os.path.join(work, "user.reg"),
                      USER_VENDOR.format(user="HKEY_USERS\\.DEFAULT"), "cp1252")]


# A printer whose name Windows-1252 cannot write, beside one of the same
# driver that sorts after it by its converted name and before it in Unicode.
NT_PRINTERS = [("Łódź Ā∞ Drucker", "Model 12", "LPT1:"), ("Model 12 USB", "Model 12", "USB001")]


def win7_print(corpus, work):
    key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\" + PRINTERS
    graft = printers(key, NT_PRINTERS) + VENDOR + USER_VENDOR.format(user="HKEY_CURRENT_USER")
    return [copy_with(os.path.join(corpus, "printerreset", "PRINT_x86_6_1_7601_client.reg"),
                      os.path.join(work, "PRINT_x86_6_1_7601_client.reg"), graft, "utf-16-le")]


def hive_value(name, vtype, data):
    """A value as regedit 5.00 writes it: a string as text where its data
    is whole UTF-16 text, anything else as hex."""
    if vtype == regfile.REG_SZ and len(data) % 2 == 0 and data.endswith(b"\0\0"):
        text = data.decode("utf-16-le", "surrogatepass")[:-1]
        if "\0" not in text and "\r" not in text and "\n" not in text:
            return wine_machine.format_value(name, vtype, text)
    if vtype == regfile.REG_DWORD and len(data) == 4:
        return wine_machine.format_value(name, vtype, data)
    left = "@" if name == "" else regfile.format_string(name)
    return left + "=" + ("hex:" if vtype == regfile.REG_BINARY else "hex(%x):" % vtype) + \
        ",".join("%02x" % b for b in data)


def hive_pair_export(corpus, work):
    """A real Windows 7 SYSTEM hive and a real Windows 10 SOFTWARE hive
    written as one version 5.00 export, with the driver grafted on."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for name, root in (("SYSTEM.xz", "HKEY_LOCAL_MACHINE\\SYSTEM"),
                       ("ntuser_software_partial.xz", "HKEY_LOCAL_MACHINE\\SOFTWARE")):
        with lzma.open(os.path.join(corpus, "regipy", name)) as f:
            hive = hivefile.Hive(f.read())

        def visit(path, values):
            lines.append("[%s]" % path)
            lines.extend(hive_value(*v) for v in values)
            lines.append("")
        hive.walk(hive.root, root, visit)
    key = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\" + PRINTERS  # Select "Current" is 1
    text = "\n".join(lines) + printers(key, NT_PRINTERS) + VENDOR
    path = os.path.join(work, "win7-system-win10-software.reg")
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le", "surrogatepass"))
    return [path]


def xp_combo_hives(corpus, work):
    """Our own derived XP machine as hive files, read by both hive readers."""
    out = []
    for name in ("SYSTEM.xz", "SOFTWARE", "NTUSER.DAT.xz"):
        src = os.path.join(corpus, "derived", "hives", "xp-combo", name)
        dest = os.path.join(work, name[:-3] if name.endswith(".xz") else name)
        with (lzma.open if name.endswith(".xz") else open)(src, "rb") as f, open(dest, "wb") as g:
            shutil.copyfileobj(f, g)
        out.append(dest)
    return out


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


# (name, machine maker, --os, argument text)
CASES = [("winme-uninstall", winme, "winme", UNINSTALL),
         ("winme-install", winme, "winme", INSTALL),
         ("win7-print-export-uninstall", win7_print, "winxp", UNINSTALL),
         ("win7-print-export-install", win7_print, "winxp", INSTALL),
         ("nt-hive-pair-export-uninstall", hive_pair_export, "winxp", UNINSTALL),
         ("nt-hive-pair-export-install", hive_pair_export, "winxp", INSTALL),
         ("xp-combo-hives-uninstall", xp_combo_hives, "winxp", UNINSTALL)]


def main(argv):
    corpus, patterns = argv[1], argv[2:]
    if not os.path.isdir(corpus):
        print("skipped: no real-registry corpus at %s" % corpus)
        return SKIPPED
    arch = os.environ.get("MORIX_WINE_ARCH", "win32")
    probe = subprocess.run([os.path.join(ROOT, "scripts", "wine-run"), "--arch", arch, "--probe"],
                           capture_output=True, text=True)
    if probe.returncode == SKIPPED:
        print("skipped: %s Wine does not run here: %s" % (arch, (probe.stdout + probe.stderr).strip()))
        return SKIPPED
    if probe.returncode != 0:
        print("wine-run --probe failed: %s" % (probe.stdout + probe.stderr).strip())
        return 1
    build = os.environ.get("MORIX_WINE_BUILD", os.path.join(ROOT, "build", "windows"))
    cases = [c for c in CASES if not patterns or any(p in c[0] for p in patterns)]
    env = dict(os.environ, MORIX_PREVIEW_BUILD=os.environ.get("MORIX_PREVIEW_BUILD", "host"),
               MORIX_WINE_BUILD=build, MORIX_WINE_ARCH=arch, LC_ALL="C.UTF-8")
    failed = []
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="wine-agreement.", dir=build) as work:
        made = {}
        for _, maker, _, _ in cases:
            if maker not in made:
                folder = os.path.join(work, maker.__name__)
                os.mkdir(folder)
                made[maker] = maker(corpus, folder)

        inputs = {p: digest(p) for paths in made.values() for p in paths}

        def run(case):
            name, maker, os_name, text = case
            case_started = time.time()
            args = [a for p in made[maker] for a in ("--machine", p)]
            # A temporary folder of the case's own, which must stay empty.
            temp = os.path.join(work, name + ".tmp")
            os.mkdir(temp)
            done = subprocess.run([os.path.join(ROOT, "scripts", "preview"), "--wine", "--os", os_name] + args +
                                  ["--", text], env=dict(env, TMPDIR=temp), capture_output=True, timeout=600)
            if os.listdir(temp):
                done.returncode = "left %s in the temporary folder" % os.listdir(temp)
            return done, time.time() - case_started

        # Two at a time: most of a case is Wine starting up, under emulation.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for (name, _, _, _), (done, took) in zip(cases, pool.map(run, cases)):
                out = done.stdout.decode("utf-8", "replace")
                verdict = out[out.rfind("\n======== Under Wine"):] if "======== Under Wine" in out else out
                ok = done.returncode == 0
                print("%-32s %s (%.0f s)" % (name, "agree" if ok else "FAILED, status %s" % done.returncode, took))
                if not ok:
                    failed.append(name)
                    print("    " + (verdict.strip() + "\n" + done.stderr.decode("utf-8", "replace").strip())
                          .replace("\n", "\n    "))
        changed = [p for p, d in inputs.items() if digest(p) != d]
        if changed:
            failed.append("inputs changed: %s" % changed)
    print("%d of %d cases agree (%.0f s)%s" % (len(cases) - len([f for f in failed if f[:6] != "inputs"]), len(cases), time.time() - started,
                                              ": failed " + ", ".join(failed) if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

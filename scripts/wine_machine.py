"""The machine as `scripts/preview --wine` gives it to Wine: the keys the
program reads and writes, read from the inputs by readers of their own (not
the preview's: text exports in any encoding regedit or an editor writes,
hives through hivefile.py), in Unicode, written as a version 5.00 export for
Wine's regedit. The current control set (SYSTEM\\Select "Current") becomes
CurrentControlSet, which Wine keeps as a key of its own; a 9x whole export's
user becomes HKEY_CURRENT_USER. Also the conversion to Windows-1252 the
program's "A" calls see, for comparing with the preview.
"""

import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Where the Windows-1252 best-fit table lives: one place to change when it moves.
CODEPAGE_SOURCE = os.path.join(ROOT, "platform", "src", "codepage.cpp")
sys.path.insert(0, HERE)
import hivefile  # noqa: E402
import regfile  # noqa: E402

HKLM, HKCU = "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"
CCS = HKLM + "\\System\\CurrentControlSet"
# What the program reads and writes besides the spooler's printers (which
# Wine's spooler reads from the printers key).
IMPORTED = [HKLM + "\\SOFTWARE\\Brenmoor", HKCU + "\\Software\\Brenmoor", CCS + "\\Control\\Print\\Printers",
            HKLM + "\\Enum\\PARENUM", HKLM + "\\Enum\\LPTENUM", HKLM + "\\Enum\\USBPRINT",
            CCS + "\\Services\\Class"]
HIVE_ROOTS = {"SYSTEM": HKLM + "\\SYSTEM", "SOFTWARE": HKLM + "\\SOFTWARE", "NTUSER.DAT": HKCU,
              "DEFAULT": "HKEY_USERS\\.DEFAULT", "SAM": HKLM + "\\SAM", "SECURITY": HKLM + "\\SECURITY"}


class Refusal(Exception):
    pass


# --- Windows-1252 as Windows converts to it -----------------------------------


def _best_fit():
    """The best-fit table the preview uses (Microsoft's for code page 1252),
    from the source file that names it."""
    table = {}
    with open(CODEPAGE_SOURCE, errors="replace") as f:
        text = f.read()
    if "bestfit1252" in text:
        for wide, ansi in re.findall(r"\{0x([0-9A-Fa-f]{4}), 0x([0-9A-Fa-f]{2})\}", text):
            table[int(wide, 16)] = int(ansi, 16)
    if len(table) < 100:
        raise SystemExit("preview_wine.py: no best-fit table for Windows-1252 in %s" % CODEPAGE_SOURCE)
    for wide in range(0xFF01, 0xFF5F):
        table[wide] = wide - 0xFF01 + 0x21
    return table


BEST_FIT = _best_fit()


def to_ansi(text):
    """Unicode text as a Windows "A" call hands it over, as the Latin-1
    characters of its bytes (the form regfile keeps REGEDIT4 text in)."""
    out = []
    for ch in text:
        try:
            out.append(ch.encode("cp1252").decode("latin-1"))
        except UnicodeEncodeError:
            code = ord(ch)
            if code in BEST_FIT:
                out.append(chr(BEST_FIT[code]))
            else:
                out.append("?" * (2 if code > 0xFFFF else 1))
    return "".join(out)


def from_ansi(text):
    """Latin-1 characters of Windows-1252 bytes as the text they stand for."""
    return "".join(ch if 0x80 <= ord(ch) < 0xA0 and ch in "\x81\x8d\x8f\x90\x9d"
                   else ch.encode("latin-1").decode("cp1252") for ch in text)


# --- the machine as Wine gets it ------------------------------------------------


def under(path, roots):
    lower = path.lower()
    return any(lower == r.lower() or lower.startswith(r.lower() + "\\") for r in roots)


def decode_text(raw):
    """An export's text in whatever encoding regedit or an editor wrote."""
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le", "replace")
    if raw.startswith(b"\xfe\xff"):
        return raw[2:].decode("utf-16-be", "replace")
    if raw.startswith(b"\xef\xbb\xbf"):
        return raw[3:].decode("utf-8", "replace")
    if raw[1:2] == b"\0":
        return raw.decode("utf-16-le", "replace")
    if raw[:1] == b"\0":
        return raw.decode("utf-16-be", "replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return from_ansi(raw.decode("latin-1"))


class WineMachine:
    """The keys Wine gets, in Unicode, and what was left out."""

    def __init__(self, user):
        self.registry = regfile.Registry()
        self.user = user or ".DEFAULT"
        self.skipped = 0  # keys of text exports not imported
        self.notes = []
        # HKEY_USERS\<user> of a 9x whole export: the current user where no
        # input gives HKEY_CURRENT_USER.
        self.users = regfile.Registry()

    def wanted(self, path, control_sets):
        """Whether a key of an input goes to Wine: IMPORTED with the control
        set that is current standing for CurrentControlSet."""
        lower = path.lower()
        for cs in control_sets:
            lower = lower.replace("\\system\\%s\\" % cs, "\\system\\currentcontrolset\\")
        if lower.startswith("hkey_users\\"):
            parts = lower.split("\\", 2)
            lower = HKCU.lower() + ("\\" + parts[2] if len(parts) > 2 else "")
        return under(lower, IMPORTED)

    def add_text(self, path):
        with open(path, "rb") as f:
            text = decode_text(f.read())
        lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
        header = next((l.strip().lstrip("\ufeff") for l in lines if l.strip()), "")
        if header not in ("REGEDIT4", "Windows Registry Editor Version 5.00"):
            raise Refusal("%s: not a registry export" % path)
        # The current control set of a hive-derived export, which has no CurrentControlSet.
        current = re.search(r"^\[HKEY_LOCAL_MACHINE\\SYSTEM\\Select\]\n(?:[^\[].*\n)*?\"Current\"=dword:([0-9a-f]{8})",
                            "\n".join(lines), re.I | re.M)
        control_sets = ["controlset%03d" % int(current.group(1), 16)] if current else []
        kept, skipped = sections([header] + lines[1:], lambda p: self.wanted(p, control_sets))
        self.skipped += skipped
        for op in regfile.parse_operations(kept, path):
            self.apply(op, control_sets, header == "REGEDIT4")

    def apply(self, op, control_sets, ansi):
        path = op[1]
        for cs in control_sets:
            path = re.sub(r"(?i)^(HKEY_LOCAL_MACHINE\\SYSTEM\\)%s(?=\\|$)" % cs, r"\1CurrentControlSet", path)
        if path.upper().startswith("HKEY_USERS\\"):
            parts = path.split("\\", 2)
            if parts[1].lower() != self.user.lower():
                return
            path = HKCU + ("\\" + parts[2] if len(parts) > 2 else "")
            registry = self.users
        else:
            registry = self.registry
        if op[0] == "key":
            registry.create_key(path)
        elif op[0] == "delkey":
            registry.delete_key(path)
        elif op[0] == "value":
            data = op[4]
            # REGEDIT4 hex(1)/(2)/(7) data are the machine's ANSI bytes.
            if ansi and op[3] in regfile.STRING_TYPES:
                data = from_ansi(data)
            registry.set_value(path, op[2], op[3], data)

    def add_hive(self, path, hive):
        base = HIVE_ROOTS.get(os.path.basename(path).upper())
        if base is None:
            return
        control_sets = []
        select = hive.find("Select")
        if base.endswith("\\SYSTEM") and select is not None and hive.find("CurrentControlSet") is None:
            current = dict((n.lower(), d) for n, t, d in hive.values(select)).get("current")
            if current and len(current) == 4:
                control_sets = ["ControlSet%03d" % int.from_bytes(current, "little")]

        def visit(key_path, values):
            self.apply(("key", key_path), control_sets, False)
            for name, vtype, data in values:
                if vtype in regfile.STRING_TYPES:
                    data = regfile.utf16_bytes_to_text(data)
                self.apply(("value", key_path, name, vtype, data), control_sets, False)

        for root in IMPORTED:
            for cs in control_sets or ["CurrentControlSet"]:
                full = root.replace("\\CurrentControlSet\\", "\\%s\\" % cs)
                if not full.lower().startswith(base.lower() + "\\"):
                    continue
                offset = hive.find(full[len(base) + 1:])
                if offset is not None:
                    hive.walk(offset, base + full[len(base):], visit)
        self.notes.append("%s: read as a hive; only the keys above taken from it" % path)

    def add_preview_reading(self, path, preview_before):
        """A 9x binary registry file: its keys as the preview read them."""
        for key in preview_before.keys.values():
            if under(key.path, IMPORTED):
                self.registry.create_key(key.path)
                for name, vtype, data in key.values.values():
                    data = from_ansi(data) if vtype in regfile.STRING_TYPES else data
                    self.registry.set_value(key.path, from_ansi(name), vtype, data)
        self.notes.append("%s: 9x registry files, taken as the preview read them (not read twice)" % path)

    def read(self, paths, preview_before):
        creg = []
        for path in paths:
            with open(path, "rb") as f:
                head = f.read(4)
            try:
                if head == b"regf":
                    self.add_hive(path, hivefile.read(path))
                elif head == b"CREG":
                    creg.append(path)
                else:
                    self.add_text(path)
            except (hivefile.HiveError, regfile.RegError, struct.error) as e:
                raise Refusal("%s: %s" % (path, e))
        if creg:
            self.add_preview_reading(", ".join(creg), preview_before)
        if not any(k.startswith(HKCU.lower() + "\\") for k in self.registry.keys):
            self.registry.keys.update(self.users.keys)

    def export(self, version):
        """The keys as a version 5.00 export (UTF-16LE), as regedit imports it."""
        out = ["Windows Registry Editor Version 5.00", ""]
        for k in sorted(self.registry.keys):
            key = self.registry.keys[k]
            if not under(key.path, IMPORTED):
                continue  # regedit makes the parents
            out.append("[%s]" % key.path)
            for _, (name, vtype, data) in sorted(key.values.items()):
                out.append(format_value(name, vtype, data))
            out.append("")
        out += ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"="%s"' % version, ""]
        return ("\ufeff" + "\r\n".join(out) + "\r\n").encode("utf-16-le")

    def summary(self):
        counts = []
        for root in IMPORTED:
            n = sum(1 for k in self.registry.keys.values() if under(k.path, [root]))
            counts.append("%s: %s" % (short(root), "%d key%s" % (n, "" if n == 1 else "s") if n else "none"))
        return counts


def format_value(name, vtype, data):
    left = "@" if name == "" else regfile.format_string(name)
    if vtype == regfile.REG_SZ and not re.search(r"[\0\r\n]", data):
        return left + "=" + regfile.format_string(data)
    if vtype == regfile.REG_DWORD and len(data) == 4:
        return left + "=dword:%08x" % int.from_bytes(data, "little")
    if vtype in regfile.STRING_TYPES:
        data = (data + "\0").encode("utf-16-le", "surrogatepass")
    kind = "hex:" if vtype == regfile.REG_BINARY else "hex(%x):" % vtype
    return left + "=" + kind + ",".join("%02x" % b for b in data)


def short(path):
    return path.replace(HKLM, "HKLM").replace(HKCU, "HKCU")



def sections(lines, keep):
    """The lines of the key sections whose path keep() accepts (header first)."""
    kept, taking, skipped = [lines[0], ""], False, 0
    for line in lines[1:]:
        stripped = line.strip()
        if stripped.startswith("["):
            taking = keep(stripped[1:-1].lstrip("-"))
            skipped += 0 if taking else 1
        if taking:
            kept.append(line)
    return "\n".join(kept) + "\n", skipped

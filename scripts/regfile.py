"""Registry files: REGEDIT4 text, and the registry files of a Wine prefix.

A registry is a tree of keys whose names compare without regard to letter case.
Full key paths start with a root name (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER).
Values are (type, data) pairs: strings (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) as
Python text without the terminating NUL, everything else as bytes. REGEDIT4
text is 8-bit; its bytes map one to one onto the characters 0-255.

Also a command line tool:
    regfile.py diff BEFORE.reg AFTER.reg   what changed, as REGEDIT4 text
    regfile.py dump FILE                  the whole file again as REGEDIT4
"""

import re
import sys

REG_NONE = 0
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_LINK = 6
REG_MULTI_SZ = 7

STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)

ROOT_ALIASES = {
    "HKLM": "HKEY_LOCAL_MACHINE",
    "HKCU": "HKEY_CURRENT_USER",
    "HKCR": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS",
}

TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY",
              4: "REG_DWORD", 6: "REG_LINK", 7: "REG_MULTI_SZ"}


class RegError(Exception):
    pass


def normalise_path(path):
    """Canonical spelling of a key path: root expanded, no empty parts."""
    parts = [p for p in path.split("\\") if p]
    if not parts:
        raise RegError("empty key path")
    parts[0] = ROOT_ALIASES.get(parts[0].upper(), parts[0].upper())
    return "\\".join(parts)


def string_bytes_to_text(data):
    """8-bit string data as stored by REGEDIT4 hex(1), hex(2), hex(7)."""
    text = data.decode("latin-1")
    return text[:-1] if text.endswith("\0") else text


def utf16_bytes_to_text(data):
    text = data.decode("utf-16-le", errors="replace")
    return text[:-1] if text.endswith("\0") else text


class Key:
    def __init__(self, path):
        self.path = path  # as first spelled
        self.values = {}  # lower-case name -> (name, type, data)
        self.link = None  # target path of a Wine symbolic link key


class Registry:
    def __init__(self):
        self.keys = {}  # lower-case full path -> Key

    # --- building -----------------------------------------------------------

    def create_key(self, path):
        path = normalise_path(path)
        parts = path.split("\\")
        key = None
        for i in range(1, len(parts) + 1):
            sub = "\\".join(parts[:i])
            key = self.keys.get(sub.lower())
            if key is None:
                key = self.keys[sub.lower()] = Key(sub)
        return key

    def delete_key(self, path):
        lower = self.resolve(path).lower()
        for k in [k for k in self.keys if k == lower or k.startswith(lower + "\\")]:
            del self.keys[k]

    def set_value(self, path, name, vtype, data):
        key = self.create_key(self.resolve(path))
        key.values[name.lower()] = (name, vtype, data)

    def delete_value(self, path, name):
        key = self.find_key(path)
        if key is not None:
            key.values.pop(name.lower(), None)

    def apply(self, operations):
        for op in operations:
            if op[0] == "key":
                self.create_key(self.resolve(op[1]))
            elif op[0] == "delkey":
                self.delete_key(op[1])
            elif op[0] == "value":
                self.set_value(op[1], op[2], op[3], op[4])
            elif op[0] == "delvalue":
                self.delete_value(op[1], op[2])
        return self

    # --- reading ------------------------------------------------------------

    def resolve(self, path):
        """Follows Wine's symbolic link keys (CurrentControlSet)."""
        parts = normalise_path(path).split("\\")
        for _ in range(16):
            for i in range(1, len(parts) + 1):
                key = self.keys.get("\\".join(parts[:i]).lower())
                if key is not None and key.link is not None:
                    parts = key.link.split("\\") + parts[i:]
                    break
            else:
                return "\\".join(parts)
        raise RegError("symbolic link loop at " + path)

    def find_key(self, path):
        return self.keys.get(self.resolve(path).lower())

    def get_value(self, path, name):
        """(type, data) or None."""
        key = self.find_key(path)
        if key is None:
            return None
        entry = key.values.get(name.lower())
        return None if entry is None else (entry[1], entry[2])

    def subtree(self, root):
        """A copy holding only the keys at or below root."""
        out = Registry()
        lower = normalise_path(root).lower()
        for k, key in self.keys.items():
            if k == lower or k.startswith(lower + "\\"):
                out.keys[k] = key
        return out


# --- REGEDIT4 text ------------------------------------------------------------


def _logical_lines(text, name):
    """Joins lines continued with a trailing backslash (hex data only)."""
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    out = []
    i = 0
    while i < len(lines):
        line, number = lines[i], i + 1
        i += 1
        stripped = line.rstrip()
        while stripped.endswith("\\") and re.search(r"=\s*(hex|dword)", stripped) and i < len(lines):
            stripped = stripped[:-1] + lines[i].strip()
            i += 1
        out.append((number, stripped))
    return out


_PLAIN_RUN = re.compile(r'[^"\\]+')
_HEX_ESCAPE = re.compile(r"[0-9a-fA-F]{1,4}")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", "a": "\a"}


def _parse_quoted(text, pos, name, number):
    """Reads a quoted string starting at text[pos] == '"'. Returns (value, end)."""
    assert text[pos] == '"'
    out = []
    i = pos + 1
    size = len(text)
    while i < size:
        run = _PLAIN_RUN.match(text, i)
        if run:  # a whole run without quotes or escapes at once
            out.append(run.group(0))
            i = run.end()
            if i >= size:
                break
        c = text[i]
        if c == '"':
            return "".join(out), i + 1
        if i + 1 < size:  # c is a backslash
            n = text[i + 1]
            if n == "x":
                m = _HEX_ESCAPE.match(text, i + 2)
                if m:
                    out.append(chr(int(m.group(0), 16)))
                    i = m.end()
                    continue
            out.append(_ESCAPES.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    raise RegError("%s:%d: unterminated string" % (name, number))


def _parse_hex_bytes(text, name, number):
    text = text.strip().rstrip(",")
    if not text:
        return b""
    try:
        return bytes(int(b, 16) for b in text.split(","))
    except ValueError:
        raise RegError("%s:%d: bad hex data %r" % (name, number, text))


def _parse_data(text, name, number, wide):
    """The part after '='. wide: hex(1/2/7) data is UTF-16 (Wine, regedit 5)."""
    text = text.strip()
    if text == "-":
        return None
    if text.startswith('"'):
        value, end = _parse_quoted(text, 0, name, number)
        if text[end:].strip():
            raise RegError("%s:%d: text after string" % (name, number))
        return (REG_SZ, value)
    m = re.match(r"str\((\d+)\):(\".*)$", text)
    if m:  # Wine's own files
        value, _ = _parse_quoted(m.group(2), 0, name, number)
        return (int(m.group(1)), value)
    m = re.match(r"dword:([0-9a-fA-F]{1,8})$", text)
    if m:
        return (REG_DWORD, int(m.group(1), 16).to_bytes(4, "little"))
    m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", text)
    if m:
        vtype = int(m.group(1), 16) if m.group(1) is not None else REG_BINARY
        data = _parse_hex_bytes(m.group(2), name, number)
        if vtype in STRING_TYPES:
            return (vtype, utf16_bytes_to_text(data) if wide else string_bytes_to_text(data))
        return (vtype, data)
    raise RegError("%s:%d: cannot read value data %r" % (name, number, text))


def _parse_value_line(line, name, number, wide):
    if line.startswith("@"):
        vname, rest = "", line[1:].lstrip()
    elif line.startswith('"'):
        vname, end = _parse_quoted(line, 0, name, number)
        rest = line[end:].lstrip()
    else:
        raise RegError("%s:%d: cannot read line %r" % (name, number, line))
    if not rest.startswith("="):
        raise RegError("%s:%d: missing '=' in %r" % (name, number, line))
    return vname, _parse_data(rest[1:], name, number, wide)


def parse_operations(text, name="text"):
    """REGEDIT4 (or regedit 5.00) text as a list of operations, in file order:
    ("key", path), ("delkey", path), ("value", path, name, type, data),
    ("delvalue", path, name)."""
    if text.startswith("\ufeff"):
        text = text[1:]
    lines = _logical_lines(text, name)
    wide = False
    ops = []
    current = None
    header_seen = False
    for number, line in lines:
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        if not header_seen:
            if stripped == "REGEDIT4":
                wide = False
            elif stripped == "Windows Registry Editor Version 5.00":
                wide = True
            else:
                raise RegError("%s:%d: expected REGEDIT4 header" % (name, number))
            header_seen = True
            continue
        if stripped.startswith("["):
            if not stripped.endswith("]"):
                raise RegError("%s:%d: bad key line %r" % (name, number, stripped))
            inner = stripped[1:-1].strip()
            if inner.startswith("-"):
                ops.append(("delkey", normalise_path(inner[1:])))
                current = None
            else:
                current = normalise_path(inner)
                ops.append(("key", current))
            continue
        if current is None:
            raise RegError("%s:%d: value outside a key" % (name, number))
        vname, data = _parse_value_line(stripped, name, number, wide)
        if data is None:
            ops.append(("delvalue", current, vname))
        else:
            ops.append(("value", current, vname, data[0], data[1]))
    if not header_seen:
        raise RegError("%s: empty file, expected REGEDIT4 header" % name)
    return ops


def read_text(path):
    with open(path, "rb") as f:
        raw = f.read()
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le")
    return raw.decode("latin-1")


def load(path):
    """A REGEDIT4 / regedit 5.00 file as a Registry."""
    return Registry().apply(parse_operations(read_text(path), path))


# --- Wine prefix registry files ---------------------------------------------


def parse_wine_file(text, root, registry=None, name="wine"):
    """Adds a Wine registry file (system.reg or user.reg) to a Registry under
    the given root. Wine keeps key paths relative to \\Registry\\Machine or
    \\Registry\\User\\<sid>, escapes '\\' inside names, stores strings as
    UTF-16 (hex(2)/hex(7) data too) and marks symbolic link keys (#link)."""
    registry = registry or Registry()
    current = None
    link_keys = []
    for number, line in _logical_lines(text, name):
        if not line or line.startswith(";") or line.startswith("WINE REGISTRY"):
            continue
        if line.startswith("["):
            end = line.rfind("]")
            keyname, _ = _parse_quoted('"' + line[1:end].replace('"', '\\"') + '"', 0, name, number)
            current = registry.create_key(root + "\\" + keyname)
            continue
        if line.startswith("#"):
            if line == "#link" and current is not None:
                link_keys.append(current)
            continue
        if current is None:
            continue
        vname, data = _parse_value_line(line, name, number, True)
        if data is not None:
            current.values[vname.lower()] = (vname, data[0], data[1])
    for key in link_keys:
        entry = key.values.get("symboliclinkvalue")
        if entry is None:
            continue
        target = entry[2].decode("utf-16-le") if isinstance(entry[2], bytes) else entry[2]
        target = target.rstrip("\0")
        m = re.match(r"\\Registry\\Machine\\(.*)$", target, re.I)
        if m:
            key.link = normalise_path("HKEY_LOCAL_MACHINE\\" + m.group(1))
            key.values.pop("symboliclinkvalue")
    return registry


def load_wine_prefix(prefix):
    """HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of a stopped Wine prefix."""
    registry = Registry()
    for file, root in (("system.reg", "HKEY_LOCAL_MACHINE"), ("user.reg", "HKEY_CURRENT_USER")):
        path = prefix + "/" + file
        parse_wine_file(read_text(path), root, registry, path)
    # Wine makes CurrentControlSet at start-up as a volatile link, which is
    # not saved; its keys are stored under ControlSet001.
    current = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet"
    if registry.keys.get(current.lower()) is None:
        registry.create_key(current).link = "HKEY_LOCAL_MACHINE\\System\\ControlSet001"
    return registry


# --- writing and comparing ----------------------------------------------------


def format_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def format_value(name, vtype, data):
    left = "@" if name == "" else format_string(name)
    if vtype == REG_SZ and "\0" not in data:
        right = format_string(data)
    elif vtype == REG_DWORD and len(data) == 4:
        right = "dword:%08x" % int.from_bytes(data, "little")
    else:
        if vtype in STRING_TYPES:
            data = (data + "\0").encode("latin-1", errors="replace")
        prefix = "hex:" if vtype == REG_BINARY else "hex(%x):" % vtype
        right = prefix + ",".join("%02x" % b for b in data)
    return left + "=" + right


def describe_value(entry):
    if entry is None:
        return "(absent)"
    vtype, data = entry
    return "%s %s" % (TYPE_NAMES.get(vtype, "type %d" % vtype), format_value("", vtype, data)[2:])


def dump(registry):
    out = ["REGEDIT4", ""]
    for k in sorted(registry.keys):
        key = registry.keys[k]
        out.append("[%s]" % key.path)
        for vk in sorted(key.values):
            vname, vtype, data = key.values[vk]
            out.append(format_value(vname, vtype, data))
        out.append("")
    return "\n".join(out) + "\n"


def diff(before, after):
    """What changed from before to after, as REGEDIT4 text that would turn
    before into after ("" when nothing changed)."""
    out = []
    for k in sorted(before.keys):
        parent = k.rsplit("\\", 1)[0]
        if k not in after.keys and (parent == k or parent in after.keys or parent not in before.keys):
            out.append("[-%s]" % before.keys[k].path)
            out.append("")
    for k in sorted(after.keys):
        key = after.keys[k]
        old = before.keys.get(k)
        lines = []
        for vk in sorted(key.values):
            vname, vtype, data = key.values[vk]
            prev = old.values.get(vk) if old is not None else None
            if prev is None or prev[1] != vtype or prev[2] != data:
                lines.append(format_value(vname, vtype, data))
        if old is not None:
            for vk in sorted(old.values):
                if vk not in key.values:
                    vname = old.values[vk][0]
                    lines.append(("@" if vname == "" else format_string(vname)) + "=-")
        if lines or old is None:
            out.append("[%s]" % key.path)
            out.extend(lines)
            out.append("")
    return "\n".join(out)


def check_expectations(registry, operations):
    """Checks expect.reg operations against a registry. Returns a list of
    failure messages (empty when every assertion holds)."""
    failures = []
    values_seen = set()
    for op in operations:
        if op[0] in ("value", "delvalue"):
            values_seen.add(op[1].lower())
    for op in operations:
        if op[0] == "key":
            if op[1].lower() not in values_seen and registry.find_key(op[1]) is None:
                failures.append("[%s]: key should exist but does not" % op[1])
        elif op[0] == "delkey":
            if registry.find_key(op[1]) is not None:
                failures.append("[-%s]: key should not exist but does" % op[1])
        elif op[0] == "value":
            actual = registry.get_value(op[1], op[2])
            if actual != (op[3], op[4]):
                failures.append("[%s] %s: expected %s, found %s" % (
                    op[1], format_string(op[2]), describe_value((op[3], op[4])),
                    describe_value(actual)))
        elif op[0] == "delvalue":
            actual = registry.get_value(op[1], op[2])
            if actual is not None:
                failures.append("[%s] %s: should be absent, found %s" % (
                    op[1], format_string(op[2]), describe_value(actual)))
    return failures


def main(argv):
    if len(argv) == 4 and argv[1] == "diff":
        sys.stdout.write(diff(load(argv[2]), load(argv[3])))
        return 0
    if len(argv) == 3 and argv[1] == "dump":
        sys.stdout.write(dump(load(argv[2])))
        return 0
    sys.stderr.write("usage: regfile.py diff BEFORE AFTER | dump FILE\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

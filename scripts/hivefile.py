"""NT registry hive files (regf), read without any library: the keys and
values of a whole hive or of chosen subtrees, names and string data as
Windows stores them (UTF-16, or Latin-1 for "compressed" names).

A second reader beside the preview's own (libhivex): `scripts/preview --wine`
gives Wine the machine as read here, so the two runs do not share a reader.
The hive is read as the file holds it; transaction logs are not applied.
"""

import struct

BASE = 0x1000  # cell offsets count from the first hive bin


class HiveError(Exception):
    pass


class Hive:
    def __init__(self, data):
        if data[:4] != b"regf" or len(data) < BASE + 0x20:
            raise HiveError("not a hive file (no regf base block)")
        self.data = data
        self.root = struct.unpack_from("<I", data, 0x24)[0]

    def cell(self, offset):
        at = BASE + offset
        if offset == 0xFFFFFFFF or at + 4 > len(self.data):
            raise HiveError("cell offset 0x%x outside the file" % offset)
        size = abs(struct.unpack_from("<i", self.data, at)[0])
        if size < 4 or at + size > len(self.data):
            raise HiveError("cell at 0x%x runs past the file" % offset)
        return self.data[at + 4:at + size]

    def key_name(self, nk):
        if nk[:2] != b"nk":
            raise HiveError("expected a key cell")
        flags, length = struct.unpack_from("<H", nk, 2)[0], struct.unpack_from("<H", nk, 0x48)[0]
        raw = nk[0x4C:0x4C + length]
        return raw.decode("latin-1") if flags & 0x20 else raw.decode("utf-16-le", "surrogatepass")

    def subkeys(self, offset):
        """[(name, offset)] of the key's subkeys, in the hive's order."""
        nk = self.cell(offset)
        count, lst = struct.unpack_from("<I", nk, 0x14)[0], struct.unpack_from("<I", nk, 0x1C)[0]
        out = []
        if count:
            self._list(lst, out, 0)
        return [(self.key_name(self.cell(o)), o) for o in out]

    def _list(self, offset, out, depth):
        if depth > 4:
            raise HiveError("subkey index nested too deep")
        cell = self.cell(offset)
        sig, count = cell[:2], struct.unpack_from("<H", cell, 2)[0]
        if sig in (b"lf", b"lh"):
            out.extend(struct.unpack_from("<I", cell, 4 + 8 * i)[0] for i in range(count))
        elif sig == b"li":
            out.extend(struct.unpack_from("<I", cell, 4 + 4 * i)[0] for i in range(count))
        elif sig == b"ri":
            for i in range(count):
                self._list(struct.unpack_from("<I", cell, 4 + 4 * i)[0], out, depth + 1)
        else:
            raise HiveError("unknown subkey list %r" % sig)

    def values(self, offset):
        """[(name, type, data bytes)] of the key's values."""
        nk = self.cell(offset)
        count, lst = struct.unpack_from("<I", nk, 0x24)[0], struct.unpack_from("<I", nk, 0x28)[0]
        out = []
        if not count:
            return out
        table = self.cell(lst)
        for i in range(count):
            vk = self.cell(struct.unpack_from("<I", table, 4 * i)[0])
            if vk[:2] != b"vk":
                raise HiveError("expected a value cell")
            length, size, data_at, vtype, flags = struct.unpack_from("<HIIIH", vk, 2)
            raw = vk[0x14:0x14 + length]
            name = raw.decode("latin-1") if flags & 1 else raw.decode("utf-16-le", "surrogatepass")
            out.append((name, vtype, self._data(size, data_at)))
        return out

    def _data(self, size, offset):
        if size & 0x80000000:  # up to four bytes kept in the offset field
            return struct.pack("<I", offset)[:size & 0x7FFFFFFF]
        if size == 0:
            return b""
        cell = self.cell(offset)
        if cell[:2] == b"db" and size > 16344:
            count, lst = struct.unpack_from("<HI", cell, 2)
            segments = self.cell(lst)
            data = b"".join(self.cell(struct.unpack_from("<I", segments, 4 * i)[0])[:16344]
                            for i in range(count))
            return data[:size]
        return cell[:size]

    def find(self, path):
        """The offset of the key at path (below the root), or None."""
        offset = self.root
        for part in [p for p in path.split("\\") if p]:
            offset = next((o for n, o in self.subkeys(offset) if n.lower() == part.lower()), None)
            if offset is None:
                return None
        return offset

    def walk(self, offset, path, visit, seen=None):
        """Calls visit(path, values) for the key and every key below it."""
        seen = set() if seen is None else seen
        if offset in seen:
            raise HiveError("the key tree loops back at %s" % path)
        seen.add(offset)
        visit(path, self.values(offset))
        for name, sub in self.subkeys(offset):
            self.walk(sub, path + "\\" + name, visit, seen)


def read(path):
    with open(path, "rb") as f:
        return Hive(f.read())

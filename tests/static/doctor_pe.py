"""Writes a copy of a program file with one thing in its version resource
changed, then runs a check on the copy:

    doctor_pe.py IN OUT EDIT... -- COMMAND [ARGUMENT...]

COMMAND gets OUT as its last argument. Edits:

    --text OLD NEW           UTF-16 text OLD (found exactly once) becomes NEW
    --file-version A.B.C.D   the FILEVERSION of the VS_FIXEDFILEINFO
    --signature 0xNNNNNNNN   the VS_FIXEDFILEINFO signature
    --translation LANG CP    the Translation entry (hexadecimal, decimal)

An edit whose place is not found exactly once exits with status 2, so that a
change in the resource's layout fails the check's test instead of passing it.
"""
import argparse
import struct
import subprocess
import sys

SIGNATURE = struct.pack("<I", 0xFEEF04BD)
TRANSLATION_KEY = "Translation\0".encode("utf-16-le")


def find_once(data, pattern, what):
    start = data.find(pattern)
    if start < 0 or data.find(pattern, start + 1) >= 0:
        print("doctor_pe: %s is not in the file exactly once" % what)
        sys.exit(2)
    return start


def main():
    argv = sys.argv[1:]
    if "--" not in argv:
        sys.exit("usage: doctor_pe.py IN OUT EDIT... -- COMMAND [ARGUMENT...]")
    split = argv.index("--")
    parser = argparse.ArgumentParser()
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--text", nargs=2)
    parser.add_argument("--file-version")
    parser.add_argument("--signature", type=lambda v: int(v, 0))
    parser.add_argument("--translation", nargs=2)
    args = parser.parse_args(argv[:split])
    command = argv[split + 1:]

    data = bytearray(open(args.input, "rb").read())
    if args.text:
        old, new = (t.encode("utf-16-le") for t in args.text)
        if len(old) != len(new):
            sys.exit("doctor_pe: --text wants two texts of one length")
        start = find_once(data, old, "the text %r" % args.text[0])
        data[start:start + len(old)] = new
    if args.file_version or args.signature is not None:
        start = find_once(data, SIGNATURE, "the VS_FIXEDFILEINFO signature")
        if args.file_version:
            a, b, c, d = (int(n) for n in args.file_version.split("."))
            struct.pack_into("<II", data, start + 8, a << 16 | b, c << 16 | d)
        if args.signature is not None:
            struct.pack_into("<I", data, start, args.signature)
    if args.translation:
        # The value follows the key, aligned to four bytes as the whole resource is.
        start = find_once(data, TRANSLATION_KEY, "the Translation key") + len(TRANSLATION_KEY)
        start = (start + 3) & ~3
        struct.pack_into("<HH", data, start, int(args.translation[0], 16), int(args.translation[1]))

    with open(args.output, "wb") as f:
        f.write(data)
    return subprocess.call(command + [args.output])


if __name__ == "__main__":
    sys.exit(main())

"""The preview on every sample of the real-registry corpus, in each form it can
be given: hives copied under their Windows names (transaction logs beside
them), .xz decompressed, the machines assembled from several files as one.
Each is previewed as an uninstall and as an install and must either run with
a plausible result or be refused cleanly before anything runs: never a crash,
a sanitizer report, a hang or a file far larger than the input.

    test_corpus.py PREVIEW-PROGRAM CORPUS-FOLDER [--sanitized]

Exits 77 (skipped) where the corpus folder is absent. Prints a table of what
became of each sample.
"""

import collections
import concurrent.futures
import lzma
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
INSTALL = "-printerdriver=Model 12 -product=X -port=LPT1:"
# Several files that make one machine, given together as well as alone.
MACHINES = [("derived/hives/xp-combo", ["SYSTEM.xz", "SOFTWARE", "NTUSER.DAT.xz"]),
            ("dfwinreg", ["SYSTEM.DAT", "USER.DAT"]),
            ("dfwinreg-winme", ["system.reg", "user.reg"])]
# The Windows Me registry; everything else is previewed as XP.
NINE_X = ("dfwinreg/SYSTEM.DAT", "dfwinreg/USER.DAT", "dfwinreg-winme/")
HIVE_NAMES = ["SYSTEM", "SOFTWARE", "SAM", "SECURITY", "DEFAULT", "NTUSER.DAT", "UsrClass.dat",
              "Amcache.hve", "BCD"]
SANITIZER = re.compile(r"Sanitizer|runtime error:|Segmentation|Aborted")


def windows_name(path, head):
    """The name Windows gives a file of this kind: a hive by what it holds (its
    file name, else the name in its base block); a hive of a test suite, which
    holds no part of a machine in particular, as SOFTWARE."""
    base = os.path.basename(path)[:-3] if path.endswith(".xz") else os.path.basename(path)
    if head[:4] != b"regf":
        return base
    for name in [base.split("_")[0].split("-")[0].split(".")[0].upper()] + \
            [head[0x30:0x70].decode("utf-16-le", "replace").split("\0")[0].split("\\")[-1]]:
        for known in HIVE_NAMES:
            if name.upper() in (known.upper(), known.split(".")[0].upper()):
                return known
    return "SOFTWARE"


def place(corpus, rel, folder):
    """Copies one sample into folder under its Windows name, with its
    transaction logs; returns the path."""
    src = os.path.join(corpus, rel)
    opener = lzma.open if src.endswith(".xz") else open
    with opener(src, "rb") as f:
        data = f.read()
    dest = os.path.join(folder, windows_name(src, data[:0x80]))
    with open(dest, "wb") as f:
        f.write(data)
    for log in (".LOG1", ".LOG2"):
        if os.path.exists(src + log):
            shutil.copyfile(src + log, dest + log)
    return dest


def samples(corpus):
    """(label, [relative paths], --os) for every sample and machine."""
    found = []
    for root, _, files in os.walk(corpus):
        for name in sorted(files):
            rel = os.path.relpath(os.path.join(root, name), corpus)
            if name in ("SOURCE.txt", "README.md") or ".LOG" in name:
                continue
            found.append((rel, [rel]))
    found += [(folder + "/ (together)", [folder + "/" + n for n in names])
              for folder, names in MACHINES]
    return sorted((label, rels, "winme" if any(r.startswith(NINE_X) for r in rels) else "winxp")
                  for label, rels in found)


def read_reg(path):
    """The REGEDIT4 file --write-result wrote: {key path (lower case): (key,
    {value name (lower case): data})}."""
    with open(path, encoding="latin-1", newline="") as f:
        text = f.read()
    keys = {}
    values = None
    pending = False
    for line in text.replace("\r\n", "\n").split("\n"):
        if pending:  # a hex list's continuation line
            pending = line.endswith("\\")
            continue
        if line.startswith("[") and line.endswith("]"):
            values = {}
            keys[line[1:-1].lower()] = (line[1:-1], values)
        elif values is not None and line[:1] in ('"', "@"):
            m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            name = "" if m.group(1) == "@" else re.sub(r"\\(.)", r"\1", m.group(1)[1:-1])
            data = m.group(2)
            if data.startswith('"'):
                data = re.sub(r"\\(.)", r"\1", data[1:-1])
            values[name.lower()] = data
            pending = line.endswith("\\")
    return keys


def printer_keys(keys):
    """The printers as the spooler reads them from the registry."""
    top = "hkey_local_machine\\system\\currentcontrolset\\control\\print\\printers"
    if top not in keys and "hkey_local_machine\\system\\currentcontrolset" not in keys:
        select = keys.get("hkey_local_machine\\system\\select", (None, {}))[1]
        current = int(select.get("current", "dword:0").split(":")[-1], 16)
        top = "hkey_local_machine\\system\\controlset%03d\\control\\print\\printers" % current
    printers = []
    for path in sorted(k for k in keys if k.startswith(top + "\\") and "\\" not in k[len(top) + 1:]):
        key, values = keys[path]
        printers.append((values.get("name") or key.rsplit("\\", 1)[1],
                         values.get("printer driver"), values.get("port")))
    return printers


def as_utf8(text):
    """Windows-1252 text (read as Latin-1) as a UTF-8 terminal shows it; the
    five bytes the code page leaves undefined stay the characters they are."""
    return "".join(ch if 0x80 <= ord(ch) < 0xA0 and ch.encode("latin-1") in
                   (b"\x81", b"\x8d", b"\x8f", b"\x90", b"\x9d")
                   else ch.encode("latin-1").decode("cp1252") for ch in text)


def as_shown(text, utf8):
    """Windows-1252 text (read as Latin-1) as the preview shows it: control
    characters and, on a terminal that is not UTF-8, all beyond ASCII escaped."""
    return "".join("<U+%04X>" % ord(ch) if (ord(ch) < 0x20 and ch not in "\t\n") or
                   0x7F <= ord(ch) < 0xA0 or (not utf8 and ord(ch) >= 0x80) else ch
                   for ch in as_utf8(text))


def listed_printers(shown):
    return [(m.group(1), m.group(2), m.group(3)) for m in re.finditer(
        r'^  (?:\* |  )"(.*)": driver (?:"(.*)"|\(none\)), port (?:"(.*)"|\(none\))$', shown, re.M)]


class Sample:
    def __init__(self, preview, corpus, sanitized):
        self.preview, self.corpus, self.sanitized = preview, corpus, sanitized

    def run(self, tmp, paths, os_name, text, result, locale="C"):
        size = sum(os.path.getsize(p) for p in paths)
        limit = max(256 << 20, 20 * size)

        def limits():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            if not self.sanitized:
                resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

        work = os.path.join(tmp, "work")
        os.mkdir(work)
        args = [a for p in paths for a in ("--machine", p)]
        try:
            done = subprocess.run([self.preview, "--os", os_name, *args, "--write-result", result,
                                   "--", text], env=dict(os.environ, TMPDIR=work, LC_ALL=locale),
                                  capture_output=True, timeout=180 if self.sanitized else 60,
                                  preexec_fn=limits)
        except subprocess.TimeoutExpired:
            return None, "no answer within the time bound"
        try:
            out = done.stdout.decode("utf-8" if locale.endswith("UTF-8") else "latin-1")
        except UnicodeDecodeError as e:
            return None, "output not in the terminal's character set: %s" % e
        err = done.stderr.decode("latin-1")
        left = os.listdir(work)
        shutil.rmtree(work)
        if done.returncode < 0 or SANITIZER.search(err):
            return None, "crash (status %d): %s" % (done.returncode, err[-2000:])
        if left:
            return None, "left %s behind" % left
        if done.returncode == 0 and os.path.exists(result):
            return out, None
        if done.returncode == 1 and out == "" and err.startswith("preview: ") and \
                not os.path.exists(result):
            return "", err.strip().splitlines()[0][len("preview: "):].replace(tmp + "/in/", "")
        return None, "neither a preview nor a clean refusal (status %d): %s%s" % (
            done.returncode, out[-1500:], err[-1500:])

    def check(self, label, rels, os_name):
        """{run: "previewed" or "refused: why"} and the faults found."""
        faults = []
        outcome = {}
        with tempfile.TemporaryDirectory() as tmp:
            folder = os.path.join(tmp, "in")
            os.mkdir(folder)
            paths = [place(self.corpus, rel, folder) for rel in rels]
            before_path = os.path.join(tmp, "before.reg")
            shown, why = self.run(tmp, paths, os_name, "-", before_path)
            if shown is None:
                return {"read": why}, ["%s: the plain read: %s" % (label, why)]
            if shown and "; keys: 0 removed (0 with their subkeys), 0 created\n; values: 0 written" \
                    not in shown:
                faults.append("%s: the plain read changed the registry" % label)
            before = read_reg(before_path) if shown else None
            printers = printer_keys(before) if shown else []
            listed = listed_printers(shown) if shown else []
            expected = [tuple(None if t is None else as_shown(t, False) for t in p) for p in printers]
            if listed != expected:
                faults.append("%s: printers listed %s, in the registry %s" % (
                    label, listed, expected))
            drivers = [d for _, d, _ in printers if d]
            driver = "Model 12" if "Model 12" in drivers or not drivers else drivers[0]
            for run, text in (("uninstall", "-uninstall=" + driver), ("install", INSTALL)):
                after_path = os.path.join(tmp, run + ".reg")
                # The uninstall on a UTF-8 terminal: the machine text must all arrive as UTF-8.
                locale = "C.UTF-8" if run == "uninstall" else "C"
                shown_run, why = self.run(tmp, paths, os_name, text, after_path, locale)
                if shown_run is None or bool(shown_run) != bool(shown):
                    faults.append("%s: %s: %s" % (label, run, why or "refused only sometimes"))
                    outcome[run] = "FAULT"
                    continue
                outcome[run] = "previewed" if shown_run else "refused: " + why
                if shown_run:
                    faults += ["%s: %s: %s" % (label, run, f)
                               for f in self.plausible(shown_run, before, read_reg(after_path),
                                                       printers, locale != "C")]
        return outcome, faults

    @staticmethod
    def plausible(shown, before, after, printers, utf8):
        shown_as = lambda text: as_shown(text, utf8)
        faults = []
        changes = shown[shown.index("\n======== Registry changes"):]
        known = {shown_as(key).lower() for key, _ in before.values()}
        for key in re.findall(r"^\[-(.*)\]$", changes, re.M):
            if key.lower() not in known:
                faults.append("removed %s, which the input does not have" % key)
        m = re.search(r"^; keys: (\d+) removed \((\d+) with their subkeys\), (\d+) created\n"
                      r"; values: (\d+) written \((\d+) new, \d+ changed, \d+ the same as before\), "
                      r"(\d+) removed, (\d+) removed with their keys$", changes, re.M)
        if not m:
            return faults + ["no change counts"]
        _, keys_gone, keys_made, _, new, removed, with_keys = map(int, m.groups())
        count = lambda reg: (sum(1 for k in reg if "\\" in k), sum(len(v) for _, v in reg.values()))
        (keys0, values0), (keys1, values1) = count(before), count(after)
        if (keys1, values1) != (keys0 - keys_gone + keys_made, values0 + new - removed - with_keys):
            faults.append("the counts do not add up: %d keys and %d values before, %d and %d "
                          "after; %s" % (keys0, values0, keys1, values1, m.group(0)))
        names = [shown_as(n) for n, _, _ in printers]
        for called in re.findall(r'^VendorUninstall\("(.*)"\)$', shown, re.M):
            if called not in names:
                faults.append("VendorUninstall(%s) for no printer of the input" % called)
        return faults


def kind(why):
    """A refusal's reason without its place and the names in it."""
    why = re.sub(r"^[^ ]*?:(\d+:)? (\[[^\]]*\]: )?", "", why)
    return re.sub(r"U\+[0-9A-F]+", "U+...", re.sub(r"'[^']*'", "'...'", why))[:90]


def main():
    preview, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isdir(corpus):
        print("skipped: no corpus at %s" % corpus)
        return SKIPPED
    sample = Sample(preview, corpus, "--sanitized" in sys.argv[3:])
    todo = samples(corpus)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda s: sample.check(*s), todo))
    faults = []
    per_folder = collections.defaultdict(collections.Counter)
    print("%-50s %-10s %-10s %s" % ("sample", "uninstall", "install", "refused because"))
    for (label, _, _), (outcome, found) in zip(todo, results):
        faults += found
        runs = [outcome.get(r, "FAULT") for r in ("uninstall", "install")]
        short = ["refused" if r.startswith("refused") else r for r in runs]
        why = next((r[len("refused: "):] for r in runs if r.startswith("refused")), "")
        print("%-50s %-10s %-10s %s" % (label, short[0], short[1], why[:110]))
        for run, what in zip(runs, short):
            per_folder[label.split("/")[0]][what + (": " + kind(why) if what == "refused" else "")] += 1
    print("\nruns per folder:")
    for folder, counter in sorted(per_folder.items()):
        print("  %s: %s" % (folder, "; ".join("%d %s" % (n, what) for what, n in counter.items())))
    for fault in faults:
        print("FAULT " + fault[:3000])
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

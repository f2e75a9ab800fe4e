#!/usr/bin/env python3
"""A second opinion on a preview: the shipped program run under Wine on the
same machine, compared with the preview's run.

    preview_wine.py PREVIEW-PROGRAM [preview options] --machine FILE ... -- TEXT

(scripts/preview --wine runs this.) The preview runs first, as without
--wine; then the Windows build runs under Wine in a fresh prefix into which
the parts of the machine the program works on were imported, with the
recording component library when the preview assumed one. The output ends
with the verdict: the same registry changes, component calls and log lines
(the log's start time and the system folder masked), or each difference.

Exit status: 0 when both runs agree, 3 when they differ; otherwise that of
the preview (1 for a refusal), or 1 when Wine cannot run here.

The program reads only a few keys, so only those go to Wine (and are listed);
the rest of a real machine would make Wine slow (a machine's Services key) or
make it run the machine's class installers (Control\\Class), which fail there.
Strings and names are read from the inputs here, not by the preview's reader,
and given to Wine in Unicode, so that Wine keeps and orders them as Windows
does; only 9x binary registry files (SYSTEM.DAT, USER.DAT) are taken from the
preview's reading.
"""

import difflib
import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Where the scenario runner (its Wine session helpers) lives: one place to
# change when it moves.
SCENARIO_RUNNER_DIR = os.path.join(ROOT, "tests", "scenario_runner")
sys.path.insert(0, HERE)
sys.path.insert(0, SCENARIO_RUNNER_DIR)
import regfile  # noqa: E402
import run_scenario  # noqa: E402
from wine_machine import (CCS, HKCU, HKLM, Refusal, WineMachine, from_ansi, sections, to_ansi,  # noqa: E402
                          under)

AGREE, DIFFER = 0, 3
# Where the program's changes are compared (the parents of the keys it removes).
COMPARED = [HKLM + "\\SOFTWARE\\Brenmoor", HKCU + "\\Software\\Brenmoor", HKLM + "\\Enum",
            CCS + "\\Services\\Class", CCS + "\\Control\\Print"]
WINE_SYSTEM = "C:\\windows\\system32"
# The run takes a second; under emulation on a busy machine, a minute was seen.
RUN_TIMEOUT = 300


# --- comparing ------------------------------------------------------------------


def wine_registry(registry, roots):
    """The keys of a Wine registry at or below roots, CurrentControlSet spelt
    out, text in the machine's ANSI code page (as the program sees it)."""
    link = registry.keys.get(CCS.lower())
    target = link.link.lower() if link is not None and link.link else None
    out = regfile.Registry()
    for k, key in registry.keys.items():
        path = key.path
        if target and (k == target or k.startswith(target + "\\")):
            path = CCS + key.path[len(target):]
        if not under(path, roots):
            continue
        path = to_ansi(path)
        new = out.create_key(path)
        for _, (name, vtype, data) in key.values.items():
            data = to_ansi(data) if vtype in regfile.STRING_TYPES else data
            new.values[to_ansi(name).lower()] = (to_ansi(name), vtype, data)
    return out


def preview_registry(path):
    """The preview machine's registry before and after the run (only the keys
    compared, and those the run touched), and the keys the run touched. The
    run's changes are the records the stand-in appended to the file."""
    text = regfile.read_text(path)
    first = text.find(";winsim:begin")
    first = len(text) if first < 0 else first
    records = regfile.parse_operations("REGEDIT4\n" + text[first:], path)
    touched = sorted({op[1] for op in records})
    settings = [HKCU + "\\Software\\Wine", HKLM + "\\Software\\Winsim"]
    roots = COMPARED + touched + settings
    base, _ = sections(text[:first].replace("\r\n", "\n").split("\n"), lambda p: under(p, roots))
    before = regfile.Registry().apply(regfile.parse_operations(base, path))
    after = regfile.Registry().apply(regfile.parse_operations(base, path)).apply(records)
    return before, after, touched


def changes(before, after, roots):
    parts = []
    for root in roots:
        text = regfile.diff(before.subtree(root), after.subtree(root)).strip()
        if text:
            parts.append(text)
    # Key names compare without regard to letter case, as Windows compares them.
    return [l.lower() if l.startswith("[") else l for l in "\n\n".join(parts).split("\n") if l]


def log_lines(folder, system_folder):
    """(name, lines) of the run's log, start time and system folder masked."""
    logs = sorted(n for n in os.listdir(folder) if run_scenario.LOG_PATTERN.match(n)) if os.path.isdir(folder) else []
    if not logs:
        return None, []
    with open(os.path.join(folder, logs[0]), "rb") as f:
        lines, _ = run_scenario.split_log(f.read(), None)
    masked = []
    for i, line in enumerate(lines):
        if i == 1 and run_scenario.HEADER_PATTERN.match(line):
            line = "**** <start time> - Logging Enabled ****"
        line = re.sub(re.escape(system_folder) + r"(?=\\)", "<system folder>", line, flags=re.I)
        masked.append(line)
    return logs[0].lower(), masked


def read_calls(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r\n", "\n").split("\n")[:-1] or []


# --- running ----------------------------------------------------------------------


def parse_args(argv):
    opts = {"os": None, "component": "present", "keep": False, "user": None, "machines": [], "text": None}
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            opts["text"] = argv[i + 1] if i + 1 < len(argv) else None
            break
        if arg in ("--os", "--component", "--user", "--machine", "--write-result") and i + 1 < len(argv):
            key = {"--machine": "machines", "--write-result": None}.get(arg, arg[2:])
            if key == "machines":
                opts["machines"].append(argv[i + 1])
            elif key:
                opts[key] = argv[i + 1]
            i += 2
            continue
        if arg == "--keep":
            opts["keep"] = True
        i += 1
    return opts


def choose_wine():
    """(build folder, arch, how) of the Windows build to run, or a Refusal.
    MORIX_WINE_BUILD and MORIX_WINE_ARCH choose them (the tests do)."""
    choices = [(os.path.join(ROOT, "build", "windows"), "win32"), (os.path.join(ROOT, "build", "windows64"), "win64")]
    if os.environ.get("MORIX_WINE_BUILD"):
        choices = [(os.environ["MORIX_WINE_BUILD"], os.environ.get("MORIX_WINE_ARCH", "win32"))]
    for build, arch in choices:
        probe = subprocess.run([os.path.join(HERE, "wine-run"), "--arch", arch, "--probe"], capture_output=True,
                               text=True)
        if probe.returncode == 0:
            if arch == "win32":
                return build, arch, "the i686 build (the shipped program) under 32-bit Wine, which runs " + \
                    probe.stdout.strip()
            return build, arch, "the x86-64 build under 64-bit Wine" + (
                "" if os.environ.get("MORIX_WINE_BUILD") else " (32-bit Wine does not run here)")
    raise Refusal("Wine cannot run here (%s): no second opinion; see scripts/install-deps" %
                  " or ".join("%s Wine" % a for _, a in choices))


def build_windows(build):
    """Builds the program, the launcher and the component libraries."""
    log = build + ".preview-wine-build.log"
    os.makedirs(build, exist_ok=True)
    # One build at a time (the agreement test runs several cases at once).
    with open(os.path.join(build, ".preview-wine-build.lock"), "w") as lock, open(log, "wb") as out:
        fcntl.flock(lock, fcntl.LOCK_EX)
        steps = [] if os.path.exists(os.path.join(build, "build.ninja")) else [
            ["cmake", "-S", ROOT, "--preset", os.path.basename(build)]]
        steps.append(["cmake", "--build", build, "--target", "qvzmrx14", "scenario_launch", "qvzcon14",
                      "qvzcon14_noexport"])
        for step in steps:
            if subprocess.run(step, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                with open(log, errors="replace") as f:
                    sys.stderr.write(f.read()[-4000:])
                raise Refusal("cannot build %s (log: %s)" % (build, log))
    return {"program": os.path.join(build, "qvzmrx14.exe"),
            "launcher": os.path.join(build, "tests", "scenario_runner", "scenario_launch.exe"),
            "present": os.path.join(build, "tests", "component", "qvzcon14", "qvzcon14.dll"),
            "noexport": os.path.join(build, "tests", "component", "qvzcon14_noexport", "qvzcon14.dll")}


class WineArgs:
    def __init__(self, arch):
        self.wine_run = os.path.join(HERE, "wine-run")
        self.arch = arch


def stop_server(args, prefix):
    """Ends the prefix's wineserver, which saves the registry (see the
    scenario runner)."""
    run_scenario.wine(args, prefix, ["--server", "-k2"], timeout=60, check=False)
    run_scenario.wine(args, prefix, ["--server", "-w"], timeout=60)


def server_roots():
    """The folders in which wineservers keep a folder for each prefix (Wine
    makes them in the temporary folder)."""
    found = set()
    for temp in {tempfile.gettempdir(), "/tmp"}:
        found.update(glob.glob(os.path.join(temp, "wine-*")) + glob.glob(os.path.join(temp, ".wine-%d" % os.getuid())))
    return found


def forget_server_dir(prefix, roots_before):
    """Removes what the wineserver left for the prefix in the temporary
    folder: its folder there, named by the prefix folder's device and inode,
    and the folder around it when this run made that."""
    st = os.stat(prefix)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    for root in server_roots():
        shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        if root not in roots_before:
            try:
                os.rmdir(root)
            except OSError:
                pass  # another Wine session's folders are in it


def run_wine(work, build, files, arch, machine, version, text, component, timings):
    """Runs the program under Wine; (registry before, after, calls file, prefix)."""
    args = WineArgs(arch)
    started = time.time()
    base = os.path.join(build, "wineprefix")
    run_scenario.wine(args, base, ["--init"], timeout=900)
    template = base + ".template"
    prefix = os.path.join(work, "prefix")
    roots_before = server_roots()
    shared = run_scenario.clone_prefix(template, prefix)
    stopped = False
    try:
        system32 = os.path.join(prefix, "drive_c", "windows", "system32")
        os.makedirs(os.path.join(prefix, "drive_c", "TEMP"), exist_ok=True)
        with open(files["program"], "rb") as f:
            run_scenario.write_private(os.path.join(system32, "qvzmrx14.exe"), f.read())
        if component in ("present", "noexport"):
            with open(files[component], "rb") as f:
                run_scenario.write_private(os.path.join(system32, "qvzcon14.dll"), f.read())
        import_file = os.path.join(work, "machine-for-wine.reg")
        with open(import_file, "wb") as f:
            f.write(machine.export(version))
        timings.append(("prefix", time.time() - started))
        started = time.time()
        run_scenario.wine(args, prefix, ["regedit", "/S", run_scenario.unix_to_wine(import_file)], bare=True)
        # The registry as Wine holds it after the import is the one the run
        # starts from: saved and read back, not assumed.
        stop_server(args, prefix)
        before = regfile.load_wine_prefix(prefix)
        timings.append(("import", time.time() - started))
        started = time.time()
        calls = os.path.join(work, "wine-calls.txt")
        cmdline = os.path.join(work, "cmdline.txt")
        with open(cmdline, "wb") as f:
            f.write(WINE_SYSTEM.encode() + b"\\qvzmrx14.exe " + to_ansi(text).encode("latin-1"))
        plan = os.path.join(work, "plan.txt")
        with open(plan, "w") as f:
            f.write("set TEMP=C:\\TEMP\nset TMP=C:\\TEMP\nset QVZCON_CALLS=%s\ncmdfile %s\n" % (
                run_scenario.unix_to_wine(calls), run_scenario.unix_to_wine(cmdline)))
        done = run_scenario.wine(args, prefix, [files["launcher"], run_scenario.unix_to_wine(plan)],
                                 timeout=RUN_TIMEOUT, check=False, bare=True)
        stop_server(args, prefix)
        stopped = True
        timings.append(("run", time.time() - started))
        if run_scenario.check_shared(shared):
            raise Refusal("Wine wrote into files shared with %s; remove it to have it made again" % template)
        after = regfile.load_wine_prefix(prefix)
        return before, after, calls, prefix, done.returncode
    finally:
        if not stopped:
            subprocess.run([args.wine_run, "--arch", arch, "--prefix", prefix, "--server", "-k"],
                           capture_output=True, timeout=60)
            subprocess.run([args.wine_run, "--arch", arch, "--prefix", prefix, "--server", "-w"],
                           capture_output=True, timeout=60)
        forget_server_dir(prefix, roots_before)


def compare(preview_folder, wine_prefix, p_before, p_after, w_before, w_after, p_calls, w_calls,
            p_system, roots):
    """The differences, as (what, lines) pairs; [] when the runs agree."""
    found = []
    w_before, w_after = wine_registry(w_before, roots), wine_registry(w_after, roots)
    p_changes = changes(p_before, p_after, roots)
    w_changes = changes(w_before, w_after, roots)
    if p_changes != w_changes:
        found.append(("registry changes", list(difflib.unified_diff(p_changes, w_changes, "preview", "Wine",
                                                                    lineterm="", n=2))))
    p_calls, w_calls = read_calls(p_calls), read_calls(w_calls)
    if p_calls != w_calls:
        found.append(("VendorUninstall calls", list(difflib.unified_diff(p_calls, w_calls, "preview", "Wine",
                                                                         lineterm="", n=5))))
    p_log = log_lines(os.path.join(preview_folder, "drive_c", "TEMP"), p_system)
    w_log = log_lines(os.path.join(wine_prefix, "drive_c", "TEMP"), WINE_SYSTEM)
    if p_log[0] != w_log[0]:
        found.append(("log name", ["preview: %s, Wine: %s" % (p_log[0], w_log[0])]))
    if p_log[1] != w_log[1]:
        found.append(("log lines", list(difflib.unified_diff(p_log[1], w_log[1], "preview", "Wine",
                                                            lineterm="", n=2))))
    return found, len(p_changes), len(p_calls), len(p_log[1])


def say(text):
    print(textwrap.fill(text, 100, subsequent_indent="  "))


def main(argv):
    if len(argv) < 2:
        sys.stderr.write("usage: preview_wine.py PREVIEW-PROGRAM [preview options] -- TEXT\n")
        return 2
    preview, rest = argv[1], argv[2:]
    opts = parse_args(rest)
    if opts["text"] is None or not opts["machines"]:
        os.execv(preview, [preview] + rest)  # the preview's own usage message
    out = sys.stdout.buffer
    try:
        build, arch, how = choose_wine()
        files = build_windows(build)
    except Refusal as e:
        sys.stderr.write("preview: --wine: %s\n" % e)
        return 1
    # Beside the prefix template, whose files a prefix shares as hard links;
    # nothing goes to the temporary folder.
    work = tempfile.mkdtemp(prefix="preview-wine.", dir=build)
    try:
        env = dict(os.environ, TMPDIR=work)
        started = time.time()
        done = subprocess.run([preview, "--keep"] + rest, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        # The preview names the folder it kept on its standard error.
        told = done.stderr
        m = re.search(rb"^preview: machine folder kept: (.*)\n", told, re.M)
        if m and not opts["keep"]:
            told = told[:m.start()] + told[m.end():]
        out.write(done.stdout)
        out.flush()
        sys.stderr.buffer.write(told)
        sys.stderr.flush()
        if done.returncode != 0 or not m:
            return done.returncode or 1
        folder = m.group(1).decode("utf-8", "surrogateescape")
        p_before, p_after, touched = preview_registry(os.path.join(folder, "registry.reg"))
        version = p_before.get_value(HKCU + "\\Software\\Wine", "Version")[1]
        p_system = p_before.get_value(HKLM + "\\Software\\Winsim", "SystemDirectory")[1]

        timings = [("preview", time.time() - started)]
        print("\n======== Under Wine: %s" % how)
        machine = WineMachine(opts["user"])
        started = time.time()
        machine.read(opts["machines"], p_before)
        timings.append(("reading for Wine", time.time() - started))
        print("Imported into Wine: the keys the program reads and writes, as the inputs have them:")
        for line in machine.summary():
            print("  " + line)
        for note in machine.notes:
            print("  " + note)
        say("Not imported: the rest of the machine%s. The program reads none of it, and on Wine it would do "
            "harm: a real machine's Services key makes every start of Wine several times slower, and Wine would "
            "run the class installers listed under Control\\Class (and fail in them)." % (
                " (%d keys of the exports)" % machine.skipped if machine.skipped else ""))
        say("Nor the version and folders the preview read: Wine runs as %s by its own setting, with the system "
            "folder %s (masked in the log, as is the start time)." % (version, WINE_SYSTEM))
        sys.stdout.flush()
        w_before, w_after, w_calls, prefix, status = run_wine(
            work, build, files, arch, machine, version, opts["text"], opts["component"], timings)
        started = time.time()
        roots = COMPARED + [k for k in touched if not under(k, COMPARED)]
        found, n_changes, n_calls, n_log = compare(
            folder, prefix, p_before, p_after, w_before, w_after, os.path.join(folder, "vendor-calls.txt"),
            w_calls, p_system, roots)
        timings.append(("comparing", time.time() - started))
        print("(%s)" % ", ".join("%s %.1f s" % t for t in timings))
        if status != 0:
            found.append(("exit status", ["Wine: %d, the program always exits with 0" % status]))
        if not found:
            print("Verdict: the preview and Wine agree: the same registry changes (%d lines), component "
                  "calls (%d) and log lines (%d; start time and system folder masked)." % (n_changes, n_calls, n_log))
            return AGREE
        print("Verdict: the preview and Wine DIFFER in %s (- preview, + Wine):" % ", ".join(w for w, _ in found))
        for what, lines in found:
            print("-- %s" % what)
            for line in lines:
                print("  " + from_ansi(line))
        return DIFFER
    except (Refusal, run_scenario.ScenarioError) as e:
        print("Wine: not run: %s" % e)
        return 1
    except run_scenario.WineSkip as e:
        print("Wine: not run: %s" % str(e).strip())
        return 1
    finally:
        if opts["keep"]:
            print("(Wine prefix and files kept: %s)" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

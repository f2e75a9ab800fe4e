#!/usr/bin/env python3
"""Runs one scenario folder against the Morix and checks what it left behind.

    run_scenario.py --target host --program build/host/qvzmrx14 \\
        --component-recording R --component-noexport N --work DIR SCENARIO
    run_scenario.py --target host --valgrind /usr/bin/valgrind ... SCENARIO
    run_scenario.py --target wine --arch win32 --wine-run scripts/wine-run \\
        --prefix build/windows/wineprefix --launcher L --program P ... SCENARIO

A scenario folder holds (see README.md, "Adding a scenario"):
  machine.reg      the registry before the run (REGEDIT4)
  cmdline          the argument text (absent: no arguments at all)
  concurrent       the argument text of a second run started at the same moment
  component        none | recording | noexport
  env              NAME=VALUE lines; "NAME=" unsets
  files            files, "dir" and "link" lines to create before the run
  expect.log       the log's lines after the header
  expect.concurrent.log  the second run's log lines after the header
  expect.logname   the log's file name (default qvzmorix00.log; "none": no log);
                   with a concurrent run, both runs' names, in either order
  expect.reg       registry assertions after the run
  expect.calls     the VendorUninstall calls, one printer name per line
  hostonly         the scenario runs only against the host build

Exit status 0 when every check holds, 1 when one fails, 77 when Wine cannot
run on this machine (ctest counts the test as skipped).
"""

import argparse
import calendar
import difflib
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import regfile  # noqa: E402

SKIP = 77
RUN_TIMEOUT = 60
VALGRIND_FOUND = 99  # exit code of a run in which valgrind found an error or leak
WINE_TIMEOUT = 120

LOG_PATTERN = re.compile(r"^qvzmorix.*\.log$", re.I)
# The C runtime's ctime text: glibc pads the day with a blank ("Dec  8"), the
# Windows runtime with a zero ("Dec 08").
HEADER_PATTERN = re.compile(
    r"^\*\*\*\* (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    r"(?: [1-9]|[0-3]\d) \d\d:\d\d:\d\d \d{4} - Logging Enabled \*\*\*\*$")
LINE_NUMBER = re.compile(r"Line \d+")
PATHNAME_PREFIX = "Morix Pathname = "


class ScenarioError(Exception):
    """The scenario folder itself is malformed."""


# --- reading the scenario ----------------------------------------------------


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_lines(path):
    """The file's lines as text (bytes 0-255 kept as they are), without the
    line ends; a final newline does not make an extra empty line."""
    text = read_bytes(path).decode("latin-1").replace("\r\n", "\n")
    if text.endswith("\n"):
        text = text[:-1]
    return text.split("\n") if text else []


class Scenario:
    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(os.path.normpath(folder))

        def path(name):
            return os.path.join(folder, name)

        def optional(name):
            return path(name) if os.path.exists(path(name)) else None

        if not os.path.exists(path("machine.reg")):
            raise ScenarioError("%s: no machine.reg" % folder)
        self.machine_text = regfile.read_text(path("machine.reg"))
        self.machine_ops = regfile.parse_operations(self.machine_text, path("machine.reg"))

        def argument_text(name):
            if not optional(name):
                return None
            data = read_bytes(path(name))
            if data.endswith(b"\r\n"):
                return data[:-2]
            return data[:-1] if data.endswith(b"\n") else data

        self.cmdline = argument_text("cmdline")
        self.concurrent = argument_text("concurrent")

        self.component = "none"
        if optional("component"):
            lines = [l.strip() for l in read_lines(path("component")) if l.strip()]
            self.component = lines[0] if lines else "none"
        if self.component not in ("none", "recording", "noexport"):
            raise ScenarioError("%s: component must be none, recording or noexport" % folder)

        # Later lines win; TEMP and TMP default to C:\TEMP.
        self.env = {"TEMP": "C:\\TEMP", "TMP": "C:\\TEMP"}
        if optional("env"):
            for line in read_lines(path("env")):
                if not line.strip():
                    continue
                if "=" not in line:
                    raise ScenarioError("%s/env: expected NAME=VALUE, found %r" % (folder, line))
                name, value = line.split("=", 1)
                self.env[name.strip()] = value  # "" means unset

        self.dirs = []
        self.files = []  # (windows path, access time or None, hard link target or None)
        if optional("files"):
            for line in read_lines(path("files")):
                line = line.strip()
                if not line:
                    continue
                if line.lower().startswith("dir "):
                    self.dirs.append(line[4:].strip())
                    continue
                stamp = None
                m = re.match(r"^(.*\S)\s+(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)$", line)
                if m:
                    line = m.group(1)
                    stamp = calendar.timegm(time.strptime(m.group(2), "%Y-%m-%dT%H:%M:%S"))
                target = None
                if line.lower().startswith("link "):
                    # link NAME TARGET: NAME is a second name of the file TARGET
                    # (an earlier line), as an NTFS hard link is.
                    m = re.match(r"^link\s+(\S+)\s+(\S+)$", line, re.I)
                    if not m:
                        raise ScenarioError("%s/files: expected 'link NAME TARGET', found %r" % (folder, line))
                    line, target = m.group(1), m.group(2)
                    if target.lower() not in [f[0].lower() for f in self.files if f[2] is None]:
                        raise ScenarioError("%s/files: the target of a link must be an earlier file line: %r"
                                            % (folder, line))
                self.files.append((line, stamp, target))

        if not os.path.exists(path("expect.log")):
            raise ScenarioError("%s: no expect.log" % folder)
        self.expect_log = read_lines(path("expect.log"))
        self.expect_lognames = ["qvzmorix00.log"]
        if optional("expect.logname"):
            self.expect_lognames = [l.strip() for l in read_lines(path("expect.logname")) if l.strip()]
            self.expect_lognames = self.expect_lognames or ["none"]
        self.expect_concurrent_log = None
        if self.concurrent is not None:
            if not optional("expect.concurrent.log"):
                raise ScenarioError("%s: a concurrent run needs expect.concurrent.log" % folder)
            self.expect_concurrent_log = read_lines(path("expect.concurrent.log"))
            if self.expect_lognames == ["qvzmorix00.log"]:
                self.expect_lognames.append("qvzmorix01.log")
        if len(self.expect_lognames) != (1 if self.concurrent is None else 2):
            raise ScenarioError("%s/expect.logname: one name for each run" % folder)
        self.expect_reg = None
        if optional("expect.reg"):
            self.expect_reg = regfile.parse_operations(
                regfile.read_text(path("expect.reg")), path("expect.reg"))
        self.expect_calls = None
        if optional("expect.calls"):
            self.expect_calls = read_lines(path("expect.calls"))
        elif self.component == "recording":
            self.expect_calls = []
        self.hostonly = os.path.exists(path("hostonly"))

    def sets_windows_version(self):
        return any(op[0] == "value" and op[1].lower() == "hkey_current_user\\software\\wine"
                   and op[2].lower() == "version" for op in self.machine_ops)

    def registry_text(self):
        """machine.reg, plus the Windows version when it does not set one."""
        text = self.machine_text.rstrip("\r\n") + "\n"
        if not self.sets_windows_version():
            text += '\n[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="winxp"\n'
        return text

    def temp_directory(self):
        """Where the program puts its log: TEMP, else TMP, else C:\\TEMP."""
        for name in ("TEMP", "TMP"):
            if self.env.get(name):
                return self.env[name]
        return "C:\\TEMP"

    def interesting_roots(self):
        """Registry subtrees the scenario talks about, for the change listing:
        the parent of every key its files name, and the keys the Morix owns."""
        roots = {"hkey_local_machine\\software\\brenmoor", "hkey_current_user\\software\\brenmoor",
                 "hkey_local_machine\\enum"}
        for ops in (self.machine_ops, self.expect_reg or []):
            for op in ops:
                parts = op[1].split("\\")
                if len(parts) > 2 and parts[1].lower() != "environment" and parts[-1].lower() != "wine":
                    roots.add("\\".join(parts[:-1]).lower())
        return sorted(r for r in roots if not any(r.startswith(o + "\\") for o in roots))


# --- the machine's drive C: on disk -------------------------------------------


def map_windows_path(root, windows_path):
    """C:\\a\\b -> <root>/drive_c/a/b, matching existing names without regard
    to letter case, as Windows and Wine do."""
    m = re.match(r"^([A-Za-z]):(.*)$", windows_path)
    if not m:
        raise ScenarioError("not a drive path: %r" % windows_path)
    host = os.path.join(root, "drive_" + m.group(1).lower())
    for part in [p for p in m.group(2).split("\\") if p]:
        candidate = os.path.join(host, part)
        if not os.path.exists(candidate) and os.path.isdir(host):
            for entry in os.listdir(host):
                if entry.lower() == part.lower():
                    candidate = os.path.join(host, entry)
                    break
        host = candidate
    return host


def find_logs(drive_root):
    """{path: content hash} of every qvzmorix*.log below drive_root."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(drive_root):
        for name in filenames:
            if LOG_PATTERN.match(name):
                path = os.path.join(dirpath, name)
                found[path] = hashlib.sha1(read_bytes(path)).hexdigest()
    return found


def write_private(host_path, data):
    """Writes a file of its own: a path that is a hard link into the prefix
    template (see clone_prefix) is unlinked first, never written through."""
    if os.path.lexists(host_path):
        os.remove(host_path)
    with open(host_path, "wb") as f:
        f.write(data)


def prepare_drive(scenario, root, component_file):
    """Creates the scenario's folders and files; their access times come later
    (set_access_times), once nothing reads them any more."""
    for folder in ("windows/system32", "TEMP"):
        os.makedirs(os.path.join(root, "drive_c", folder), exist_ok=True)
    if component_file:
        write_private(os.path.join(root, "drive_c/windows/system32/qvzcon14.dll"), read_bytes(component_file))
    plant_files(scenario, root)


def plant_files(scenario, root):
    """The scenario's "files" lines: folders, files that look like old logs,
    and second names (hard links) of those files. Every file is written
    through write_private: under Wine the prefix's stubs are hard links into
    the template, so a link may only name a file of the scenario's own
    (check_shared fails the scenario otherwise)."""
    for folder in scenario.dirs:
        os.makedirs(map_windows_path(root, folder), exist_ok=True)
    for windows_path, stamp, target in scenario.files:
        host = map_windows_path(root, windows_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        if target is not None:
            # A second name of an earlier line's file, which write_private
            # made the scenario's own: nothing of the template is reachable.
            if os.path.lexists(host):
                os.remove(host)
            os.link(map_windows_path(root, target), host)
            continue
        write_private(host, b"\r\n**** Mon Jan  1 00:00:00 2001 - Logging Enabled ****\r\n\r\n")


def file_contents(scenario, root):
    """{host path: content hash} of the files the scenario made (for checking
    that the run wrote into none of them but its log)."""
    found = {}
    for windows_path, stamp, target in scenario.files:
        host = map_windows_path(root, windows_path)
        if os.path.isfile(host):
            found[host] = hashlib.sha1(read_bytes(host)).hexdigest()
    return found


def set_access_times(scenario, root):
    """The files' last-access (and write) times. Call it after the last read
    before the run: on a relatime mount reading a file whose access time is
    older than its write time resets its access time to now."""
    for windows_path, stamp, target in scenario.files:
        if stamp is not None:
            os.utime(map_windows_path(root, windows_path), (stamp, stamp))


# --- running ------------------------------------------------------------------


class Outcome:
    def __init__(self):
        self.exit_code = None
        self.output = ""
        self.registry = None
        self._registry_before = None
        # Wine: reading the template's registry takes most of a second, and
        # only a failure's change listing needs it.
        self.load_registry_before = None
        self.calls = []
        self.logs_before = {}
        self.logs_after = {}
        self.files_before = {}
        self.timings = []
        self.valgrind = False

    @property
    def registry_before(self):
        if self._registry_before is None and self.load_registry_before is not None:
            self._registry_before = self.load_registry_before()
        return self._registry_before

    @registry_before.setter
    def registry_before(self, registry):
        self._registry_before = registry


def run_host(scenario, args, work, finish):
    outcome = Outcome()
    machine = os.path.join(work, "machine")
    shutil.rmtree(machine, ignore_errors=True)
    os.makedirs(machine)
    with open(os.path.join(machine, "registry.reg"), "wb") as f:
        f.write(scenario.registry_text().encode("latin-1"))
    component = {"recording": args.component_recording, "noexport": args.component_noexport}
    prepare_drive(scenario, machine, component.get(scenario.component))
    outcome.registry_before = regfile.load(os.path.join(machine, "registry.reg"))
    outcome.logs_before = find_logs(os.path.join(machine, "drive_c"))
    outcome.files_before = file_contents(scenario, machine)
    set_access_times(scenario, machine)

    calls_file = os.path.join(work, "calls.txt")
    if os.path.exists(calls_file):
        os.remove(calls_file)
    env = {k: v for k, v in os.environ.items() if k not in ("TEMP", "TMP", "QVZCON_CALLS")}
    for name, value in scenario.env.items():
        if value:
            env[name] = value
        else:
            env.pop(name, None)
    env["WINSIM_MACHINE"] = machine
    env["QVZCON_CALLS"] = calls_file

    def argv(text):
        # The argument text reaches the program as one argument, blanks and all.
        argv = [args.program] + ([text] if text is not None else [])
        if args.valgrind:
            # Every error and every leak, even memory still reachable at exit,
            # fails the run with its own exit code.
            argv = [args.valgrind, "--quiet", "--error-exitcode=%d" % VALGRIND_FOUND, "--leak-check=full",
                    "--show-leak-kinds=all", "--errors-for-leak-kinds=all"] + argv
        return argv

    outcome.valgrind = bool(args.valgrind)
    texts = [scenario.cmdline] + ([scenario.concurrent] if scenario.concurrent is not None else [])
    started = time.time()
    # A concurrent run starts right after the first, before either is waited for.
    procs = [subprocess.Popen(argv(text), env=env, cwd=work, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT) for text in texts]
    outcome.exit_code = 0
    for proc in procs:
        try:
            output, _ = proc.communicate(timeout=RUN_TIMEOUT)
            outcome.output += output.decode("latin-1")
            outcome.exit_code = outcome.exit_code or proc.returncode
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            outcome.exit_code = None
            outcome.output += "program did not finish within %d s" % RUN_TIMEOUT
    outcome.timings.append(("run", time.time() - started))

    outcome.registry = regfile.load(os.path.join(machine, "registry.reg"))
    outcome.calls = read_lines(calls_file) if os.path.exists(calls_file) else []
    outcome.drive_root = machine
    outcome.logs_after = find_logs(os.path.join(machine, "drive_c"))
    return finish(outcome)


def unix_to_wine(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSkip(Exception):
    pass


class Completed:
    def __init__(self, returncode, output):
        self.returncode = returncode
        self.output = output


def wine(args, prefix, argv, timeout=WINE_TIMEOUT, check=True, bare=False):
    """Runs one Wine command in the prefix. Its output goes through a file,
    not a pipe: the wineserver and Wine's services inherit it and outlive the
    command, and waiting for a pipe's end would wait for them (seconds), and
    would make the next command start them all over again. bare: a session
    without Wine's services and desktop process (see wine-run --bare)."""
    cmd = [args.wine_run, "--arch", args.arch, "--prefix", prefix] + (["--bare"] if bare else []) + argv
    with tempfile.TemporaryFile() as output:
        try:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            subprocess.run([args.wine_run, "--arch", args.arch, "--prefix", prefix, "--server", "-k"],
                           capture_output=True, timeout=30)
            raise ScenarioError("timed out after %d s: %s" % (timeout, " ".join(argv)))
        output.seek(0)
        result = Completed(proc.returncode, output.read().decode("latin-1"))
    if result.returncode == SKIP:
        raise WineSkip(result.output)
    if check and result.returncode != 0:
        raise ScenarioError("%s failed (%d):\n%s" % (" ".join(argv), result.returncode, result.output))
    return result


# Files of the prefix template that Wine only ever reads: its DLL and program
# stubs, fonts and the like. A scenario's prefix shares them with the template
# as hard links; every other file is copied.
SHARED_SUFFIXES = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".ds",
                   ".msstyles", ".ttf", ".fon", ".nls", ".mui", ".com", ".vxd", ".manifest")


def clone_prefix(template, prefix):
    """A fresh prefix from the template: its own folders, its own copies of
    the registry files and of everything else Wine may write, and hard links
    to the template's read-only stubs (most of its 600 MB). Returns
    {path: (inode, size, mtime)} of the shared files, for check_shared."""
    shared = {}
    for dirpath, dirnames, filenames in os.walk(template):
        target = os.path.join(prefix, os.path.relpath(dirpath, template))
        os.makedirs(target)
        shutil.copystat(dirpath, target)
        for name in dirnames + filenames:
            source = os.path.join(dirpath, name)
            destination = os.path.join(target, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), destination)
                if name in dirnames:
                    dirnames.remove(name)  # dosdevices: c: and z: stay links
            elif name in filenames:
                if name.lower().endswith(SHARED_SUFFIXES):
                    os.link(source, destination)
                    st = os.stat(destination)
                    shared[destination] = (st.st_ino, st.st_size, st.st_mtime_ns)
                else:
                    shutil.copy2(source, destination)
    return shared


def check_shared(shared):
    """Names the shared files that changed during the run: a write through a
    hard link would have changed the template, and every later scenario."""
    changed = []
    for path, before in sorted(shared.items()):
        try:
            st = os.stat(path)
        except FileNotFoundError:
            continue  # unlinked: the scenario's own business
        if st.st_ino == before[0] and (st.st_size, st.st_mtime_ns) != before[1:]:
            changed.append(path)
    return changed


def run_wine(scenario, args, work, finish):
    outcome = Outcome()
    base = os.path.abspath(args.prefix)
    template = base + ".template"
    wine(args, base, ["--init"], timeout=900)

    # A fresh prefix per scenario, made from the template nobody runs in.
    prefix = os.path.join(work, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    started = time.time()
    shared = clone_prefix(template, prefix)
    user_reg = os.stat(os.path.join(prefix, "user.reg"))
    outcome.timings.append(("copy prefix", time.time() - started))
    server_stopped = False
    try:
        component = {"recording": args.component_recording, "noexport": args.component_noexport}
        prepare_drive(scenario, prefix, component.get(scenario.component))

        reg_file = os.path.join(work, "machine-import.reg")
        with open(reg_file, "wb") as f:
            f.write(scenario.registry_text().replace("\n", "\r\n").encode("latin-1"))
        started = time.time()
        # Neither regedit nor the program needs Wine's services (the spooler
        # and the registry are in-process and in the wineserver); without
        # them, and the desktop process, a session starts in half the time.
        wine(args, prefix, ["regedit", "/S", unix_to_wine(reg_file)], bare=True)
        outcome.timings.append(("import registry", time.time() - started))
        outcome.logs_before = find_logs(os.path.join(prefix, "drive_c"))
        outcome.files_before = file_contents(scenario, prefix)
        set_access_times(scenario, prefix)
        outcome.load_registry_before = lambda: regfile.load_wine_prefix(template).apply(scenario.machine_ops)

        # Wine builds TEMP and TMP from the prefix, not from our environment, and
        # quotes arguments with blanks: the launcher sets the environment and
        # starts the program with the command line exactly as written.
        calls_file = os.path.join(work, "calls.txt")
        if os.path.exists(calls_file):
            os.remove(calls_file)
        program = unix_to_wine(args.program)
        if " " in program:
            program = '"%s"' % program
        plan = []
        for name, value in scenario.env.items():
            plan.append("set %s=%s" % (name, value) if value else "unset %s" % name)
        plan.append("set QVZCON_CALLS=%s" % unix_to_wine(calls_file))
        # The launcher starts a concurrent run right after the first one.
        texts = [scenario.cmdline] + ([scenario.concurrent] if scenario.concurrent is not None else [])
        for i, text in enumerate(texts):
            cmdline_file = os.path.join(work, "cmdline%s.txt" % (i or ""))
            with open(cmdline_file, "wb") as f:
                f.write(program.encode("latin-1"))
                if text is not None:
                    f.write(b" " + text)
            plan.append("cmdfile %s" % unix_to_wine(cmdline_file))
        plan_file = os.path.join(work, "plan.txt")
        with open(plan_file, "wb") as f:
            f.write(("\n".join(plan) + "\n").encode("latin-1"))

        # The wineserver from the import is still up: no second start-up of
        # Wine's services.
        started = time.time()
        proc = wine(args, prefix, [args.launcher, unix_to_wine(plan_file)], timeout=RUN_TIMEOUT, check=False,
                    bare=True)
        outcome.exit_code = proc.returncode
        outcome.output = proc.output
        outcome.timings.append(("run", time.time() - started))

        # The wineserver writes the registry files when it exits. Left alone it
        # first waits for Wine's own processes to end, which they do not (two
        # seconds, then it kills them); SIGINT (-k2) kills them at once, saves
        # the registry the same way and exits, and -w waits for that.
        started = time.time()
        wine(args, prefix, ["--server", "-k2"], timeout=60, check=False)
        wine(args, prefix, ["--server", "-w"], timeout=60)
        server_stopped = True
        outcome.timings.append(("wineserver exit", time.time() - started))
        # Every scenario sets HKCU\Software\Wine "Version", which the template
        # lacks, so Wine must have written user.reg anew (to a new file).
        saved = os.stat(os.path.join(prefix, "user.reg"))
        if (saved.st_ino, saved.st_mtime_ns) == (user_reg.st_ino, user_reg.st_mtime_ns):
            raise ScenarioError("the wineserver exited without saving the registry")
        started = time.time()
        outcome.registry = regfile.load_wine_prefix(prefix)
        outcome.calls = read_lines(calls_file) if os.path.exists(calls_file) else []
        outcome.logs_after = find_logs(os.path.join(prefix, "drive_c"))
        outcome.drive_root = prefix
        outcome.timings.append(("read back", time.time() - started))
        spoiled = check_shared(shared)
        if spoiled:
            raise ScenarioError("files shared with the prefix template %s were written; remove it to "
                                "have it made again: %s" % (template, ", ".join(spoiled)))
        # Keep the logs for a look after the test; the prefix itself is large.
        for path in outcome.logs_after:
            if outcome.logs_before.get(path) != outcome.logs_after[path]:
                shutil.copyfile(path, os.path.join(work, os.path.basename(path)))
        return finish(outcome)
    finally:
        if not server_stopped:
            subprocess.run([args.wine_run, "--arch", args.arch, "--prefix", prefix, "--server", "-k"],
                           capture_output=True, timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)


# --- checking -----------------------------------------------------------------


def split_log(raw, crlf):
    """The log's lines, and a complaint about its line ends (or None).
    crlf: True for CR LF throughout (Windows text files), False for LF alone,
    None for either as long as every line ends the same way."""
    problem = None
    lone_lf = re.search(rb"(?<!\r)\n", raw) is not None
    lone_cr = re.search(rb"\r(?!\n)", raw) is not None
    has_crlf = b"\r\n" in raw
    if crlf is None and has_crlf:
        crlf = True
    if crlf:
        if lone_lf or lone_cr:
            problem = "every line must end in CR LF"
        text = raw.decode("latin-1").replace("\r\n", "\n")
    else:
        if b"\r" in raw:
            problem = "lines must end in LF alone"
        text = raw.decode("latin-1")
    if text and not text.endswith("\n"):
        problem = problem or "the last line has no line end"
    elif text:
        text = text[:-1]
    return (text.split("\n") if text else []), problem


def normalise(line):
    return LINE_NUMBER.sub("Line N", line)


def compare_log_body(expected, actual, program_suffix):
    """Unified diff of the log lines after the header ([] when they agree)."""
    expected = [normalise(l) for l in expected]
    shown = []
    for line in (normalise(l) for l in actual):
        if line.startswith(PATHNAME_PREFIX) and line.endswith(program_suffix):
            line = PATHNAME_PREFIX + "*"
        shown.append(line)
    if shown == expected:
        return []
    return list(difflib.unified_diff(expected, shown, "expect.log", "log", lineterm="", n=3))


def check_log(scenario, outcome, target, problems):
    # Windows writes CR LF through a text-mode stream; the host stand-in may
    # copy that or write LF alone, but one way throughout.
    crlf = True if target == "wine" else None
    temp_dir = map_windows_path(outcome.drive_root, scenario.temp_directory())
    new_or_changed = sorted(p for p, h in outcome.logs_after.items() if outcome.logs_before.get(p) != h)

    if scenario.expect_lognames == ["none"]:
        for path in new_or_changed:
            problems.append("no log expected, but %s was written" % path)
        return
    expected_paths = [os.path.normpath(os.path.join(temp_dir, name)) for name in scenario.expect_lognames]
    for path in new_or_changed:
        if os.path.normpath(path) not in expected_paths:
            problems.append("unexpected log written: %s" % os.path.relpath(path, outcome.drive_root))
    # The run owns its log and nothing else: every file the scenario made
    # keeps its bytes (a hard link to it under a log's name included), and a
    # log is a file of its own, never a second name of another one.
    for path, digest in sorted(outcome.files_before.items()):
        if os.path.normpath(path) in expected_paths:
            continue
        if not os.path.isfile(path) or hashlib.sha1(read_bytes(path)).hexdigest() != digest:
            problems.append("the run changed a file it does not own: %s" % os.path.relpath(path, outcome.drive_root))

    bodies = [scenario.expect_log]
    if scenario.expect_concurrent_log is not None:
        bodies.append(scenario.expect_concurrent_log)
    found = []
    for name, expected_path in zip(scenario.expect_lognames, expected_paths):
        if not os.path.exists(expected_path):
            written = ", ".join(os.path.relpath(p, outcome.drive_root) for p in new_or_changed) or "none"
            problems.append("no log %s in %s (logs written: %s)" % (name, scenario.temp_directory(), written))
            continue
        if expected_path not in [os.path.normpath(p) for p in new_or_changed]:
            problems.append("the log %s was not written in this run" % name)
        if os.stat(expected_path).st_nlink != 1:
            problems.append("the log %s is a hard link to another file" % name)
        lines, line_end_problem = split_log(read_bytes(expected_path), crlf)
        if line_end_problem:
            problems.append("log %s: %s" % (name, line_end_problem))
        header = lines[:3]
        if len(header) < 3 or header[0] != "" or not HEADER_PATTERN.match(header[1]) or header[2] != "":
            problems.append("log header: expected an empty line, '**** <ctime> - Logging Enabled ****' "
                            "and an empty line, found:\n    " + "\n    ".join(repr(l) for l in header))
        found.append(lines[3:])
    if len(found) != len(bodies):
        return
    # Both targets report the program's Windows path on the machine. Runs
    # started at the same moment may take their numbers in either order.
    diffs = [compare_log_body(b, f, "\\qvzmrx14.exe") for b, f in zip(bodies, found)]
    if any(diffs) and len(found) == 2:
        swapped = [compare_log_body(b, f, "\\qvzmrx14.exe") for b, f in zip(bodies, reversed(found))]
        if not any(swapped):
            diffs = swapped
    for diff in diffs:
        if diff:
            problems.append("log lines differ (- expected, + actual):\n" + "\n".join(diff))


def registry_changes(scenario, outcome):
    parts = []
    for root in scenario.interesting_roots():
        changes = regfile.diff(outcome.registry_before.subtree(root), outcome.registry.subtree(root))
        if changes:
            parts.append(changes)
    return "\n".join(parts)


def check(scenario, outcome, target):
    problems = []
    if outcome.exit_code == VALGRIND_FOUND and outcome.valgrind:
        problems.append("valgrind found memory errors or leaks (see the program output)")
    elif outcome.exit_code != 0:
        problems.append("exit code %s, expected 0" % outcome.exit_code)
    check_log(scenario, outcome, target, problems)
    if scenario.expect_reg is not None:
        for failure in regfile.check_expectations(outcome.registry, scenario.expect_reg):
            problems.append("registry: " + failure)
    if scenario.expect_calls is not None and outcome.calls != scenario.expect_calls:
        diff = difflib.unified_diff(scenario.expect_calls, outcome.calls, "expect.calls", "calls", lineterm="")
        problems.append("VendorUninstall calls differ (- expected, + actual):\n" + "\n".join(diff))
    elif scenario.expect_calls is None and outcome.calls:
        problems.append("VendorUninstall was called, but the scenario expects no component: %s" % outcome.calls)
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description="Runs one Morix scenario.")
    parser.add_argument("--target", choices=["host", "wine"], required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--component-recording", required=True)
    parser.add_argument("--component-noexport", required=True)
    parser.add_argument("--work", required=True, help="folder for this scenario's files")
    parser.add_argument("--arch", default="win32")
    parser.add_argument("--wine-run")
    parser.add_argument("--prefix", help="the build's Wine prefix (its .template is copied)")
    parser.add_argument("--launcher")
    parser.add_argument("--valgrind", help="host: run the program under this valgrind, memcheck")
    parser.add_argument("scenario")
    args = parser.parse_args(argv)

    try:
        scenario = Scenario(args.scenario)
    except (ScenarioError, regfile.RegError) as e:
        print("scenario %s is malformed: %s" % (args.scenario, e))
        return 1
    if scenario.hostonly and args.target != "host":
        print("scenario %s runs on the host only" % scenario.name)
        return SKIP

    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    started = time.time()

    def finish(outcome):
        # Runs while the machine still exists (a Wine prefix goes afterwards).
        problems = check(scenario, outcome, args.target)
        changes = registry_changes(scenario, outcome) if problems else ""
        return outcome, problems, changes

    try:
        run = run_host if args.target == "host" else run_wine
        outcome, problems, changes = run(scenario, args, work, finish)
    except WineSkip as e:
        print(str(e).strip())
        return SKIP
    except (ScenarioError, regfile.RegError) as e:
        print("scenario %s could not run: %s" % (scenario.name, e))
        return 1

    timing = ", ".join("%s %.1f s" % t for t in outcome.timings)
    print("scenario %s (%s): %s in %.1f s (%s)" % (
        scenario.name, args.target, "FAILED" if problems else "passed", time.time() - started, timing))
    if problems:
        for problem in problems:
            print("* " + problem)
        print("--- registry changes in the scenario's keys ---")
        print(changes.strip() or "(none)")
        if outcome.output.strip():
            print("--- program output ---")
            print(outcome.output.rstrip())
        print("(files kept in %s)" % work)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The README's examples, checked against what they show.

- Each report line "[file, Line n]: Error --> condition" is found at its file
  and line, as scenario.report_lines checks the scenarios' logs.
- Each command of an example block (an indented block or a ```sh block) that
  starts with scripts/, cmake, ctest or build/ is valid shell, and a scripts/
  one names a script that exists and only options that script knows.
- Each scripts/preview command whose --machine files are in the repository
  runs as shown (through PREVIEW-PROGRAM, the host build; scripts/preview
  would build host-release first), and each ```text block after it shows
  lines it prints, in order (the log's time aside). Commands that need the
  Windows build, Wine or minutes are only checked as above.

    test_readme.py PREVIEW-PROGRAM
"""

import glob
import importlib.util
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
COMMAND = re.compile(r"^(?:time )?(scripts/\S+|cmake|ctest|build/\S+)(?: |$)")
REPORT = re.compile(r"\[([^,\]\s]+), Line (\d+)\]: Error --> (.*)$")
LOG_TIME = re.compile(r"^\*\*\*\* .* - Logging Enabled \*\*\*\*$")


def blocks(text):
    """(kind, first line number, lines) of each example block: "code" for an
    indented block or a ```sh block, "text" for a ```text block, "other" for
    the rest (a folder tree, say)."""
    found, lines, i = [], text.split("\n"), 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            kind = {"```text": "text", "```sh": "code"}.get(line.strip(), "other")
            end = lines.index("```", i + 1)
            found.append((kind, i + 2, lines[i + 1:end]))
            i = end + 1
        elif line.startswith("    ") and (i == 0 or lines[i - 1].strip() == ""):
            start = i
            while i < len(lines) and (lines[i].startswith("    ") or lines[i].strip() == ""):
                i += 1
            found.append(("code", start + 1, [l[4:] for l in lines[start:i]]))
        else:
            i += 1
    return found


def commands(code):
    """The command lines of a code block, continuation lines joined."""
    joined, current = [], ""
    for line in code:
        current += line.strip()
        if current.endswith("\\"):
            current = current[:-1] + " "
            continue
        if COMMAND.match(current):
            joined.append(current)
        current = ""
    return joined


def report_checker():
    path = glob.glob(os.path.join(ROOT, "tests", "**", "report_lines.py"), recursive=True)[0]
    spec = importlib.util.spec_from_file_location("report_lines", path)
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, os.path.dirname(path))
    spec.loader.exec_module(module)
    sources, cache = module.reporting_sources(ROOT), {}
    return lambda name, line, text: module.check_report(sources, cache, name, line, text)


def main():
    preview = sys.argv[1]
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    faults = []
    check = report_checker()
    reports = 0
    for number, line in enumerate(readme.split("\n"), 1):
        for m in REPORT.finditer(line):
            reports += 1
            why = check(m.group(1), int(m.group(2)), m.group(3).rstrip("`"))
            if why:
                faults.append("README.md:%d: %s" % (number, why))

    help_text = subprocess.run([preview, "--help"], capture_output=True, text=True).stdout
    shown = None  # the output of the last preview command run
    checked = ran = 0
    for kind, first, lines in blocks(readme):
        where = "README.md:%d" % first
        if kind == "other":
            continue
        if kind == "text":
            if shown is None:
                continue
            at = 0
            for line in lines:
                expected = "<time>" if LOG_TIME.match(line) else line
                try:
                    at = shown.index(expected, at) + 1
                except ValueError:
                    faults.append("%s: the command before it does not print %r" % (where, line))
            continue
        for command in commands(lines):
            checked += 1
            shown = None
            if subprocess.run(["bash", "-n", "-c", command]).returncode != 0:
                faults.append("%s: not valid shell: %s" % (where, command))
                continue
            words = shlex.split(command, comments=True)
            words = words[1:] if words[0] == "time" else words
            if not words[0].startswith("scripts/"):
                continue
            script = os.path.join(ROOT, words[0])
            if not os.access(script, os.X_OK):
                faults.append("%s: %s is no script" % (where, words[0]))
                continue
            with open(script, encoding="utf-8") as f:
                known = help_text if words[0] == "scripts/preview" else f.read()
            options = words[:words.index("--")] if "--" in words else words
            for option in re.findall(r"(--[a-z][a-z0-9-]*)", " ".join(options[1:])):
                if option not in known:
                    faults.append("%s: %s has no option %s" % (where, words[0], option))
            machines = [words[i + 1] for i, w in enumerate(words[:-1]) if w == "--machine"]
            if words[0] != "scripts/preview" or not machines or \
                    not all(os.path.isfile(os.path.join(ROOT, m)) for m in machines):
                continue
            with tempfile.TemporaryDirectory() as tmp:
                done = subprocess.run([preview, *words[1:]], cwd=ROOT, capture_output=True,
                                      env=dict(os.environ, LC_ALL="C.UTF-8", TMPDIR=tmp),
                                      timeout=120)
                left = os.listdir(tmp)
            ran += 1
            out = done.stdout.decode("utf-8", "replace")
            if done.returncode != 0 or left:
                faults.append("%s: %s: status %d, left %s: %s" % (
                    where, command, done.returncode, left, done.stderr.decode()[-500:]))
                continue
            if "--json" in words:
                json.loads(out)
            shown = "\n".join("<time>" if LOG_TIME.match(l) else l for l in out.split("\n"))
    print("%d report lines, %d commands checked, %d previews run" % (reports, checked, ran))
    for fault in faults:
        print("FAULT " + fault)
    if reports == 0 or ran == 0:
        print("FAULT no report line or no preview command found: the extraction is broken")
        return 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

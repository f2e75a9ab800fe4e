#!/usr/bin/env python3
"""Follows the report lines of scenario runs back to the source.

Every report line "[file, Line n]: Error --> text" must lead its reader to the
check that failed: the file it names, opened at line n, holds a REPORT_FAILURE
call that spans line n and whose condition is the text. Runs every scenario
given against the host build, and fails unless the reports seen come from
every source file that reports.

    report_lines.py --program build/host/qvzmrx14 --component-recording R \\
        --component-noexport N --work DIR --source-root . SCENARIO...
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_scenario  # noqa: E402

REPORT_LINE = re.compile(r"^\[([^,\]]+), Line (\d+)\]: Error --> (.*)$")
CALL = re.compile(r"\bREPORT_FAILURE\s*\(")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
SOURCE_FOLDERS = ("program", os.path.join("include", "qvzvesk"))
ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}


def unescape(literal):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), literal)


def literal_texts(code):
    """The string literals of a piece of code, adjacent ones joined, as the
    compiler would join them."""
    texts, current, end = [], None, None
    for m in LITERAL.finditer(code):
        piece = unescape(m.group(1))
        if current is not None and code[end:m.start()].strip() == "":
            current += piece
        else:
            if current is not None:
                texts.append(current)
            current = piece
        end = m.end()
    if current is not None:
        texts.append(current)
    return texts


def report_calls(text):
    """(first line, last line, condition or None) of each REPORT_FAILURE call;
    None when the condition is not a literal (it then comes from a table)."""
    calls = []
    for m in CALL.finditer(text):
        line_start = text.rfind("\n", 0, m.start()) + 1
        if text[line_start:m.start()].lstrip().startswith("#"):
            continue  # the macro's definition
        depth, i, in_string = 1, m.end(), False
        while i < len(text) and depth:
            c = text[i]
            if in_string:
                if c == "\\":
                    i += 1
                elif c == '"':
                    in_string = False
            elif c == '"':
                in_string = True
            elif c == "(":
                depth += 1
            elif c == ")":
                depth -= 1
            i += 1
        argument = text[m.end():i - 1]
        texts = literal_texts(argument)
        literal_only = LITERAL.sub("", argument).strip() == ""
        calls.append((text.count("\n", 0, m.start()) + 1, text.count("\n", 0, i) + 1,
                      texts[0] if literal_only and len(texts) == 1 else None))
    return calls


def reporting_sources(root):
    """{file name: path} of every source file of the program that reports."""
    found = {}
    for folder in SOURCE_FOLDERS:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            path = os.path.join(root, folder, name)
            with open(path, encoding="latin-1") as f:
                if any(report_calls(f.read())):
                    found[name] = path
    return found


def check_report(sources, cache, name, line, condition):
    """Why a report line does not lead to its check (None when it does)."""
    if name not in sources:
        return "names %s, which is no source file that reports" % name
    if name not in cache:
        with open(sources[name], encoding="latin-1") as f:
            text = f.read()
        cache[name] = (report_calls(text), literal_texts(text))
    calls, literals = cache[name]
    spanning = [c for c in calls if c[0] <= line <= c[1]]
    if not spanning:
        return "%s has no REPORT_FAILURE call at line %d" % (name, line)
    first, last, text = spanning[0]
    if text is None:
        # A call that reports an entry of a table: the text stands in the file.
        if condition in literals:
            return None
        return "%s line %d reports from a table that holds no %r" % (name, line, condition)
    if text != condition:
        return "%s line %d reports %r, not %r" % (name, line, text, condition)
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--program", required=True)
    parser.add_argument("--component-recording", required=True)
    parser.add_argument("--component-noexport", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--source-root", required=True)
    parser.add_argument("scenarios", nargs="+")
    args = parser.parse_args(argv)
    args.valgrind = False
    for name in ("program", "component_recording", "component_noexport"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    sources = reporting_sources(args.source_root)
    cache, seen, problems, reports = {}, set(), [], 0
    for folder in args.scenarios:
        scenario = run_scenario.Scenario(folder)
        work = os.path.join(os.path.abspath(args.work), scenario.name)
        os.makedirs(work, exist_ok=True)
        outcome = run_scenario.run_host(scenario, args, work, lambda o: o)
        logname = scenario.expect_lognames[0]
        log = os.path.join(run_scenario.map_windows_path(outcome.drive_root, scenario.temp_directory()),
                           logname)
        if logname.lower() == "none" or not os.path.exists(log):
            continue
        with open(log, encoding="latin-1") as f:
            for number, line in enumerate(f.read().splitlines(), 1):
                m = REPORT_LINE.match(line)
                if not m:
                    continue
                reports += 1
                seen.add(m.group(1))
                problem = check_report(sources, cache, m.group(1), int(m.group(2)), m.group(3))
                if problem:
                    problems.append("%s, log line %d: %s\n    %s" % (scenario.name, number, problem, line))
    for name in sorted(set(sources) - seen):
        problems.append("no scenario logged a report of %s" % name)
    for problem in problems:
        print("* " + problem)
    print("report lines: %d followed back to %d source files, %d problems" % (
        reports, len(seen), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs explain-log on the logs the scenario tests left in the build folder
and checks operation, driver and outcome against what each scenario expects.

    scenario_logs.py --target host|wine --work BUILD/tests/scenarios/work SCENARIOS_FOLDER

What a scenario expects comes from its expect.log: the driver and the verdict
from its closing lines; the operation is install when the install's summary
lines are there, uninstall when the component step's closing line is, else
neither. Every line of every log must be one the explainer knows.
"""
import argparse
import json
import os
import subprocess
import sys

import explain_log


def read_lines(path):
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r\n", "\n").splitlines()


def expectation(body):
    driver = next((l[len("Driver Name = "):] for l in body if l.startswith("Driver Name = ")), "NULL")
    verdict = {"The Morix Succeeded": "succeeded", "The Morix Failed": "failed"}.get(body[-1] if body else "",
                                                                                       "incomplete")
    operation = ("install" if any(l.startswith("NetworkInstall = ") for l in body) else
                 "uninstall" if any(l.startswith("ComponentUninstall (") for l in body) else "none")
    return operation, None if driver == "NULL" else driver, verdict


def scenario_logs(folder, work, target):
    """[(scenario, [expected (operation, driver, outcome)], [log paths or None])]."""
    found = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not os.path.isfile(os.path.join(path, "machine.reg")):
            continue
        if target == "wine" and os.path.exists(os.path.join(path, "hostonly")):
            continue
        lognames = read_lines(os.path.join(path, "expect.logname")) if os.path.exists(
            os.path.join(path, "expect.logname")) else []
        bodies = [read_lines(os.path.join(path, "expect.log"))]
        if os.path.exists(os.path.join(path, "expect.concurrent.log")):
            bodies.append(read_lines(os.path.join(path, "expect.concurrent.log")))
        lognames = lognames or ["qvzmorix%02d.log" % i for i in range(len(bodies))]
        if lognames == ["none"]:
            continue
        # The Wine runner keeps a run's logs in the scenario's work folder; the
        # host runner leaves its machine folder, with the log in its temp folder.
        logs = []
        for logname in lognames:
            kept = os.path.join(work, name, logname)
            if os.path.isfile(kept):
                logs.append(kept)
                continue
            matches = [os.path.join(d, logname) for d, _, files in os.walk(os.path.join(work, name, "machine"))
                       if logname in files]
            logs.append(matches[0] if len(matches) == 1 else None)
        found.append((name, [expectation(b) for b in bodies], logs))
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target", choices=["host", "wine"], required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("scenarios")
    args = parser.parse_args(argv)

    found = scenario_logs(args.scenarios, args.work, args.target)
    if args.target == "wine" and all(None in logs for _, _, logs in found):
        print("no scenario logs in %s: the Wine scenarios did not run here (skipped)" % args.work)
        return 77
    problems = ["%s: no log of its run in %s (run its scenario test first)" % (name, args.work)
                for name, _, logs in found if None in logs]
    paths = [p for _, _, logs in found for p in logs if p]
    proc = subprocess.run([sys.executable, explain_log.SCRIPT, "--json", "--all"] + paths, capture_output=True)
    results = {os.path.normpath(r["file"]): r for r in map(json.loads, proc.stdout.decode("utf-8").splitlines())}
    if proc.returncode != 0:
        problems.append("explain-log exited with %d: %s" % (proc.returncode, proc.stderr.decode(errors="replace")))
    for name, expected, logs in found:
        if None in logs:
            continue
        got = []
        for path in logs:
            r = results.get(os.path.normpath(path), {})
            got.append((r.get("operation"), r.get("driver"), r.get("outcome")))
            for cause in r.get("causes", []):
                if cause["meaning"] == explain_log.load().UNKNOWN["meaning"]:
                    problems.append("%s: line %d is unknown to the explainer: %s" % (name, cause["line"],
                                                                                     cause["text"]))
        # Concurrent runs may take their logs in either order.
        if sorted(got, key=repr) != sorted(expected, key=repr):
            problems.append("%s: explained as %s, the scenario expects %s" % (name, got, expected))
    for problem in problems:
        print("* " + problem)
    print("%d scenario logs explained (%s), %d problems" % (len(paths), args.target, len(problems)))
    return 1 if problems or not paths else 0


if __name__ == "__main__":
    sys.exit(main())

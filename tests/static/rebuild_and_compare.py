"""Builds the program a second time, from a copy of the sources in another
folder, and compares the files byte for byte with those of the build under test:

    rebuild_and_compare.py --source DIR --build DIR --toolchain FILE
                           --build-type TYPE [--generator G] [--cmake PATH]
                           --target NAME FILE...

The copy and its build folder lie in a new temporary folder, removed afterwards
(kept when the files differ). The second build gets the first one's
SOURCE_DATE_EPOCH (the copy is no git checkout); in a git checkout the test also
checks that this is the time of the last commit and that FILE carries it.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time


def git(source, *args):
    result = subprocess.run(["git", "-C", source] + list(args), capture_output=True)
    return result.stdout if result.returncode == 0 else None


def source_files(source):
    """The files of the tree as a build sees it: in git, tracked and untracked
    files that are not ignored; else everything but build output."""
    top = git(source, "rev-parse", "--show-toplevel")
    if top and os.path.realpath(top.decode().strip()) == os.path.realpath(source):
        listed = git(source, "ls-files", "-z", "--cached", "--others", "--exclude-standard")
        names = [n.decode() for n in listed.split(b"\0") if n]
        return [n for n in names if os.path.isfile(os.path.join(source, n))], True
    names = []
    for folder, subfolders, files in os.walk(source):
        subfolders[:] = [d for d in subfolders
                         if not (folder == source and d in ("build", "dist", ".git"))]
        names += [os.path.relpath(os.path.join(folder, f), source) for f in files]
    return names, False


def pe_time_stamp(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 8)[0]


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--toolchain", required=True)
    parser.add_argument("--build-type", required=True)
    parser.add_argument("--generator", default="Ninja")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--target", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    started = time.monotonic()

    with open(os.path.join(args.build, "source-date-epoch")) as f:
        epoch = f.read().strip()
    names, in_git = source_files(args.source)
    problems = []
    if in_git and "SOURCE_DATE_EPOCH" not in os.environ:
        commit_time = git(args.source, "log", "-1", "--format=%ct").decode().strip()
        if epoch != commit_time:
            problems.append("the build's time stamp %s is not the last commit's %s: "
                            "build again after committing" % (epoch, commit_time))
    for name in args.files:
        stamp = pe_time_stamp(os.path.join(args.build, name))
        if str(stamp) != epoch:
            problems.append("%s has the PE time stamp %d, expected %s" % (name, stamp, epoch))

    work = tempfile.mkdtemp(prefix="morix-rebuild-")
    copy = os.path.join(work, "another", "source")
    second = os.path.join(work, "another-build")
    for name in names:
        os.makedirs(os.path.dirname(os.path.join(copy, name)), exist_ok=True)
        shutil.copy2(os.path.join(args.source, name), os.path.join(copy, name))
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    toolchain = os.path.relpath(args.toolchain, args.source)
    toolchain = args.toolchain if toolchain.startswith("..") else os.path.join(copy, toolchain)
    for command in (
            [args.cmake, "-S", copy, "-B", second, "-G", args.generator,
             "--toolchain", toolchain, "-DCMAKE_BUILD_TYPE=" + args.build_type],
            [args.cmake, "--build", second, "--target", args.target, "--parallel", "2"]):
        result = subprocess.run(command, env=env, capture_output=True, text=True)
        if result.returncode != 0:
            print(result.stdout[-4000:] + result.stderr[-4000:])
            print("FAILED: %s (files kept in %s)" % (" ".join(command), work))
            return 1

    for name in args.files:
        with open(os.path.join(args.build, name), "rb") as f:
            first = f.read()
        with open(os.path.join(second, name), "rb") as f:
            again = f.read()
        if first == again:
            print("%s: %d bytes, identical" % (name, len(first)))
        else:
            problems.append("%s differs: %d and %d bytes, first difference at offset 0x%x" % (
                name, len(first), len(again), first_difference(first, again)))

    print("second build from %d source files in %s, %.0f s" % (
        len(names), work, time.monotonic() - started))
    for problem in problems:
        print("FAILED: " + problem)
    if problems:
        print("the second build is kept in %s" % work)
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())

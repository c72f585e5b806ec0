#!/usr/bin/env python3
"""Runs the planted faults of tests/mutants.json: does the test suite catch each one?

  tools/mutate.py [--only M01,M130] [--time-limit SECONDS] [--mutants FILE]

The repository's files (tracked and untracked, not ignored) are copied to a scratch
directory; the checkout itself is never changed. Then, one fault at a time: its `find`
text (which must occur exactly once in `file`, else the fault is "n/a") is replaced, the
native tree is rebuilt and ctest runs. A fault in Windows code (a *_win32.cpp file, app/
or res/) rebuilds the Windows tree instead, whose Wine suite runs against the scratch
copy's native simulator. Each tree is configured with warnings allowed (a warning is no
catch), built and tested unplanted once, before its first fault. A fault is
"killed-build" when the build fails, "killed" when a test fails or its tests overrun the
time limit, "SURVIVED" otherwise; the file is put back after every fault, also on Ctrl-C.

Prints a line per fault and a last line "killed K of A applicable (N n/a)". Exits 0 when
every fault was killed, 1 when one survived, 2 when the unplanted tree does not build or
pass, 64 on a usage error.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JOBS = str(max(1, os.cpu_count() or 1))


class Stopped(Exception):
    pass


def stop_on_signal(signum, frame):
    raise Stopped()


def run(args, cwd, limit=None):
    """Runs a command in a process group of its own, so that an overrun or an interruption
    ends it and whatever it started. Returns (exit status or None on overrun, output)."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            rc = proc.wait(timeout=limit)
        except BaseException as e:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            if not isinstance(e, subprocess.TimeoutExpired):
                raise
            rc = None
        out.seek(0)
        return rc, out.read().decode("utf-8", "replace")


def copy_sources(dst):
    listing = subprocess.run(["git", "-C", REPO, "ls-files", "-z", "-c", "-o",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    for rel in filter(None, listing.decode().split("\0")):
        src = os.path.join(REPO, rel)
        if os.path.isfile(src):  # a deleted file git still lists is skipped
            os.makedirs(os.path.dirname(os.path.join(dst, rel)), exist_ok=True)
            shutil.copy2(src, os.path.join(dst, rel))


def is_windows_code(path):
    return path.endswith("_win32.cpp") or path.startswith(("app/", "res/"))


class Tree:
    """One build tree of the scratch copy (native or windows preset)."""

    def __init__(self, src, preset, limit):
        self.src, self.preset, self.limit = src, preset, limit
        self.build = os.path.join(src, "build", preset)
        self.ready = False

    def configure(self):
        rc, text = run(["cmake", "--preset", self.preset, "-DKORVEL7_WERROR=OFF"], self.src)
        if rc != 0:
            sys.exit("mutate.py: configuring the %s tree failed:\n%s" % (self.preset, text[-3000:]))

    def test(self):
        """("killed-build" | "killed" | "SURVIVED", what failed)."""
        rc, text = run(["cmake", "--build", self.build, "-j", JOBS], self.src)
        if rc != 0:
            errors = [line for line in text.splitlines() if "error" in line.lower()]
            return "killed-build", errors[:1]
        failed_log = os.path.join(self.build, "Testing", "Temporary", "LastTestsFailed.log")
        if os.path.exists(failed_log):
            os.remove(failed_log)
        rc, _ = run(["ctest", "-j", "2", "--timeout", str(self.limit)], self.build,
                    limit=self.limit + 60)
        if rc == 0:
            return "SURVIVED", []
        if rc is None:
            return "killed", ["(over the time limit)"]
        try:
            with open(failed_log) as f:
                failed = [line.strip().split(":", 1)[-1] for line in f if line.strip()]
        except OSError:
            failed = []
        return "killed", failed or ["(ctest exit %d)" % rc]

    def build_only(self):
        """For the simulator the Windows tree's tests run against."""
        if not os.path.isfile(os.path.join(self.build, "build.ninja")):
            self.configure()
        rc, text = run(["cmake", "--build", self.build, "-j", JOBS], self.src)
        if rc != 0:
            sys.exit("mutate.py: building the %s tree failed:\n%s" % (self.preset, text[-3000:]))

    def baseline(self):
        if self.ready:
            return
        start = time.monotonic()
        self.configure()
        verdict, detail = self.test()
        if verdict != "SURVIVED":
            print("mutate.py: the unplanted %s tree is not green (%s: %s)"
                  % (self.preset, verdict, ", ".join(detail)), flush=True)
            sys.exit(2)
        print("baseline %s: green, %.0f s" % (self.preset, time.monotonic() - start), flush=True)
        self.ready = True


def load_faults(path, only):
    with open(path) as f:
        faults = json.load(f)
    if not only:
        return faults
    wanted = set(only.split(","))
    unknown = wanted - {m["id"] for m in faults}
    if unknown:
        print("mutate.py: no such fault: %s" % ", ".join(sorted(unknown)), file=sys.stderr)
        sys.exit(64)
    return [m for m in faults if m["id"] in wanted]


def plant_and_test(fault, src, trees):
    """Plants one fault, runs the tree its file belongs to and puts the file back."""
    path = os.path.join(src, fault["file"])
    try:
        with open(path, "rb") as f:
            original = f.read()
    except OSError:
        return "n/a", ["no file %s" % fault["file"]]
    text = original.decode("utf-8")
    if text.count(fault["find"]) != 1:
        return "n/a", ["find text occurs %d times" % text.count(fault["find"])]
    tree = trees["windows" if is_windows_code(fault["file"]) else "native"]
    tree.baseline()
    try:
        with open(path, "wb") as f:
            f.write(text.replace(fault["find"], fault["replace"], 1).encode("utf-8"))
        return tree.test()
    finally:
        with open(path, "wb") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated fault IDs (default: all)")
    parser.add_argument("--time-limit", type=int, default=300,
                        help="seconds a fault's test run may take (default 300)")
    parser.add_argument("--mutants", default=os.path.join(REPO, "tests", "mutants.json"))
    args = parser.parse_args()
    faults = load_faults(args.mutants, args.only)

    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, stop_on_signal)
    scratch = tempfile.mkdtemp(prefix="korvel7-mutate-")
    src = os.path.join(scratch, "src")
    results = []
    try:
        copy_sources(src)
        trees = {p: Tree(src, p, args.time_limit) for p in ("native", "windows")}
        if any(is_windows_code(m["file"]) for m in faults):
            trees["native"].build_only()  # the Windows tree's tests use its simulator
        for fault in faults:
            begun = time.monotonic()
            verdict, detail = plant_and_test(fault, src, trees)
            results.append((fault, verdict))
            print("%-5s %-13s %-30s %4.0f s  %s" % (fault["id"], verdict, fault["file"],
                                                    time.monotonic() - begun,
                                                    ", ".join(detail[:4])), flush=True)
    except Stopped:
        print("mutate.py: stopped; the scratch copy is removed", file=sys.stderr)
        return 130
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    applicable = [(m, v) for m, v in results if v != "n/a"]
    survivors = [m for m, v in applicable if v == "SURVIVED"]
    for m in survivors:
        print("survivor %s (%s): %s" % (m["id"], m["file"], m.get("why", "")))
    print("killed %d of %d applicable (%d n/a)" % (len(applicable) - len(survivors),
                                                   len(applicable),
                                                   len(results) - len(applicable)))
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())

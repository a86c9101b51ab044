#!/usr/bin/python3
"""Runs the fault sweep of the conversion run, which writes a sample of the stores it checked
(files left by failed calls, power cuts and kills) with what each should hold, and reads each
sample with the independent readers: pffinfo opens it, readpst exports exactly its messages,
and pypff lists exactly its messages, by subject, in their folders.

  fault_sweep_readers.py CONVERT_TESTS
"""
import collections
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store  # noqa: E402


def pypff_messages(store):
    import pypff
    f = pypff.file()
    f.open(store)
    found = []
    stack = [f.root_folder]
    while stack:
        folder = stack.pop()
        for i in range(folder.number_of_sub_messages):
            found.append((folder.name, folder.get_sub_message(i).subject or ""))
        stack.extend(folder.get_sub_folder(i) for i in range(folder.number_of_sub_folders))
    f.close()
    return collections.Counter(found)


def readpst_count(store, tmp):
    out = os.path.join(tmp, "readpst")
    os.makedirs(out)
    p = subprocess.run(["readpst", "-D", "-j", "0", "-S", "-o", out, store], capture_output=True)
    if p.returncode != 0:
        raise AssertionError("readpst exit status %d: %s" % (p.returncode, p.stderr[:500]))
    return sum(1 for _, _, names in os.walk(out) for n in names if n.isdigit())


def check(store, want):
    problems = []
    try:
        check_store(store, allow_tail=want.get("crashed", False))
    except AssertionError as e:
        problems.append(str(e))
    info = subprocess.run(["pffinfo", store], capture_output=True, text=True)
    if info.returncode != 0:
        problems.append("pffinfo: " + (info.stdout + info.stderr)[-500:])
    expected = collections.Counter((m["folder"], m["subject"]) for m in want["messages"])
    try:
        got = pypff_messages(store)
        if got != expected:
            problems.append("pypff: %s, want %s" % (sorted(got.items()), sorted(expected.items())))
    except Exception as e:  # a reader that cannot open the file is a failure
        problems.append("pypff: %s" % e)
    with tempfile.TemporaryDirectory() as tmp:
        try:
            n = readpst_count(store, tmp)
            if n != len(want["messages"]):
                problems.append("readpst: %d messages, want %d" % (n, len(want["messages"])))
        except Exception as e:
            problems.append("readpst: %s" % e)
    return problems


def main():
    tests = sys.argv[1]
    with tempfile.TemporaryDirectory() as samples:
        env = dict(os.environ, WHARFLINE_SWEEP_SAMPLES=samples)
        run = subprocess.run([tests, "--gtest_filter=RunFaultSweep.*"], env=env,
                             capture_output=True, text=True)
        print(run.stdout[-2000:])
        if run.returncode != 0:
            print(run.stderr[-2000:])
            return 1
        names = sorted(n[:-5] for n in os.listdir(samples) if n.endswith(".json"))
        failures = 0
        for name in names:
            with open(os.path.join(samples, name + ".json")) as fh:
                want = json.load(fh)
            problems = check(os.path.join(samples, name + ".pst"), want)
            print("%s (%d messages): %s" % (name, len(want["messages"]),
                                            "OK" if not problems else problems))
            failures += 1 if problems else 0
        print("%d stores read by pffinfo, readpst and pypff; %d disagreed" % (len(names), failures))
        return 1 if failures or len(names) < 10 else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Kills pst_crash_writer with SIGKILL at random moments and checks that the file it leaves
opens in every reader with exactly the messages of its last commit.

  crash_test.py CRASH_WRITER VERIFY_TOOL [TRIALS]
"""
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def count_pypff(store):
    import pypff
    f = pypff.file()
    f.open(store)
    total = 0
    stack = [f.root_folder]
    while stack:
        fo = stack.pop()
        total += fo.number_of_sub_messages
        stack.extend(fo.get_sub_folder(i) for i in range(fo.number_of_sub_folders))
    return total


def count_pffexport(store, tmp):
    target = os.path.join(tmp, "pffexport")
    p = subprocess.run(["pffexport", "-m", "items", "-q", "-t", target, store], capture_output=True)
    out = (p.stdout + p.stderr).decode("utf-8", "replace")
    if p.returncode != 0 or re.search(r"unable|error", out, re.I):
        raise AssertionError("pffexport: " + out[:2000])
    folder = os.path.join(target + ".export", "Top of Personal Folders", "Absturz")
    return len([x for x in os.listdir(folder) if x.startswith("Message")]) if os.path.isdir(folder) else 0


def count_readpst(store, tmp):
    out = os.path.join(tmp, "readpst")
    os.makedirs(out)
    p = subprocess.run(["readpst", "-D", "-j", "0", "-S", "-o", out, store], capture_output=True)
    if p.returncode != 0:
        raise AssertionError("readpst exit status %d" % p.returncode)
    folder = os.path.join(out, "Crash ✓", "Absturz")
    return len([x for x in os.listdir(folder) if x.isdigit()]) if os.path.isdir(folder) else 0


def count_pst_extractor(store):
    env = dict(os.environ, NODE_PATH=os.path.join(HERE, "..", "..", "node_modules"))
    p = subprocess.run(["node", os.path.join(HERE, "read_with_pst_extractor.js"), store],
                       capture_output=True, env=env)
    if p.returncode != 0:
        raise AssertionError("pst-extractor: " + p.stderr.decode()[:2000])
    return len(json.loads(p.stdout)["messages"])


def trial(writer, verify, tmp, rng):
    store = os.path.join(tmp, "crash.pst")
    every = rng.choice([7, 25, 60])
    proc = subprocess.Popen([writer, store, "100000", str(every)], stdout=subprocess.PIPE)
    committed = []
    deadline = time.time() + rng.uniform(0.2, 1.5)
    os.set_blocking(proc.stdout.fileno(), False)
    buf = b""
    while time.time() < deadline:
        chunk = proc.stdout.read() or b""
        buf += chunk
        time.sleep(0.01)
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    buf += proc.stdout.read() or b""
    committed = [int(x) for x in re.findall(rb"committed (\d+)", buf)]
    want = committed[-1] if committed else None
    if want is None:
        return []  # killed before the store existed as a valid file
    failures = []
    v = subprocess.run([verify, store, "--allow-tail"], capture_output=True, text=True)
    found = re.search(r"valid messages=(\d+)", v.stdout)
    # The kill may land after a commit reached the disk but before it was announced; then
    # the file holds the next commit. Anything else (a partial commit) is a failure.
    if found and int(found.group(1)) == want + every:
        want += every
    if v.returncode != 0 or not found or int(found.group(1)) != want:
        failures.append(f"verifier: {v.stdout.strip()} want {want}")
    for name, fn in (("pypff", lambda: count_pypff(store)),
                     ("pffexport", lambda: count_pffexport(store, tmp)),
                     ("readpst", lambda: count_readpst(store, tmp)),
                     ("pst-extractor", lambda: count_pst_extractor(store))):
        try:
            got = fn()
            if got != want:
                failures.append(f"{name}: {got} messages, want {want}")
        except Exception as e:  # a reader that cannot open the file is a failure
            failures.append(f"{name}: {e}")
    print(f"killed after commit of {want} messages: {'OK' if not failures else failures}")
    return failures


def main():
    writer, verify = sys.argv[1:3]
    trials = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    rng = random.Random()
    failures = []
    for _ in range(trials):
        with tempfile.TemporaryDirectory() as tmp:
            failures += trial(writer, verify, tmp, rng)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A run split into several stores against one that is not: the corpus of make_corpus.py is
converted once into one store and once with --max-size set to a fraction of that store's size,
and both throughputs are printed (messages a second), best of several rounds. The input is
read once before timing, so both runs find it in the page cache.

Usage: bench_split.py CONVERT [--work DIR] [--count 20000] [--parts 8] [--rounds 3]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(args):
    start = time.monotonic()
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("conversion failed: " + r.stdout[-2000:] + r.stderr[-2000:])
    return time.monotonic() - start, r.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("convert")
    ap.add_argument("--work", default=None)
    ap.add_argument("--count", type=int, default=20000)
    ap.add_argument("--parts", type=int, default=8)
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="bench-split-", dir=a.work)
    try:
        src = os.path.join(work, "src")
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), src, str(a.count)], check=True)
        for d, _, fs in os.walk(src):
            for f in fs:
                with open(os.path.join(d, f), "rb") as fh:
                    fh.read()
        whole, split, size, stores = [], [], 0, 0
        for _ in range(a.rounds):
            out = os.path.join(work, "one")
            os.mkdir(out)
            secs, stdout = run([a.convert, "-q", src, "-o", out])
            size = os.path.getsize(stdout.splitlines()[-1])
            whole.append(secs)
            shutil.rmtree(out)
            os.mkdir(out)
            limit = max(1 << 20, size // a.parts)
            secs, stdout = run([a.convert, "-q", "--max-size", str(limit), src, "-o", out])
            stores = len(os.listdir(out))
            split.append(secs)
            shutil.rmtree(out)
        print("%d messages, one store of %.0f MB: %.1f s, %.0f messages/s"
              % (a.count, size / 1e6, min(whole), a.count / min(whole)))
        print("split at %.0f MB into %d stores: %.1f s, %.0f messages/s (%.0f%% of unsplit)"
              % (size / a.parts / 1e6, stores, min(split), a.count / min(split),
                 100 * min(whole) / min(split)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

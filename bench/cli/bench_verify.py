#!/usr/bin/env python3
"""Reading a store back to verify it, against converting it: the corpus of make_corpus.py with
10,000 and 100,000 messages is converted plainly and with --verify; the read-back after the run
is the --verify run's wall time past its conversion (the seconds it prints), less the same
overhead of the plain run, and its ratio to the plain conversion is printed (the aim is a
third or less), with what recording the expectations added to the run. Then `verify STORE
SOURCE`, which reads and imports every file again, is timed too. The input is read once
before timing, so every step finds it in the page cache.

Usage: bench_verify.py CONVERT [--work DIR] [--counts 10000,100000]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(args):
    start = time.monotonic()
    r = subprocess.run(args, capture_output=True, text=True)
    return time.monotonic() - start, r


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("convert")
    ap.add_argument("--work", default=None)
    ap.add_argument("--counts", default="10000,100000")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="bench-verify-", dir=a.work)
    try:
        for count in (int(c) for c in a.counts.split(",")):
            src = os.path.join(work, "src%d" % count)
            subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), src, str(count)], check=True)
            for d, _, fs in os.walk(src):
                for f in fs:
                    with open(os.path.join(d, f), "rb") as fh:
                        fh.read()
            def convert(*extra):
                out = tempfile.mkdtemp(dir=work)
                secs, r = timed([a.convert, "-q", *extra, src, "-o", out])
                if r.returncode != 0:
                    sys.exit("conversion failed: " + r.stdout[-2000:] + r.stderr[-2000:])
                ran = float(re.search(r"in ([0-9.]+) s\.", r.stdout).group(1))
                return secs, ran, r.stdout, out
            secs, ran, _, out = convert()
            store = os.path.join(out, os.listdir(out)[0])
            vsecs, vran, vout, vdir = convert("--verify")
            if "Verified %d of %d messages." % (count, count) not in vout:
                sys.exit("verification failed: " + vout[-2000:])
            readback = (vsecs - vran) - (secs - ran)
            csecs, c = timed([a.convert, "verify", store, src])
            if c.returncode != 0:
                sys.exit("verification failed: " + c.stdout[-2000:] + c.stderr[-2000:])
            print("%d messages, store %.0f MB: conversion %.1f s; with --verify the run took %.1f s "
                  "and reading back %.1f s, ratio %.2f; verify command %.1f s, ratio %.2f"
                  % (count, os.path.getsize(store) / 1e6, secs, vran, readback, readback / secs,
                     csecs, csecs / secs))
            shutil.rmtree(out)
            shutil.rmtree(vdir)
            shutil.rmtree(src)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

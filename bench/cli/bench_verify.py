#!/usr/bin/env python3
"""Reading a store back to verify it, against converting it: the corpus of make_corpus.py with
10,000 and 100,000 messages is converted, then `verify STORE SOURCE` checks the store against
its files, and both wall times are printed with their ratio (the aim is a third or less).
The input is read once before timing, so both steps find it in the page cache.

Usage: bench_verify.py CONVERT [--work DIR] [--counts 10000,100000]
"""
import argparse
import os
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
            out = os.path.join(work, "out%d" % count)
            os.mkdir(out)
            secs, r = timed([a.convert, "-q", src, "-o", out])
            if r.returncode != 0:
                sys.exit("conversion failed: " + r.stdout[-2000:] + r.stderr[-2000:])
            store = r.stdout.splitlines()[-1]
            vsecs, v = timed([a.convert, "verify", store, src])
            if v.returncode != 0:
                sys.exit("verification failed: " + v.stdout[-2000:] + v.stderr[-2000:])
            print("%d messages, store %.0f MB: conversion %.1f s, verify %.1f s (%s), ratio %.2f"
                  % (count, os.path.getsize(store) / 1e6, secs, vsecs, v.stdout.strip(), vsecs / secs))
            shutil.rmtree(src)
            shutil.rmtree(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

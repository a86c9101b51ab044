#!/usr/bin/env python3
"""The whole conversion from the command line, on generated corpora: messages/s, MB/s against
the machine's raw I/O in the same run (reading the input plus writing as many bytes, with a
final fsync as the converter does at its last commit), peak memory, and how the time per
message changes from the smaller corpus to the larger. Each corpus is measured with the page
cache dropped first (when allowed), then again with the input cached.

Usage: bench_convert.py WHARFLINE_CONVERT [--sizes 10000,100000] [--work DIR] [--small]
                        [--one-folder]
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


def drop_caches():
    try:
        with open("/proc/sys/vm/drop_caches", "w") as fh:
            fh.write("3\n")
    except OSError:
        pass  # not allowed here: every run then reads from the page cache alike


def raw_io(src, out_dir):
    """Seconds to read every input file and write the same number of bytes, then fsync."""
    start = time.perf_counter()
    total = 0
    target = os.path.join(out_dir, "raw.bin")
    with open(target, "wb") as out:
        for folder, _, names in os.walk(src):
            for name in names:
                with open(os.path.join(folder, name), "rb") as fh:
                    data = fh.read()
                total += len(data)
                out.write(data)
        out.flush()
        os.fsync(out.fileno())
    elapsed = time.perf_counter() - start
    os.remove(target)
    return elapsed, total


def convert(tool, src, out_dir):
    cmd = ["/usr/bin/time", "-f", "%M", tool, "-q", src, "-o", out_dir]
    start = time.perf_counter()
    p = subprocess.run(cmd, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if p.returncode not in (0, 1):
        sys.exit(f"conversion failed: {p.stderr}")
    peak_kb = int(p.stderr.strip().splitlines()[-1])
    pst = p.stdout.strip().splitlines()[-1]
    size = os.path.getsize(pst)
    os.remove(pst)
    imported = re.search(r"Imported (\d+) of (\d+)", p.stdout)
    return elapsed, peak_kb, size, int(imported.group(1)), int(imported.group(2))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--sizes", default="10000,100000")
    ap.add_argument("--work", default=None)
    ap.add_argument("--small", action="store_true", help="2 KB plain messages only")
    ap.add_argument("--one-folder", action="store_true",
                    help="every message in one folder (one store folder of them all)")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="wharfline-bench-")
    results = []
    for count in [int(x) for x in args.sizes.split(",")]:
        src = os.path.join(work, f"corpus-{count}{'-small' if args.small else ''}"
                                 f"{'-one-folder' if args.one_folder else ''}")
        if not os.path.isdir(src):
            subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), src, str(count)]
                           + (["--small"] if args.small else [])
                           + (["--one-folder"] if args.one_folder else []), check=True)
        out = os.path.join(work, "out")
        os.makedirs(out, exist_ok=True)
        drop_caches()
        raw_s, in_bytes = raw_io(src, out)
        drop_caches()
        conv_s, peak_kb, pst_bytes, imported, total = convert(args.tool, src, out)
        # And again with the input in the page cache, as right after the files were copied.
        warm_raw_s, _ = raw_io(src, out)
        warm_s, _, _, _, _ = convert(args.tool, src, out)
        mb = in_bytes / 1e6
        results.append((count, conv_s))
        print(f"{count} messages ({mb:.0f} MB in, {pst_bytes / 1e6:.0f} MB .pst, "
              f"{imported}/{total} imported): {conv_s:.1f} s = {count / conv_s:.0f} msg/s, "
              f"{mb / conv_s:.1f} MB/s; raw read+write of the same bytes {raw_s:.1f} s "
              f"({mb / raw_s:.1f} MB/s) -> {100 * raw_s / conv_s:.0f}% of raw I/O; "
              f"peak memory {peak_kb / 1024:.0f} MB; {1e6 * conv_s / count:.0f} us/message")
        print(f"  input in the page cache: {warm_s:.1f} s = {count / warm_s:.0f} msg/s, "
              f"{mb / warm_s:.1f} MB/s; raw {mb / warm_raw_s:.1f} MB/s -> "
              f"{100 * warm_raw_s / warm_s:.0f}% of raw I/O")
    if len(results) > 1:
        (n0, t0), (n1, t1) = results[0], results[-1]
        print(f"time per message at {n1} vs {n0}: {100 * ((t1 / n1) / (t0 / n0) - 1):+.0f}%")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

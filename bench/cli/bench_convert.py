#!/usr/bin/env python3
"""The whole conversion from the command line, on generated corpora: messages/s, MB/s against
the machine's raw I/O in the same run (reading the input plus writing as many bytes, with a
final fsync as the converter does at its last commit), peak memory, and how the time per
message changes from the smaller corpus to the larger. Each corpus is measured with the page
cache dropped first (when allowed), then again with the input cached.

With --corpora, the named corpora instead (generated, never committed), each measured with
the page cache dropped, the ratio being conversion time / raw I/O time in the same run (raw:
reading the input and writing as many bytes as the store, then fdatasync):
  text     20,000 plain messages of 2-4 KB
  mixed    5,000 messages, half with one attachment of 50 KB to 5 MB (about 4 GB)
  large    200 messages with a 20 MB attachment each (about 5.5 GB)
  million  1,000,000 small messages in 100 folders: also the time the files took to list, the
           time per message in each band of 100,000 after it beside the raw I/O's time per
           file over the same band, the converter's CPU time and bytes written per message
           in each band (its own work, which the disk's pace does not move), and the store
           checked by the strict checker when --checker names it
For each: peak memory and the store's unused space (the free bytes its header counts).

Usage: bench_convert.py WHARFLINE_CONVERT [--sizes 10000,100000] [--work DIR] [--small]
                        [--one-folder]
       bench_convert.py WHARFLINE_CONVERT --corpora text,mixed,large,million [--work DIR]
                        [--checker build/tests/pst_verify_tool] [--engine-only /dev/shm/x]
"""
import argparse
import os
import struct
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


def raw_io(src, out_dir, write_bytes=None, bands=None):
    """Seconds to read every input file and write the same number of bytes (or write_bytes,
    the size of the store the conversion wrote), then fdatasync. With bands (a list), the
    seconds at every 100,000 files read are appended to it."""
    start = time.perf_counter()
    total = 0
    written = 0
    files = 0
    target = os.path.join(out_dir, "raw.bin")
    with open(target, "wb") as out:
        for folder, _, names in os.walk(src):
            for name in names:
                with open(os.path.join(folder, name), "rb") as fh:
                    data = fh.read()
                total += len(data)
                files += 1
                if bands is not None and files % 100000 == 0:
                    bands.append(time.perf_counter() - start)
                if write_bytes is None or written < write_bytes:
                    chunk = data if write_bytes is None else data[:write_bytes - written]
                    out.write(chunk)
                    written += len(chunk)
        while write_bytes is not None and written < write_bytes:
            chunk = bytes(min(1 << 20, write_bytes - written))
            out.write(chunk)
            written += len(chunk)
        out.flush()
        os.fdatasync(out.fileno())
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


CORPORA = {
    "text": (20000, ["--profile", "text"]),
    "mixed": (5000, ["--profile", "mixed"]),
    "large": (200, ["--profile", "large"]),
    "million": (1000000, ["--small"]),
}


def store_space(pst):
    """(file size, free bytes the header counts) of a Unicode store."""
    with open(pst, "rb") as fh:
        header = fh.read(0x200)
    eof, = struct.unpack_from("<Q", header, 0xB8)
    free, = struct.unpack_from("<Q", header, 0xC8)
    return eof, free


def work_done(pid):
    """(user CPU seconds, system CPU seconds, bytes written) of the process so far, from
    /proc; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as fh:
            fields = fh.read().rsplit(")", 1)[1].split()
        with open(f"/proc/{pid}/io") as fh:
            io = dict(line.split(": ") for line in fh.read().splitlines())
    except OSError:
        return None
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick, int(io["wchar"])


def convert_banded(tool, src, out_dir, total, band=100000):
    """Converts with progress lines on; returns (seconds, peak KB, store path, imported,
    [(files done, seconds, (user, system CPU seconds, bytes written))] as the progress told
    them)."""
    start = time.perf_counter()
    p = subprocess.Popen([tool, src, "-o", out_dir], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    marks = [(0, 0.0, (0.0, 0.0, 0))]
    err = []
    for line in p.stderr:
        err.append(line)
        m = re.match(r"converted (\d+) of (\d+) files", line)
        if m:
            marks.append((int(m.group(1)), time.perf_counter() - start,
                          work_done(p.pid) or marks[-1][2]))
    out = p.stdout.read()
    written = (work_done(p.pid) or marks[-1][2])[2]  # the process is done but not reaped
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - start
    if p.returncode not in (0, 1):
        sys.exit("conversion failed: " + "".join(err[-20:]))
    marks.append((total, elapsed, (usage.ru_utime, usage.ru_stime, written)))
    imported = re.search(r"Imported (\d+) of (\d+)", out)
    return elapsed, usage.ru_maxrss, out.strip().splitlines()[-1], int(imported.group(1)), marks


def band_times(marks, total, band, value=lambda mark: mark[1]):
    """Microseconds per message in each band of `band` messages, from the progress marks: of
    wall time, or of what `value` takes from a mark (its CPU seconds, say)."""
    def at(n):  # the value when n files were done, by linear interpolation
        for m0, m1 in zip(marks, marks[1:]):
            (n0, v0), (n1, v1) = (m0[0], value(m0)), (m1[0], value(m1))
            if n0 <= n <= n1 and n1 > n0:
                return v0 + (v1 - v0) * (n - n0) / (n1 - n0)
        return value(marks[-1])
    return [1e6 * (at(min(b + band, total)) - at(b)) / (min(b + band, total) - b)
            for b in range(0, total, band)]


def corpus(name, work):
    """(message count, folder) of the named corpus, generated into work when not there yet."""
    count, extra = CORPORA[name]
    src = os.path.join(work, f"corpus-{name}")
    if not os.path.isdir(src):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), src, str(count)]
                       + extra, check=True)
    return count, src


def listing_and_bands(marks, count):
    """The seconds before the first progress line (the listing of the files, shown apart so
    that it does not weigh on the first band), and the us/message of each 100k after it: of
    wall time, of user CPU time and of system CPU time, and the bytes written per message."""
    listed = marks[1] if len(marks) > 2 else marks[0]
    after = [(0,) + listed[1:]] + marks[2:]
    return (listed[1], band_times(after, count, 100000),
            band_times(after, count, 100000, lambda mark: mark[2][0]),
            band_times(after, count, 100000, lambda mark: mark[2][1]),
            [b / 1e6 for b in band_times(after, count, 100000, lambda mark: mark[2][2])])


def spread(bands):
    return f"last/first {bands[-1] / bands[0]:.2f}, largest/smallest {max(bands) / min(bands):.2f}"


def print_work_bands(user, system, written):
    """The converter's own work per band, which the disk's pace does not move: CPU time per
    message, in user space (parsing, mapping, encoding) and in the system (copies into and out
    of the cache, the file system), and the bytes it wrote per message (the store's growth and
    what its commits write again)."""
    print("  CPU us/message per 100k, user: " + " ".join(f"{b:.0f}" for b in user)
          + f" ({spread(user)}); system: " + " ".join(f"{b:.0f}" for b in system)
          + f" ({spread(system)})")
    print("  bytes written per message per 100k: " + " ".join(f"{b:.0f}" for b in written)
          + f" ({spread(written)})")


def run_corpora(args, work):
    for name in args.corpora.split(","):
        count, src = corpus(name, work)
        out = os.path.join(work, "out")
        os.makedirs(out, exist_ok=True)
        drop_caches()
        conv_s, peak_kb, pst, imported, marks = convert_banded(args.tool, src, out, count)
        size, free = store_space(pst)
        # The same reading, and writing as many bytes as the store holds.
        drop_caches()
        raw_marks = []
        raw_s, in_bytes = raw_io(src, out, write_bytes=size, bands=raw_marks)
        mb = in_bytes / 1e6
        print(f"{name}: {count} messages, {mb:.0f} MB in, {imported} imported: {conv_s:.1f} s = "
              f"{count / conv_s:.0f} msg/s, {mb / conv_s:.1f} MB/s; raw I/O {raw_s:.1f} s "
              f"({mb / raw_s:.1f} MB/s); ratio {conv_s / raw_s:.2f}; peak memory "
              f"{peak_kb / 1024:.0f} MB; store {size / 1e9:.2f} GB of which {free / 1e9:.2f} GB "
              f"({100 * free / size:.1f}%) unused")
        if count >= 200000:
            listed, bands, user, system, written = listing_and_bands(marks, count)
            print(f"  listing the files: {listed:.1f} s; us/message per 100k after it: "
                  + " ".join(f"{b:.0f}" for b in bands)
                  + f" ({spread(bands)}); peak memory {peak_kb / count:.2f} KB per message")
            print_work_bands(user, system, written)
            # The disk's own pace over the same files: reading them in the same order.
            raw_bands = [1e6 * (b - a) / 100000 for a, b in zip([0.0] + raw_marks, raw_marks)]
            print("  raw I/O us/file per 100k: " + " ".join(f"{b:.0f}" for b in raw_bands)
                  + "; conversion / raw per band: "
                  + " ".join(f"{c / r:.2f}" for c, r in zip(bands, raw_bands)))
        if args.checker:
            c = subprocess.run([args.checker, pst], capture_output=True, text=True)
            print(f"  strict checker: {'valid' if c.returncode == 0 else 'FAILED'} "
                  f"{(c.stdout + c.stderr).strip()[-300:]}")
        os.remove(pst)


def run_engine_only(args, work):
    for name in args.corpora.split(","):
        count, src = corpus(name, work)
        raw_io(src, args.engine_only, write_bytes=0)  # the input into the page cache
        conv_s, peak_kb, pst, imported, marks = convert_banded(args.tool, src, args.engine_only,
                                                               count)
        size, free = store_space(pst)
        print(f"{name} (input cached, store in {args.engine_only}): {imported} of {count} "
              f"imported in {conv_s:.1f} s = {count / conv_s:.0f} msg/s; peak memory "
              f"{peak_kb / 1024:.0f} MB; store {size / 1e9:.2f} GB, {100 * free / size:.1f}% unused")
        if count >= 200000:
            _, bands, user, system, written = listing_and_bands(marks, count)
            print(f"  us/message per 100k after the listing: " + " ".join(f"{b:.0f}" for b in bands)
                  + f" ({spread(bands)})")
            print_work_bands(user, system, written)
        os.remove(pst)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--sizes", default="10000,100000")
    ap.add_argument("--work", default=None)
    ap.add_argument("--small", action="store_true", help="2 KB plain messages only")
    ap.add_argument("--one-folder", action="store_true",
                    help="every message in one folder (one store folder of them all)")
    ap.add_argument("--corpora", default=None, help="text,mixed,large,million")
    ap.add_argument("--checker", default=None, help="the strict store checker (pst_verify_tool)")
    ap.add_argument("--engine-only", metavar="DIR", default=None,
                    help="with --corpora: only the conversion, the input read into the page "
                         "cache first and the store written into DIR (a tmpfs such as "
                         "/dev/shm), so that the bands show the converter's own time and not "
                         "the disk's")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="wharfline-bench-")
    if args.corpora:
        (run_engine_only if args.engine_only else run_corpora)(args, work)
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
        return
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

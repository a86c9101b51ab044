#!/usr/bin/env python3
"""Peak memory of converting one large message, against its file size. Two messages are made:
one with a single 300 MiB base64 attachment, and one of about 2.2 MB addressed to 100,000
recipients in To and Cc. Each is converted alone with the command line; the figure is the
largest resident size of the converter process (from /usr/bin/time), beside the input size and
the budget of 64 MB plus that size.

Usage: bench_message_memory.py WHARFLINE_CONVERT [--work DIR] [--attachment-mib 300]
       [--recipients 100000]
"""
import argparse
import base64
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

BUDGET = 64 * 10**6

HEADER = (
    "From: Sender <sender@example.test>\r\n"
    "Date: Tue, 08 Dec 2026 10:00:00 +0000\r\n"
    "Subject: {subject}\r\n"
    "Message-ID: <{subject}@example.test>\r\n"
    "MIME-Version: 1.0\r\n"
)


def make_attachment_message(path, mib):
    """A short text part, then `mib` MiB of pseudo-random bytes in base64 lines of 76."""
    boundary = "=_bench_boundary"
    with open(path, "wb") as out:
        out.write((HEADER.format(subject="large-attachment") +
                   "To: Reader <reader@example.test>\r\n"
                   f"Content-Type: multipart/mixed; boundary=\"{boundary}\"\r\n\r\n"
                   f"--{boundary}\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
                   "One large file attached.\r\n\r\n"
                   f"--{boundary}\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
                   "Content-Disposition: attachment; filename=\"big.bin\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n").encode())
        rng = random.Random(1)  # the same bytes every run
        block = 57 * 16384  # whole base64 lines per write
        remaining = mib << 20
        while remaining > 0:
            n = min(block, remaining)
            chunk = rng.randbytes(n)
            encoded = base64.encodebytes(chunk).replace(b"\n", b"\r\n")
            out.write(encoded)
            remaining -= n
        out.write(f"\r\n--{boundary}--\r\n".encode())


def make_recipients_message(path, count):
    """`count` recipients, half in To and half in Cc, every third with a display name."""
    def address(i):
        return f"\"R {i}\" <r{i}@ex.test>" if i % 3 == 0 else f"r{i}@ex.test"

    half = count // 2
    with open(path, "wb") as out:
        out.write(HEADER.format(subject="many-recipients").encode())
        for name, lo, hi in (("To", 0, half), ("Cc", half, count)):
            out.write(f"{name}: ".encode())
            out.write(",\r\n ".join(address(i) for i in range(lo, hi)).encode())
            out.write(b"\r\n")
        out.write(b"Content-Type: text/plain; charset=us-ascii\r\n\r\nHello, all.\r\n")


def convert(tool, src, out_dir):
    cmd = ["/usr/bin/time", "-f", "%M", tool, "-q", src, "-o", out_dir]
    start = time.perf_counter()
    p = subprocess.run(cmd, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit(f"conversion failed ({p.returncode}): {p.stdout}{p.stderr}")
    peak_kb = int(p.stderr.strip().splitlines()[-1])
    pst = p.stdout.strip().splitlines()[-1]
    size = os.path.getsize(pst)
    os.remove(pst)
    return elapsed, peak_kb * 1024, size


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--work", default=None)
    ap.add_argument("--attachment-mib", type=int, default=300)
    ap.add_argument("--recipients", type=int, default=100000)
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="wharfline-bench-mem-")
    cases = [
        ("one base64 attachment", f"attachment-{args.attachment_mib}m",
         lambda p: make_attachment_message(p, args.attachment_mib)),
        ("many recipients", f"recipients-{args.recipients}",
         lambda p: make_recipients_message(p, args.recipients)),
    ]
    failed = False
    for label, name, make in cases:
        src_dir = os.path.join(work, name)
        src = os.path.join(src_dir, "message.eml")
        if not os.path.exists(src):
            os.makedirs(src_dir, exist_ok=True)
            make(src + ".part")
            os.rename(src + ".part", src)
        out = os.path.join(work, "out")
        os.makedirs(out, exist_ok=True)
        in_bytes = os.path.getsize(src)
        seconds, peak, pst_bytes = convert(args.tool, src, out)
        budget = BUDGET + in_bytes
        verdict = "within" if peak < budget else "OVER"
        failed = failed or peak >= budget
        print(f"{label}: input {in_bytes / 1e6:.1f} MB, .pst {pst_bytes / 1e6:.1f} MB, "
              f"{seconds:.1f} s, peak memory {peak / 1e6:.0f} MB = input + "
              f"{(peak - in_bytes) / 1e6:.0f} MB ({verdict} the budget of input + 64 MB)")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Generates a corpus of message files for the benchmarks: a realistic mix of sizes (mostly
small plain or HTML mail, some with attachments of up to a few MB), about one in ten as Apple
Mail .emlx, spread over folders several levels deep. Deterministic for a given seed.

Usage: make_corpus.py OUTDIR COUNT [--seed N] [--small] [--one-folder] [--profile P]
  --small: 2 KB plain messages only
  --profile text:  plain messages of 2-4 KB
  --profile mixed: half plain or HTML, half with one attachment of 50 KB to 5 MB
  --profile large: each with one 20 MB attachment
"""
import argparse
import base64
import os
import random

WORDS = ("harbour ledger invoice meeting quarterly shipment draft review schedule budget "
         "contract freight manifest pallet customs berth crane tide vessel cargo report "
         "Übersicht café naïve résumé").split()


def text(rng, size):
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        out.append(line)
        n += len(line) + 2
    return "\r\n".join(out)


def message(rng, i, kind):
    subject = f"{rng.choice(WORDS).title()} {rng.choice(WORDS)} #{i}"
    headers = (f"Received: from mx{i % 7}.example.net by mail.example.com; "
               f"Mon, {1 + i % 28} Mar 2021 {i % 24:02d}:{i % 60:02d}:00 +0000\r\n"
               f"From: Sender {i % 97} <sender{i % 97}@example.net>\r\n"
               f"To: Ann Reader <ann@example.com>, team{i % 5}@example.com\r\n"
               f"Subject: {subject}\r\n"
               f"Date: Mon, {1 + i % 28} Mar 2021 {i % 24:02d}:{i % 60:02d}:00 +0000\r\n"
               f"Message-ID: <bench.{i}@example.net>\r\nMIME-Version: 1.0\r\n")
    if kind == "small":
        return (headers + "Content-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n\r\n" + text(rng, 1500) + "\r\n").encode()
    if kind == "plain":
        return (headers + "Content-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n\r\n" + text(rng, rng.randint(1000, 12000))
                + "\r\n").encode()
    if kind == "text":
        return (headers + "Content-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n\r\n" + text(rng, rng.randint(1500, 3500))
                + "\r\n").encode()
    boundary = f"=_b{i}"
    body = text(rng, rng.randint(2000, 20000))
    parts = [f"--{boundary}\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n{body}\r\n",
             f"--{boundary}\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
             f"<html><body><p>{body}</p></body></html>\r\n"]
    if kind in ("attach", "mixed-attach", "large"):
        size = {"attach": lambda: rng.choice([50_000, 200_000, 800_000, 2_000_000]),
                "mixed-attach": lambda: rng.choice([50_000, 100_000, 250_000, 500_000, 1_000_000,
                                                    2_000_000, 5_000_000]),
                "large": lambda: 20_000_000}[kind]()
        data = base64.encodebytes(rng.randbytes(size)).decode().replace("\n", "\r\n")
        parts.append(f"--{boundary}\r\nContent-Type: application/octet-stream; name=\"data{i}.bin\"\r\n"
                     f"Content-Disposition: attachment; filename=\"data{i}.bin\"\r\n"
                     f"Content-Transfer-Encoding: base64\r\n\r\n{data}")
    return (headers + f"Content-Type: multipart/mixed; boundary=\"{boundary}\"\r\n\r\n"
            + "".join(parts) + f"--{boundary}--\r\n").encode()


def emlx(raw):
    trailer = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
               b"<key>flags</key>\n<integer>8590195713</integer>\n</dict>\n</plist>\n")
    return str(len(raw)).encode() + b"\n" + raw + trailer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("outdir")
    ap.add_argument("count", type=int)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--small", action="store_true")
    ap.add_argument("--one-folder", action="store_true", help="every file in one folder")
    ap.add_argument("--profile", choices=["default", "text", "mixed", "large"], default="default")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    folders = [os.path.join(args.outdir, f"Mail{a}", f"{2015 + b}", f"box{c}")
               for a in range(4) for b in range(5) for c in range(5)]
    if args.one_folder:
        folders = [os.path.join(args.outdir, "Inbox")]
    total = 0
    for i in range(args.count):
        if args.small:
            kind = "small"
        elif args.profile == "text":
            kind = "text"
        elif args.profile == "mixed":
            kind = "mixed-attach" if i % 2 else rng.choice(["plain", "html"])
        elif args.profile == "large":
            kind = "large"
        else:
            kind = rng.choices(["plain", "html", "attach"], weights=[70, 25, 5])[0]
        raw = message(rng, i, kind)
        folder = folders[i % len(folders)]
        os.makedirs(folder, exist_ok=True)
        if i % 10 == 9:
            data, name = emlx(raw), f"{i}.emlx"
        else:
            data, name = raw, f"msg{i:07d}.eml"
        with open(os.path.join(folder, name), "wb") as fh:
            fh.write(data)
        total += len(data)
    print(f"{args.count} files, {total / 1e6:.1f} MB in {len(folders)} folders under {args.outdir}")


if __name__ == "__main__":
    main()

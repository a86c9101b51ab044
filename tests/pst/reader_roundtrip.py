#!/usr/bin/python3
"""Writes a store with pst_scenario and checks it with one independent PST reader.

  reader_roundtrip.py GENERATOR SCENARIO READER [none|permute]

READER is one of pffinfo, pffexport, readpst, pypff, pst-extractor. A missing reader is a
failure, not a skip: the set-up script installs all of them. Exit status 0 means the reader
saw exactly what the manifest says was written.
"""
import email
import email.header
import email.policy
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store as check_strictly  # noqa: E402

FILETIME_UNIX_EPOCH = 116444736000000000


def pattern_bytes(seed, size):
    period = bytes((seed + i * i) % 256 for i in range(251))
    return (period * (size // 251 + 1))[:size]


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Check:
    def __init__(self):
        self.failures = []

    def eq(self, what, got, want):
        if got != want:
            self.failures.append(f"{what}: got {got!r:.200}, want {want!r:.200}")

    def true(self, what, cond):
        if not cond:
            self.failures.append(what)


def expected_flags(m):
    flags = m["flags"] if m["flags"] is not None else 1
    flags &= ~0x08
    if m["attachments"]:
        flags |= 0x10
    return flags


def unix_ms(ticks):
    return None if ticks is None else (ticks - FILETIME_UNIX_EPOCH) // 10000


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, **kw)


# ---------------------------------------------------------------- pffinfo

def check_pffinfo(store, manifest, encoding, c):
    p = run(["pffinfo", store])
    out = (p.stdout + p.stderr).decode("utf-8", "replace")
    c.eq("pffinfo exit status", p.returncode, 0)
    c.true("pffinfo reported a problem:\n" + out, not re.search(r"unable|error", out, re.I))
    want = "compressible" if encoding == "permute" else "none"
    c.true(f"pffinfo encoding {want}:\n{out}", re.search(r"Encryption type:\s+" + want, out))
    c.true("pffinfo folder set:\n" + out,
           re.search(r"Folders:\s+Subtree, Wastbox, Common views, Finder", out))


# ---------------------------------------------------------------- pffexport

def parse_fields(text):
    fields = {}
    for line in text.splitlines():
        m = re.match(r"^([A-Za-z][A-Za-z ]*):\t+(.*)$", line)
        if m and m.group(1) not in fields:
            fields[m.group(1)] = m.group(2)
    return fields


def parse_recipients(text):
    out = []
    for block in text.strip().split("\n\n"):
        f = parse_fields(block)
        if f:
            out.append((f.get("Display name"), f.get("Email address")))
    return out


def pff_time(ticks):
    import datetime
    t = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=ticks // 10)
    return t.strftime("%b %d, %Y %H:%M:%S")


def check_pffexport_message(d, m, c, where):
    f = parse_fields(open(os.path.join(d, "OutlookHeaders.txt"), encoding="utf-8").read())
    subj = m["subject"]
    c.eq(where + " subject", f.get("Subject"), subj)
    c.eq(where + " sender name", f.get("Sender name"), m["sender_name"])
    c.eq(where + " sender email", f.get("Sender email address"), m["sender_email"])
    flags = f.get("Flags", "")
    c.eq(where + " flags", int(flags.split()[0], 16) if flags else None, expected_flags(m))
    for key, field in (("submit_time", "Client submit time"), ("delivery_time", "Delivery time")):
        if m[key] is not None:
            c.true(f"{where} {field} {f.get(field)}", (f.get(field) or "").startswith(pff_time(m[key])))
    body = open(os.path.join(d, "Message.txt"), "rb").read().decode("utf-8")
    c.eq(where + " body", body.rstrip("\x00"), m["body"])
    html_path = os.path.join(d, "Message.html")
    if m["html"] is not None:
        got = open(html_path, "rb").read().decode("utf-8") if os.path.exists(html_path) else None
        c.eq(where + " html", got, m["html"])
    rpath = os.path.join(d, "Recipients.txt")
    got_r = parse_recipients(open(rpath, encoding="utf-8").read()) if os.path.exists(rpath) else []
    c.eq(where + " recipients", got_r, [(r["name"], r["email"]) for r in m["recipients"]])
    adir = os.path.join(d, "Attachments")
    files = sorted(os.listdir(adir)) if os.path.isdir(adir) else []
    c.eq(where + " attachment count", len(files), len(m["attachments"]))
    for i, a in enumerate(m["attachments"]):
        if a["embedded"] is not None:
            sub = os.path.join(adir, f"Attachment{i + 1:05d}", "Message00001")
            c.true(where + f" embedded message {i + 1} exported", os.path.isdir(sub))
            if os.path.isdir(sub):
                check_pffexport_message(sub, a["embedded"], c, where + f" embedded {i + 1}")
            continue
        width = len(str(len(m["attachments"])))  # pffexport pads the number to the count's width
        name = f"{i + 1:0{width}d}_{a['long_name']}"
        path = os.path.join(adir, name)
        c.true(f"{where} attachment file {name} in {files[:5]}", os.path.exists(path))
        if os.path.exists(path):
            data = open(path, "rb").read()
            c.eq(f"{where} attachment {name} size", len(data), a["size"])
            c.true(f"{where} attachment {name} bytes", data == pattern_bytes(a["seed"], a["size"]))


def check_pffexport(store, manifest, encoding, c, tmp):
    target = os.path.join(tmp, "pffexport")
    p = run(["pffexport", "-m", "all", "-f", "all", "-q", "-t", target, store])
    out = (p.stdout + p.stderr).decode("utf-8", "replace")
    c.eq("pffexport exit status", p.returncode, 0)
    c.true("pffexport reported a problem:\n" + out[:3000], not re.search(r"unable|error", out, re.I))
    for extra in (".orphans", ".recovered"):
        d = target + extra
        c.true(f"pffexport found {extra[1:]} items", not os.path.isdir(d) or not os.listdir(d))
    top = os.path.join(target + ".export", "Top of Personal Folders")
    by_folder = {}
    for e in manifest["messages"]:
        by_folder.setdefault(tuple(e["folder"]), {})[e["message"]["subject"]] = e["message"]
    want_dirs = {tuple(f["path"]) for f in manifest["folders"]}
    got_dirs = set()
    for root, dirs, _ in os.walk(top):
        rel = os.path.relpath(root, top)
        parts = () if rel == "." else tuple(rel.split(os.sep))
        if any(re.match(r"^(Message|Attachment)\d{5}$|^Attachments$", x) for x in parts):
            continue
        if parts:
            got_dirs.add(parts)
    c.eq("pffexport folder tree", sorted(got_dirs), sorted(want_dirs))
    for f in manifest["folders"]:
        d = os.path.join(top, *f["path"])
        msgs = sorted(x for x in os.listdir(d) if re.match(r"^Message\d{5}$", x)) if os.path.isdir(d) else []
        c.eq(f"pffexport message count in {'/'.join(f['path'])}", len(msgs), f["count"])
        want = by_folder.get(tuple(f["path"]), {})
        seen = set()
        for mdir in msgs:
            full = os.path.join(d, mdir)
            subj = parse_fields(open(os.path.join(full, "OutlookHeaders.txt"), encoding="utf-8").read()).get("Subject")
            if subj not in want:
                c.failures.append(f"pffexport: unexpected message {subj!r} in {f['path']}")
                continue
            seen.add(subj)
            check_pffexport_message(full, want[subj], c, f"pffexport {mdir} {subj!r}")
        c.eq(f"pffexport messages of {f['path']}", sorted(seen), sorted(want))


# ---------------------------------------------------------------- readpst

def check_readpst_message(msg, m, c, where, files_dir=None, number=None):
    c.eq(where + " subject", str(msg["subject"]), m["subject"])
    frm = msg["from"]
    c.true(f"{where} from {frm!r}", frm is not None and m["sender_email"] in str(frm)
           and m["sender_name"] in str(frm))
    plain = html = None
    for part in msg.walk():
        if part.get_content_type() == "message/rfc822":
            break
        if part.get_content_type() == "text/plain" and plain is None and not part.get_filename():
            plain = part.get_content()
        if part.get_content_type() == "text/html" and html is None and not part.get_filename():
            html = part.get_content()
    c.eq(where + " body", (plain or "").replace("\r\n", "\n").rstrip("\n"),
         m["body"].replace("\r\n", "\n").rstrip("\n"))
    if m["html"] is not None:
        c.eq(where + " html", (html or "").replace("\r\n", "\n").rstrip("\n"),
             m["html"].replace("\r\n", "\n").rstrip("\n"))
    # Without transport headers readpst builds To and Cc from the display-name lists.
    to = " ".join(str(x) for x in (msg.get_all("to") or []) + (msg.get_all("cc") or []))
    for r in m["recipients"][:50]:
        c.true(f"{where} recipient {r['name']}", r["name"] in to)
    for i, a in enumerate(m["attachments"]):
        if a["embedded"] is not None:
            parts = [p for p in msg.walk() if p.get_content_type() == "message/rfc822"]
            c.true(where + " embedded message part", parts)
            if parts:
                # readpst starts the attached message with an mbox "From " line, so find
                # its Subject header by hand.
                raw = parts[0].as_string()
                found = re.search(r"^Subject: (.*)$", raw, re.M)
                subj = str(email.header.make_header(email.header.decode_header(found.group(1)))) if found else None
                c.eq(where + " embedded subject", subj, a["embedded"]["subject"])
            continue
        path = os.path.join(files_dir, f"{number}-{a['long_name']}")
        c.true(f"{where} attachment file {path}", os.path.exists(path))
        if os.path.exists(path):
            c.true(f"{where} attachment bytes {path}", open(path, "rb").read() == pattern_bytes(a["seed"], a["size"]))


def check_readpst(store, manifest, encoding, c, tmp):
    out_dir = os.path.join(tmp, "readpst")
    os.makedirs(out_dir)
    # readpst's parallel mode (its default) skips a varying handful of items in a folder
    # of 10,000 (a race between its jobs: the same file gives different counts), so it
    # runs as one job.
    p = run(["readpst", "-D", "-j", "0", "-S", "-o", out_dir, store])
    out = (p.stdout + p.stderr).decode("utf-8", "replace")
    c.eq("readpst exit status", p.returncode, 0)
    counts = {}
    for name, done, skipped in re.findall(r'"(.*)" - (\d+) items done, (\d+) items skipped', out):
        counts[name] = (int(done), int(skipped))
    c.true("readpst skipped items:\n" + out, all(s == 0 for _, s in counts.values()))
    base = os.path.join(out_dir, manifest["display_name"])
    by_folder = {}
    for e in manifest["messages"]:
        by_folder.setdefault(tuple(e["folder"]), {})[e["message"]["subject"]] = e["message"]
    for f in manifest["folders"]:
        d = os.path.join(base, *f["path"])
        files = [x for x in os.listdir(d) if x.isdigit() and os.path.isfile(os.path.join(d, x))] if os.path.isdir(d) else []
        c.eq(f"readpst messages in {'/'.join(f['path'])}", len(files), f["count"])
        want = by_folder.get(tuple(f["path"]), {})
        for n in files:
            msg = email.message_from_bytes(open(os.path.join(d, n), "rb").read(), policy=email.policy.default)
            subj = str(msg["subject"])
            if subj not in want:
                c.failures.append(f"readpst: unexpected message {subj!r} in {f['path']}")
                continue
            check_readpst_message(msg, want[subj], c, f"readpst {n} {subj!r}", d, n)


# ---------------------------------------------------------------- pypff

def check_pypff(store, manifest, encoding, c, tmp):
    import pypff
    f = pypff.file()
    f.open(store)
    entries = {}
    for rs in f.message_store.record_sets:
        for e in rs.entries:
            entries[e.entry_type] = e
    c.eq("pypff display name", entries[0x3001].data_as_string if 0x3001 in entries else None,
         manifest["display_name"])
    root = f.root_folder
    top = [root.get_sub_folder(i) for i in range(root.number_of_sub_folders)]
    # libpff lists the root's children in node id order.
    c.eq("pypff root folders", sorted(t.name for t in top),
         sorted(["Top of Personal Folders", "Search Root", "SPAM Search Folder 2", "IPM_COMMON_VIEWS"]))
    ipm = [t for t in top if t.name == "Top of Personal Folders"][0]
    by_subject = {e["message"]["subject"]: (tuple(e["folder"]), e["message"]) for e in manifest["messages"]}
    got_folders = []
    seen = set()

    def walk(folder, path):
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            p = path + [sub.name]
            got_folders.append({"path": p, "count": sub.number_of_sub_messages})
            for j in range(sub.number_of_sub_messages):
                msg = sub.get_sub_message(j)
                subj = msg.subject
                if subj not in by_subject:
                    c.failures.append(f"pypff: unexpected message {subj!r}")
                    continue
                folder_want, m = by_subject[subj]
                c.eq(f"pypff folder of {subj!r}", tuple(p), folder_want)
                seen.add(subj)
                check_pypff_message(msg, m, c, f"pypff {subj!r}")
            walk(sub, p)

    walk(ipm, [])
    c.eq("pypff folder tree", got_folders, [{"path": x["path"], "count": x["count"]} for x in manifest["folders"]])
    c.eq("pypff message set", sorted(seen), sorted(by_subject))


def check_pypff_message(msg, m, c, where):
    c.eq(where + " sender", msg.sender_name, m["sender_name"])
    body = msg.plain_text_body
    if isinstance(body, bytes):
        body = body.decode("utf-8").rstrip("\x00")
    c.eq(where + " body", body, m["body"])
    if m["html"] is not None:
        html = msg.html_body
        c.eq(where + " html", html.decode("utf-8").rstrip("\x00") if html else None, m["html"])
    if m["submit_time"] is not None:
        got = msg.get_client_submit_time_as_integer()
        c.eq(where + " submit time", got, m["submit_time"])
    if m["delivery_time"] is not None:
        c.eq(where + " delivery time", msg.get_delivery_time_as_integer(), m["delivery_time"])
    flags = None
    for rs in msg.record_sets:
        for e in rs.entries:
            if e.entry_type == 0x0E07:
                flags = e.data_as_integer
    c.eq(where + " flags", flags, expected_flags(m))
    c.eq(where + " attachment count", msg.number_of_attachments, len(m["attachments"]))
    for i, a in enumerate(m["attachments"][:msg.number_of_attachments]):
        if a["embedded"] is not None:
            continue
        att = msg.get_attachment(i)
        c.eq(f"{where} attachment {i} size", att.size, a["size"])
        data = att.read_buffer(att.size) if att.size else b""
        c.true(f"{where} attachment {i} bytes", data == pattern_bytes(a["seed"], a["size"]))
        name = None
        for rs in att.record_sets:
            for e in rs.entries:
                if e.entry_type == 0x3707:
                    name = e.data_as_string
        c.eq(f"{where} attachment {i} name", name, a["long_name"])


# ---------------------------------------------------------------- pst-extractor

def check_pst_extractor(store, manifest, encoding, c, tmp):
    here = os.path.dirname(os.path.abspath(__file__))
    node = shutil.which("node")
    c.true("node is installed", node)
    if not node:
        return
    env = dict(os.environ)
    env["NODE_PATH"] = os.path.join(here, "..", "..", "node_modules")
    p = run([node, os.path.join(here, "read_with_pst_extractor.js"), store], env=env)
    c.eq("pst-extractor exit status", p.returncode, 0)
    if p.returncode != 0:
        c.failures.append(p.stderr.decode("utf-8", "replace")[:3000])
        return
    c.true("pst-extractor printed errors:\n" + p.stderr.decode("utf-8", "replace")[:2000], not p.stderr.strip())
    got = json.loads(p.stdout)
    c.eq("pst-extractor display name", got["display_name"], manifest["display_name"])
    c.eq("pst-extractor root folders", got["top"],
         ["Top of Personal Folders", "Search Root", "SPAM Search Folder 2", "IPM_COMMON_VIEWS"])
    c.eq("pst-extractor folder tree", [{"path": f["path"], "count": f["count"]} for f in got["folders"]],
         [{"path": f["path"], "count": f["count"]} for f in manifest["folders"]])
    by_subject = {e["message"]["subject"]: (e["folder"], e["message"]) for e in manifest["messages"]}
    seen = set()
    for e in got["messages"]:
        g = e["message"]
        subj = g["subject"]
        if subj not in by_subject:
            c.failures.append(f"pst-extractor: unexpected message {subj!r}")
            continue
        seen.add(subj)
        folder, m = by_subject[subj]
        w = f"pst-extractor {subj!r}"
        c.eq(w + " folder", e["folder"], folder)
        c.eq(w + " sender", (g["sender_name"], g["sender_email"]), (m["sender_name"], m["sender_email"]))
        c.eq(w + " body", g["body"], m["body"])
        if m["html"] is not None:
            c.eq(w + " html", g["html"], m["html"])
        flags = expected_flags(m)
        c.eq(w + " read/unsent/attach", (g["read"], g["unsent"], g["has_attachments"]),
             (bool(flags & 1), False, bool(flags & 0x10)))
        c.eq(w + " submit time", g["submit_time"], unix_ms(m["submit_time"]))
        c.eq(w + " delivery time", g["delivery_time"], unix_ms(m["delivery_time"]))
        c.eq(w + " recipients", g["recipients"],
             [{"name": r["name"], "email": r["email"], "type": r["type"]} for r in m["recipients"]])
        c.eq(w + " attachment count", len(g["attachments"]), len(m["attachments"]))
        for ga, a in zip(g["attachments"], m["attachments"]):
            c.eq(w + " attachment name", ga["long_name"], a["long_name"])
            if a["embedded"] is not None:
                c.eq(w + " attachment method", ga["method"], 5)
                continue
            c.eq(w + " attachment method", ga["method"], 1)
            c.eq(w + " attachment size", ga["size"], a["size"])
            c.eq(w + " attachment bytes", ga["sha256"], sha256(pattern_bytes(a["seed"], a["size"])))
    c.eq("pst-extractor message set", sorted(seen), sorted(by_subject))


READERS = {
    "pffinfo": lambda s, m, e, c, t: check_pffinfo(s, m, e, c),
    "pffexport": check_pffexport,
    "readpst": check_readpst,
    "pypff": check_pypff,
    "pst-extractor": check_pst_extractor,
}


def check_store(store, manifest, reader, encoding, tmp):
    c = Check()
    try:
        READERS[reader](store, manifest, encoding, c, tmp)
    except FileNotFoundError as e:
        c.failures.append(f"reader not installed: {e}")
    return c.failures


def main():
    generator, scenario, reader = sys.argv[1:4]
    encoding = sys.argv[4] if len(sys.argv) > 4 else "permute"
    with tempfile.TemporaryDirectory() as tmp:
        store = os.path.join(tmp, "store.pst")
        manifest_path = os.path.join(tmp, "manifest.json")
        p = run([generator, scenario, store, manifest_path, encoding])
        if p.returncode != 0:
            print("generator failed:", p.stderr.decode())
            return 1
        manifest = json.load(open(manifest_path, encoding="utf-8"))
        failures = check_store(store, manifest, reader, encoding, tmp)
        try:
            check_strictly(store)
        except AssertionError as e:
            failures.append(str(e))
    for f in failures[:40]:
        print("FAIL:", f)
    if len(failures) > 40:
        print(f"... and {len(failures) - 40} more")
    print(f"{scenario}/{reader}/{encoding}: {'OK' if not failures else f'{len(failures)} failures'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

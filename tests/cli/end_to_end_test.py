"""End to end: wharfline-convert and the window (offscreen) over the real PST writer and MIME
importer, with the stores read back by the independent readers (pffinfo, readpst, pypff,
pst-extractor). Run by ctest, which passes the programs and the corpus in the environment."""
import csv
import email
import email.policy
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store  # noqa: E402

CONVERT = os.environ["WHARFLINE_CONVERT"]
WINDOW = os.environ["WHARFLINE_WINDOW_PROBE"]
CORPUS = os.environ["WHARFLINE_CORPUS"]
NODE_MODULES = os.environ["WHARFLINE_NODE_MODULES"]
HERE = os.path.dirname(os.path.abspath(__file__))
PST_EXTRACTOR_DUMP = os.path.join(HERE, "..", "pst", "read_with_pst_extractor.js")
STAMP = r"\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d"
REPORT_LINE = "The full report is in "


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def message_files(root):
    """The files the add-folder command takes below root, by folder, as relative paths."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name.strip(" ").lower().endswith((".eml", ".emlx")):
                rel = os.path.relpath(folder, root)
                found.setdefault(rel, []).append(name)
    return found


def read_pypff(pst, killed=False):
    # A killed run's store may hold bytes past its last commit.
    check_store(pst, allow_tail=killed)
    import pypff
    f = pypff.file()
    f.open(pst)
    display = None
    for rs in f.message_store.record_sets:
        for e in rs.entries:
            if e.entry_type == 0x3001:
                display = e.data_as_string
    top = None
    root = f.root_folder
    for i in range(root.number_of_sub_folders):
        if root.get_sub_folder(i).name == "Top of Personal Folders":
            top = root.get_sub_folder(i)
    tree = {}

    def walk(folder, path):
        subjects = []
        for j in range(folder.number_of_sub_messages):
            m = folder.get_sub_message(j)
            subjects.append(m.subject or "")
        tree["\\".join(path)] = subjects
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, path + [sub.name])

    walk(top, [])
    f.close()
    return display, tree


def expected_tree(sources_root, extra_prefix):
    """Store folder -> number of messages, for files below sources_root."""
    want = {}
    for rel, names in message_files(sources_root).items():
        parts = [p for p in sources_root.strip("/").split("/")]
        if rel != ".":
            parts += rel.split(os.sep)
        want["\\".join(parts)] = len(names)
    return want


class Readers:
    """Checks one store with every reader; returns pypff's view."""

    def check(self, test, pst, messages):
        info = run(["pffinfo", pst])
        test.assertEqual(info.returncode, 0, info.stderr)
        test.assertNotIn("warning", (info.stdout + info.stderr).lower())
        with tempfile.TemporaryDirectory() as out:
            # One job: readpst's parallel mode can skip items in a race of its own.
            rp = run(["readpst", "-D", "-j", "0", "-S", "-o", out, pst])
            test.assertEqual(rp.returncode, 0, rp.stderr)
            test.assertNotRegex(rp.stdout + rp.stderr, r"[1-9]\d* items skipped")
            exported = sum(1 for d, _, names in os.walk(out) for n in names if n.isdigit())
            test.assertEqual(exported, messages, rp.stdout)
        env = dict(os.environ, NODE_PATH=NODE_MODULES)
        js = run(["node", PST_EXTRACTOR_DUMP, pst], env=env)
        test.assertEqual(js.returncode, 0, js.stderr)
        dumped = json.loads(js.stdout)
        test.assertEqual(len(dumped["messages"]), messages)
        display, tree = read_pypff(pst)
        test.assertEqual(dumped["display_name"], display)
        return display, tree


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-")
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def copy_corpus(self, *parts):
        src = os.path.join(self.tmp, "src")
        for p in parts:
            shutil.copytree(os.path.join(CORPUS, p), os.path.join(src, p.replace("/", "_")))
        return src

    def test_usage_errors_are_clear_and_exit_2(self):
        empty = os.path.join(self.tmp, "nomail")
        os.mkdir(empty)
        open(os.path.join(empty, "note.txt"), "w").write("x")
        a_file = os.path.join(self.tmp, "file")
        open(a_file, "w").write("x")
        cases = [
            ([], "required"),
            ([empty], "--output"),
            ([empty, "--output", os.path.join(self.tmp, "missing")], "does not exist"),
            ([empty, "--output", a_file], "is not a folder"),
            ([os.path.join(self.tmp, "gone.eml"), "-o", self.out], "no such file or folder"),
            ([empty, "-o", self.out], "no message files found"),
        ]
        for args, words in cases:
            r = run([CONVERT] + args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(words, r.stderr, args)
        self.assertEqual(os.listdir(self.out), [])
        v = run([CONVERT, "--version"])
        self.assertEqual((v.returncode, v.stdout.strip()), (0, "5.06"))
        h = run([CONVERT, "--help"])
        self.assertEqual(h.returncode, 0)
        self.assertIn("--output", h.stdout)
        if os.geteuid() != 0:
            os.chmod(self.out, stat.S_IRUSR | stat.S_IXUSR)
            r = run([CONVERT, a_file, "-o", self.out])
            self.assertEqual(r.returncode, 2)
            self.assertIn("not writable", r.stderr)

    def test_corpus_converts_into_a_store_every_reader_agrees_on(self):
        src = self.copy_corpus("emlx", "eml/mikel-mail", "eml/thunderbird-comm-central")
        listed = os.path.join(self.tmp, "listed.txt")  # a file taken whatever its name
        shutil.copy(os.path.join(CORPUS, "eml", "mikel-mail", "plain_emails", "basic_email.eml"),
                    listed)
        r = run([CONVERT, src, listed, "--output", self.out])
        self.assertIn(r.returncode, (0, 1), r.stderr)
        lines = r.stdout.strip().splitlines()
        pst = lines[-1]
        self.assertTrue(re.fullmatch(re.escape(self.out) + "/PellimorEMLMessages" + STAMP + r"\.pst",
                                     pst), pst)
        # Beside the store only the report, when the summary names one (files with a note).
        reports = [x[len(REPORT_LINE):] for x in lines if x.startswith(REPORT_LINE)]
        self.assertEqual(sorted(os.listdir(self.out)),
                         sorted([os.path.basename(pst)] + [os.path.basename(x) for x in reports]))
        want = expected_tree(src, "")
        total = sum(want.values()) + 1
        m = re.match(r"Imported (\d+) of (\d+) files", lines[0])
        self.assertEqual(int(m.group(2)), total)
        imported = int(m.group(1))
        self.assertEqual(imported, total, r.stdout)  # every corpus file imports
        self.assertEqual(r.returncode, 0)

        display, tree = Readers().check(self, pst, imported)
        self.assertTrue(re.fullmatch("Pellimor Software : Created - " + STAMP, display), display)
        got = {k: len(v) for k, v in tree.items() if v}
        want["\\".join(self.tmp.strip("/").split("/"))] = 1  # listed.txt
        self.assertEqual(got, want)
        # Every folder on the way down exists, parents before children.
        for path in want:
            parts = path.split("\\")
            for i in range(1, len(parts)):
                self.assertIn("\\".join(parts[:i]), tree)

        # Subjects agree with an independent parse of the sources.
        plain = os.path.join(src, "eml_mikel-mail", "plain_emails")
        key = "\\".join(plain.strip("/").split("/"))
        # Python stops reading headers at a malformed line where the importer reads on, so only
        # messages Python reads without defects are compared.
        for name in sorted(os.listdir(plain)):
            with open(os.path.join(plain, name), "rb") as fh:
                parsed = email.message_from_binary_file(fh, policy=email.policy.default)
            if parsed.defects:
                continue
            subject = str(parsed.get("subject", "") or "").strip()
            self.assertIn(subject, tree[key], name)

    def test_a_killed_converter_leaves_a_store_the_readers_open(self):
        src = os.path.join(self.tmp, "many")
        os.makedirs(src)
        with open(os.path.join(CORPUS, "eml", "mikel-mail", "plain_emails", "basic_email.eml"),
                  "rb") as fh:
            body = fh.read()
        for i in range(6000):
            d = os.path.join(src, "f%d" % (i % 7))
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "m%05d.eml" % i), "wb") as fh:
                fh.write(body)
        # Early kills land while the empty store is being made, the first (None) the moment
        # the store's name shows; that name never holds a file the readers cannot open (a
        # hidden file being made may be left).
        for delay in (None, 0.0, 0.02, 0.05, 0.1, 0.2, 1.5):
            out = os.path.join(self.tmp, "out%s" % delay)
            os.mkdir(out)
            p = subprocess.Popen([CONVERT, src, "-o", out], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            if delay is None:
                while p.poll() is None and not [n for n in os.listdir(out) if n[0] != "."]:
                    pass
            else:
                time.sleep(delay)
            p.send_signal(signal.SIGKILL)
            p.communicate()
            stores = [n for n in os.listdir(out) if not n.startswith(".")]
            self.assertLessEqual(len(stores), 1)
            if delay == 1.5:
                self.assertEqual(len(stores), 1)
            for name in stores:
                pst = os.path.join(out, name)
                info = run(["pffinfo", pst])
                self.assertEqual(info.returncode, 0, "%s after %s s: %s" % (name, delay, info.stderr))
                self.assertLessEqual(count_pypff(pst, killed=True), 6000)
                with tempfile.TemporaryDirectory() as exported:
                    rp = run(["readpst", "-D", "-j", "0", "-o", exported, pst])
                    self.assertEqual(rp.returncode, 0, rp.stderr)


def count_pypff(pst, killed=False):
    _, tree = read_pypff(pst, killed)
    return sum(len(v) for v in tree.values())


def timestamp(t):
    """The run's timestamp: d.m.yy H.m.ss."""
    return "%d.%d.%02d %d.%d.%02d" % (t.tm_mday, t.tm_mon, t.tm_year % 100, t.tm_hour, t.tm_min,
                                      t.tm_sec)


class Outcomes(unittest.TestCase):
    """What the converter says at its end agrees with the store it leaves, however it ends."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-outcomes-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def make_messages(self, n):
        src = os.path.join(self.tmp, "src")
        with open(os.path.join(CORPUS, "eml", "mikel-mail", "plain_emails", "basic_email.eml"),
                  "rb") as fh:
            body = fh.read()
        for i in range(n):
            d = os.path.join(src, "f%d" % (i % 10))
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "m%05d.eml" % i), "wb") as fh:
                fh.write(body.replace(b"Subject: ", b"Subject: %05d " % i, 1))
        return src

    def new_out(self, name):
        out = os.path.join(self.tmp, name)
        os.mkdir(out)
        return out

    def test_a_full_disk_is_told_and_the_store_holds_what_the_summary_says(self):
        # A file-size limit makes every write past it fail with EFBIG, as a full disk fails.
        src = self.make_messages(3000)
        for limit, status in ((100 << 10, 2), (12 << 20, 1)):
            out = self.new_out("out%d" % limit)

            def limited():
                import resource
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

            r = subprocess.run([CONVERT, "-q", src, "-o", out], capture_output=True, text=True,
                               preexec_fn=limited)
            self.assertEqual(r.returncode, status, r.stdout[:2000] + r.stderr)
            if status == 2:  # not even the empty store fits: nothing is left behind
                self.assertIn("no store could be made", r.stderr)
                self.assertIn("File too large", r.stderr)
                self.assertEqual(os.listdir(out), [])
                continue
            lines = r.stdout.splitlines()
            self.assertEqual(lines[0], "Writing the store failed: File too large")
            held = int(re.fullmatch(r"The store is incomplete: it holds (\d+) of 3000 messages\.",
                                    lines[1]).group(1))
            self.assertTrue(0 < held < 3000, held)
            self.assertEqual(lines[2], "Not in the store (%d):" % (3000 - held))
            self.assertEqual(len([x for x in lines if x.startswith("  %s/" % src)]), 3000 - held)
            pst = lines[-1]
            # The report beside the store names every file not in it.
            report = pst[:-len(".pst")] + ".txt"
            self.assertEqual(lines[-2], REPORT_LINE + report)
            self.assertEqual(sorted(os.listdir(out)),
                             sorted([os.path.basename(pst), os.path.basename(report)]))
            with open(report, "rb") as fh:
                listed = [x for x in fh.read().split(b"\n") if x.startswith(b"not imported\t")]
            self.assertEqual(len(listed), 3000 - held)
            self.assertLessEqual(os.path.getsize(pst), limit)
            Readers().check(self, pst, held)

    def test_an_interrupt_stops_after_the_message_in_hand_and_says_what_is_stored(self):
        src = self.make_messages(20000)
        for sig in (signal.SIGINT, signal.SIGTERM):
            out = self.new_out("out%d" % sig)
            p = subprocess.Popen([CONVERT, "-q", src, "-o", out], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
            deadline = time.time() + 60
            while not os.listdir(out) and time.time() < deadline:  # the store is there
                time.sleep(0.01)
            time.sleep(0.3)
            p.send_signal(sig)
            stdout, stderr = p.communicate()
            self.assertEqual(p.returncode, 128 + sig, stdout[:2000] + stderr)
            lines = stdout.splitlines()
            stored = int(re.fullmatch(r"Stopped: (\d+) of 20000 files imported\.", lines[0]).group(1))
            self.assertTrue(0 <= stored < 20000, stored)
            self.assertEqual(lines[1], "Not reached: %d files, from %s on." % (
                20000 - stored, lines[1].split(" from ", 1)[1][:-4]))
            pst = lines[-1]
            self.assertEqual(os.listdir(out), [os.path.basename(pst)])
            self.assertEqual(count_pypff(pst), stored)
            self.assertEqual(run(["pffinfo", pst]).returncode, 0)

    def test_runs_of_the_same_second_take_the_next_free_name(self):
        src = self.make_messages(3)
        out = self.new_out("out")
        # Files of someone else's under the names of this second and the next ones.
        now = time.time()
        theirs = {}
        for s in range(4):
            name = "PellimorEMLMessages%s.pst" % timestamp(time.localtime(now + s))
            theirs[name] = ("not ours %d" % s).encode()
            with open(os.path.join(out, name), "wb") as fh:
                fh.write(theirs[name])
        runs = [subprocess.Popen([CONVERT, "-q", src, "-o", out], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for _ in range(3)]
        stores = []
        for p in runs:
            stdout, stderr = p.communicate()
            self.assertEqual(p.returncode, 0, stderr)
            stores.append(stdout.splitlines()[-1])
        self.assertEqual(len(set(stores)), 3)
        for pst in stores:
            m = re.fullmatch(re.escape(out) + r"/PellimorEMLMessages(" + STAMP + r") \((\d+)\)\.pst", pst)
            self.assertTrue(m, pst)
            display, tree = read_pypff(pst)
            self.assertTrue(display.endswith(" (%s)" % m.group(2)), display)
            self.assertEqual(sum(len(v) for v in tree.values()), 3)
        for name, content in theirs.items():
            with open(os.path.join(out, name), "rb") as fh:
                self.assertEqual(fh.read(), content)
        self.assertEqual(len(os.listdir(out)), len(theirs) + 3)  # nothing else left behind


class Split(unittest.TestCase):
    """--max-size: a run that fills one store goes on in the next."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-split-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_a_small_limit_gives_three_stores_with_every_message_once(self):
        import base64
        import random
        rng = random.Random(7)
        src = os.path.join(self.tmp, "src")
        subjects = []
        for i in range(18):
            folder = os.path.join(src, ["Inbox", os.path.join("Inbox", "Old"), "Sent"][i % 3])
            os.makedirs(folder, exist_ok=True)
            payload = base64.encodebytes(bytes(rng.getrandbits(8) for _ in range(60000))).decode()
            subjects.append("Part %d" % i)
            with open(os.path.join(folder, "m%d.eml" % i), "w", newline="\r\n") as fh:
                fh.write("From: a@example.com\nTo: b@example.com\nSubject: Part %d\n"
                         "Date: Mon, 1 Jun 2020 10:%02d:00 +0000\nMIME-Version: 1.0\n"
                         "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                         "Content-Type: text/plain\n\nBody %d\n--b\n"
                         "Content-Type: application/octet-stream; name=p%d.bin\n"
                         "Content-Transfer-Encoding: base64\n\n%s--b--\n"
                         % (i, i, i, i, payload))
        out = os.path.join(self.tmp, "out")
        os.mkdir(out)
        r = run([CONVERT, "-q", "--max-size", "1M", "--verify", src, "-o", out])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lines = r.stdout.splitlines()
        self.assertIn("Verified 18 of 18 messages.", lines)
        at = lines.index("The messages fill 3 stores of at most 1 MB each:")
        stores = lines[at + 1:]
        self.assertEqual(sorted(os.listdir(out)), sorted(os.path.basename(p) for p in stores))
        first = re.escape(stores[0][:-len(".pst")])
        for n, pst in enumerate(stores[1:], 2):
            self.assertRegex(pst, "^%s \\(%d\\)\\.pst$" % (first, n))
        trees, seen = [], []
        for pst in stores:
            self.assertLessEqual(os.path.getsize(pst), 1 << 20)
            held = sum(len(v) for v in read_pypff(pst)[1].values())
            display, tree = Readers().check(self, pst, held)
            trees.append(sorted(tree))
            seen += [s for v in tree.values() for s in v]
        self.assertEqual(trees[1:], trees[:1] * 2)  # the same folder tree in each
        self.assertEqual(sorted(seen), sorted(subjects))  # every message, once
        # verify takes the stores of a run together; the first alone lacks the others.
        v = run([CONVERT, "verify", *stores, src])
        self.assertEqual(v.returncode, 0, v.stdout + v.stderr)
        v = run([CONVERT, "verify", stores[0], src])
        self.assertEqual(v.returncode, 1)
        self.assertRegex(v.stdout, r"Part \d+.*: not in the store|: not in the store")
        bad = run([CONVERT, "-q", "--max-size", "20Q", src, "-o", out])
        self.assertEqual(bad.returncode, 2)
        self.assertIn("is not a size such as 20G", bad.stderr)


class Report(unittest.TestCase):
    """The report of every file not imported: beside the store, or where --report says."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-report-")
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)
        self.src = os.path.join(self.tmp, "src")
        with open(os.path.join(CORPUS, "eml", "mikel-mail", "plain_emails", "basic_email.eml"),
                  "rb") as fh:
            body = fh.read()
        os.makedirs(os.path.join(self.src, "good"))
        os.makedirs(os.path.join(self.src, "bad"))
        for i in range(5):
            with open(os.path.join(self.src, "good", "m%d.eml" % i), "wb") as fh:
                fh.write(body)
        # 25 empty message files, one named with a byte that is not UTF-8.
        bad = os.path.join(os.fsencode(self.src), b"bad")
        self.bad = [os.path.join(bad, b"e%02d.eml" % i) for i in range(24)]
        self.bad.append(os.path.join(bad, b"caf\xe9.eml"))
        for path in self.bad:
            open(path, "wb").close()

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def convert(self, *extra):
        return subprocess.run([os.fsencode(CONVERT), "-q", os.fsencode(self.src), b"-o",
                               os.fsencode(self.out)] + [os.fsencode(x) for x in extra],
                              capture_output=True)

    def check_text_report(self, report, pst):
        lines = report.split(b"\n")
        for line in (b"Store: " + pst, b"Imported 5 of 30 files.", b"Files listed: 30",
                     b"Imported: 5", b"Not imported: 25", b"Imported with a note: 0",
                     b"  " + os.fsencode(self.src), b"  Output folder: " + os.fsencode(self.out)):
            self.assertIn(line, lines)
        rows = {}
        for line in lines:
            if line.startswith(b"not imported\t"):
                _, path, reason = line.split(b"\t")
                rows[path] = reason
        self.assertEqual(sorted(rows), sorted(self.bad))
        for reason in rows.values():
            self.assertIn(b"empty message file", reason)

    def test_every_failed_file_is_in_the_report_beside_the_store(self):
        r = self.convert()
        self.assertEqual(r.returncode, 1, r.stderr)
        lines = r.stdout.splitlines()
        pst = lines[-1]
        report = pst[:-len(b".pst")] + b".txt"
        self.assertEqual(lines[-2], REPORT_LINE.encode() + report)
        self.assertEqual(sorted(os.listdir(os.fsencode(self.out))),
                         sorted([os.path.basename(pst), os.path.basename(report)]))
        with open(report, "rb") as fh:
            self.check_text_report(fh.read(), pst)
        self.assertEqual(count_pypff(os.fsdecode(pst)), 5)

    def test_report_option_writes_it_where_asked(self):
        # On standard output, which then holds the report alone.
        r = self.convert("--report", "-")
        self.assertEqual(r.returncode, 1, r.stderr)
        summary = r.stderr.splitlines()
        pst = summary[-1]
        self.assertEqual(summary[-2], b"The full report is on standard output.")
        self.assertTrue(r.stdout.startswith(b"Pellimor Wharfline 5.06: conversion report\n"))
        self.check_text_report(r.stdout, pst)
        self.assertEqual(os.listdir(os.fsencode(self.out)), [os.path.basename(pst)])

        # As CSV, with a header row, every field as it was.
        target = os.path.join(self.tmp, "failed.csv")
        r = self.convert("--report", target)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-2], REPORT_LINE.encode() + os.fsencode(target))
        with open(target, newline="", encoding="utf-8", errors="surrogateescape") as fh:
            rows = list(csv.reader(fh))
        self.assertEqual(rows[0], ["status", "path", "reason"])
        self.assertEqual(sorted(row[1] for row in rows[1:]), sorted(map(os.fsdecode, self.bad)))
        for status, _, reason in rows[1:]:
            self.assertEqual(status, "not imported")
            self.assertIn("empty message file", reason)
        self.assertEqual(len(os.listdir(self.out)), 2)  # the two stores, no report beside

        # A file already there is refused before the run: nothing is made, nothing changed.
        for existing in (target, os.path.join(self.out, "x.txt")):
            if not os.path.exists(existing):
                with open(existing, "w") as fh:
                    fh.write("mine")
            before = self.contents()
            with open(existing, "rb") as fh:
                theirs = fh.read()
            r = self.convert("--report", existing)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn(b"already exists", r.stderr)
            self.assertEqual(r.stdout, b"")
            with open(existing, "rb") as fh:
                self.assertEqual(fh.read(), theirs)
            self.assertEqual(self.contents(), before)

    def contents(self):
        found = {}
        for name in os.listdir(self.out):
            with open(os.path.join(self.out, name), "rb") as fh:
                found[name] = fh.read()
        return found


class HostileInput(unittest.TestCase):
    """Names and files a real tree may hold; each is used as it is or refused at once."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-hostile-")
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)
        with open(os.path.join(CORPUS, "eml", "mikel-mail", "plain_emails", "basic_email.eml"),
                  "rb") as fh:
            self.body = fh.read()

    def tearDown(self):
        for folder, dirs, _ in os.walk(self.tmp):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write(self, *parts):
        path = os.path.join(os.fsencode(self.tmp), *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as fh:
            fh.write(self.body)
        return path

    def test_names_are_used_byte_for_byte(self):
        # Legal on Linux: blanks at either end, and bytes that are not UTF-8.
        names = [(b"src", b" lead.eml"), (b"src", b"trail.eml "), (b"src", b"d\xff", b"caf\xe9.eml"),
                 (b"src", b"d\xff", b"\xfe\xfd.emlx.eml")]
        for parts in names:
            self.write(*parts)
        direct = [self.write(b"loose", b"caf\xe9 .eml")]
        r = subprocess.run([os.fsencode(CONVERT), os.path.join(os.fsencode(self.tmp), b"src")]
                           + direct + [b"-o", os.fsencode(self.out)], capture_output=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(r.stdout.startswith(b"Imported 5 of 5 files"), r.stdout)
        pst = r.stdout.splitlines()[-1].decode()
        _, tree = read_pypff(pst)
        self.assertEqual(sum(len(v) for v in tree.values()), 5)
        # A folder name's byte that is not UTF-8 shows as U+FFFD in the store.
        self.assertTrue(any(k.endswith("\\src\\d\ufffd") and len(v) == 2 for k, v in tree.items()),
                        sorted(tree))

    def test_anything_but_a_regular_file_is_refused_at_once(self):
        good = self.write(b"a.eml")
        pipe = os.path.join(self.tmp, "pipe.eml")
        os.mkfifo(pipe)
        zero = os.path.join(self.tmp, "zero.eml")
        os.symlink("/dev/zero", zero)
        # A pipe would keep the run waiting for a writer, /dev/zero would be read for ever.
        r = subprocess.run([CONVERT, good, pipe, zero, "-o", self.out], capture_output=True,
                           text=True, timeout=120)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertTrue(r.stdout.startswith("Imported 1 of 3 files"), r.stdout)
        self.assertIn("%s: " % pipe, r.stdout)
        self.assertIn("is a named pipe", r.stdout)
        self.assertIn("%s: " % zero, r.stdout)
        self.assertIn("is a device", r.stdout)
        self.assertEqual(count_pypff(r.stdout.splitlines()[-1]), 1)

    def test_an_unreadable_folder_is_passed_over_named_and_counted(self):
        for name in ("a/1.eml", "locked/2.eml", "z/deeper/3.eml"):
            self.write(*name.encode().split(b"/"))
        src = self.tmp
        for folder, dirs, _ in os.walk(self.tmp):
            os.chmod(folder, 0o755)
        os.chmod(self.out, 0o777)
        os.chmod(os.path.join(self.tmp, "locked"), 0)
        command = [CONVERT, "-q", src, "-o", self.out]
        if os.geteuid() == 0:
            # Permissions do not bind the superuser: the converter runs as nobody.
            if not shutil.which("setpriv"):
                self.skipTest("running as root without setpriv to become another user")
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
        r = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        locked = os.path.join(self.tmp, "locked") + "/: Permission denied"
        self.assertIn(locked, r.stderr)
        lines = r.stdout.splitlines()
        self.assertTrue(lines[0].startswith("Imported 2 of 2 files"), r.stdout)
        self.assertEqual(lines[1:3], ["Folders not searched (1):", "  " + locked])
        self.assertEqual(count_pypff(lines[-1]), 2)


class Window(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-e2e-window-")
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)
        self.src = os.path.join(self.tmp, "src")
        shutil.copytree(os.path.join(CORPUS, "emlx"), os.path.join(self.src, "emlx"))
        shutil.copytree(os.path.join(CORPUS, "eml", "mikel-mail"), os.path.join(self.src, "mikel"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_the_window_converts_the_list_into_a_readable_store(self):
        r = run([WINDOW, self.out, "0", self.src])
        # The run ends with a box only for the partial .emlx files whose attachments Apple Mail
        # never downloaded: imported, with a note.
        self.assertIn(r.returncode, (0, 1), r.stderr)
        self.assertNotIn("could not be imported", r.stderr)
        self.assertNotIn("Outlook Error", r.stderr)
        pst = r.stdout.strip().splitlines()[-1]
        want = expected_tree(self.src, "")
        display, tree = Readers().check(self, pst, sum(want.values()))
        self.assertEqual({k: len(v) for k, v in tree.items() if v}, want)

    def test_closing_the_window_mid_run_keeps_a_valid_store(self):
        r = run([WINDOW, self.out, "40", self.src])
        self.assertEqual(r.returncode, 0, r.stderr)  # the close box ends the process at once
        self.assertEqual(r.stdout, "")  # ... before the run could report anything
        stores = os.listdir(self.out)
        self.assertEqual(len(stores), 1)
        pst = os.path.join(self.out, stores[0])
        info = run(["pffinfo", pst])
        self.assertEqual(info.returncode, 0, info.stderr)
        display, tree = read_pypff(pst)
        self.assertTrue(display.startswith("Pellimor Software : Created - "))
        with tempfile.TemporaryDirectory() as out:
            self.assertEqual(run(["readpst", "-D", "-j", "0", "-o", out, pst]).returncode, 0)


if __name__ == "__main__":
    unittest.main()

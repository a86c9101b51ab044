"""wharfline-convert's --keep-state, --skip-duplicates, --since and --until, over the real
importer and writer; every store is read back with pypff and pffinfo and judged by the strict
store checker. Run by ctest, which names the programs in the environment."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store  # noqa: E402

CONVERT = os.environ["WHARFLINE_CONVERT"]
TOP = "Top of Personal Folders"

FLAGS, UNREAD, VERB, VERB_TIME, ICON, FLAG_STATUS, FOLLOWUP_ICON = (
    0x0E07, 0x3603, 0x1081, 0x1082, 0x1080, 0x1090, 0x1095)


def eml(subject, headers="", body="Body.\n", date="Mon, 04 Mar 2024 10:00:00 +0000",
        message_id=None, sender="Ann <ann@example.com>"):
    lines = ["From: " + sender, "To: bob@example.com", "Subject: " + subject]
    if date:
        lines.append("Date: " + date)
    if message_id:
        lines.append("Message-ID: " + message_id)
    return ("\n".join(lines) + "\n" + headers + "\n" + body).encode()


def emlx(subject, flags, headers="", message=None):
    message = message or eml(subject, headers)
    plist = ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
             '\t<key>flags</key>\n\t<integer>%d</integer>\n</dict>\n</plist>\n' % flags)
    return b"%d\n" % len(message) + message + plist.encode()


def entries(item):
    out = {}
    for rs in item.record_sets:
        for e in rs.entries:
            out.setdefault(e.entry_type, e)
    return out


def integer(found, prop):
    return found[prop].data_as_integer if prop in found else None


def read_store(store):
    """Store folder path below the top -> [(subject, {property id: entry})], and unread counts."""
    check_store(store)
    info = subprocess.run(["pffinfo", store], capture_output=True, text=True)
    assert info.returncode == 0 and "warning" not in (info.stdout + info.stderr).lower(), info
    import pypff
    f = pypff.file()
    f.open(store)
    folders, unread = {}, {}

    def walk(folder, path):
        unread[path] = integer(entries(folder), UNREAD)
        folders[path] = []
        for j in range(folder.number_of_sub_messages):
            m = folder.get_sub_message(j)
            folders[path].append((m.subject, entries(m)))
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, path + (sub.name,))

    root = f.root_folder
    for i in range(root.number_of_sub_folders):
        if root.get_sub_folder(i).name == TOP:
            walk(root.get_sub_folder(i), ())
    f.close()
    return folders, unread


def folder_key(path):
    return tuple(p for p in os.path.abspath(path).split(os.sep) if p)


class Converter(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="wharfline-options-")
        self.src = os.path.join(self.tmp, "src")
        self.out = os.path.join(self.tmp, "out")
        os.makedirs(self.out)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write(self, relative, data, mtime=None):
        path = os.path.join(self.src, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as fh:
            fh.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def convert(self, *options, env=None, status=0, sources=None):
        p = subprocess.run([CONVERT, "--quiet", "--output", self.out, *options,
                            *(sources or [self.src])],
                           capture_output=True, text=True, env=env)
        self.assertEqual(p.returncode, status, p.stdout + p.stderr)
        store = p.stdout.strip().split("\n")[-1]
        return p.stdout, read_store(store)


class KeepState(Converter):
    # name, file bytes, then what is stored: read, last verb, icon, flagged.
    CASES = [
        ("emlx unread", emlx("emlx unread", 0x0), False, None, 0x101, False),
        ("emlx read", emlx("emlx read", 0x1), True, None, 0x100, False),
        ("emlx answered", emlx("emlx answered", 0x5), True, 102, 0x105, False),
        ("emlx forwarded", emlx("emlx forwarded", 0x101), True, 104, 0x106, False),
        ("emlx both", emlx("emlx both", 0x105), True, 102, 0x105, False),
        ("emlx flagged unread", emlx("emlx flagged unread", 0x10), False, None, 0x101, True),
        # Apple Mail's own flags decide over headers the message carried from elsewhere.
        ("emlx over headers", emlx("emlx over headers", 0x1, "Status: O\n"),
         True, None, 0x100, False),
        # No headers at all: stored as text under the file's name, with Apple Mail's state.
        ("emlx headerless", emlx("", 0x4, message=b"Only text, no headers.\n"),
         False, 102, 0x105, False),
        ("status unread", eml("status unread", "Status: O\n"), False, None, 0x101, False),
        ("status answered", eml("status answered", "Status: RO\nX-Status: A\n"),
         True, 102, 0x105, False),
        ("status flagged", eml("status flagged", "Status: O\nX-Status: F\n"),
         False, None, 0x101, True),
        ("mozilla unread", eml("mozilla unread", "X-Mozilla-Status: 0000\n"),
         False, None, 0x101, False),
        ("mozilla replied", eml("mozilla replied", "X-Mozilla-Status: 0003\n"),
         True, 102, 0x105, False),
        ("mozilla forwarded", eml("mozilla forwarded", "X-Mozilla-Status: 1001\n"),
         True, 104, 0x106, False),
        ("mozilla marked", eml("mozilla marked", "X-Mozilla-Status: 0005\n"),
         True, None, 0x100, True),
        ("mozilla over status", eml("mozilla over status", "X-Mozilla-Status: 0001\nStatus: O\n"),
         True, None, 0x100, False),
        ("mozilla unreadable", eml("mozilla unreadable", "X-Mozilla-Status: zz\nStatus: O\n"),
         False, None, 0x101, False),
        ("no state", eml("no state"), True, None, 0x100, False),
    ]

    def setUp(self):
        super().setUp()
        for name, data, *_ in self.CASES:
            self.write("box/%s.%s" % (name, "emlx" if data[:1].isdigit() else "eml"), data)

    def test_each_source_is_stored_as_outlook_keeps_it(self):
        _, (folders, unread) = self.convert("--keep-state")
        box = folder_key(os.path.join(self.src, "box"))
        stored = dict(folders[box])
        self.assertEqual(len(stored), len(self.CASES))
        for name, _, read, verb, icon, flagged in self.CASES:
            with self.subTest(name):
                e = stored[name]
                self.assertEqual(bool(integer(e, FLAGS) & 1), read)
                self.assertEqual(integer(e, VERB), verb)
                self.assertNotIn(VERB_TIME, e)  # none of the sources says when
                self.assertEqual(integer(e, ICON), icon)
                self.assertEqual(integer(e, FLAG_STATUS), 2 if flagged else None)
                self.assertEqual(integer(e, FOLLOWUP_ICON), 6 if flagged else None)
        self.assertEqual(unread[box], sum(1 for c in self.CASES if not c[2]))

    def test_without_the_option_every_message_is_read(self):
        _, (folders, unread) = self.convert()
        box = folder_key(os.path.join(self.src, "box"))
        self.assertEqual(unread[box], 0)
        for subject, e in folders[box]:
            self.assertTrue(integer(e, FLAGS) & 1, subject)
            self.assertNotIn(FOLLOWUP_ICON, e, subject)


class SkipDuplicates(Converter):
    def test_copies_are_listed_and_stored_once(self):
        one = eml("Lunch", message_id="<lunch@example.com>")
        paths = [self.write("a/1 first.eml", one), self.write("a/2 copy.eml", one),
                 self.write("b/3 copy.eml", one),
                 self.write("a/4 other body.eml",
                            eml("Lunch", message_id="<lunch@example.com>", body="Dinner.\n"))]
        # Named one by one, the files are gone through in this order.
        stdout, (folders, _) = self.convert("--skip-duplicates", sources=paths)
        a, b = folder_key(os.path.join(self.src, "a")), folder_key(os.path.join(self.src, "b"))
        self.assertEqual(len(folders[a]), 2)
        self.assertEqual(len(folders[b]), 0)
        self.assertIn("Duplicates, not imported (2):", stdout)
        for copy in paths[1:3]:
            self.assertIn("  %s: duplicate of %s\n" % (copy, paths[0]), stdout)
        self.assertIn("Imported 2 of 4 files", stdout)

        shutil.rmtree(self.out)
        os.makedirs(self.out)
        stdout, (folders, _) = self.convert(sources=paths)
        self.assertEqual(len(folders[a]) + len(folders[b]), 4)
        self.assertNotIn("Duplicates", stdout)


class DateRange(Converter):
    # Local time is two hours ahead of UTC, with no summer time.
    ENV = dict(os.environ, TZ="Etc/GMT-2")
    MARCH_10 = 1710072000  # 2024-03-10 12:00 UTC

    def test_messages_sent_in_the_range_are_stored(self):
        cases = [  # subject, Date header, file time, stored
            ("day before", "Thu, 29 Feb 2024 23:59:59 +0200", None, False),
            ("first instant", "Fri, 01 Mar 2024 00:00:00 +0200", None, True),
            ("first day local", "Thu, 29 Feb 2024 23:30:00 +0000", None, True),
            ("inside", "Fri, 15 Mar 2024 12:00:00 +0000", None, True),
            ("last instant", "Sun, 31 Mar 2024 23:59:59 +0200", None, True),
            ("last day UTC", "Sun, 31 Mar 2024 22:30:00 +0000", None, False),
            ("day after", "Mon, 01 Apr 2024 00:00:00 +0200", None, False),
            ("no date inside", None, self.MARCH_10, True),
            ("no date outside", None, self.MARCH_10 + 40 * 86400, False),
        ]
        for i, (subject, date, mtime, _) in enumerate(cases):
            self.write("box/%02d.eml" % i, eml(subject, date=date), mtime)
        stdout, (folders, _) = self.convert("--since", "2024-03-01", "--until", "2024-03-31",
                                            env=self.ENV)
        stored = {s for s, _ in folders[folder_key(os.path.join(self.src, "box"))]}
        self.assertEqual(stored, {c[0] for c in cases if c[3]})
        self.assertIn("Skipped, sent outside the dates asked for: 4 files.", stdout)
        self.assertNotIn("Not imported", stdout)

    def test_anything_but_a_day_is_a_usage_error(self):
        self.write("box/a.eml", eml("a"))
        for args in (["--since", "2024-3-01"], ["--since", "2024-02-30"],
                     ["--until", "20240301"], ["--until", ""], ["--since", "2024-03-01 "],
                     ["--since", "2024-03-02", "--until", "2024-03-01"]):
            with self.subTest(args):
                p = subprocess.run([CONVERT, "--quiet", "--output", self.out, *args, self.src],
                                   capture_output=True, text=True)
                self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
                self.assertRegex(p.stderr, r"--since|--until")
                self.assertEqual(os.listdir(self.out), [])


if __name__ == "__main__":
    unittest.main()

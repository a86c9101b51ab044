"""wharfline-convert --verify and `verify STORE SOURCE...`: a store made from a small tree
verifies; each kind of change between the store and its files is caught with its own message;
a damaged, truncated or random file is refused without a crash."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store  # noqa: E402

CONVERT = os.environ["WHARFLINE_CONVERT"]

MESSAGE = """From: Ann Example <ann@example.com>
To: Bob <bob@example.com>, carol@example.com
Subject: Note {n}
Date: Tue, 1 Mar 2011 09:05:03 +0100
Message-ID: <{n}@example.com>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="b"

--b
Content-Type: text/plain; charset=utf-8

Body of note {n}, with enough words to be worth a digest.
--b
Content-Type: application/octet-stream; name="data{n}.bin"
Content-Disposition: attachment; filename="data{n}.bin"
Content-Transfer-Encoding: base64

{payload}
--b--
"""


def make_tree(root):
    """Two folders of three messages, each with an attachment."""
    paths = []
    for folder in ("Inbox", os.path.join("Archive", "2011")):
        os.makedirs(os.path.join(root, folder))
        for i in range(3):
            n = len(paths)
            payload = bytes((n * 7 + k) % 256 for k in range(3000))
            import base64
            text = MESSAGE.format(n=n, payload=base64.encodebytes(payload).decode())
            path = os.path.join(root, folder, "m%d.eml" % i)
            with open(path, "w", newline="\r\n") as f:
                f.write(text)
            paths.append(path)
    return paths


def replace(path, old, new):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data.replace(old, new))


def convert(src, out, *extra):
    return subprocess.run([CONVERT, "-q", *extra, src, "-o", out], capture_output=True,
                          text=True, timeout=300)


def verify(store, src):
    return subprocess.run([CONVERT, "verify", store, src], capture_output=True, text=True,
                          timeout=300)


class Verify(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="wharfline-verify-")
        cls.src = os.path.join(cls.tmp, "src")
        cls.paths = make_tree(cls.src)
        out = os.path.join(cls.tmp, "out")
        os.mkdir(out)
        r = convert(cls.src, out, "--verify")
        assert r.returncode == 0, r.stdout + r.stderr
        cls.convert_stdout = r.stdout
        cls.store = r.stdout.splitlines()[-1]
        check_store(cls.store)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def fresh_store(self):
        """A tree of its own and its store: the store keeps the files' full folder paths."""
        d = tempfile.mkdtemp(dir=self.tmp)
        src = os.path.join(d, "src")
        make_tree(src)
        os.mkdir(os.path.join(d, "out"))
        r = convert(src, os.path.join(d, "out"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return src, r.stdout.splitlines()[-1]

    def test_a_clean_store_verifies_after_the_run_and_later(self):
        self.assertIn("Verified 6 of 6 messages.\n", self.convert_stdout)
        r = verify(self.store, self.src)
        self.assertEqual((r.returncode, r.stdout), (0, "Verified 6 of 6 messages.\n"), r.stderr)

    def test_each_change_is_named(self):
        def body(src):
            p = os.path.join(src, "Inbox", "m1.eml")
            replace(p, b"Body of note 1", b"Body of note X")
            return "Inbox/m1.eml: plain body differs"

        def attachment(src):
            p = os.path.join(src, "Archive", "2011", "m0.eml")
            lines = open(p, "rb").read().split(b"\r\n")
            i = next(k for k, l in enumerate(lines) if l.startswith(b"Content-Transfer-Encoding: base64")) + 2
            lines[i] = (b"B" if lines[i][:1] != b"B" else b"C") + lines[i][1:]
            open(p, "wb").write(b"\r\n".join(lines))
            return "Archive/2011/m0.eml: attachment 1 content differs (SHA-256)"

        def missing(src):
            data = open(os.path.join(src, "Inbox", "m2.eml"), "rb").read()
            open(os.path.join(src, "Inbox", "m3.eml"), "wb").write(data.replace(b"Note 2", b"Note 7"))
            return "Inbox/m3.eml: not in the store"

        def moved(src):
            os.rename(os.path.join(src, "Inbox", "m2.eml"), os.path.join(src, "Archive", "2011", "m3.eml"))
            return "Archive/2011/m3.eml: not in the store"

        def subject(src):
            p = os.path.join(src, "Inbox", "m0.eml")
            replace(p, b"Subject: Note 0", b"Subject: Note 9")
            return 'Inbox/m0.eml: subject differs: "Note 0" in the store, "Note 9" in the file'

        for change in (body, attachment, missing, moved, subject):
            with self.subTest(change.__name__):
                src, store = self.fresh_store()
                want = change(src)
                r = verify(store, src)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertRegex(r.stdout.splitlines()[0], r"^Verified [0-6] of [67] messages; \d+ differences:$")
                self.assertIn(os.path.join(src, want), r.stdout)
        # A moved message also leaves its old folder one message over.
        src, store = self.fresh_store()
        moved(src)
        self.assertRegex(verify(store, src).stdout,
                         r'store folder .*\\src\\Inbox: message \d \("Note 2"\) has no message file')

    def test_damaged_stores_are_refused_without_a_crash(self):
        data = open(self.store, "rb").read()
        rng = random.Random(7)
        cases = {"truncated": data[:len(data) // 2], "header only": data[:0x4400],
                 "random": bytes(rng.randrange(256) for _ in range(300000)),
                 "empty": b""}
        # Bytes flipped in the header, in the indexes and in the blocks.
        for k in range(12):
            flipped = bytearray(data)
            at = rng.randrange(0x4400, len(data)) if k else 0x20
            flipped[at] ^= 0x5A
            cases["flipped at %#x" % at] = bytes(flipped)
        for name, content in cases.items():
            with self.subTest(name):
                bad = os.path.join(self.tmp, "bad.pst")
                open(bad, "wb").write(content)
                r = verify(bad, self.src)
                self.assertIn(r.returncode, (0, 1), r.stderr)  # never a crash
                if r.returncode == 0:  # the flip hit free space
                    self.assertEqual(r.stdout, "Verified 6 of 6 messages.\n")
                    continue
                self.assertRegex(r.stdout, r"cannot be verified: .*store damaged|differs|cannot be read|not in the store")
        r = verify(os.path.join(self.tmp, "none.pst"), self.src)
        self.assertEqual(r.returncode, 1)
        self.assertIn("The store cannot be verified", r.stdout)


if __name__ == "__main__":
    unittest.main()

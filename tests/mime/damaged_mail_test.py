#!/usr/bin/python3
"""Damaged and unusual mail, through the whole import: every table in damaged/ holds small
messages of one kind of damage, each with what a mail reader shows of it. All of them are
converted by wharfline-convert into one store, which pypff reads back; each message is found
by its folder (one per case) and compared with its table row.

A row: name, message (bytes), and what the stored message must hold:
  subject        exactly
  sender         the sender's display name, exactly
  body           text the plain body contains (blanks collapsed); '' for an empty body
  html           text the HTML body contains; None: no HTML body
  attachments    [(name, size)], in order
  submit_time    seconds since 1970 (UTC)
  note           text the converter's note on the file contains; None: no note at all
  mtime          the file's modification time, set before converting
  file           the file's name (default message.eml)

Usage: damaged_mail_test.py WHARFLINE_CONVERT [TABLE...]
"""

import glob
import importlib.util
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus_compare  # noqa: E402  (the store reading is shared with the corpus check)


def load_tables(paths):
    tables = {}
    for path in paths:
        name = os.path.splitext(os.path.basename(path))[0]
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        tables[name] = module.CASES
    return tables


def collapse(text):
    return ' '.join((text or '').replace('\r', ' ').split())


def check(case, stored, notes):
    want = case
    errors = []

    def expect(field, ok, got):
        if not ok:
            errors.append('%s: expected %r, got %r' % (field, want[field], got))

    if 'subject' in want:
        expect('subject', stored['subject'] == want['subject'], stored['subject'])
    if 'sender' in want:
        expect('sender', stored['from_name'] == want['sender'], stored['from_name'])
    if 'body' in want:
        body = collapse(stored['body'])
        expect('body', collapse(want['body']) in body if want['body'] else body == '', body[:200])
    if 'html' in want:
        html = stored['html']
        ok = html is None if want['html'] is None else html is not None and want['html'] in html
        expect('html', ok, (html or '')[:200] if html is not None else None)
    if 'attachments' in want:
        got = [(a['name'], a['size']) for a in stored['attachments']]
        expect('attachments', got == want['attachments'], got)
    if 'submit_time' in want:
        expect('submit_time', stored['submit_time'] == want['submit_time'], stored['submit_time'])
    if 'note' in want:
        if want['note'] is None:
            expect('note', not notes, notes)
        else:
            expect('note', any(want['note'] in n for n in notes), notes)
    return errors


def main():
    tool = sys.argv[1]
    paths = sys.argv[2:] or sorted(glob.glob(os.path.join(HERE, 'damaged', '*.py')))
    tables = load_tables(paths)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, 'src')
        files = {}
        for table, cases in tables.items():
            for case in cases:
                folder = os.path.join(src, table, case['name'])
                os.makedirs(folder)
                path = os.path.join(folder, case.get('file', 'message.eml'))
                with open(path, 'wb') as fh:
                    fh.write(case['message'])
                if 'mtime' in case:
                    os.utime(path, (case['mtime'], case['mtime']))
                files[(table, case['name'])] = path
        out = os.path.join(tmp, 'out')
        os.mkdir(out)
        proc = subprocess.run([tool, '--quiet', '--output', out, src],
                              capture_output=True, text=True, check=False)
        lines = [line for line in proc.stdout.split('\n') if line.strip()]
        store = lines[-1] if lines else ''
        if proc.returncode != 0 or not os.path.isfile(store):
            print('wharfline-convert exited with %d:\n%s%s' % (proc.returncode, proc.stdout,
                                                                proc.stderr))
            return 1
        folders = corpus_compare.read_store_pypff(store)
        top = corpus_compare.store_folder(os.path.join(src, 'x'))
        failures = 0
        for (table, name), path in files.items():
            case = next(c for c in tables[table] if c['name'] == name)
            stored = folders.get(top + (table, name))
            notes = [line.split(': ', 1)[1] for line in proc.stdout.split('\n')
                     if line.strip().startswith(path + ':')]
            errors = ['not in the store'] if not stored else check(case, stored[0], notes)
            print('%-4s %s/%s' % ('ok' if not errors else 'FAIL', table, name))
            for e in errors:
                print('       ' + e)
            failures += bool(errors)
        print('%d of %d cases as a mail reader shows them' % (len(files) - failures, len(files)))
        return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/python3
"""Corpus check of the MIME importer against an independent parse.

Every file under the given corpus folders is parsed here with Python's `email` package
(policy=default) and compared field by field with what the product made of it: subject, sender,
To/Cc addresses, submit time, plain body (whitespace collapsed), HTML presence and visible text,
attachment names, sizes and SHA-256. Two ways to get the product's side, one column each:

  --dump TOOL      the importer's in-memory result, one JSON object per file from the dump tool;
  --convert TOOL   a real store: wharfline-convert writes every file (named one by one, whatever
                   its extension) into a .pst, which is read back with pypff. The recipient table
                   comes from pst-extractor (this pypff has no accessor for it); readpst and
                   pst-extractor must see the same number of messages in every folder, and
                   pst-extractor the same subject, sender, times, bodies and attachment count.

The Python side applies the same product rules (which part is the body, how names are cleaned,
which charset labels mean what) on top of its own MIME parser, so a disagreement points at a
parsing or decoding difference; a field that agrees less through the store than in memory points
at the writer or a reader. Prints per-field agreement and each disagreement; exits 1 when a file
is missing, a reader check fails or a field agrees on fewer than --min-agreement percent.

Usage: corpus_compare.py [--dump TOOL] [--convert TOOL [--node-modules DIR]]
                         [--min-agreement 99] [--verbose] FOLDER...
"""

import argparse
import base64
import binascii
import codecs
import datetime
import email
import email.errors
import email.header
import email.utils
import hashlib
import html.parser
import json
import os
import quopri
import re
import subprocess
import sys
import tempfile
import time
from email import policy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from store_check import check_store  # noqa: E402
from email.parser import BytesParser

NOW = int(time.time())
EARLIEST = 315532800  # 1980-01-01
MAX_MESSAGE_DEPTH = 8
MAX_MULTIPART_DEPTH = 64

# Charset labels and what senders mean by them (a label is replaced by the superset the
# sending software really used); None: the label carries no information.
ALIASES = {
    'x-mac-roman': 'mac_roman', 'macintosh': 'mac_roman', 'x-sjis': 'cp932',
    'shift_jis': 'cp932', 'shift-jis': 'cp932', 'sjis': 'cp932',
    'unicode-1-1-utf-7': 'utf-7', 'ks_c_5601-1987': 'cp949', 'euc-kr': 'cp949',
    'gb2312': 'gb18030', 'gbk': 'gb18030', 'x-gbk': 'gb18030', 'big5': 'cp950',
    'iso-8859-1': 'cp1252', 'iso_8859-1': 'cp1252', 'latin1': 'cp1252', 'us-ascii': 'cp1252',
    'ascii': 'cp1252', 'iso-8859-8-i': 'iso-8859-8', 'x-user-defined': None,
    'unknown-8bit': None, 'x-unknown': None, 'unknown': None, 'default': None,
}
HIDDEN_TYPES = {'image/jpeg', 'image/jpg', 'image/pjpeg', 'image/gif', 'image/bmp',
                'image/png', 'image/x-png'}
GENERATED_EXT = {'image/png': '.png', 'image/jpeg': '.jpg', 'image/gif': '.gif',
                 'text/plain': '.txt', 'text/html': '.htm', 'text/calendar': '.ics',
                 'application/pdf': '.pdf', 'message/rfc822': '.eml',
                 'message/delivery-status': '.txt',
                 'message/disposition-notification': '.txt'}


def strict(data, codec):
    try:
        text = data.decode(codec)
    except (UnicodeDecodeError, LookupError):
        return None
    return text


def decode_text(data, declared):
    declared = (declared or '').strip().strip('"\'').lower()
    eight_bit = any(b >= 0x80 for b in data)
    stateful = declared.startswith(('utf-16', 'utf-32', 'iso-2022', 'hz')) or declared in (
        'utf-7', 'unicode-1-1-utf-7')
    if not eight_bit and not stateful:
        return data.decode('ascii')
    if declared in ('', 'us-ascii', 'ascii') and strict(data, 'utf-8') is not None:
        return data.decode('utf-8')
    codec = ALIASES.get(declared, declared)
    if codec and declared not in ('', 'us-ascii', 'ascii'):
        text = strict(data, codec)
        if text is not None:
            return text
    for cut in range(1, 4):
        if len(data) > cut and data[-cut] & 0xC0 == 0xC0:
            if strict(data[:-cut], 'utf-8') is not None and any(b >= 0x80 for b in data[:-cut]):
                return data[:-cut].decode('utf-8')
            break
        if len(data) <= cut or data[-cut] & 0xC0 != 0x80:
            break
    # Neither the label nor UTF-8 reads it: what the bytes mean is a guess this reference
    # does not make, and each byte it cannot read matches whatever the importer made of it.
    return data.decode('ascii', 'replace')


def list_agrees(expected, got):
    return len(expected) == len(got) and all(map(text_agrees, expected, got))


def text_agrees(expected, got):
    """Equal, where each run of U+FFFD in `expected` stands for any text."""
    if '\ufffd' not in expected:
        return expected == got
    pieces = re.split('\ufffd+', expected)
    if not got.startswith(pieces[0]) or not got.endswith(pieces[-1]):
        return False
    at = len(pieces[0])
    for piece in pieces[1:-1]:
        found = got.find(piece, at)
        if found < 0:
            return False
        at = found + len(piece)
    return len(got) - len(pieces[-1]) >= at


def ensure_text(raw):
    """A header value as text: surrogate-escaped 8-bit bytes re-decoded like a body."""
    if isinstance(raw, str) and re.search('[\udc80-\udcff]', raw):
        return decode_text(raw.encode('ascii', 'surrogateescape'), '')
    return raw


class TextExtractor(html.parser.HTMLParser):
    SKIP = {'script', 'style', 'head', 'title'}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.skip = 0

    def handle_starttag(self, tag, attrs):
        if tag in self.SKIP:
            self.skip += 1

    def handle_endtag(self, tag):
        if tag in self.SKIP and self.skip:
            self.skip -= 1

    def handle_data(self, data):
        if not self.skip:
            self.parts.append(data)


def visible_text(markup):
    parser = TextExtractor()
    try:
        parser.feed(markup)
        parser.close()
    except Exception:  # noqa: BLE001 - a broken page still has comparable text
        pass
    return collapse(' '.join(parser.parts))


def collapse(text):
    return ' '.join(text.replace('\u00a0', ' ').split())


def sanitize_name(name):
    name = re.split(r'[/\\]', name)[-1]
    name = ''.join(c for c in name if ord(c) >= 0x20 and ord(c) != 0x7f)
    name = re.sub(r'[<>:"/\\|?*]', '_', name)
    name = name.rstrip('. ').lstrip(' ')
    stem = name.split('.')[0].upper()
    if stem in ('CON', 'PRN', 'AUX', 'NUL') or re.fullmatch(r'(COM|LPT)[1-9]', stem):
        name = '_' + name
    return name


# ---------------------------------------------------------------------------------------------
# Framing.

def frame(data):
    """The message bytes inside a file (emlx count line and plist trailer removed)."""
    lf = data[:32].find(b'\n')
    m = re.fullmatch(rb'[ \t]*(\d+)[ \t\r]*', data[:lf]) if lf >= 0 else None
    if m:
        count = int(m.group(1))
        start = lf + 1
        rest = data[start + count:].lstrip(b' \t\r\n') if start + count <= len(data) else None
        if rest is not None and (rest == b'' or rest.startswith((b'<?xml', b'<plist', b'<!DOCTYPE plist', b'bplist'))):
            data = data[start:start + count]
        else:
            close = data.rfind(b'</plist>')
            end = len(data)
            if close >= start:
                for marker in (b'\n<?xml', b'\n<plist'):
                    pos = data.rfind(marker, 0, close)
                    if pos + 1 >= start and pos >= 0:
                        end = pos + 1
                        break
            data = data[start:end]
    if data.startswith(b'\xef\xbb\xbf'):
        data = data[3:]
    while True:
        eol = data.find(b'\n')
        if eol < 0 or data[:eol].strip(b' \t\r'):
            break
        data = data[eol + 1:]
    if data.startswith(b'From '):
        eol = data.find(b'\n')
        if eol >= 0:
            data = data[eol + 1:]
    return data


def looks_like_message(data):
    line = data.split(b'\n', 1)[0]
    colon = line.find(b':')
    return colon > 0 and all(0x20 < b < 0x7f for b in line[:colon])


# ---------------------------------------------------------------------------------------------
# The body/attachment rules over Python's parse tree.

class Walk:
    def __init__(self, partial_root, depth):
        self.segments = []       # dicts with 'plain' and/or 'html'
        self.attachments = []    # dicts: name, data / embedded, cid, type
        self.counter = 0
        self.partial_root = partial_root
        self.depth = depth

    def generated(self, ctype):
        self.counter += 1
        return 'ATT%05d%s' % (self.counter % 100000, GENERATED_EXT.get(ctype, '.dat'))

    def part_bytes(self, part):
        if part.is_multipart():
            raw = part.as_bytes()
            end = re.search(rb'\r?\n\r?\n', raw)
            return raw[end.end():] if end else b''
        payload = part.get_payload(decode=True)
        if payload is None:
            payload = b''
        cte = str(part.get('Content-Transfer-Encoding') or '').strip().lower()
        raw = part.get_payload(decode=False)
        if cte == 'base64' and isinstance(raw, str):
            first = next((line.rstrip(' \t\r') for line in raw.split('\n') if line.strip()), '')
            foreign = len(re.findall(r'[^A-Za-z0-9+/=]', first))
            if re.search(r'[ \t]', first) or (first and foreign * 4 >= len(first)):
                # Plainly not base64 (a blank or much punctuation in its first line): as written.
                data = raw.encode('ascii', 'surrogateescape')
                return data[:-1] if data.endswith(b'\r') else data
        if cte == 'base64' and any(isinstance(d, (email.errors.InvalidBase64PaddingDefect,
                                                  email.errors.InvalidBase64CharactersDefect,
                                                  email.errors.InvalidBase64LengthDefect))
                                   for d in part.defects):
            # Base64 Python could not decode at all: skip what is not base64, decode the rest.
            raw = part.get_payload(decode=False)
            clean = re.sub(r'[^A-Za-z0-9+/]', '', raw) if isinstance(raw, str) else ''
            if clean and len(payload) > len(clean) * 3 // 4 + 3:  # Python kept the text
                tail = len(clean) % 4
                clean = clean[:len(clean) - 1] if tail == 1 else clean
                payload = base64.b64decode(clean + '=' * (-len(clean) % 4))
        return payload

    def text(self, part, is_html):
        data = self.part_bytes(part)
        charset = part.get_param('charset') or ''
        if isinstance(charset, tuple):
            charset = charset[2]
        if not charset and is_html:
            m = re.search(rb'<meta[^>]*charset=["\']?([^"\'; />\t\r\n]*)', data[:8192], re.I)
            charset = m.group(1).decode('ascii', 'replace') if m else ''
        text = decode_text(data, charset)
        if not is_html and (part.get_param('format') or '').lower() == 'flowed':
            text = unflow(text, (part.get_param('delsp') or '').lower() == 'yes')
        return text

    def has_name(self, part):
        return bool(part.get_param('filename', header='content-disposition') or part.get_param('name'))

    def is_attachment(self, part):
        return part.get_content_disposition() == 'attachment'

    def walk(self, part, path, depth, top_single):
        ctype = part.get_content_type()
        if depth > MAX_MULTIPART_DEPTH:
            self.attachments.append({'name': self.generated('message/rfc822'), 'data': None})
            return
        if ctype in ('message/rfc822', 'message/global') and (
                part.get('Content-Transfer-Encoding') or '').strip().lower() in (
                'base64', 'quoted-printable', 'x-uuencode', 'uuencode'):
            self.add_encoded_message(part)
        elif ctype in ('message/rfc822', 'message/global') and part.is_multipart():
            self.add_embedded(part)
        elif ctype.startswith('multipart/') and not part.is_multipart():
            self.recover_boundaryless(part, path, depth)
        elif part.is_multipart() and not ctype.startswith('message/'):
            self.walk_multipart(part, path, depth)
        else:
            # Text marked inline is the body even with a name, unless a body came before it.
            inline_body = not self.has_name(part) or (
                part.get_content_disposition() == 'inline' and not self.segments)
            body = ctype in ('text/plain', 'text/html') and not self.is_attachment(part) and (
                top_single or inline_body)
            if body and not (part.get('X-Apple-Content-Length') and not self.part_bytes(part)):
                if ctype == 'text/html':
                    self.segments.append({'html': self.text(part, True)})
                else:
                    self.segments.append({'plain': take_uuencoded(self.text(part, False), self)})
            else:
                self.add_part(part, path)

    def recover_boundaryless(self, part, path, depth):
        text = part.get_payload()
        if isinstance(text, list):
            return
        if not isinstance(text, str):
            text = str(text)
        m = re.search(r'(?:^|\n)--([^\r\n]*)', text)
        boundary = m.group(1).strip() if m else ''
        if boundary and len(boundary) < 200 and '"' not in boundary and ('--' + boundary + '--') in text:
            raw = ('Content-Type: multipart/mixed; boundary="%s"\n\n' % boundary + text)
            inner = BytesParser(policy=policy.default).parsebytes(raw.encode('utf-8', 'surrogateescape'))
            if inner.is_multipart() and self.children(inner):
                self.walk(inner, path, depth + 1, False)
                return
        if text.strip():
            self.segments.append({'plain': ensure_text(text)})

    def add_encoded_message(self, part):
        data = self.part_bytes(part)
        if part.is_multipart():
            cte = (part.get('Content-Transfer-Encoding') or '').strip().lower()
            try:
                data = base64.b64decode(re.sub(rb'[^A-Za-z0-9+/=]', b'', data) + b'==') \
                    if cte == 'base64' else quopri.decodestring(data)
            except (binascii.Error, ValueError):
                data = b''
        if self.depth + 1 >= MAX_MESSAGE_DEPTH or not data:
            self.attachments.append({'name': None, 'data': None})
            return
        inner = BytesParser(policy=policy.default).parsebytes(data)
        subject = clean_subject(header_text(inner, 'subject'))
        self.attachments.append({'embedded': subject or 'Untitled'})

    def children(self, part):
        return [p for p in part.get_payload() if isinstance(p, email.message.Message)]

    def walk_multipart(self, part, path, depth):
        sub = part.get_content_type()
        kids = self.children(part)
        child = lambda i: (path + '.' if path else '') + str(i + 1)
        if sub == 'multipart/alternative':
            plain_i = html_i = -1
            for i, k in enumerate(kids):
                t = k.get_content_type()
                if k.is_multipart() and not t.startswith('message/'):
                    html_i = i
                elif t == 'text/plain' and not self.is_attachment(k):
                    plain_i = i
                elif t == 'text/html' and not self.is_attachment(k):
                    html_i = i
            seg = {}
            for i, k in enumerate(kids):
                t = k.get_content_type()
                if i == plain_i:
                    seg['plain'] = take_uuencoded(self.text(k, False), self)
                elif i == html_i and not k.is_multipart():
                    seg['html'] = self.text(k, True)
                elif i == html_i:
                    inner = Walk(self.partial_root, self.depth)
                    inner.counter = self.counter
                    inner.walk(k, child(i), depth + 1, False)
                    self.counter = inner.counter
                    self.attachments.extend(inner.attachments)
                    merged = merge(inner.segments)
                    if 'html' in merged:
                        seg['html'] = merged['html']
                    elif 'plain' in merged and 'plain' not in seg:
                        seg['plain'] = merged['plain']
                elif t in ('text/plain', 'text/html', 'text/enriched', 'text/richtext',
                           'text/watch-html', 'text/x-amp-html'):
                    continue
                elif not k.is_multipart() or t.startswith('message/'):
                    self.walk(k, child(i), depth + 1, False)
            if seg:
                self.segments.append(seg)
        elif sub == 'multipart/related':
            start = (part.get_param('start') or '').strip()
            if start.startswith('<') and start.endswith('>'):
                start = start[1:-1]
            root = 0
            if start:
                for i, k in enumerate(kids):
                    if (k.get('Content-ID') or '').strip().strip('<>') == start:
                        root = i
            if kids:
                self.walk(kids[root], child(root), depth + 1, True)
            for i, k in enumerate(kids):
                if i == root:
                    continue
                if not k.is_multipart():
                    self.add_part(k, child(i))
                else:
                    self.walk(k, child(i), depth + 1, False)
        elif sub == 'multipart/appledouble':
            for i, k in enumerate(kids):
                if k.get_content_type() == 'application/applefile':
                    continue
                if not k.is_multipart():
                    self.add_part(k, child(i))
                else:
                    self.walk(k, child(i), depth + 1, False)
        elif sub == 'multipart/encrypted':
            for i, k in enumerate(kids):
                self.add_part(k, child(i))
        else:
            for i, k in enumerate(kids):
                self.walk(k, child(i), depth + 1, False)

    def name_of(self, part, ctype):
        name = ensure_text(str(part.get_filename() or ''))
        if '\ufffd' in name or not name:
            # Raw 8-bit name: read the bytes as written, like a header.
            for key, raw in part.raw_items():
                m = re.search(r'(?:file)?name\s*=\s*"?([^";\r\n]*)', raw, re.I)
                if key.lower() in ('content-disposition', 'content-type') and m and m.group(1).strip():
                    # Also a name the package drops, such as an unquoted encoded word.
                    data = m.group(1).strip().encode('ascii', 'surrogateescape')
                    text = strict(data, 'utf-8')
                    name = text if text is not None else decode_text(data, '')
                    break
        if '=?' in name:
            try:
                name = str(email.header.make_header(email.header.decode_header(name)))
            except Exception:  # noqa: BLE001 - keep the name as written
                pass
        name = sanitize_name(name.rstrip('\ufffd'))
        if not name:
            if ctype in ('text/calendar', 'application/ics'):
                return 'invite.ics'
            if ctype == 'message/delivery-status':
                return 'delivery-status.txt'
            if ctype == 'message/disposition-notification':
                return 'disposition-notification.txt'
            name = self.generated(ctype)
        return name

    def add_part(self, part, path):
        ctype = part.get_content_type()
        if ctype == 'application/ics':
            ctype = 'text/calendar'
        data = self.part_bytes(part)
        named = self.has_name(part)
        name = self.name_of(part, ctype)
        if not data and part.get('X-Apple-Content-Length'):
            stored = None
            if self.partial_root:
                folder = os.path.join(self.partial_root, path)
                if os.path.isdir(folder) and not os.path.islink(folder):
                    files = sorted(f for f in os.listdir(folder)
                                   if os.path.isfile(os.path.join(folder, f)))
                    if files:
                        stored = files[0]
                        with open(os.path.join(folder, files[0]), 'rb') as f:
                            data = f.read()
            if stored and not named and sanitize_name(stored):
                name = sanitize_name(stored)
        loose = part.is_multipart()  # re-serialised by Python: compare without whitespace
        self.attachments.append({'name': name, 'data': data, 'loose': loose,
                                 'cid': (part.get('Content-ID') or '').strip().strip('<>'),
                                 'type': ctype})

    def add_embedded(self, part):
        inner = part.get_payload()[0]
        if not inner.keys() and not inner.get_payload():
            self.attachments.append({'name': self.generated('message/rfc822'), 'data': b''})
            return
        if self.depth + 1 >= MAX_MESSAGE_DEPTH:
            self.attachments.append({'name': None, 'data': None})
            return
        subject = clean_subject(header_text(inner, 'subject'))
        self.attachments.append({'embedded': subject or 'Untitled'})


def take_uuencoded(text, walk):
    """Uuencoded files inside a plain body become attachments when every line decodes."""
    if 'begin ' not in text:
        return text
    lines = text.split('\n')
    out = []
    i = 0
    while i < len(lines):
        line = lines[i].rstrip('\r')
        m = re.fullmatch(r'begin [0-7]{3,4} (.+)', line)
        if m and m.group(1).strip():
            data = b''
            j = i + 1
            ok = True
            while j < len(lines) and lines[j].rstrip('\r') != 'end':
                chunk = lines[j].rstrip('\r')
                try:
                    if not chunk or any(ord(c) < 32 or ord(c) > 96 for c in chunk):
                        raise ValueError(chunk)
                    n = (ord(chunk[0]) - 32) & 63
                    need = 1 + (n + 2) // 3 * 4
                    if len(chunk) < need or chunk[need:].strip(' `'):
                        raise ValueError(chunk)
                    data += binascii.a2b_uu(chunk[:need])[:n]
                except (binascii.Error, ValueError):
                    ok = False
                    break
                j += 1
            if ok and j < len(lines) and j > i + 1:
                walk.attachments.append({'name': sanitize_name(m.group(1).strip()) or
                                         walk.generated('application/octet-stream'),
                                         'data': data, 'cid': '', 'type': 'application/octet-stream'})
                i = j + 1
                continue
        out.append(lines[i])
        i += 1
    return '\n'.join(out)


def unflow(text, delsp):
    out = []
    para = None
    depth_of = None
    lines = text.split('\n')
    for line in lines:
        if line.endswith('\r'):
            line = line[:-1]
        depth = len(line) - len(line.lstrip('>'))
        line = line[depth:]
        if line.startswith(' '):
            line = line[1:]
        soft = line.endswith(' ') and line != '-- '
        if para is not None and depth != depth_of:
            out.append(para)
            para = None
        content = line[:-1] if soft and delsp else line
        para = (para if para is not None else ('>' * depth + (' ' if depth else ''))) + content
        depth_of = depth
        if not soft:
            out.append(para)
            para = None
    if para is not None:
        out.append(para)
    return '\n'.join(out)


def merge(segments):
    if len(segments) == 1:
        return segments[0]
    if not segments:
        return {}
    merged = {}
    if any('html' in s for s in segments):
        merged['html'] = ' '.join(s['html'] if 'html' in s else s['plain'] for s in segments)
        merged['html_pieces'] = segments
    merged['plain'] = '\n\n'.join(s['plain'] if 'plain' in s else visible_text(s['html'])
                                  for s in segments)
    return merged


def charset_hint(msg):
    for part in msg.walk():
        if part.get_content_maintype() != 'text' or part.is_multipart():
            continue
        charset = (part.get_param('charset') or '')
        if isinstance(charset, tuple):
            charset = charset[2] or ''
        charset = charset.strip().lower()
        if charset and charset not in ('us-ascii', 'ascii', 'utf-8') and not charset.startswith(
                'utf-16') and not re.search('["\' ]', charset):
            return charset
    return ''


def header_text(msg, name):
    value = msg.get(name)
    if value is None:
        return None
    text = str(value)
    if '\ufffd' not in text and not re.search('[\udc80-\udcff]', text):
        return text
    # Raw 8-bit text: read it the way a person would, in UTF-8 or the body's charset.
    for key, raw in msg.raw_items():
        if key.lower() == name:
            data = re.sub(rb'\r?\n', b'', raw.encode('ascii', 'surrogateescape'))
            text = strict(data, 'utf-8')
            if text is None:
                text = decode_text(data, charset_hint(msg))
            try:
                return str(email.header.make_header(email.header.decode_header(text)))
            except Exception:  # noqa: BLE001 - keep the text as read
                return text
    return text


_WORD = r'=\?[^?\s]+\?[bBqQ]\?[^?\s]*\?='
ENCODED_WORD = re.compile(_WORD + r'(?:\s*' + _WORD + ')*')  # blanks between words are no text


def clean_subject(subject):
    if subject is None:
        return None
    # An encoded word the package left as written is one it could not decode (a charset it
    # does not know, or bytes that are not in the charset): it matches whatever it stands for.
    subject = ENCODED_WORD.sub('\ufffd', subject)
    return ''.join(' ' if ord(c) < 0x20 or ord(c) == 0x7f else c for c in subject).strip()


def first_address(msg, names):
    for name in names:
        for value in msg.get_all(name) or []:
            try:
                addresses = value.addresses
            except AttributeError:
                continue
            for a in addresses:
                if a.addr_spec and '@' in a.addr_spec:
                    return ensure_text(a.display_name or ''), ensure_text(a.addr_spec)
                if a.display_name or a.addr_spec:
                    name = ensure_text(a.display_name or a.addr_spec).strip()
                    if len(name) > 1 and name[0] == name[-1] == '"':
                        name = name[1:-1]
                    return name, ''
    return None


def address_list(msg, name):
    out = []
    for value in msg.get_all(name) or []:
        try:
            addresses = value.addresses
        except AttributeError:
            continue
        for a in addresses:
            address = ensure_text(a.addr_spec or '')
            out.append(address.lower() if '@' in address else '')
    return out


def submit_time(msg):
    for value in msg.get_all('date') or []:
        try:
            dt = email.utils.parsedate_to_datetime(str(value))
        except (TypeError, ValueError, IndexError, OverflowError):
            continue
        if dt is None:
            continue
        if dt.tzinfo is None:
            dt = dt.replace(tzinfo=datetime.timezone.utc)
        t = int(dt.timestamp())
        if EARLIEST <= t <= NOW + 86400:
            return t
    return None


def signed_entity(raw):
    end = re.search(rb'\r?\n\r?\n', raw)
    head, body = (raw[:end.start() + 1], raw[end.end():]) if end else (raw, b'')
    kept = []
    keep = False
    for line in re.split(rb'(?<=\n)', head):
        if line and line[:1] not in (b' ', b'\t'):
            lower = line.lower()
            keep = lower.startswith(b'content-type:') or lower.startswith(b'content-transfer-encoding:')
        if keep:
            kept.append(line)
    crlf = lambda b: re.sub(rb'\r\n|\r|\n', b'\r\n', b)
    entity = crlf(b''.join(kept))
    if not entity.endswith(b'\r\n'):
        entity += b'\r\n'
    return entity + b'\r\n' + crlf(body)


# The package's header parser (policy.default) ends an unquoted boundary at its first "=",
# which Outlook Express writes into every boundary ("----=_NextPart_..."), and then finds no
# part at all; its older parser, and every mail reader, take the whole token. Quoting such a
# boundary in the header blocks gives the package the reading its own older parser makes.
UNQUOTED_BOUNDARY = re.compile(rb'(?i)^((?:content-type:|[ \t])[^\r\n]*?boundary\s*=\s*)([^"\s;][^\s;]*=[^\s;]*)')


def quote_boundaries(raw):
    lines = raw.splitlines(keepends=True)
    in_headers = True  # the message's header block, or one after a line that may be a boundary
    for i, line in enumerate(lines):
        if in_headers and not line.strip():
            in_headers = False
        elif in_headers:
            lines[i] = UNQUOTED_BOUNDARY.sub(rb'\1"\2"', line)
        elif line.startswith(b'--'):
            in_headers = True
    return b''.join(lines)


def expected(path):
    """What the product rules give for one file, from Python's own parse."""
    with open(path, 'rb') as f:
        raw = frame(f.read())
    if not raw.strip() or not looks_like_message(raw):
        return None
    msg = BytesParser(policy=policy.default).parsebytes(quote_boundaries(raw))
    name = os.path.basename(path)
    number = name.split('.')[0]
    mailbox = os.path.dirname(os.path.dirname(path))
    walk = Walk(os.path.join(mailbox, 'Attachments', number) if number and mailbox else None, 0)
    ctype = msg.get_content_type()
    protocol = (msg.get_param('protocol') or '').lower()
    if ctype == 'multipart/signed' and protocol in ('application/pkcs7-signature',
                                                   'application/x-pkcs7-signature'):
        kids = walk.children(msg)
        if kids:
            walk.walk(kids[0], '1', 1, True)
        walk.attachments = [{'name': 'smime.p7m', 'data': signed_entity(raw)}]
    elif ctype in ('application/pkcs7-mime', 'application/x-pkcs7-mime') or (
            ctype == 'application/octet-stream' and not msg.is_multipart() and
            (msg.get_filename() or '').lower().endswith('.p7m')):
        walk.attachments = [{'name': 'smime.p7m', 'data': walk.part_bytes(msg)}]
    else:
        single = not msg.is_multipart() or ctype.startswith('message/')
        walk.walk(msg, '1' if single else '', 0, single)
    body = merge(walk.segments)
    html_text = None
    if 'html' in body:
        if 'html_pieces' in body:
            html_text = collapse(' '.join(visible_text(s['html']) if 'html' in s else s['plain']
                                          for s in body['html_pieces']))
        else:
            html_text = visible_text(body['html'])
    frm = first_address(msg, ['from', 'sender', 'return-path'])
    return {
        'subject': clean_subject(header_text(msg, 'subject')),
        'from': frm,
        'to': address_list(msg, 'to'),
        'cc': address_list(msg, 'cc'),
        'submit_time': submit_time(msg),
        'plain': collapse(body['plain'].split('\0')[0]) if 'plain' in body else None,
        'html': html_text,
        'attachments': walk.attachments,
    }


# ---------------------------------------------------------------------------------------------
# Comparison.

def attachment_key(a):
    if 'embedded' in a:
        return ('message', a['embedded'])
    if a.get('data') is None:
        return ('raw', a.get('name'))
    if a.get('loose'):
        data = re.sub(rb'[ \t\r\n]', b'', a['data'])
        return (a['name'], 'loose', hashlib.sha256(data).hexdigest())
    return (a['name'], len(a['data']), hashlib.sha256(a['data']).hexdigest())


def actual_attachment_key(a, loose_names):
    if a['method'] == 5:
        return ('message', a['display'])
    if a['name'] in loose_names:
        return (a['name'], 'loose', a['norm'])
    return (a['name'], a['size'], a['sha256'])


def compare(exp, got, fields):
    m = got['message']
    result = {}
    if exp is None:
        # No headers: the importer keeps the text; only presence is checked.
        return {}
    result['subject'] = (text_agrees(collapse(exp['subject'] or ''), collapse(m['subject'] or '')),
                         '%r vs %r' % (exp['subject'], m['subject']))
    if exp['from'] is not None:
        name, addr = exp['from']
        got_addr = (m['from_email'] or '').lower()
        ok = addr.lower() == got_addr and (text_agrees(collapse(name or addr), collapse(m['from_name'] or ''))
                                           or not name or '\ufffd' in name)
        result['sender'] = (ok, '%r vs %r' % ((name, addr), (m['from_name'], m['from_email'])))
    else:
        result['sender'] = (m['from_email'] is None, 'none vs %r' % m['from_email'])
    for field, rtype in (('to', 1), ('cc', 2)):
        mine = [r['email'].lower() for r in m['recipients'] if r['type'] == rtype]
        result[field] = (list_agrees(exp[field], mine), '%r vs %r' % (exp[field], mine))
    if exp['submit_time'] is not None:
        result['submit_time'] = (exp['submit_time'] == m['submit_time'],
                                 '%r vs %r' % (exp['submit_time'], m['submit_time']))
    mine_plain = collapse((m['body'] or '').split('\0')[0])
    if exp['plain'] is not None:
        # Whitespace is removed, not only collapsed: two HTML renderers disagree on blanks
        # around tags ("Service</a>." vs "Service ."), and that is not a content difference.
        result['plain_body'] = (text_agrees(re.sub(r'\s', '', exp['plain']), re.sub(r'\s', '', mine_plain)),
                                'expected %r... got %r...' % (exp['plain'][:80], mine_plain[:80]))
    result['html_presence'] = ((exp['html'] is not None) == (m['html'] is not None),
                               '%s vs %s' % (exp['html'] is not None, m['html'] is not None))
    if exp['html'] is not None and m['html'] is not None:
        mine_html = visible_text(m['html'])
        result['html_text'] = (text_agrees(exp['html'], mine_html),
                               'expected %r... got %r...' % (exp['html'][:80], mine_html[:80]))
    exp_keys = sorted(map(attachment_key, exp['attachments']), key=repr)
    loose_names = {a['name'] for a in exp['attachments'] if a.get('loose')}
    got_keys = sorted((actual_attachment_key(a, loose_names) for a in m['attachments']), key=repr)
    has_raw = any(k[0] == 'raw' for k in exp_keys)
    exp_names = sorted(k[1] if k[0] == 'message' else k[0] for k in exp_keys if k[0] != 'raw')
    got_names = sorted(k[1] if k[0] == 'message' else k[0] for k in got_keys)
    result['attachment_names'] = (has_raw or list_agrees(exp_names, got_names),
                                  '%r vs %r' % (exp_names, got_names))
    exp_data = sorted(((str(k[1]), k[2]) for k in exp_keys if k[0] not in ('message', 'raw')), key=repr)
    got_data = sorted(((str(k[1]), k[2]) for k in got_keys if k[0] != 'message'), key=repr)
    if has_raw:
        exp_data = got_data
    result['attachment_sizes'] = ([s for s, _ in exp_data] == [s for s, _ in got_data],
                                  '%r vs %r' % ([s for s, _ in exp_data], [s for s, _ in got_data]))
    result['attachment_sha256'] = (exp_data == got_data, '')
    return result


# ---------------------------------------------------------------------------------------------
# Through a real store: wharfline-convert writes the files into a .pst, pypff reads it back.

FILETIME_UNIX_EPOCH = 116444736000000000
STORE_TOP = 'Top of Personal Folders'


def store_folder(path):
    """The store folder a converted file lands in: its source folder, one level per name."""
    return tuple(p for p in os.path.dirname(os.path.abspath(path)).split(os.sep) if p)


def convert(tool, files, out_dir):
    """Runs the converter over files (named one by one); returns (store path, failure text)."""
    proc = subprocess.run([tool, '--quiet', '--output', out_dir] + files,
                          capture_output=True, text=True, check=False)
    lines = [line for line in proc.stdout.split('\n') if line.strip()]
    store = lines[-1] if lines else ''
    if proc.returncode not in (0, 1) or not os.path.isfile(store):
        return None, 'wharfline-convert exited with %d: %s' % (proc.returncode,
                                                               (proc.stderr or proc.stdout)[-2000:])
    return store, proc.stdout if proc.returncode else ''


def entries_of(item):
    out = {}
    for rs in item.record_sets:
        for e in rs.entries:
            out.setdefault(e.entry_type, e)
    return out


def entry_text(entries, tag):
    """A string property decoded here from its stored bytes: this pypff's own conversion turns
    UTF-16 surrogate pairs (emoji and other characters beyond the BMP) into wrong characters."""
    e = entries.get(tag)
    if e is None or e.data is None:
        return None
    if e.value_type == 0x001F:
        return e.data.decode('utf-16-le', 'replace').rstrip('\0')
    return e.data_as_string


def codec_of(cpid):
    if cpid in (None, 65001, 1200):
        return 'utf-8'
    try:
        return codecs.lookup('cp%d' % cpid).name
    except LookupError:
        return 'utf-8'


def read_pypff_message(msg):
    """One stored message in the shape of the dump tool's JSON, read through pypff."""
    e = entries_of(msg)
    body = entry_text(e, 0x1000)
    html = msg.html_body
    if html is not None:
        cpid = e[0x3FDE].data_as_integer if 0x3FDE in e else None
        html = html.decode(codec_of(cpid), 'replace')
    ticks = msg.get_client_submit_time_as_integer() if 0x0039 in e else None
    out = {
        'subject': entry_text(e, 0x0037),
        # From is the sent-representing pair (what Outlook shows as From); the sender pair
        # holds the Sender header (a list owner, a bounce address) when there is one.
        'from_name': entry_text(e, 0x0042),
        'from_email': entry_text(e, 0x0065),
        'sender_name': entry_text(e, 0x0C1A),
        'sender_email': entry_text(e, 0x0C1F),
        'display_to': entry_text(e, 0x0E04),
        'display_cc': entry_text(e, 0x0E03),
        'message_id': entry_text(e, 0x1035),
        'submit_time': (ticks - FILETIME_UNIX_EPOCH) // 10000000 if ticks else None,
        'body': body.rstrip('\0') if body is not None else None,
        'html': html.rstrip('\0') if html is not None else None,
        'recipients': None,
        'attachments': [],
    }
    # Where pypff's own accessors read the stored text differently (reported, not failed).
    own_body = msg.plain_text_body
    own_body = own_body.decode('utf-8', 'replace').rstrip('\0') if own_body is not None else None
    out['accessor_quirks'] = [
        '%s (%s): %r' % (name, tag, mine[:60]) for name, tag, mine, theirs in (
            ('subject', '0x0037001F', out['subject'], msg.subject),
            ('sender_name', '0x0C1A001F', out['sender_name'], msg.sender_name),
            ('plain_text_body', '0x1000001F', out['body'], own_body))
        if (mine or '') != (theirs or '')]
    for i in range(msg.number_of_attachments):
        att = msg.get_attachment(i)
        a = entries_of(att)
        method = a[0x3705].data_as_integer if 0x3705 in a else None
        data = b''
        if method != 5:
            size = att.get_size()
            data = att.read_buffer(size) if size else b''
        out['attachments'].append({
            'name': entry_text(a, 0x3707), 'display': entry_text(a, 0x3001), 'method': method,
            'size': len(data), 'sha256': hashlib.sha256(data).hexdigest(),
            'norm': hashlib.sha256(re.sub(rb'[ \t\r\n]', b'', data)).hexdigest()})
    return out


def read_store_pypff(store):
    """Store folder path -> the messages in it, in the order pypff lists them."""
    check_store(store)
    import pypff
    f = pypff.file()
    f.open(store)
    root = f.root_folder
    tops = [root.get_sub_folder(i) for i in range(root.number_of_sub_folders)]
    folders = {}

    def walk(folder, path):
        if folder.number_of_sub_messages:
            folders[path] = [read_pypff_message(folder.get_sub_message(j))
                             for j in range(folder.number_of_sub_messages)]
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, path + (sub.name,))

    for top in tops:
        if top.name == STORE_TOP:
            walk(top, ())
    f.close()
    return folders


def read_store_pst_extractor(store, node_modules):
    """pst-extractor's view: store folder path -> messages (with the recipient table)."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'pst',
                          'read_with_pst_extractor.js')
    env = dict(os.environ, NODE_PATH=node_modules)
    proc = subprocess.run(['node', script, store], capture_output=True, text=True, env=env,
                          check=False)
    if proc.returncode != 0:
        return None, 'pst-extractor failed with %d: %s' % (proc.returncode, proc.stderr[-1000:])
    folders = {}
    for m in json.loads(proc.stdout)['messages']:
        folders.setdefault(tuple(m['folder']), []).append(m['message'])
    return folders, ''


def read_store_readpst(store, tmp):
    """readpst's view: store folder path -> number of messages it exported there."""
    out = os.path.join(tmp, 'readpst')
    os.mkdir(out)
    # One job: readpst's parallel mode can skip items in a race of its own.
    proc = subprocess.run(['readpst', '-D', '-j', '0', '-S', '-o', out, store],
                          capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        return None, 'readpst failed with %d: %s' % (proc.returncode, proc.stderr[-1000:])
    counts = {}
    for folder, _, names in os.walk(out):
        n = sum(1 for name in names if name.isdigit())
        if n:
            # The first level is the store's display name; the rest is the folder path.
            counts[tuple(os.path.relpath(folder, out).split(os.sep)[1:])] = n
    return counts, ''


def readers_differ(js, mine):
    """The fields where pst-extractor's reading of a message differs from pypff's."""
    submit = js['submit_time'] // 1000 if js['submit_time'] is not None else None
    pairs = (('subject', js['subject'], mine['subject']),
             ('sender name', js['sender_name'], mine['sender_name']),
             ('sender address', js['sender_email'], mine['sender_email']),
             ('submit time', submit, mine['submit_time']),
             ('plain body', js['body'], mine['body']), ('HTML body', js['html'], mine['html']),
             ('attachment count', len(js['attachments']), len(mine['attachments'])))
    return [name for name, a, b in pairs if (a or '') != (b or '')]


def source_keys(path):
    """Message-ID and subject of a source file, as Python reads them (None when unreadable)."""
    try:
        with open(path, 'rb') as f:
            msg = BytesParser(policy=policy.default).parsebytes(frame(f.read()))
        return ((msg.get('message-id') or '').strip(),
                collapse(clean_subject(header_text(msg, 'subject')) or ''))
    except Exception:  # noqa: BLE001 - an unparsable file cannot be recognised
        return None


def pair_folder(paths, stored):
    """Pairs the files of one folder with the stored messages. The converter keeps the order it
    was given, so with every file there the pairing is by position; with some missing, the
    stored messages are a subsequence of the files, aligned on Message-ID or subject."""
    if len(paths) == len(stored):
        return dict(zip(paths, stored))

    def same(path, m):
        keys = source_keys(path)
        return keys is not None and ((keys[0] and keys[0] == m['message_id']) or
                                     (keys[1] == collapse(m['subject'] or '')))

    out = {}
    k = 0
    for i, path in enumerate(paths):
        if k >= len(stored):
            break
        if same(path, stored[k]) or not (i + 1 < len(paths) and same(paths[i + 1], stored[k])):
            out[path] = stored[k]
            k += 1
    return out


def through_store(args, files, tmp):
    """Converts the files into a store and reads it back; returns (results by file, notes,
    reader checks). Results have the dump tool's shape so that one comparison serves both."""
    store, failure = convert(args.convert, files, tmp)
    if store is None:
        return None, [failure], []
    notes = [failure] if failure else []
    pypff_folders = read_store_pypff(store)
    js_folders, js_error = read_store_pst_extractor(store, args.node_modules)
    rp_counts, rp_error = read_store_readpst(store, tmp)
    by_folder = {}
    for path in files:
        by_folder.setdefault(store_folder(path), []).append(path)
    results = {}
    checks = []  # (check, ok, detail)
    quirks = []
    for folder, paths in by_folder.items():
        stored = pypff_folders.get(folder, [])
        pairs = pair_folder(paths, stored)
        js = (js_folders or {}).get(folder, [])
        for i, path in enumerate(paths):
            m = pairs.get(path)
            if m is None:
                results[path] = {'ok': False, 'error': 'not in the store'}
                continue
            # The recipient table is read with pst-extractor (this pypff has no accessor for it);
            # its contents table lists the folder in the same order.
            j = next(i for i, x in enumerate(stored) if x is m)
            if j < len(js) and (js[j]['subject'] or '') == (m['subject'] or ''):
                m['recipients'] = [{'type': r['type'], 'email': r['email']} for r in js[j]['recipients']]
            keys = source_keys(path)
            ids = [x.strip().strip('<>') for x in ((keys[0] if keys else ''), m['message_id'] or '')]
            # Message-IDs are normalised by the importer ("<" and ">" added, odd ids cut
            # differently), so only one that is not a prefix of the other means a wrong pairing.
            checks.append(('paired_by_message_id', not all(ids) or ids[0].startswith(ids[1])
                           or ids[1].startswith(ids[0]),
                           '%s paired with a stored message of another Message-ID: %r vs %r'
                           % (os.path.basename(path), ids[0], ids[1])))
            checks.append(('recipient_table', m['recipients'] is not None,
                           '%s: pst-extractor\'s message at this position is another one'
                           % os.path.basename(path)))
            results[path] = {'ok': True, 'message': m}
            for quirk in m['accessor_quirks']:
                quirks.append('%s: %s' % (os.path.basename(path), quirk))
        name = '\\'.join(folder)
        checks.append(('pypff_folders', len(stored) == len(paths),
                       '%s: %d files, pypff sees %d' % (name, len(paths), len(stored))))
        if js_folders is not None:
            checks.append(('pst_extractor_folders', len(js) == len(paths),
                           '%s: %d files, pst-extractor sees %d' % (name, len(paths), len(js))))
            for k, (a, b) in enumerate(zip(js, stored)):
                differ = readers_differ(a, b)
                checks.append(('pst_extractor_agrees', not differ,
                               '%s: pst-extractor and pypff differ in %s'
                               % (os.path.basename(paths[k]), ', '.join(differ))))
        if rp_counts is not None:
            got = rp_counts.get(folder, 0)
            checks.append(('readpst_folders', got == len(paths),
                           '%s: %d files, readpst exported %d' % (name, len(paths), got)))
    extra = set(pypff_folders) - set(by_folder)
    checks.append(('pypff_folders', not extra, 'folders with no source: %r' % sorted(extra)))
    for error in (js_error, rp_error):
        if error:
            checks.append(('reader', False, error))
    if quirks:
        notes.append('pypff\'s own accessors read %d stored strings differently (they mangle '
                     'UTF-16 surrogate pairs and drop a leading U+FEFF); compared from the stored '
                     'bytes instead:\n  ' % len(quirks) + '\n  '.join(quirks))
    return results, notes, checks


def compare_store(exp, got, fields):
    """The in-memory comparison, plus To/Cc only when the recipient table could be read."""
    unread = got['message']['recipients'] is None
    if unread:
        got = {'message': dict(got['message'], recipients=[])}
    result = compare(exp, got, fields)
    if unread:
        result.pop('to', None)
        result.pop('cc', None)
    return result


EXPECTATIONS = {}  # file -> expected(file), shared by the in-memory and the store comparison


def score(files, results, compare_one, fields):
    agree = {f: 0 for f in fields}
    total = {f: 0 for f in fields}
    problems = []
    expectations = EXPECTATIONS
    for path in files:
        got = results.get(path)
        total['present'] += 1
        if got is None or not got['ok']:
            problems.append((path, 'present', got['error'] if got else 'no output'))
            continue
        agree['present'] += 1
        if path not in expectations:
            try:
                expectations[path] = expected(path)
            except Exception as e:  # noqa: BLE001 - Python's own parser gave up
                expectations[path] = e
        exp = expectations[path]
        if isinstance(exp, Exception):
            problems.append((path, 'python', 'email package failed: %r' % exp))
            continue
        for field, (ok, detail) in compare_one(exp, got, fields).items():
            total[field] += 1
            if ok:
                agree[field] += 1
            else:
                problems.append((path, field, detail))
    return agree, total, problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--dump', help='the dump tool: compare the importer\'s in-memory result')
    ap.add_argument('--convert', help='wharfline-convert: compare what a real store holds')
    ap.add_argument('--node-modules', default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', '..', 'node_modules'),
        help='folder holding pst-extractor (store mode)')
    ap.add_argument('--min-agreement', type=float, default=99.0, help='for each field')
    ap.add_argument('--min-overall', type=float, default=0.0, help='for all checks together')
    ap.add_argument('--verbose', action='store_true')
    ap.add_argument('folders', nargs='+')
    args = ap.parse_args()
    if not args.dump and not args.convert:
        ap.error('give --dump, --convert or both')

    files = sorted(os.path.join(root, f) for folder in args.folders
                   for root, _, names in os.walk(folder) for f in names)
    fields = ['present', 'subject', 'sender', 'to', 'cc', 'submit_time', 'plain_body',
              'html_presence', 'html_text', 'attachment_names', 'attachment_sizes',
              'attachment_sha256']
    columns = []   # (title, agree, total, problems)
    checks = []
    notes = []
    if args.dump:
        proc = subprocess.run([args.dump, '--now', str(NOW), '-'], input='\n'.join(files) + '\n',
                              capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            print('dump tool failed with', proc.returncode, proc.stderr[-2000:])
            return 1
        dumped = {}
        for line in proc.stdout.split('\n'):
            if line:
                d = json.loads(line)
                dumped[d['file']] = d
        columns.append(('in-memory',) + score(files, dumped, compare, fields))
    if args.convert:
        with tempfile.TemporaryDirectory(prefix='wharfline-corpus-') as tmp:
            stored, notes, checks = through_store(args, files, tmp)
        if stored is None:
            print('\n'.join(notes))
            return 1
        columns.append(('store',) + score(files, stored, compare_store, fields))

    failed = False
    print('%-20s' % 'field' + ''.join(' %22s' % ('%s agree/total' % c[0]) for c in columns))
    for f in fields:
        row = '%-20s' % f
        limit = 100.0 if f == 'present' else args.min_agreement
        for _, agree, total, _ in columns:
            pct = 100.0 * agree[f] / total[f] if total[f] else 100.0
            failed = failed or pct < limit
            row += ' %13s %7.2f%%' % ('%d/%d' % (agree[f], total[f]), pct)
            row += '*' if pct < limit else ''
        print(row)
    row = '%-20s' % 'all checks'
    for _, agree, total, _ in columns:
        pct = 100.0 * sum(agree.values()) / max(1, sum(total.values()))
        failed = failed or pct < args.min_overall
        row += ' %13s %7.2f%%' % ('%d/%d' % (sum(agree.values()), sum(total.values())), pct)
        row += '*' if pct < args.min_overall else ''
    print(row)
    if checks:
        print('\nStore readers:')
        for check in dict.fromkeys(c for c, _, _ in checks):
            results = [ok for c, ok, _ in checks if c == check]
            failed = failed or not all(results)
            print('  %-22s %d/%d' % (check, sum(results), len(results)))
    common = os.path.commonpath(args.folders)
    for title, _, _, problems in columns:
        print('\nDisagreements, %s (%d):' % (title, len(problems)))
        for path, field, detail in problems:
            text = detail if args.verbose else detail[:300]
            print('  %s [%s] %s' % (os.path.relpath(path, common), field, text))
    bad_checks = [(c, d) for c, ok, d in checks if not ok]
    if bad_checks:
        print('\nStore reader problems (%d):' % len(bad_checks))
        for check, detail in bad_checks:
            print('  [%s] %s' % (check, detail))
    for note in notes:
        print('\nNotes:\n' + note[-3000:])
    if failed:
        print('\nFAILED: a field below %.1f%% or all checks below %.1f%% (marked *), a missing '
              'message or a reader check' % (args.min_agreement, args.min_overall))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())

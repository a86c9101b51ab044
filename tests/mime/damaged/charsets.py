# 8-bit text in no charset or the wrong one: read in the charset it is plainly in, with a
# note that the charset was guessed. A declared charset that reads the text cleanly is kept.
def message(subject, charset, text, encoding):
    ctype = b'text/plain' + (b'; charset=' + charset.encode() if charset else b'')
    return (b'From: a@example.com\r\nTo: b@example.com\r\nSubject: ' + subject.encode() +
            b'\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\nMIME-Version: 1.0\r\n'
            b'Content-Type: ' + ctype + b'\r\nContent-Transfer-Encoding: 8bit\r\n\r\n' +
            text.encode(encoding, 'surrogateescape') + b'\r\n')


BIG5 = '今天天氣很好，我們去公園散步吧。這是一封測試郵件，請不要回覆。'
GB = '今天天气很好，我们去公园散步吧。这是一封测试邮件，请不要回复。'
SJIS = 'こんにちは、今日はいい天気ですね。テストメールです。よろしくお願いします。'
KOI8 = 'Привет, как дела? Это проверка кодировки письма, и она должна пройти.'
STRAY = 'Grüße aus Köln und München, schöne Grüße, bis bald! %s Ende'
CASES = [
    dict(name='big5-undeclared', message=message('big5', '', BIG5, 'big5'), body=BIG5,
         note='charset'),
    dict(name='gb18030-declared-utf-8', message=message('gb', 'utf-8', GB, 'gb18030'), body=GB,
         note='charset'),
    dict(name='shift-jis-undeclared', message=message('sjis', '', SJIS, 'shift_jis'), body=SJIS,
         note='charset'),
    dict(name='koi8-r-labelled-ascii', message=message('koi8', 'us-ascii', KOI8, 'koi8-r'),
         body=KOI8, note='charset'),
    dict(name='utf-8-with-a-stray-byte',
         message=message('stray', 'utf-8', STRAY % '\udce9', 'utf-8'),
         body=STRAY % '\ufffd', note='charset'),
    dict(name='utf-8-undeclared', message=message('utf8', '', 'Grüße aus Köln', 'utf-8'),
         body='Grüße aus Köln', note=None),
    dict(name='latin-1-declared', message=message('latin1', 'iso-8859-1', 'Grüße aus Köln',
                                                  'latin-1'),
         body='Grüße aus Köln', note=None),
    # Raw UTF-8 in a header with one byte cut off: still read as UTF-8, not as Latin-1.
    dict(name='header-utf-8-with-a-stray-byte',
         message=(b'From: \xd0\x9a\xd0\xb8\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbb \xd1 <a@example.com>\r\n'
                  b'To: b@example.com\r\nSubject: raw name\r\nMIME-Version: 1.0\r\n'
                  b'Content-Type: multipart/mixed; boundary="XX"\r\n\r\n'
                  b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
                  b'--XX\r\nContent-Type: text/plain\r\n'
                  b'Content-Disposition: attachment; filename="\xd0\xa4\xd0\xb0\xd0\xb9\xd0\xbb \xd1.txt"\r\n'
                  b'\r\nattached\r\n--XX--\r\n'),
         sender='Кирилл �', attachments=[('Файл �.txt', 8)]),
    # Base64 with one character over whole groups of four is no encoded word: shown as written.
    dict(name='encoded-word-not-base64',
         message=message('=?UTF-8?B?SGVsbG8gd29ybGQhx?=', 'utf-8', 'body', 'utf-8'),
         subject='=?UTF-8?B?SGVsbG8gd29ybGQhx?='),
]

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
]

# Content declared in a transfer encoding it plainly is not in is kept as the text it is.
def message(subject, encoding, content):
    return (b'From: a@example.com\r\nSubject: ' + subject + b'\r\n'
            b'Date: Tue, 1 Jul 2003 10:52:37 +0200\r\nMIME-Version: 1.0\r\n'
            b'Content-Type: text/plain; charset=utf-8\r\n'
            b'Content-Transfer-Encoding: ' + encoding + b'\r\n\r\n' + content)


CASES = [
    dict(name='base64-that-is-text',
         message=message(b'b64 text', b'base64',
                         b'Hello there, this is plain text, not base64!\r\nSecond line.\r\n'),
         body='Hello there, this is plain text, not base64! Second line.', note='base64'),
    dict(name='base64-text-attachment', subject='b64 attachment',
         message=(b'From: a@example.com\r\nSubject: b64 attachment\r\n'
                  b'Date: Tue, 1 Jul 2003 10:52:37 +0200\r\nMIME-Version: 1.0\r\n'
                  b'Content-Type: multipart/mixed; boundary="XX"\r\n\r\n'
                  b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
                  b'--XX\r\nContent-Type: text/plain; name="n.txt"\r\n'
                  b'Content-Disposition: attachment; filename="n.txt"\r\n'
                  b'Content-Transfer-Encoding: base64\r\n\r\nJust a note, kept as written.\r\n'
                  b'--XX--\r\n'),
         body='body', attachments=[('n.txt', 29)], note='base64'),
    dict(name='real-base64', message=message(b'b64', b'base64', b'SGVsbG8gdGhlcmU=\r\n'),
         body='Hello there', note=None),
    dict(name='base64-with-a-line-of-noise',
         message=message(b'b64 noise', b'base64', b'SGVsbG8gdGhlcmU=\r\n-- \r\n'),
         body='Hello there'),
    dict(name='unpadded-base64', message=message(b'b64 unpadded', b'base64', b'SGVsbG8gdGhlcmU\r\n'),
         body='Hello there', note=None),
    dict(name='quoted-printable-that-is-text',
         message=message(b'qp text', b'quoted-printable', b'1+1=2 and a=b, 50%=half\r\n'),
         body='1+1=2 and a=b, 50%=half'),
]

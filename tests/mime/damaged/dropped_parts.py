# Every leaf part that is not the body is kept as an attachment, even when empty.
H = (b'From: a@example.com\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\nMIME-Version: 1.0\r\n')
CASES = [
    dict(name='empty-named-part',
         message=H + b'Subject: e\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
         b'--XX\r\nContent-Type: application/octet-stream; name="empty.bin"\r\n'
         b'Content-Disposition: attachment; filename="empty.bin"\r\n\r\n--XX--\r\n',
         body='body', attachments=[('empty.bin', 0)]),
    dict(name='empty-part-no-blank-line',
         message=H + b'Subject: e2\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
         b'--XX\r\nContent-Type: application/pdf; name="e.pdf"\r\n--XX--\r\n',
         body='body', attachments=[('e.pdf', 0)]),
    dict(name='empty-unnamed-part',
         message=H + b'Subject: e3\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
         b'--XX\r\nContent-Type: application/pdf\r\n\r\n--XX--\r\n',
         body='body', attachments=[('ATT00001.pdf', 0)]),
    dict(name='single-part-with-a-name',
         message=H + b'Subject: s\r\nContent-Type: application/pdf; name="doc.pdf"\r\n'
         b'Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n',
         body='', attachments=[('doc.pdf', 9)]),
    dict(name='single-empty-part-with-a-name',
         message=H + b'Subject: s2\r\nContent-Type: application/pdf; name="doc.pdf"\r\n\r\n',
         body='', attachments=[('doc.pdf', 0)]),
    dict(name='name-in-escaped-quotes',
         message=H + b'Subject: q\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
         b'--XX\r\nContent-Type: application/pgp-keys; name=\\"key.asc\\"\r\n'
         b'Content-Disposition: attachment; filename=\\"key.asc\\"\r\n\r\nkey\r\n--XX--\r\n',
         body='body', attachments=[('key.asc', 3)]),
]

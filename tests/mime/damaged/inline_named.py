# Inline text parts that carry a file name are what mail readers show as the body.
H = (b'From: a@example.com\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\nMIME-Version: 1.0\r\n')
CASES = [
    dict(name='only-part-in-multipart',
         message=H + b'Subject: inl\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain; name="note.txt"\r\n'
         b'Content-Disposition: inline; filename="note.txt"\r\n\r\nthe note body\r\n--XX--\r\n',
         body='the note body', attachments=[]),
    dict(name='single-part',
         message=H + b'Subject: single inline\r\nContent-Type: text/plain; name="sig.txt"\r\n'
         b'Content-Disposition: inline; filename="sig.txt"\r\n\r\nsingle part body\r\n',
         body='single part body', attachments=[]),
    dict(name='html-named-inline',
         message=H + b'Subject: html inline\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/html; name="page.htm"\r\n'
         b'Content-Disposition: inline; filename="page.htm"\r\n\r\n<p>page body</p>\r\n--XX--\r\n',
         html='<p>page body</p>', attachments=[]),
    dict(name='after-a-body-stays-attached',
         message=H + b'Subject: second\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nthe body\r\n'
         b'--XX\r\nContent-Type: text/plain; name="note.txt"\r\n'
         b'Content-Disposition: inline; filename="note.txt"\r\n\r\nforwarded note\r\n--XX--\r\n',
         body='the body'),
    dict(name='attachment-disposition-stays-attached',
         message=H + b'Subject: att\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain; name="a.txt"\r\n'
         b'Content-Disposition: attachment; filename="a.txt"\r\n\r\nattached\r\n--XX--\r\n',
         body='', attachments=[('a.txt', 8)]),
]

# A part with two Content-Type or two Content-Transfer-Encoding headers: the first is read, as
# mail readers do, and the file says so. A repeat inside what then turns out to be body text
# stays as written.
H = (b'From: a@example.com\r\nTo: b@example.com\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\n'
     b'MIME-Version: 1.0\r\n')
ALTERNATIVE = (b'--XX\r\nContent-Type: text/plain\r\n\r\nplain body\r\n'
               b'--XX\r\nContent-Type: text/html\r\n\r\n<p>html body</p>\r\n--XX--\r\n')
CASES = [
    dict(name='multipart-first', subject='two types',
         message=H + b'Subject: two types\r\nContent-Type: multipart/alternative; boundary="XX"\r\n'
         b'Content-Type: text/plain\r\n\r\n' + ALTERNATIVE,
         body='plain body', html='<p>html body</p>', note='two Content-Type'),
    dict(name='text-first-keeps-inner-headers',
         message=H + b'Subject: text first\r\nContent-Type: text/plain\r\n'
         b'Content-Transfer-Encoding: 7bit\r\nContent-Transfer-Encoding: quoted-printable\r\n'
         b'Content-Type: multipart/mixed; boundary="XX"\r\n\r\nHello size=25\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain; name=a.txt\r\n'
         b'Content-Transfer-Encoding: base64\r\nContent-Transfer-Encoding: base64\r\n\r\n'
         b'aGVsbG8=\r\n--XX--\r\n',
         body='Hello size=25 --XX Content-Type: text/plain; name=a.txt '
              'Content-Transfer-Encoding: base64 Content-Transfer-Encoding: base64',
         html=None, attachments=[]),
    dict(name='nested-part', subject='nested',
         message=H + b'Subject: nested\r\nContent-Type: multipart/related; boundary="R"\r\n\r\n'
         b'--R\r\nContent-Type: multipart/alternative; boundary="XX"\r\n'
         b'Content-Type: text/plain; charset=UTF-8\r\n\r\n' + ALTERNATIVE + b'--R--\r\n',
         body='plain body', html='<p>html body</p>', note='the first was used'),
]

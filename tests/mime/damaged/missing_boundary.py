# Multipart messages whose closing boundary never comes: the last part runs to the end.
H = (b'From: a@example.com\r\nTo: b@example.com\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\n'
     b'MIME-Version: 1.0\r\n')
CASES = [
    dict(name='cut-after-attachment', subject='cut',
         message=H + b'Subject: cut\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nHello body\r\n'
         b'--XX\r\nContent-Type: text/plain; name=a.txt\r\n'
         b'Content-Disposition: attachment; filename=a.txt\r\n\r\nattached\r\n',
         body='Hello body', attachments=[('a.txt', 10)]),
    dict(name='cut-inside-body',
         message=H + b'Subject: cut body\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nHello body that goes on',
         body='Hello body that goes on', attachments=[]),
    dict(name='misspelled-close',
         message=H + b'Subject: miss\r\nContent-Type: multipart/alternative; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nplain body\r\n'
         b'--XX\r\nContent-Type: text/html\r\n\r\n<p>html body</p>\r\n--XY--\r\n',
         body='plain body', html='<p>html body</p>'),
    dict(name='nested-cut',
         message=H + b'Subject: nested\r\nContent-Type: multipart/mixed; boundary="OUT"\r\n\r\n'
         b'--OUT\r\nContent-Type: multipart/alternative; boundary="IN"\r\n\r\n'
         b'--IN\r\nContent-Type: text/plain\r\n\r\nplain\r\n'
         b'--IN\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n',
         body='plain', html='<p>html</p>'),
    dict(name='cut-inside-base64',
         message=H + b'Subject: cut b64\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'--XX\r\nContent-Type: text/plain\r\n\r\nbody\r\n'
         b'--XX\r\nContent-Type: application/pdf; name="e.pdf"\r\n'
         b'Content-Transfer-Encoding: base64\r\n\r\nJVBERi0x',
         body='body', attachments=[('e.pdf', 6)]),
    # The close delimiter right after the first boundary: an empty multipart, not a missing
    # boundary. The preamble is not the body.
    dict(name='no-parts-at-all',
         message=H + b'Subject: none\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'preamble\r\n--XX\r\n--XX--\r\n',
         body='', attachments=[]),
    # Only the close delimiter: the text before it is all there is.
    dict(name='close-without-opening',
         message=H + b'Subject: close\r\nContent-Type: multipart/mixed; boundary="XX"\r\n\r\n'
         b'all the text\r\n--XX--\r\nepilogue\r\n',
         body='all the text'),
]

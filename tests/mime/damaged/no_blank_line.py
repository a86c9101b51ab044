# No blank line between the headers and the body: the first line that is not a header
# begins the body.
H = b'From: a@example.com\r\nTo: b@example.com\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\n'
ALT = (b'--XX\r\nContent-Type: text/plain\r\n\r\nplain\r\n'
       b'--XX\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n--XX--\r\n')
CASES = [
    dict(name='plain', message=H + b'Subject: plain\r\nFirst body line\r\nsecond line\r\n',
         subject='plain', body='First body line second line', note='blank line'),
    dict(name='preamble', subject='preamble',
         message=H + b'Subject: preamble\r\nContent-Type: multipart/alternative; boundary="XX"\r\n'
         b'This is a preamble\r\n' + ALT, body='plain', html='<p>html</p>', note='blank line'),
    dict(name='boundary', subject='boundary',
         message=H + b'Subject: boundary\r\nContent-Type: multipart/alternative; boundary="XX"\r\n'
         + ALT, body='plain', html='<p>html</p>', note='blank line'),
    # A header wrapped without indentation, with headers after it, is still the header block.
    dict(name='wrapped-line-between-headers', subject='kept',
         message=b'Received: by x;\r\nWed, 19 Nov 2014 00:46:01 -0800\r\nSubject: kept\r\n'
         b'From: a@example.com\r\n\r\nbody\r\n', body='body'),
    # A stray line and a header line with no name, with the blank line after them: dropped, not
    # joined to the header above nor taken as the start of the body.
    dict(name='stray-lines-between-headers', subject='kept',
         message=H + b'Subject: kept\r\nstray line\r\nX-Mailer: x\r\n: no name\r\n\r\nbody\r\n',
         body='body', note=None),
]

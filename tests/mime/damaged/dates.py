# No readable Date: the last Received header's date, else Apple Mail's date, else the file's
# modification time; never the time of the import.
BODY = b'\r\nbody\r\n'
RECEIVED = (b'Received: from b by c; Wed, 2 Jul 2003 11:00:00 +0000\r\n'
            b'Received: from a by b; Wed, 2 Jul 2003 10:00:00 +0000\r\n')
PLIST = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
         b'<key>date-received</key>\n<integer>1057140000</integer>\n'
         b'<key>flags</key>\n<integer>1</integer>\n</dict>\n</plist>\n')


def emlx(message):
    return b'%d\n' % len(message) + message + PLIST


CASES = [
    dict(name='no-date-received', message=RECEIVED + b'From: a@example.com\r\nSubject: r\r\n' + BODY,
         submit_time=1057143600, note='date'),
    dict(name='unreadable-date-received',
         message=RECEIVED + b'From: a@example.com\r\nSubject: r2\r\nDate: sometime last week\r\n' + BODY,
         submit_time=1057143600, note='date'),
    dict(name='no-date-file-time', message=b'From: a@example.com\r\nSubject: m\r\n' + BODY,
         mtime=1000000000, submit_time=1000000000, note='date'),
    dict(name='no-date-apple-mail', file='1.emlx',
         message=emlx(b'From: a@example.com\r\nSubject: e\r\n' + BODY), mtime=1000000000,
         submit_time=1057140000, note='date'),
    dict(name='readable-date', message=b'From: a@example.com\r\nSubject: d\r\n'
         b'Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n' + BODY, submit_time=1057049557, note=None),
]

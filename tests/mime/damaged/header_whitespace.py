# Header blocks that begin with white space: the headers are still the headers.
T = b'To: b@example.com\r\nSubject: %s\r\nDate: Tue, 1 Jul 2003 10:52:37 +0200\r\n\r\nthe body\r\n'
CASES = [
    dict(name='indented-first-line', message=b'  From: a@example.com\r\n' + T % b'indented',
         subject='indented', body='the body', submit_time=1057049557, attachments=[],
         note='header'),
    dict(name='tab-first-line', message=b'\tFrom: a@example.com\r\n' + T % b'tab',
         subject='tab', body='the body', submit_time=1057049557, attachments=[], note='header'),
    dict(name='blank-line-first', message=b'\r\nFrom: a@example.com\r\n' + T % b'blank',
         subject='blank', body='the body', submit_time=1057049557, attachments=[]),
    dict(name='blanks-only-line-first', message=b'   \r\nFrom: a@example.com\r\n' + T % b'blanks',
         subject='blanks', body='the body', submit_time=1057049557, attachments=[]),
]

# Today's mail for the import with ModernMime, built by Python's email
# package, and the check of what a FidoNet reader sees.
#
#   modern_import.py make DIR   writes DIR/soup (AREAS and one message file
#                               per area) and DIR/cases.json
#   modern_import.py check DIR  reads the packets in DIR/in and the files
#                               beside them; prints "ok N" or one line per
#                               problem
import itertools, json, os, re, struct, sys
from email import policy
from email.message import EmailMessage
from email.parser import BytesParser
from html.parser import HTMLParser

AREAS = {  # SOUP file: (SOUP area name, FidoNet charset the area is set to)
    'MAIL': ('Email', 'utf-8'),
    'CYR': ('comp.cyr', 'cp866'),
    'LAT': ('comp.latin', 'latin-1'),
    'PC': ('comp.pc', 'cp437'),
}
SERIAL = itertools.count(1)
CHRS = {'UTF-8 4': 'utf-8', 'CP866 2': 'cp866', 'LATIN-1 2': 'latin-1', 'IBMPC 2': 'cp437'}


def base(area, subject, sender='Ann Other <ann@example.net>'):
    m = EmailMessage(policy=policy.SMTP)
    m['From'] = sender
    m['To'] = 'Joe Sysop <sysop@example.org>'
    if area != 'MAIL':
        m['Newsgroups'] = AREAS[area][0]
    m['Subject'] = subject
    m['Message-ID'] = '<%d@example.net>' % next(SERIAL)
    return m


def cases():
    out = []
    # UTF-8 in base64, an encoded-word subject longer than the FidoNet field
    m = base('MAIL', 'Grüße aus Köln – ein sehr langer Betreff mit Umlauten äöü ÄÖÜ ß und €uro',
             'Jürgen Müller-Lüdenscheidt <jm@example.de>')
    m.set_content('Hallo Joe,\nschöne Grüße – 5 € sind genug.\n\n-- \nJürgen\n',
                  charset='utf-8', cte='base64')
    out.append(('MAIL', 'utf8', m))
    # ISO-8859-1 in quoted-printable, name with a comma in an encoded word
    m = base('MAIL', 'Café crème', '=?iso-8859-1?q?M=FCller=2C_Hans?= <hm@example.de>')
    m.set_content('Déjà vu: café, crème brûlée.\nLigne deux = égal.\n',
                  charset='iso-8859-1', cte='quoted-printable')
    out.append(('MAIL', 'latin1', m))
    # windows-1252 with its own characters, declared
    m = base('LAT', 'Smart “quotes”')
    m.set_content('He said “hi” – and left.\n', charset='windows-1252', cte='8bit')
    out.append(('LAT', 'cp1252', m))
    # KOI8-R into CP866
    m = base('CYR', 'Привет из Москвы', 'Иван Петров <ivan@example.ru>')
    m.set_content('Привет, Джо!\nКак дела? Всё хорошо.\n', charset='koi8-r',
                  cte='quoted-printable')
    out.append(('CYR', 'koi8', m))
    # UTF-8 Cyrillic into CP866, long lines
    m = base('CYR', 'Длинные строки')
    m.set_content(('Съешь же ещё этих мягких французских булок, да выпей чаю. ' * 6) + '\n',
                  charset='utf-8', cte='8bit')
    out.append(('CYR', 'longline', m))
    # HTML only
    m = base('MAIL', 'Newsletter')
    m.set_content('<html><head><title>T</title><style>p {color: red}</style></head><body>'
                  '<h1>Caf&eacute; news</h1><p>First &amp; <b>bold</b> paragraph.<br>Next line'
                  '</p><ul><li>one</li><li>two</li></ul><p><a href="https://example.com/x">'
                  'Read more</a></p><script>var x = "<p>";</script></body></html>',
                  subtype='html', charset='utf-8')
    out.append(('MAIL', 'html', m))
    # nested: mixed(alternative(plain, related(html, image)), attachment with an RFC 2231 name)
    m = base('MAIL', '=?utf-8?b?TmVzdGVkIMOcYmVyc2ljaHQ=?=')
    m.set_content('Plain alternative text, é.\n')
    m.add_alternative('<p>HTML alternative <img src="cid:pic"></p>', subtype='html')
    m.get_payload()[1].add_related(b'\x89PNG\r\n\x1a\n' + bytes(range(256)), maintype='image',
                                   subtype='png', cid='<pic>')
    m.add_attachment(bytes(range(256)) * 3, maintype='application', subtype='octet-stream',
                     filename='Übersicht 2026 – März.bin')
    out.append(('MAIL', 'nested', m))
    # forwarded message
    inner = base('MAIL', 'Original ünïcode', 'Bob <bob@example.com>')
    inner['Date'] = 'Mon, 07 Dec 2026 10:00:00 +0000'
    inner['Received'] = 'from somewhere by elsewhere'
    inner.set_content('The original text, naïve.\n')
    m = base('MAIL', 'Fwd: Original')
    m.set_content('See below.\n')
    m.add_attachment(inner)
    out.append(('MAIL', 'forward', m))
    # 8-bit text and header that name no charset: the fallback charset
    raw = (b'From: x@example.com\nTo: sysop@example.org\nSubject: caf\xe9\n'
           b'Message-ID: <raw@example.com>\n\ncaf\xe9 cr\xe8me \x80\n')
    out.append(('MAIL', 'undeclared', raw))
    # UTF-8 into IBMPC, with characters IBMPC lacks
    m = base('PC', 'Naïve – “test”')
    m.set_content('Größe: 5 €, ½ Liter, Ωmega, 東京.\n', charset='utf-8', cte='8bit')
    out.append(('PC', 'ibmpc', m))
    # a news article with an attachment that is not decoded
    m = base('LAT', 'Fichier joint')
    m.set_content('Voilà le fichier.\n', charset='iso-8859-1')
    m.add_attachment(b'data' * 100, maintype='application', subtype='zip',
                     filename='données.zip')
    out.append(('LAT', 'newsfile', m))
    # HTML whose charset only its meta element names
    raw = ('From: y@example.com\nTo: sysop@example.org\nSubject: meta\nMessage-ID: <meta@x>\n'
           'MIME-Version: 1.0\nContent-Type: text/html\n\n<html><head><meta http-equiv='
           '"Content-Type" content="text/html; charset=koi8-r"></head><body><p>Привет, '
           'мир!</p></body></html>\n').encode('koi8-r')
    out.append(('CYR', 'meta', raw))
    # a bounce: the report is text, the returned message a forwarded one
    raw = (b'From: MAILER-DAEMON@example.org\nTo: sysop@example.org\nSubject: Undelivered\n'
           b'Message-ID: <bounce@x>\nMIME-Version: 1.0\nContent-Type: multipart/report; '
           b'report-type=delivery-status; boundary="b1"\n\n--b1\nContent-Type: text/plain\n\n'
           b'Your message could not be delivered.\n\n--b1\nContent-Type: message/delivery-status'
           b'\n\nReporting-MTA: dns; example.org\n\nFinal-Recipient: rfc822; x@example.com\n'
           b'Action: failed\nStatus: 5.1.1\n\n--b1\nContent-Type: message/rfc822\n\n'
           b'From: sysop@example.org\nSubject: Lost\n\nThe lost text.\n--b1--\n')
    out.append(('MAIL', 'bounce', raw))
    # multipart without a single delimiter of its boundary
    raw = (b'From: z@example.com\nTo: sysop@example.org\nSubject: broken\nMessage-ID: <nb@x>\n'
           b'MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="zz"\n\n'
           b'--other\nThe only text.\n')
    out.append(('MAIL', 'noparts', raw))
    return out


SPECIAL = {  # what Python's reading of the raw cases does not show
    'noparts': {'subject': 'broken', 'from': 'z@example.com', 'lines': ['--other',
                                                                       'The only text.']},
    'undeclared': {'subject': 'café', 'from': 'x@example.com', 'lines': ['café crème €']},
    'meta': {'subject': 'meta', 'from': 'y@example.com', 'words': ['Привет,', 'мир!']},
    'bounce': {'subject': 'Undelivered', 'from': 'MAILER-DAEMON@example.org',
               'lines': ['Your message could not be delivered.', 'Action: failed',
                         'The lost text.'],
               'headers': ['Action: failed', 'Status: 5.1.1', 'Subject: Lost']},
}


class Words(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.words, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        self.skip += tag in ('script', 'style', 'title')

    def handle_endtag(self, tag):
        self.skip -= tag in ('script', 'style', 'title')

    def handle_data(self, data):
        if not self.skip:
            self.words += data.split()


def expected(data):
    """What a reader must see of a message: subject, sender name, the text
    of its plain (or, lacking one, HTML) parts, its files."""
    msg = BytesParser(policy=policy.default).parsebytes(data)
    e = {'subject': str(msg['subject']), 'from': msg['from'].addresses[0].display_name or
         msg['from'].addresses[0].addr_spec, 'lines': [], 'words': [], 'files': {}, 'headers': []}
    body = msg.get_body(preferencelist=('plain', 'html'))
    if body is not None and body.get_content_type() == 'text/plain':
        e['lines'] = [l.rstrip() for l in body.get_content().splitlines()]
    elif body is not None:
        w = Words()
        w.feed(body.get_content())
        e['words'] = w.words
    for part in msg.iter_attachments():
        if part.get_content_type() == 'message/rfc822':
            inner = part.get_content()
            e['headers'] = ['From: ' + str(inner['from']), 'Subject: ' + str(inner['subject'])]
            e['lines'] += [l.rstrip() for l in inner.get_body().get_content().splitlines()]
        elif part.get_filename():
            e['files'][part.get_filename()] = part.get_payload(decode=True).hex()
    return e


def make(d):
    os.makedirs(os.path.join(d, 'soup'), exist_ok=True)
    files, table = {}, {}
    for area, name, m in cases():
        data = m if isinstance(m, bytes) else m.as_bytes()
        files.setdefault(area, b'')
        files[area] += struct.pack('>I', len(data)) + data
        if name in SPECIAL:
            e = {'lines': [], 'words': [], 'files': {}, 'headers': []}
            e.update(SPECIAL[name])
        else:
            e = expected(data)
        e['area'], e['charset'] = area, AREAS[area][1]
        e['id'] = BytesParser(policy=policy.default).parsebytes(data)['message-id']
        table[name] = e
    with open(os.path.join(d, 'soup', 'AREAS'), 'w') as f:
        for area in files:
            f.write('%s\t%s\t%s\n' % (area, AREAS[area][0], 'bn' if area == 'MAIL' else 'Bn'))
    for area, data in files.items():
        open(os.path.join(d, 'soup', area + '.MSG'), 'wb').write(data)
    json.dump(table, open(os.path.join(d, 'cases.json'), 'w'))


def packets(d):
    for f in sorted(os.listdir(d)):
        if not f.upper().endswith('.PKT'):
            continue
        data = open(os.path.join(d, f), 'rb').read()
        pos = 58
        while pos + 2 <= len(data) and data[pos:pos + 2] != b'\0\0':
            pos += 14
            fields = []
            for _ in range(5):
                end = data.index(b'\0', pos)
                fields.append(data[pos:end])
                pos = end + 1
            yield fields


def check(d):
    table = json.load(open(os.path.join(d, 'cases.json')))
    problems, seen = [], 0
    messages = list(packets(os.path.join(d, 'in')))
    for date, to, frm, subject, text in messages:
        lines = text.split(b'\r')
        chrs = [l[7:].decode() for l in lines if l.startswith(b'\x01CHRS: ')]
        if len(chrs) != 1 or chrs[0] not in CHRS:
            problems.append('CHRS kludge %r' % chrs)
            continue
        cs = CHRS[chrs[0]]
        try:
            shown = {k: v.decode(cs) for k, v in (('subject', subject), ('from', frm))}
            body_lines = [l.decode(cs) for l in lines]
        except UnicodeDecodeError as x:
            problems.append('bytes not in %s: %s' % (cs, x))
            continue
        # Which case: the one of the Message-ID among the kludges.
        ids = [l[13:].decode() for l in lines if l.startswith(b'\x01Message-ID: ')]
        match = [(n, e) for n, e in table.items() if [e['id']] == ids]
        if len(match) != 1:
            problems.append('no case for Message-ID %r' % ids)
            continue
        name, e = match[0]
        seen += 1
        p = lambda s: problems.append('%s: %s' % (name, s))
        if e['charset'] != cs:
            p('CHRS %s, not %s' % (cs, e['charset']))
        # Texts the FidoNet charset can hold are shown as they are.
        exact = cs == 'utf-8' or name in ('koi8', 'longline', 'latin1', 'newsfile', 'meta')
        want = e['subject'].encode(cs, 'replace')[:71].decode(cs, 'ignore')
        if exact and not e['files'] and shown['subject'] != want:
            p('subject %r, not %r' % (shown['subject'], want))
        if e['files'] and e['area'] == 'MAIL' and not any(
                l == 'Subject: ' + e['subject'] for l in body_lines):
            p('no Subject line for %r' % e['subject'])
        want_from = e['from'].encode(cs, 'replace')[:35].decode(cs, 'ignore')
        if exact and shown['from'] != want_from:
            p('from %r, not %r' % (shown['from'], want_from))
        body = [l for l in body_lines if not l.startswith('\x01') and not l.startswith('AREA:')]
        cut = next((i for i, l in enumerate(body) if re.match('---( |$)', l)), len(body))
        body = body[:cut]
        joined = '\n'.join(body)
        for bad in ('=?', '<p', '</', 'Content-Type', 'Content-Transfer', 'Received:', '--====',
                    'boundary'):
            if bad in joined:
                p('%r in the text' % bad)
        if exact:
            # Every word of the text, in order (long lines may be wrapped).
            words = ' '.join(body).split()
            i = 0
            for w in ' '.join(e['lines'] + e['words']).split():
                while i < len(words) and words[i] != w and not (e['words'] and w in words[i]):
                    i += 1
                if i == len(words):
                    p('word %r missing or out of order' % w)
                    break
                i += 1
            for line in e['lines']:
                if len(line) < 72 and line and line not in body:
                    p('line %r not kept whole' % line)
        for h in e['headers']:
            if h not in body:
                p('%r missing' % h)
        for fname, hexdata in e['files'].items():
            if e['area'] != 'MAIL':
                if not any('not imported' in l for l in body):
                    p('no note of the file %r' % fname)
                continue
            if not fname:
                continue
            path = os.path.join(d, 'in', fname.encode(cs, 'replace').decode(cs))
            if not os.path.exists(path) or open(path, 'rb').read().hex() != hexdata:
                p('file %r not as Python decodes it' % fname)
            if not any(('file ' + fname) in l for l in body):
                p('no note of the file %r' % fname)
    if seen != len(table):
        problems.append('%d of %d messages found' % (seen, len(table)))
    print('\n'.join(problems) if problems else 'ok %d' % seen)


if __name__ == '__main__':
    (make if sys.argv[1] == 'make' else check)(sys.argv[2])

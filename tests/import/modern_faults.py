# Mail that the import must not lose, one message per case, built by
# Python's email package (or written raw where the fault is the mail's
# own), and the check of what a FidoNet reader sees against what Python
# reads from the same mail.
#
#   modern_faults.py make CASE DIR   writes DIR/soup (AREAS, MAIL.MSG) and
#                                    DIR/expect.json
#   modern_faults.py check CASE DIR  reads the packets in DIR/in, the
#                                    files beside them and the run's
#                                    report in DIR/stderr.txt; prints "ok"
#                                    or one line per problem
#   modern_faults.py list            the names of the cases
import json, os, struct, sys
from email import policy
from email.message import EmailMessage, MIMEPart
from email.parser import BytesParser

CHRS = {'UTF-8 4': 'utf-8', 'LATIN-1 2': 'latin-1', 'CP866 2': 'cp866', 'IBMPC 2': 'cp437'}
GIF = (b'GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00'
       b'\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;')
PNG = b'\x89PNG\r\n\x1a\n' + bytes(range(256))


def base(subject):
    m = EmailMessage(policy=policy.SMTP)
    m['From'] = 'Ann Other <ann@example.net>'
    m['To'] = 'Joe Sysop <sysop@example.org>'
    m['Subject'] = subject
    m['Message-ID'] = '<%s@example.net>' % subject.replace(' ', '.')
    return m


def raw(subject, header, body):
    return ('From: Ann Other <ann@example.net>\nTo: Joe Sysop <sysop@example.org>\n'
            'Subject: %s\nMessage-ID: <%s@example.net>\nMIME-Version: 1.0\n' %
            (subject, subject.replace(' ', '.')) + header + '\n' + body).encode('latin-1')


def forwarded_body():
    # A list's moderation notice: the returned message is a body only.
    return raw('forwarded body', 'Content-Type: multipart/mixed; boundary="m1"\n',
               '--m1\nContent-Type: text/plain\n\nA message was held.\n\n--m1\n'
               'Content-Type: message/rfc822\n\nMessage removed\nby the moderator.\n\n'
               'Second paragraph.\n--m1--\n')


def forwarded_fake_header():
    # A header that is not one: its first line holds no field name.
    return raw('forwarded fake', 'Content-Type: multipart/mixed; boundary="m2"\n',
               '--m2\nContent-Type: text/plain\n\nSee below.\n\n--m2\n'
               'Content-Type: message/rfc822\n\nThe original message follows:\n'
               'From: nobody\n\nIts text.\n--m2--\n')


def related_image():
    m = base('inline image')
    m.set_content('Plain alternative text.\n')
    m.add_alternative('<p>HTML with <img src="cid:pic"> and <img src="cid:logo"></p>',
                      subtype='html')
    html = m.get_payload()[1]
    html.add_related(PNG, maintype='image', subtype='png', cid='<pic>')
    html.add_related(GIF, maintype='image', subtype='gif', cid='<logo>', filename='logo.gif')
    return m


def not_base64(cte_text):
    return raw('not base64', 'Content-Type: text/plain; charset=us-ascii\n'
               'Content-Transfer-Encoding: base64\n', cte_text)


def words_base64():
    return not_base64('Hello Joe,\nthis text was never encoded at all.\nRegards\n')


def short_lines_base64():
    # Lines of single words: no blank inside, but no base64 length either.
    return not_base64('Thanks\nfor\nthe\nhelp\nAnn\n')


def named_binary_text():
    m = base('named binary')
    m.set_content('The picture is attached.\n')
    part = MIMEPart(policy=policy.SMTP)
    part.set_content(GIF, maintype='text', subtype='plain', cte='base64')
    part.set_param('name', 'rzkly.txt')
    part.set_param('charset', 'utf-8')
    m.make_mixed()
    m.attach(part)
    return m


def named_text():
    # A named text part that is text stays text.
    m = base('named text')
    m.set_content('First part.\n')
    part = MIMEPart(policy=policy.SMTP)
    part.set_content('Second part, named but text: caf\u00e9.\n', cte='quoted-printable')
    part.set_param('name', 'notes.txt')
    m.make_mixed()
    m.attach(part)
    return m


def whole_attachment():
    m = base('whole attachment')
    m.set_content('Line one of the report.\nLine two.\n', cte='quoted-printable')
    m['Content-Disposition'] = 'attachment; filename="report.txt"'
    return m


def rfc2231_boundary():
    m = base('rfc2231 split')
    m.set_content('Gr\u00fc\u00dfe = gleich, eine lange Zeile mit Umlauten \u00e4\u00f6\u00fc '
                  'die weich umbrochen wird.\n', cte='quoted-printable')
    m.add_attachment(b'abc' * 50, maintype='application', subtype='octet-stream',
                     filename='\u00dcbersicht eines sehr langen Dateinamens mit Umlauten '
                     '\u00e4\u00f6\u00fc 2026.bin')
    m.set_param('boundary', '==b2231-' + 'x' * 70, charset='us-ascii')
    return m


def rfc2231_quoted():
    # Encoded values in quotes, as some mailers write them, and a plain
    # value beside the encoded one: the encoded one counts.
    return raw('rfc2231 quoted', 'Content-Type: multipart/mixed; b=1;\n'
               ' boundary*="us-ascii\'en\'%3D_p%3Dq"; boundary="wrong"\n',
               '--=_p=q\nContent-Type: text/plain; charset=utf-8\n'
               'Content-Transfer-Encoding: quoted-printable\n\nsch=C3=B6n\n--=_p=q\n'
               'Content-Type: application/octet-stream\n'
               'Content-Disposition: attachment; filename="old.bin";\n'
               ' filename*0*="utf-8\'\'gr%C3%BC"; filename*1="n.bin"\n'
               'Content-Transfer-Encoding: base64\n\nYWJjZGVm\n--=_p=q--\n')


def external_body():
    return raw('external body', 'Content-Type: multipart/mixed; boundary="e1"\n',
               '--e1\nContent-Type: text/plain\n\nThe report is on our server.\n\n--e1\n'
               'Content-Type: message/external-body; access-type=URL;\n'
               ' URL="http://www.example.org/reports/2026.pdf"\n\n'
               'Content-Type: application/pdf\nContent-ID: <r1@example.org>\n\n--e1\n'
               'Content-Type: message/external-body; access-type=anon-ftp;\n'
               ' site="ftp.example.org"; directory="pub/docs"; name="notes.txt";\n'
               ' mode="ascii"\n\nContent-Type: text/plain\n\n--e1--\n')


PARAGRAPHS = [
    (0, 'Hello Joe, this first paragraph is long enough to be wrapped by the sender into '
        'several lines, each of which ends in a space so that it flows.'),
    (0, ''),
    (1, 'You wrote that the quoted paragraph also flows, at its own depth, and the reader '
        'should see it as one line with its quote mark in front.'),
    (2, 'And a quote of a quote, which flows at depth two until it ends here.'),
    (0, 'From here on a line starts with a word that must be stuffed, and this one is '
        'long: Donaudampfschifffahrtsgesellschaftskapit\u00e4nsm\u00fctze.'),
    (0, ' An indented line, stuffed.'),
    (0, 'Short fixed line.'),
    (0, 'Another fixed line.'),
    (0, '-- '),
    (0, 'Ann'),
]


def flowed(delsp):
    # The sender: paragraphs wrapped at 40 columns into lines that end in
    # a space (with DelSp=yes an added one, and long words broken), quote
    # marks before each line, space-stuffing.
    out = []
    for depth, text in PARAGRAPHS:
        pieces, line = [], ''
        added = ' ' if delsp else ''  # the space DelSp=yes deletes
        for word in text.split(' '):
            while delsp and len(word) > 40:
                if line:
                    pieces.append(line + added)
                    line = ''
                pieces.append(word[:40] + added)
                word = word[40:]
            if line and len(line) + len(word) > 40:
                pieces.append(line + added)
                line = ''
            line += word + ' '
        pieces.append(line[:-1])
        for p in pieces:
            if p.startswith((' ', '>', 'From ')) or (depth and p):
                p = ' ' + p
            out.append('>' * depth + p)
    m = base('flowed delsp' if delsp else 'flowed')
    m.set_content('\n'.join(out) + '\n', charset='utf-8', cte='8bit')
    m.set_param('format', 'flowed')
    if delsp:
        m.set_param('delsp', 'yes')
    return m


def unflowed(text, delsp):
    """RFC 3676 read back: soft-broken lines joined, per quote depth."""
    out, para, depth_open = [], None, None
    for line in text.split('\n')[:-1]:
        depth = len(line) - len(line.lstrip('>'))
        line = line[depth:]
        if line.startswith(' '):
            line = line[1:]
        soft = line.endswith(' ') and line != '-- '
        if para is not None and depth != depth_open:
            out.append((depth_open, para))
            para = None
        if para is None:
            para, depth_open = '', depth
        para += line[:-1] if soft and delsp else line
        if not soft:
            out.append((depth_open, para))
            para = None
    if para is not None:
        out.append((depth_open, para))
    return [('>' * d + (' ' if p else '') if d else '') + p for d, p in out]


CASES = {
    'ForwardedBodyWithoutHeader': forwarded_body,
    'ForwardedHeaderThatIsNoHeader': forwarded_fake_header,
    'InlineImageOfTheHtmlAlternative': related_image,
    'TextLabelledBase64WithWords': words_base64,
    'TextLabelledBase64OfShortLines': short_lines_base64,
    'NamedTextPartHoldingBinary': named_binary_text,
    'NamedTextPartHoldingText': named_text,
    'WholeMessageAsAttachment': whole_attachment,
    'Rfc2231SplitBoundaryAndName': rfc2231_boundary,
    'Rfc2231QuotedAndBesideAPlainValue': rfc2231_quoted,
    'ExternalBody': external_body,
    'FlowedText': lambda: flowed(False),
    'FlowedTextDelSp': lambda: flowed(True),
}


def lines_of(text):
    return [l.rstrip() for l in text.splitlines()]


def expected(name, data):
    """What a reader must see, as Python reads the mail: the text lines in
    order, the files (name, or '' for a generated one, and their bytes)."""
    msg = BytesParser(policy=policy.default).parsebytes(data)
    e = {'lines': [], 'files': [], 'absent': ['Content-', 'boundary', '--==', '=C3', '=3D']}
    if name.startswith('Forwarded'):
        parts = list(msg.iter_parts())
        e['lines'] = lines_of(parts[0].get_content())
        inner = parts[1].get_payload()[0]
        if name == 'ForwardedBodyWithoutHeader':
            # No field at all: every line is text.
            assert not inner.keys()
        e['lines'] += lines_of(inner.get_payload())
    elif name == 'InlineImageOfTheHtmlAlternative':
        e['lines'] = lines_of(msg.get_body(('plain',)).get_content())
        for part in msg.walk():
            if part.get_content_maintype() == 'image':
                e['files'].append([part.get_filename() or '', part.get_payload(decode=True).hex()])
    elif name.startswith('TextLabelledBase64'):
        # Python finds it no base64 either (a defect), the text as written.
        assert msg.defects or msg.get_payload(decode=True) != msg.get_payload().encode()
        e['lines'] = lines_of(msg.get_payload())
        e['log'] = '! Message <%s>: text labelled base64 is not base64: kept as text' % (
            msg['message-id'][1:-1])
    elif name in ('NamedTextPartHoldingBinary', 'NamedTextPartHoldingText'):
        parts = list(msg.iter_parts())
        e['lines'] = lines_of(parts[0].get_content())
        if name == 'NamedTextPartHoldingBinary':
            e['files'].append([parts[1].get_filename(), parts[1].get_payload(decode=True).hex()])
        else:
            e['lines'] += lines_of(parts[1].get_content())
    elif name == 'WholeMessageAsAttachment':
        e['files'].append([msg.get_filename(), msg.get_payload(decode=True).hex()])
        e['absent'] += ['Line one']
    elif name.startswith('Rfc2231'):
        assert msg.get_boundary() and len(list(msg.iter_parts())) == 2
        parts = list(msg.iter_parts())
        e['lines'] = lines_of(parts[0].get_content())
        e['files'].append([parts[1].get_filename(), parts[1].get_payload(decode=True).hex()])
    elif name.startswith('FlowedText'):
        body = msg.get_body(('plain',))
        assert body.get_param('format') == 'flowed'
        e['lines'] = [l.rstrip() for l in
                      unflowed(body.get_content(), body.get_param('delsp') == 'yes')]
        assert e['lines'] == [('>' * d + ' ' if d else '') + t.rstrip() if t else '>' * d
                              for d, t in PARAGRAPHS]
        e['exact'] = True
    elif name == 'ExternalBody':
        parts = list(msg.iter_parts())
        e['lines'] = lines_of(parts[0].get_content())
        for p in parts[1:]:
            for key in ('access-type', 'url', 'site', 'directory', 'name', 'mode'):
                value = p.get_param(key)
                if value:
                    e['lines'].append(value)
            e['lines'].append(p.get_payload()[0].get_content_type())
    return e


def make(name, d):
    os.makedirs(os.path.join(d, 'soup'), exist_ok=True)
    m = CASES[name]()
    # SOUP message files end their lines in line feeds.
    data = m if isinstance(m, bytes) else m.as_bytes(policy=m.policy.clone(linesep='\n'))
    open(os.path.join(d, 'soup', 'AREAS'), 'w').write('MAIL\tEmail\tbn\n')
    open(os.path.join(d, 'soup', 'MAIL.MSG'), 'wb').write(struct.pack('>I', len(data)) + data)
    open(os.path.join(d, 'message.eml'), 'wb').write(data)
    json.dump(expected(name, data), open(os.path.join(d, 'expect.json'), 'w'))


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


def check(name, d):
    e = json.load(open(os.path.join(d, 'expect.json')))
    problems = []
    messages = list(packets(os.path.join(d, 'in')))
    if len(messages) != 1:
        print('%d messages, not 1' % len(messages))
        return
    text = messages[0][4]
    lines = text.split(b'\r')
    chrs = [l[7:].decode() for l in lines if l.startswith(b'\x01CHRS: ')]
    cs = CHRS.get(chrs[0], 'utf-8') if len(chrs) == 1 else 'ascii'
    body = [l.decode(cs, 'replace') for l in lines
            if not l.startswith(b'\x01') and not l.startswith(b'AREA:')]
    # The text ends at the tear line.
    body = body[:next((i for i, l in enumerate(body) if l.startswith('--- ')), len(body))]
    joined = '\n'.join(body)
    i = 0
    for want in e['lines']:
        if not want:
            continue
        while i < len(body) and want not in body[i] and not (e.get('exact') and want == body[i]):
            i += 1
        if i == len(body):
            problems.append('line %r missing or out of order' % want)
            break
        i += 1
    for bad in e['absent']:
        if bad in joined:
            problems.append('%r in the text' % bad)
    made = sorted(f for f in os.listdir(os.path.join(d, 'in')) if not f.upper().endswith('.PKT'))
    for fname, data in e['files']:
        found = [f for f in made if (f == fname if fname else f.endswith('.ATT'))]
        match = [f for f in found if open(os.path.join(d, 'in', f), 'rb').read().hex() == data]
        if not match:
            problems.append('no file %r as Python decodes it (files: %r)' % (fname, made))
            continue
        made.remove(match[0])
        if not any(('MIME-encoded file ' + match[0]) in l for l in body):
            problems.append('no note of the file %r' % match[0])
    if made:
        problems.append('files nobody asked for: %r' % made)
    # What the run reported (its standard error).
    err = os.path.join(d, 'stderr.txt')
    if 'log' in e and (not os.path.exists(err) or e['log'] not in open(err).read()):
        problems.append('no report %r' % e['log'])
    print('\n'.join(problems) if problems else 'ok')


if __name__ == '__main__':
    if sys.argv[1] == 'list':
        print(' '.join(CASES))
    else:
        (make if sys.argv[1] == 'make' else check)(sys.argv[2], sys.argv[3])

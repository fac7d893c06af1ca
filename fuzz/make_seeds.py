#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/:
the example installation's files, messages built with Python's email
package, and packets and stored messages built field by field."""
import os
import struct
import sys
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def put(target, name, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    path = os.path.join(CORPUS, target, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def example(name):
    with open(os.path.join(ROOT, "examples", name), "rb") as f:
        return f.read()


def framed(*messages):
    return b"".join(struct.pack(">I", len(m)) + m for m in messages)


def plain_mail():
    m = EmailMessage()
    m["From"] = '"Ann Other" <ann@example.net>'
    m["To"] = "Joe Sysop <sysop@example.org>, friend@example.net (Friend)"
    m["Cc"] = "ann@example.org"
    m["Subject"] = "=?iso-8859-1?q?Gr=FC=DFe?= from the Internet"
    m["Date"] = "Tue, 9 Mar 1999 14:05:07 +0100"
    m["Message-ID"] = "<19990309140507.1@example.net>"
    m["In-Reply-To"] = "<2.345.6.1.3a1b2c3d@fidonet.org>"
    m["Organization"] = "Example Org"
    m.set_content("Hello Joe,\n\nAnn wrote:\n> quoted text\n\nBye\n")
    return m.as_bytes()


def mime_mail():
    m = MIMEMultipart()
    m["From"] = "friend@example.net"
    m["To"] = "ann@example.org"
    m["Subject"] = "A file"
    m["Date"] = "9 Mar 99 15:00:00 GMT"
    m.attach(MIMEText("Gr\u00fc\u00dfe, the file is attached.\n", "plain", "iso-8859-1"))
    part = MIMEApplication(bytes(range(64)), Name="data.bin")
    part["Content-Disposition"] = 'attachment; filename="data.bin"'
    m.attach(part)
    return m.as_bytes()


def qp_news():
    m = EmailMessage()
    m["From"] = "poster@example.com (A Poster)"
    m["Newsgroups"] = "alt.test,alt.spam,fido.misc"
    m["Subject"] = "Re: long lines"
    m["Date"] = "Wed, 10 Mar 1999 08:00:00 -0500"
    m["Message-ID"] = "<news.1@example.com>"
    m["References"] = "<news.0@example.com>"
    m["Path"] = "news.example.com!not-for-mail"
    body = "".join("Line %d of a text long enough to be split. \u00e4\u00f6\u00fc\n" % i
                   for i in range(60))
    m.set_content(body, charset="iso-8859-1", cte="quoted-printable")
    return m.as_bytes()


def uu_mail():
    return (b"From: friend@example.net\nTo: ann@example.org\nSubject: uu\n\n"
            b"text before\nbegin 644 hello.txt\n&:&5L;&\\*\n`\nend\ntext after\n")


def packet(messages, orig=(2, 345, 1), dest=(2, 345, 6)):
    h = bytearray(58)
    struct.pack_into("<HH", h, 0, orig[2], dest[2])
    struct.pack_into("<6H", h, 4, 1999, 2, 9, 14, 5, 7)
    struct.pack_into("<HHH", h, 16, 0, 2, orig[1])
    struct.pack_into("<H", h, 22, dest[1])
    struct.pack_into("<HH", h, 34, orig[0], dest[0])
    struct.pack_into("<H", h, 40, 0x0100)
    struct.pack_into("<HHH", h, 44, 1, orig[0], dest[0])
    out = bytes(h)
    for to, frm, subj, text, attr in messages:
        out += struct.pack("<7H", 2, orig[2], dest[2], orig[1], dest[1], attr, 0)
        out += b"09 Mar 99  14:05:07\0" + to + b"\0" + frm + b"\0" + subj + b"\0" + text + b"\0"
    return out + b"\0\0"


def stored(to, frm, subj, text, attr=0x0001, dest=(345, 6), orig=(345, 1)):
    h = bytearray(190)
    h[0:len(frm)] = frm
    h[36:36 + len(to)] = to
    h[72:72 + len(subj)] = subj
    h[144:164] = b"09 Mar 99  14:05:07\0"
    struct.pack_into("<HH", h, 166, dest[1], orig[1])
    struct.pack_into("<HH", h, 172, orig[0], dest[0])
    struct.pack_into("<H", h, 186, attr)
    return bytes(h) + text + b"\0"


def main():
    cfg = example("QUILLMAR.CFG")
    dev = example("lists/DEV.CFG")
    put("config", "example", cfg + b"\0" + dev)
    put("config", "include", b"FidoAddr 2:345/6\nInclude SECOND.CFG\n\0"
        b"AddrMap 2:345/6.1 a@b Name\nListConfig SECOND.CFG\nListName x\nListAddress x@y\n"
        b"ListUsers\n+\nann@example.org\n\n1\nabc\n")
    put("config", "values", b"QuoteChar > 0-5 0-3\nCharSetMap IBMPC iso-8859-1 EXPORT\n"
        b"FidoDomain 1-6 #fidonet.org\nRoute 2:345/7 n@e secret SUBJ=x\n"
        b"MailingList A l@e [t] TRUNCATE=-- ;SUBJ:[t]\r\nJunkCategory News\n\0JunkFrom *@x\n")

    put("areas", "example", example("soup/AREAS"))
    put("areas", "kinds", "a\tEmail\tbn\nb\tnews\tBn\nc\tx\tMm\nd\tx\tuz\ne\tx\tq\n../x\ty\tb\n"
        ".\ty\tb\r\nnotab\n\n")

    hv = {
        "from": b"\x00\"Ann \\\"Other\\\"\" <ann@example.net> (comment)",
        "to": b"\x01Joe <sysop@example.org>, friend@example.net (Friend), 'Q' <q@x>",
        "id": b"\x02<19990309140507.1@example.net>",
        "idlast": b"\x07<a@b> <2.345.6.1.3a1b2c3d@fidonet.org>",
        "groups": b"\x03alt.test, alt.spam ,fido.misc,,",
        "date": b"\x04Tue, 9 Mar 1999 14:05:07 +0100 (MET)",
        "date2": b"\x0409 Mar 99 14:05 GMT",
    }
    for name, data in hv.items():
        put("header_values", name, data)

    put("soup_import", "mailbox", b"\x01" + example("soup/MAILBOX.MSG"))
    put("soup_import", "rnews", b"\x05" + example("soup/NEWS0001.MSG"))
    put("soup_import", "binary", b"\x00" + framed(plain_mail(), mime_mail(), uu_mail()))
    put("soup_import", "mmdf", b"\x02" + b"\x01\x01\x01\x01\n" + plain_mail() +
        b"\x01\x01\x01\x01\n\x01\x01\x01\x01\n" + mime_mail() + b"\x01\x01\x01\x01\n")
    news = qp_news()
    put("soup_import", "news", b"\x04" + framed(news))
    put("soup_import", "rnews2", b"\x06" + b"#! rnews %d\n" % len(news) + news)

    put("list_mail", "subscribe", b"From: New Member <new@example.com>\nSubject: subscribe\n\nhi\n")
    put("list_mail", "unsubscribe", b"From: ann@example.org\nSubject: unsubscribe ba0b9ee8\n\n")
    put("list_mail", "changepass", b"From: ann@example.org\nSubject: changepass ba0b9ee8 new\n\n")
    put("list_mail", "posting", b"From: Ann Point <ann@example.org>\nSubject: Hello list\n"
        b"Password: ba0b9ee8\n\nA posting.\n-- \nsig\n")

    pkt = example("outbound/01590006.OUT")
    put("export_packet", "example", pkt)
    put("export_packet", "kinds", packet([
        (b"UUCP", b"Joe Sysop", b"Mail out", b"\x01INTL 2:345/6 2:345/1\r\x01MSGID: 2:345/1 1234abcd\r"
         b"To: someone@example.net\r\rHello.\r--- x\r * Origin: here (2:345/1)\r", 1),
        (b"All", b"Joe Sysop", b"Echo", b"AREA:FIDO.TEST\r\x01MSGID: 2:345/1 1\r\x01CHRS: IBMPC 2\r"
         b"Text \x84\x94\x81\r\rSEEN-BY: 345/1\r\x01PATH: 345/1\r", 0),
        (b"someone@example.net", b"Joe Sysop", b"outbound/FILE.TXT", b"\x01REPLYADDR x@y\rfile\r",
         0x11),
        (b"All", b"Ann", b"List", b"AREA:QUILLMAR.DEV\rA list posting.\r", 0),
    ]))

    put("stored_message", "mail", stored(b"someone@example.net", b"Joe Sysop", b"Stored",
                                         b"\x01INTL 2:345/6 2:345/1\r\x01FMPT 1\rHello.\r"))
    put("stored_message", "attach", stored(b"UUCP", b"Joe Sysop", b"netmail/FILE.TXT",
                                           b"To: x@example.net\rSubject: a file\r\rsee file\r",
                                           attr=0x0091))
    put("stored_message", "quickscan", stored(b"UUCP", b"Joe", b"s", b"To: x@example.net\r\rhi\r")
        + b"\0\0\0\0QSCN" + b"\x69\x26\xa2\x70")

    put("flow_file", "lines", b"outbound/FILE.TXT\n^temp/OTHER.DAT\r\n#outbound/0000FFFF.PKT\n"
        b"~skipped\n\n./outbound/missing.txt\n")
    put("flow_file", "packet", b"^outbound/0000FFFF.PKT\n")

    put("list_pack", "example", dev)
    put("list_pack", "cut", dev.replace(b"\n", b"\r\n")[:-20])
    put("list_pack", "stray", b"ListName L\nListAddress l@x\nListUsers\nstray\n+\na@b\n\n1\n"
        b"p\n*\nb@c\nB\n1\nq\n+\nc@d\n")


if __name__ == "__main__":
    sys.exit(main())

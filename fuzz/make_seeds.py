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


SEP = b"\0==\0"


def more_seeds():
    """The seeds of the in-memory targets and of quillmar-soup's."""
    # soup_message: format (0 rnews, 1 mailbox, 2 MMDF, 3 binary) + 4 * kind.
    put("soup_message", "mailbox", b"\x01" + example("soup/MAILBOX.MSG"))
    put("soup_message", "rnews", b"\x04" + example("soup/NEWS0001.MSG"))
    put("soup_message", "binary", b"\x03" + framed(plain_mail(), mime_mail(), uu_mail()))
    put("soup_message", "mmdf", b"\x02" + b"\x01\x01\x01\x01\n" + plain_mail() +
        b"\x01\x01\x01\x01\n\x01\x01\x01\x01\n" + mime_mail() + b"\x01\x01\x01\x01\n")
    put("soup_message", "news", b"\x07" + framed(qp_news()))

    words = {
        "encoded": b"\x00=?iso-8859-1?q?Gr=FC=DFe?= =?UTF-8?B?w6TDtsO8?= plain \xe4",
        "param": b"\x01text/plain; charset=\"ISO-8859-1\"; name*0*=utf-8''%C3%A4; name*1=b.txt",
        "disposition": b"\x01attachment; filename=\"=?utf-8?q?d=C3=A4t?=.bin\"",
        "base64": b"\x02SGVsbG8gV29ybGQ=\n",
        "qp": b"\x03Gr=FC=DFe =\r\nsoft line=3D\n",
        "encode": b"\x04Gr\xc3\xbc\xc3\x9fe aus K\xc3\xb6ln, a long subject line to be folded",
        "encode_used": b"\xc8\xe2\x82\xac\xf0\x9f\x98\x80 \xd0\x9f\xd1\x80\xd0\xb8",
    }
    for name, data in words.items():
        put("mime_words", name, data)

    pkt = example("outbound/01590006.OUT")
    put("packet_read", "example", pkt)
    with open(os.path.join(CORPUS, "export_packet", "kinds"), "rb") as f:
        put("packet_read", "kinds", f.read())
    for name in ("mail", "attach", "quickscan"):
        with open(os.path.join(CORPUS, "stored_message", name), "rb") as f:
            put("stored_read", name, f.read())
    for name in ("subscribe", "unsubscribe", "changepass", "posting"):
        with open(os.path.join(CORPUS, "list_mail", name), "rb") as f:
            put("list_commands", name, f.read())

    def reply(*messages):
        return framed(*messages)

    mail1 = b"To: a@example.net\nFrom: joe@example.org\nSubject: one\n\nHello.\n"
    mail2 = b"To: b@example.net\nFrom: joe@example.org\nMessage-ID: <2@x>\nSubject: two\n\nBye.\n"
    news1 = b"Newsgroups: alt.test\nFrom: joe@example.org\nSubject: n\n\nNews.\n"
    import zlib
    key = b"mail0000\t0\t%d\t%08X" % (len(mail1), zlib.crc32(mail1))
    put("soup_deliver", "plain", b"mail0000\tmail\tbn\n" + SEP + reply(mail1, mail2) + SEP +
        reply(news1) + SEP + b"" + SEP + b"\x00\x00")
    put("soup_deliver", "ledger", b"mail0000\tmail\tbn\nnews0000\tnews\tBn\n" + SEP +
        reply(mail1, mail2) + SEP + reply(news1) + SEP + key + b"\tsent\n" + key[:-3] + SEP +
        b"\x01\x02")
    put("soup_deliver", "sending", b"mail0000\tmail\tbn\r\nmail0000\tmail\tbn\n" + SEP +
        reply(mail1, mail2) + b"\x00\x00\x01" + SEP + SEP + key + b"\tsending\n" + SEP +
        b"\x03\x00")

    m1 = b"From: ann@example.net\r\nTo: joe@example.org\r\nSubject: hi\r\n\r\nHello.\r\n"
    m2 = b"From: b@example.net\nSubject: two\n\nText.\n"
    put("soup_collect", "maildir", SEP + SEP + SEP + b"1.M1P1.host\n" + m1 + SEP +
        b"cur:2.M2P2.host:2,S\n" + m2 + SEP + b".hidden\n" + m2)
    put("soup_collect", "journal", b"area\tQS0000\tEmail\tbn\ntake\t@new/1.M1P1.host\nend\n" +
        SEP + b"news.example.com\talt.test\t17\n" + SEP + b"QS0001\tEmail\tbn\n" + SEP +
        b"1.M1P1.host\n" + m1 + SEP + b"3.M3\n" + m2)
    put("soup_collect", "torn", b"area\tQS0000\tEmail\tbn\ntake\t@new/1" + SEP +
        b"news.example.com\talt.te" + SEP + SEP + b"1.M1P1.host\n" + m1)


def crlf(*lines):
    return b"".join(line + b"\r\n" for line in lines)


def article(n, body_lines, msgid=None, size=0):
    msgid = msgid or b"<%d.art@example.com>" % n
    head = [b"Path: news.example.com!not-for-mail", b"From: Ann Other <ann@example.net>",
            b"Newsgroups: fuzz.test", b"Subject: Article %d" % n,
            b"Date: Tue, 9 Mar 1999 14:05:07 +0100", b"Message-ID: " + msgid, b"Lines: %d" %
            len(body_lines), b""]
    body = list(body_lines) + [b"x" * 70] * (size // 72)
    return crlf(b"220 %d %s article" % (n, msgid), *head, *body, b".")


def overview(n, msgid):
    return b"%d\tArticle %d\tAnn Other <ann@example.net>\tTue, 9 Mar 1999 14:05:07 +0100\t%s" \
        b"\t\t1234\t12\tXref: news.example.com fuzz.test:%d" % (n, n, msgid, n)


def nntp_seeds():
    """Sessions of quillmar-soup with a news server as INN holds them: the
    first line holds the settings words of the soup_nntp target."""
    greeting = crlf(b"200 news.example.com InterNetNews NNRP server INN 2.7.1 ready (posting ok)")
    mode = crlf(b"200 news.example.com InterNetNews NNRP server INN 2.7.1 ready (posting ok)")
    post_ok = greeting + mode + crlf(b"430 No such article", b"340 Ok, recommended message-ID "
                                     b"<post.1@example.org>", b"240 Article received "
                                     b"<post.1@example.org>", b"223 0 <post.2@example.org>",
                                     b"205 Bye!")
    session = (greeting + mode + crlf(b"211 5 3001 3005 fuzz.test") +
               crlf(b"224 Overview information follows (multi-line)",
                    *[overview(n, b"<seen.1@example.com>" if n == 3002 else
                               b"<%d.art@example.com>" % n) for n in range(3001, 3006)], b".") +
               article(3001, [b"Hello.", b"..A line that starts with a dot.", b"", b"-- ",
                              b"Ann"]) +
               article(3003, [b"Second.", b".."]) + crlf(b"430 No such article") +
               article(3005, [b"Last one."]) + crlf(b"205 Bye!"))
    put("soup_nntp", "inn_session", b"mark=3000 hist=<seen.1@example.com>\n" + session + SEP +
        post_ok)
    put("soup_nntp", "first_contact",
        b"first=3 size=1024 quiet\n" + greeting + mode + crlf(b"211 10 1 10 fuzz.test") +
        article(8, [b"Big."], size=2000) + crlf(b"423 No article with that number") +
        article(10, [b"Small."]))
    put("soup_nntp", "login_two_groups",
        b"user two max=2 chunk=7 mark2=40\n" + greeting + mode +
        crlf(b"381 Enter password", b"281 Authentication accepted", b"211 2 1 2 fuzz.test") +
        article(1, [b"One."]).replace(b"\r\n", b"\n") + article(2, [b"Two."]) +
        crlf(b"211 3 40 42 fuzz.misc", b"224 Overview information follows", b".") +
        article(41, [b"Misc."], msgid=b"<1.art@example.com>") +
        article(42, [b"Misc two."]) + crlf(b"205 Bye!"))
    put("soup_nntp", "cut", b"mark=6\n" + greeting + mode + crlf(b"211 3 7 9 fuzz.test") +
        article(7, [b"Whole."]) + article(8, [b"Cut in the middle of its body."])[:-40])
    put("soup_nntp", "out_of_step", b"mark=0\n" + greeting + mode + crlf(b"211 3 1 3 fuzz.test") +
        article(1, [b"One."]) + article(3, [b"Three for two."]) + article(3, [b"Three."]))
    put("soup_nntp", "post_refused", b"posts=3 nohist\n" + greeting + mode +
        crlf(b"411 No such group fuzz.test") + SEP + greeting + mode +
        crlf(b"223 0 <post.1@example.org>", b"430 No such article", b"340 Ok",
             b"441 435 Duplicate", b"430 No such article", b"340 Ok") + SEP + greeting + mode +
        crlf(b"430 No such article", b"340 Ok", b"240 Article received", b"205 Bye!"))


def nntp_history_seeds():
    """Sessions of the soup_nntp target with a damaged history, a
    renumbered group and a server without an overview (STAT n)."""
    greeting = crlf(b"200 news.example.com InterNetNews NNRP server INN 2.7.1 ready (posting ok)")
    mode = greeting
    no_over = crlf(b"500 What?")

    def stat(n, msgid):
        return crlf(b"223 %d %s status" % (n, msgid))

    # Articles 1 to 50 were taken; the group is rebuilt, 5.art and 6.art
    # kept as 1 and 2, two new ones as 3 and 4.
    put("soup_nntp", "renumbered_without_overview",
        b"mark=50 hist=<5.art@example.com> hist=<6.art@example.com>\n" + greeting + mode +
        crlf(b"211 4 1 4 fuzz.test") + no_over + stat(1, b"<5.art@example.com>") +
        stat(2, b"<6.art@example.com>") + stat(3, b"<3.art@example.com>") +
        stat(4, b"<4.art@example.com>") + article(3, [b"New."]) + article(4, [b"Newer."]) +
        crlf(b"205 Bye!"))
    put("soup_nntp", "renumbered_with_overview",
        b"mark=3005 hist=<3001.art@example.com>\n" + greeting + mode +
        crlf(b"211 3 1 3 fuzz.test", b"224 Overview information follows",
             overview(1, b"<3001.art@example.com>"), overview(2, b"<2.art@example.com>"),
             overview(3, b"<3.art@example.com>"), b".") +
        article(2, [b"Two."]) + article(3, [b"Three."]) + crlf(b"205 Bye!"))
    # A second server without an overview: the Message-IDs come by STAT,
    # one answer out of step.
    put("soup_nntp", "stat_before_body",
        b"hist=<1.art@example.com> hist=<2.art@example.com>\n" + greeting + mode +
        crlf(b"211 3 1 3 fuzz.test") + no_over + stat(1, b"<1.art@example.com>") +
        stat(2, b"<2.art@example.com>") + stat(3, b"<3.art@example.com>") +
        article(3, [b"Three."]) + crlf(b"205 Bye!"))
    put("soup_nntp", "stat_out_of_step",
        b"mark=0 hist=<1.art@example.com> max=1\n" + greeting + mode +
        crlf(b"211 3 1 3 fuzz.test") + no_over + stat(2, b"<2.art@example.com>") +
        stat(1, b"<1.art@example.com>") + crlf(b"205 Bye!"))
    # The history damaged: cut, and scribbled over in its meta and data
    # pages; it is set aside before the group is read (no overview asked).
    plain = (greeting + mode + crlf(b"211 2 1 2 fuzz.test") + article(1, [b"One."]) +
             article(2, [b"Two."]) + crlf(b"205 Bye!"))
    put("soup_nntp", "history_cut", b"hist=<1.art@example.com> fill=40 cut=9000\n" + plain)
    put("soup_nntp", "history_meta_scribbled",
        b"hist=<1.art@example.com> poke=136:ffff0000 poke=4232:ffff0000\n" + plain)
    put("soup_nntp", "history_data_scribbled",
        b"hist=<1.art@example.com> fill=200 poke=12288:0000000000000000ffff poke=16400:41414141\n" + plain)


if __name__ == "__main__":
    main()
    nntp_seeds()
    nntp_history_seeds()
    sys.exit(more_seeds())

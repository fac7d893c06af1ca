#!/usr/bin/env python3
"""Deterministic workloads for the quillmar benchmark (seeded; same N + seed = same bytes).

  gen.py news  --n N [--seed S] --out DIR
        DIR/AREAS + DIR/NEWS0001.MSG: a SOUP news packet, encoding "un" (a SOUP message file).
        The message file is itself an rnews batch ("#! rnews <count>" + article), so the
        same file is the input of `ifnews` (identical bytes).
  gen.py mail  --n N [--seed S] --out DIR [--eml-dir D --eml-count M]
        DIR/AREAS + DIR/MAIL0001.MSG: a SOUP mail packet, encoding "bn" (4-byte big-endian
        length + message).  With --eml-dir the first M messages are also written one per
        file (D/00000.eml ...) and D/rcpt lists "route recipient" per file, for `ifmail`.
  gen.py pkt   --n N [--seed S] --out FILE.PKT
        A FidoNet Type 2+ packet (header from mkpkt.py) of N messages from
        BOSS to the gateway GATE: ~75 % echomail in the AREA_TAGS areas, ~25 % netmail to
        "UUCP" with a "To: user@host" line (the gateway form of a netmail to the Internet).
  gen.py areas                      echo area tags of the packet, "TAG newsgroup" per line
  gen.py qcfg  --root DIR           a quillmar configuration for directories
                                    DIR/{in,out,soup,tmp}/ and log DIR/quillmar.log
  gen.py count pkt|soup|rnews FILE...   messages in packets / binary SOUP files / rnews batches

Messages look like real traffic: full Usenet / SMTP header sets (Path, Xref, Received,
DKIM-Signature, References ...), messages of ~4.8 KB on average (log-normal bodies, median
~4.3 KB, up to ~30 KB) with attribution lines, quoted and nested-quoted blocks, long unwrapped
lines in ~1 message of 8, signatures, ~11 % 8-bit text (ISO-8859-1, 8bit or quoted-printable;
RFC 2047 names; no UTF-8, on which ifnews aborts), ~10 % cross-posts, and in the mail set ~2 %
multipart/mixed messages with 1-2 base64 attachments of 1-120 KB.  FidoNet messages carry MSGID/REPLY/CHRS/TZUTC/PID kludges, tear
and origin lines, SEEN-BY/PATH (echomail) or INTL/FMPT/Via (netmail).
"""
import argparse
import base64
import os
import quopri
import random
import struct
import sys
import unicodedata
from datetime import datetime, timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True   # write no bytecode next to the tools
import mkpkt  # noqa: E402  (pkt_header, fido_date, parse_addr: the Type 2+ packet layout)

GATE = "2:280/5"          # FidoAddr of the gateway
BOSS = "2:280/1"          # the local node: first AddrMap entry, tosser, sender of export packets
DOMAIN = "fidonet.org"    # FidoDomain of zones 1-6
GATE_HOST = "gate.example.org"
IFMAIL_ROUTE = "f1.n280.z2.fidonet"  # BOSS in the domain form ifmail -r wants
NEWSGROUP = "comp.lang.c"
XPOST = ["comp.lang.c++", "comp.unix.programmer", "comp.std.c"]
AREA_TAGS = ["FIDOTEST", "C_ECHO", "LINUX", "BINKD", "GOLDED", "FTSC_PUBLIC", "NET_DEV",
             "MUFFIN", "ENGLISH_TUTOR", "R50.SYSOP", "SU.GENERAL", "HUSKY"]
T0 = (2024, 3, 4, 8, 0, 0)  # first message date (local time, +0100)

WORDS = """
the of and to a in is it that for on with as this be are was not by or but have from at
which you one all can if there so we an will would when what your about more just some out
also than then them these only into other could time very like use used using because does
file files buffer pointer memory function struct array string compiler linker header
library kernel packet message mailer tosser gateway node point zone net echo area netmail
areafix nodelist outbound inbound binkley fidonet internet usenet newsgroup article reply
quote origin tearline kludge config setting directory path system sysop user modem line
error warning value return type integer unsigned signed char long short double float loop
test tests build make cmake debian package version release patch bug fix issue thread
server client socket address port protocol stream read write open close seek tell size
byte bytes block page cache disk speed fast slow problem question answer example works
broken better worse probably actually really still already again never always often
maybe perhaps though however therefore although since until while before after during
each every both either neither several many much most least less first last next early
late old new good bad small large big little long short high low right wrong true false
know think see look want need try give take make say tell ask seem feel leave call keep
let begin start stop run show hear play move live believe hold bring happen write provide
""".split()
EIGHT = ["Grüße", "für", "Müller", "Straße", "über", "Käse", "naïve", "café", "señor",
         "Jürgen", "Bücher", "schön", "Ärger", "Öffnung", "Übung", "größer", "déjà"]
FIRST = ["John", "Mary", "Peter", "Anna", "Michael", "Susan", "Thomas", "Linda", "Jürgen",
         "Olga", "Sergey", "Kees", "Hans", "Ingrid", "Paolo", "Nina", "Frank", "Tanja",
         "David", "Eva", "Robert", "Karin", "Mark", "Lena", "Igor", "Rita", "Björn", "Ulla"]
LAST = ["Smith", "Miller", "Jansen", "Novak", "Schmidt", "Berg", "Rossi", "Petrov", "Weber",
        "Larsen", "Moreau", "Kowalski", "Fischer", "de Vries", "Ivanov", "Olsen", "Brown",
        "Wagner", "Lindqvist", "Bauer", "Horvath", "Meyer", "Svensson", "Müller"]
MAILHOSTS = ["example.com", "example.net", "example.org", "mail.example.com",
             "users.example.net", "lists.example.org", "uni.example.edu"]
AGENTS = ["Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Thunderbird/115.8.0",
          "slrn/1.0.3 (Linux)", "tin/2.6.2-20221225 (\"Pittyvaich\") (Linux/6.1.0 (x86_64))",
          "Gnus/5.13 (Gnus v5.13)", "Mutt/2.2.9 (2022-11-12)", "Claws Mail 4.1.1 (GTK 3.24.38)"]
FIDO_PIDS = ["GoldED+/LNX 1.1.5-b20240306", "hpt/lnx 1.9.0-cur 2024-01-10",
             "MsgEd/LNX 6.3", "SqaFix 1.51", "crashmail II 1.7"]
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


# ---------------------------------------------------------------- shared pieces
def users():
    """The gateway's FidoNet users (AddrMap): (ftn address, 'First Last', internet address)."""
    out = [(BOSS, "Sysop Gate", "sysop@" + GATE_HOST)]
    for p in range(1, 24):
        name = ascii_text("%s %s" % (FIRST[p % len(FIRST)], LAST[(p * 7) % len(LAST)].replace(" ", "")))
        out.append(("%s.%d" % (BOSS, p), name, "%s@%s" % (ascii_name(name).lower(), GATE_HOST)))
    return out


def ascii_text(text):
    """'Jürgen' -> 'Jurgen'."""
    return unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()


def ascii_name(name):
    """'Jürgen de Vries' -> 'Jurgen.de.Vries' (an address local part)."""
    return ascii_text(name).replace(" ", ".")


def enc_words(name):
    """A display name as an RFC 2047 encoded-word when it is not ASCII."""
    if name.isascii():
        return name
    q = "".join(c if c.isascii() and c.isalnum() else "_" if c == " " else
                "".join("=%02X" % b for b in c.encode("latin-1", "replace")) for c in name)
    return "=?ISO-8859-1?Q?%s?=" % q


def gateway_form(name, addr):
    """Internet address of a FidoNet user: First.Last@p3.f1.n280.z2.fidonet.org."""
    z, n, f, p = mkpkt.parse_addr(addr)
    host = ("p%d." % p if p else "") + "f%d.n%d.z%d.%s" % (f, n, z, DOMAIN)
    return "%s@%s" % (ascii_name(name), host)


class Clock:
    """Message dates: starts at T0 (+0100), advances 1..90 s per message."""

    def __init__(self, rng):
        self.rng, self.t = rng, 0

    def tick(self):
        self.t += self.rng.randint(1, 90)
        return self.t

    @staticmethod
    def parts(t):
        d = datetime(*T0) + timedelta(seconds=t)
        return d.year, d.month, d.day, d.hour, d.minute, d.second, d.weekday()

    def rfc(self, t):
        y, mo, d, h, mi, s, wd = self.parts(t)
        return "%s, %02d %s %04d %02d:%02d:%02d +0100" % (DAYS[wd], d, MONTHS[mo - 1], y, h, mi, s)

    def fido(self, t):
        y, mo, d, h, mi, s, wd = self.parts(t)
        return "%02d %s %02d  %02d:%02d:%02d" % (d, MONTHS[mo - 1], y % 100, h, mi, s)


class Text:
    """Pools of lines and subjects, and the body composer."""

    def __init__(self, rng):
        self.rng = rng
        self.lines = [self._sentence(6, 13) for _ in range(20000)]
        self.subjects = [self._sentence(2, 7).rstrip(".?") for _ in range(3000)]

    def _sentence(self, lo, hi):
        r = self.rng
        w = [r.choice(WORDS) for _ in range(r.randint(lo, hi))]
        return " ".join(w).capitalize() + r.choice([".", ".", ".", ",", "?", ";"])

    def person(self):
        r = self.rng
        first, last = r.choice(FIRST), r.choice(LAST)
        return "%s %s" % (first, last), "%s.%s%d@%s" % (
            ascii_name(first).lower(), ascii_name(last).lower().replace(".", ""),
            r.randint(1, 99), r.choice(MAILHOSTS))

    def body(self, target, quote, attribution, eight_bit, sig_name):
        """Lines of a body of about `target` bytes; quote(level) gives the quote prefix."""
        r, lines, size = self.rng, [], 0
        long_p = 0.35 + (0.08 if r.random() < 0.2 else 0)  # 1 message in 5 has long lines
        if attribution:
            lines += [attribution]
        while size < target:
            k = r.random()
            if k < 0.35 and quote:
                for _ in range(r.randint(2, 9)):
                    lines.append(quote(2 if r.random() < 0.2 else 1) + r.choice(self.lines))
            elif 0.35 <= k < long_p:  # a long line, as pasted or written without wrapping
                lines.append(" ".join(r.choice(self.lines) for _ in range(r.randint(4, 10))))
            else:
                for _ in range(r.randint(2, 7)):
                    ln = r.choice(self.lines)
                    if eight_bit and r.random() < 0.25:
                        ln += " " + r.choice(EIGHT)
                    lines.append(ln)
            lines.append("")
            size = sum(len(x) + 1 for x in lines)
        lines += ["-- ", sig_name, r.choice(self.lines)]
        return lines

    def target(self):
        return int(min(30000, max(300, self.rng.lognormvariate(8.1, 0.55))))  # median ~3.3 KB


def mid(rng, host):
    return "<%08x.%04x.%d@%s>" % (rng.getrandbits(32), rng.getrandbits(16), rng.randint(1, 9999), host)


def fold_b64(rng, nbytes, width=76):
    s = base64.b64encode(rng.randbytes(nbytes)).decode()
    return [s[i:i + width] for i in range(0, len(s), width)]


# ---------------------------------------------------------------- news (SOUP "un" = rnews batch)
def news_articles(n, seed):
    rng = random.Random(seed * 1000003 + 1)
    tx, clock = Text(rng), Clock(rng)
    ids = []
    for i in range(n):
        t = clock.tick()
        name, addr = tx.person()
        host = addr.split("@")[1]
        groups = [NEWSGROUP] + ([rng.choice(XPOST)] if rng.random() < 0.1 else [])
        reply = ids and rng.random() < 0.6
        subj = rng.choice(tx.subjects)
        cs = rng.random()
        # 8-bit text is ISO-8859-1: ifnews 2.14tx8.10 aborts (heap corruption) on charset=UTF-8
        charset, cte, enc, eight = (("ISO-8859-1", "8bit", "latin-1", True) if cs < 0.11 else
                                    ("us-ascii", "7bit", "ascii", False))
        attribution = None
        if reply:
            qn, qa = tx.person()
            attribution = "On %s, %s <%s> wrote:" % (clock.rfc(max(0, t - rng.randint(600, 90000))), qn, qa)
        body = tx.body(tx.target(), (lambda lv: ">" * lv + " ") if reply else None,
                       attribution, eight, name)
        msgid = mid(rng, "news." + host)
        h = ["Path: news.example.net!feeder%d.example.org!%s!not-for-mail" % (rng.randint(1, 9), host),
             "From: %s <%s>" % (enc_words(name), addr),
             "Newsgroups: " + ",".join(groups),
             "Subject: " + ("Re: " if reply else "") + subj,
             "Date: " + clock.rfc(t),
             "Organization: %s" % rng.choice(["Example Networks", "Private site", "University of Example",
                                               "None", "A noiseless patient spider"]),
             "Lines: %d" % len(body),
             "Message-ID: " + msgid]
        if reply:
            refs = rng.sample(ids[-200:], min(len(ids[-200:]), rng.randint(1, 5)))
            h.append("References: " + "\n\t".join(" ".join(refs[j:j + 2]) for j in range(0, len(refs), 2)))
        h += ["NNTP-Posting-Host: host-192-0-2-%d.example.net" % rng.randint(1, 254),
              "Mime-Version: 1.0",
              "Content-Type: text/plain; charset=%s; format=flowed" % charset,
              "Content-Transfer-Encoding: " + cte,
              "X-Trace: news.example.net %d %d 192.0.2.%d (%s)" % (1709539200 + t, rng.randint(1000, 99999),
                                                                  rng.randint(1, 254), clock.rfc(t)),
              "X-Complaints-To: abuse@example.net",
              "NNTP-Posting-Date: " + clock.rfc(t),
              "User-Agent: " + rng.choice(AGENTS),
              "Xref: news.example.net %s" % " ".join("%s:%d" % (g, 100000 + i) for g in groups)]
        ids.append(msgid)
        if len(ids) > 400:
            del ids[:200]
        yield ("\n".join(h) + "\n\n" + "\n".join(body) + "\n").encode(enc, "replace")


def write_news(n, seed, out):
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "AREAS"), "w") as f:
        f.write("NEWS0001\t%s\tun\n" % NEWSGROUP)
    with open(os.path.join(out, "NEWS0001.MSG"), "wb") as f:
        for art in news_articles(n, seed):
            f.write(b"#! rnews %d\n" % len(art) + art)


# ---------------------------------------------------------------- mail (SOUP "bn")
def mail_messages(n, seed):
    """Yields (message bytes, (route, recipient) for ifmail)."""
    rng = random.Random(seed * 1000003 + 2)
    tx, clock, us = Text(rng), Clock(rng), users()
    ids = []
    for i in range(n):
        t = clock.tick()
        name, addr = tx.person()
        host = addr.split("@")[1]
        k = rng.random()
        if k < 0.5:      # a gateway user by gateway-form address
            ftn, uname, _ = rng.choice(us)
            to_name, to_addr = uname, gateway_form(uname, ftn)
        elif k < 0.8:    # a gateway user by the Internet address of its AddrMap entry
            ftn, uname, to_addr = rng.choice(us)
            to_name = uname
        else:            # some other FidoNet node, through the gateway
            ftn = "2:%d/%d" % (rng.choice([5020, 5030, 240, 2448, 463]), rng.randint(1, 400))
            to_name = "%s %s" % (rng.choice(FIRST), rng.choice(LAST).replace(" ", ""))
            to_addr = gateway_form(to_name, ftn)
        reply = ids and rng.random() < 0.4
        subj = ("Re: " if reply else "") + rng.choice(tx.subjects)
        cs = rng.random()
        charset, enc, eight = ("ISO-8859-1", "latin-1", True) if cs < 0.11 else ("us-ascii", "ascii", False)
        qp = eight and rng.random() < 0.4
        attribution = None
        if reply:
            attribution = "%s wrote on %s:" % (to_name, clock.rfc(max(0, t - rng.randint(600, 90000))))
        body = tx.body(tx.target(), (lambda lv: ">" * lv + " ") if reply else None, attribution, eight, name)
        text = ("\n".join(body) + "\n").encode(enc, "replace")
        cte = "quoted-printable" if qp else ("8bit" if eight else "7bit")
        if qp:
            text = quopri.encodestring(text)
        msgid = mid(rng, host)
        h = ["Return-Path: <%s>" % addr,
             "Received: from mail.%s (mail.%s [192.0.2.%d])\n\tby %s (Postfix) with ESMTPS id 4Tq%05X%03d\n"
             "\tfor <%s>; %s (CET)" % (host, host, rng.randint(1, 254), GATE_HOST, rng.getrandbits(20), i % 1000,
                                       to_addr, clock.rfc(t + 2)),
             "Received: by mail.%s (Postfix, from userid %d)\n\tid %010X; %s (CET)" % (
                 host, rng.randint(1000, 1999), rng.getrandbits(40), clock.rfc(t))]
        if rng.random() < 0.4:
            b = base64.b64encode(rng.randbytes(256)).decode()
            h.append("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=%s;\n\ts=mail; t=%d;\n"
                     "\tbh=%s;\n\th=From:To:Subject:Date:Message-ID;\n\tb=%s\n\t %s\n\t %s" % (
                         host, 1709539200 + t, base64.b64encode(rng.randbytes(32)).decode(),
                         b[:70], b[70:200], b[200:]))
        h += ["From: %s <%s>" % (enc_words(name), addr), "To: %s <%s>" % (enc_words(to_name), to_addr)]
        if rng.random() < 0.1:
            cn, ca = tx.person()
            h.append("Cc: %s <%s>" % (enc_words(cn), ca))
        h += ["Subject: " + subj, "Date: " + clock.rfc(t), "Message-ID: " + msgid]
        if reply:
            ref = rng.choice(ids[-100:])
            h += ["In-Reply-To: " + ref, "References: " + ref]
        h.append("MIME-Version: 1.0")
        nattach = 0 if rng.random() >= 0.02 else rng.choice([1, 1, 1, 2])
        if nattach:
            bnd = "------------%024X" % rng.getrandbits(96)
            h.append('Content-Type: multipart/mixed;\n boundary="%s"' % bnd)
            parts = [b"This is a multi-part message in MIME format.",
                     ("--%s\nContent-Type: text/plain; charset=%s\nContent-Transfer-Encoding: %s\n"
                      % (bnd, charset, cte)).encode() + b"\n" + text]
            for a in range(nattach):
                fname = "%s-%05d-%d.%s" % (rng.choice(["report", "photo", "patch", "invoice", "nodelist"]),
                                           i, a, rng.choice(["pdf", "jpg", "zip", "tar.gz"]))
                size = int(min(120000, max(1000, rng.lognormvariate(9.4, 0.8))))  # median ~12 KB
                parts.append(("--%s\nContent-Type: application/octet-stream; name=\"%s\"\n"
                              "Content-Disposition: attachment; filename=\"%s\"\n"
                              "Content-Transfer-Encoding: base64\n\n%s\n" % (
                                  bnd, fname, fname, "\n".join(fold_b64(rng, size)))).encode())
            payload = b"\n".join(parts) + ("--%s--\n" % bnd).encode()
        else:
            h += ["Content-Type: text/plain; charset=%s" % charset, "Content-Transfer-Encoding: " + cte]
            payload = text
        h.append("X-Mailer: " + rng.choice(AGENTS))
        ids.append(msgid)
        if len(ids) > 400:
            del ids[:200]
        yield ("\n".join(h) + "\n\n").encode("utf-8") + payload, (IFMAIL_ROUTE, gateway_form(to_name, ftn))


def write_mail(n, seed, out, eml_dir=None, eml_count=0):
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "AREAS"), "w") as f:
        f.write("MAIL0001\tEmail\tbn\n")
    rc = None
    if eml_dir:
        os.makedirs(eml_dir, exist_ok=True)
        rc = open(os.path.join(eml_dir, "rcpt"), "w")
    with open(os.path.join(out, "MAIL0001.MSG"), "wb") as f:
        for i, (msg, (route, rcpt)) in enumerate(mail_messages(n, seed)):
            f.write(struct.pack(">I", len(msg)) + msg)
            if rc and i < eml_count:
                with open(os.path.join(eml_dir, "%05d.eml" % i), "wb") as e:
                    e.write(msg)
                rc.write("%05d.eml %s %s\n" % (i, route, rcpt))
    if rc:
        rc.close()


# ---------------------------------------------------------------- FidoNet packet for EXPORT / iftoss / crashmail
def cstr(s, limit):
    return s.encode("cp437", "replace")[:limit] + b"\0"


def write_pkt(n, seed, out):
    rng = random.Random(seed * 1000003 + 3)
    tx, clock = Text(rng), Clock(rng)
    gz, gnet, gnode, _ = mkpkt.parse_addr(GATE)
    bz, bnet, bnode, _ = mkpkt.parse_addr(BOSS)
    when = mkpkt.parse_time("2024-03-04 08:00:00")
    senders = [(ftn, name) for ftn, name, _ in users()[1:]]   # the gateway's AddrMap users
    remote = [("2:%d/%d" % (rng.choice([5020, 5030, 240, 2448, 463, 280]), rng.randint(1, 400)) +
               (".%d" % rng.randint(1, 30) if rng.random() < 0.3 else ""),
               "%s %s" % (rng.choice(FIRST), rng.choice(LAST))) for _ in range(300)]
    serial = rng.getrandbits(32)
    msgids = []
    with open(out, "wb") as f:
        f.write(mkpkt.pkt_header(mkpkt.parse_addr(BOSS), mkpkt.parse_addr(GATE), when, ""))
        for i in range(n):
            t = clock.tick()
            echo = rng.random() < 0.75
            sender, sname = rng.choice(remote if echo and rng.random() < 0.7 else senders)
            sz, snet, snode, spnt = mkpkt.parse_addr(sender)
            serial = (serial + rng.randint(1, 5000)) & 0xFFFFFFFF
            msgid = "%s %08x" % (sender, serial)
            pid = rng.choice(FIDO_PIDS)
            eight = rng.random() < 0.12
            reply = msgids and rng.random() < 0.55
            initials = "".join(w[0] for w in sname.split()[:2])
            kl = []
            if echo:
                area = AREA_TAGS[min(len(AREA_TAGS) - 1, int(rng.expovariate(0.35)))]
                to_name = "All" if rng.random() < 0.5 else "%s %s" % (rng.choice(FIRST), rng.choice(LAST))
                kl.append("AREA:" + area)
                attr = 0
            else:
                to_name = "UUCP"
                kl.append("\x01INTL %d:%d/%d %d:%d/%d" % (gz, gnet, gnode, sz, snet, snode))
                if spnt:
                    kl.append("\x01FMPT %d" % spnt)
                attr = 0x0101  # private, local
            kl.append("\x01MSGID: " + msgid)
            if reply:
                kl.append("\x01REPLY: " + rng.choice(msgids[-300:]))
            kl += ["\x01PID: " + pid, "\x01CHRS: %s 2" % ("CP437" if eight else "ASCII"), "\x01TZUTC: 0100"]
            lines = list(kl)
            if not echo:
                person, paddr = tx.person()
                lines += ["To: %s" % paddr, ""]   # the gateway's address line (a "To:" line at the top of the text)
            qi = initials if reply else None
            addressee = to_name if echo else person
            body = tx.body(tx.target(), (lambda lv, q=qi: " %s%s " % (q, ">" * lv)) if qi else None,
                           ("In a message of <%s>, %s wrote:" % (clock.fido(max(0, t - 3600)).split("  ")[0],
                                                                 addressee) if reply else None), eight, sname)
            lines += body
            lines += ["", "--- " + pid, " * Origin: %s BBS, Example City (%s)" % (sname.split()[-1], sender)]
            if echo:
                nodes = sorted({rng.randint(1, 999) for _ in range(rng.randint(8, 30))})
                sb, cur = [], "SEEN-BY:"
                for nd in ["280/1", "280/5"] + ["%d/%d" % (rng.choice([280, 5020, 463]), x) for x in nodes]:
                    if len(cur) + len(nd) > 77:
                        sb.append(cur); cur = "SEEN-BY:"
                    cur += " " + nd
                sb.append(cur)
                lines += sb + ["\x01PATH: %d/%d 280/1" % (snet, snode)]
            else:
                y, mo, d, h, mi, sec, _ = clock.parts(t)
                lines.append("\x01Via %d:%d/%d @%04d%02d%02d.%02d%02d%02d %s" % (bz, bnet, bnode, y, mo, d, h, mi, sec, pid))
            text = "\r".join(lines) + "\r"
            f.write(struct.pack("<7H", 2, snode, gnode, snet, gnet, attr, 0))
            f.write(cstr(clock.fido(t), 19) + cstr(to_name, 35) + cstr(sname, 35) +
                    cstr(("Re: " if reply else "") + rng.choice(tx.subjects), 71))
            f.write(text.encode("cp437", "replace") + b"\0")
            msgids.append(msgid)
            if len(msgids) > 600:
                del msgids[:300]
        f.write(b"\0\0")


# ---------------------------------------------------------------- configuration and counting
def qcfg(root):
    r = root.rstrip("/") + "/"
    out = ["; quillmar benchmark configuration (generated by bench/gen.py)",
           "FidoAddr " + GATE]
    for ftn, name, inet in users():
        out.append("AddrMap %s %s %s" % (ftn, inet, name))
    out += ["FidoDomain 1-6 " + DOMAIN, "MailerType Binkley",
            "InboundDir %sin/" % r, "OutboundDir %sout/" % r, "SoupDir %ssoup/" % r,
            "TempDir %stmp/" % r, "LogFile %squillmar.log" % r]
    return "\n".join(out) + "\n"


def count(kind, paths):
    total = 0
    for p in paths:
        with open(p, "rb") as fh:
            d = fh.read()
        pos, end = 0, len(d)
        if kind == "soup":
            while pos + 4 <= end:
                ln, = struct.unpack_from(">I", d, pos)
                pos += 4 + ln
                total += 1
        elif kind == "rnews":
            while d.startswith(b"#! rnews ", pos):
                nl = d.index(b"\n", pos)
                pos = nl + 1 + int(d[pos + 9:nl])
                total += 1
        elif kind == "pkt":
            pos = 58
            while pos + 14 <= end and d[pos:pos + 2] == b"\x02\x00":
                pos += 14
                for _ in range(4):          # date, to, from, subject
                    pos = d.index(b"\0", pos) + 1
                pos = d.find(b"\0", pos)    # text
                if pos < 0:
                    break
                pos += 1
                total += 1
    return total


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    for name in ("news", "mail", "pkt"):
        s = sub.add_parser(name)
        s.add_argument("--n", type=int, required=True)
        s.add_argument("--seed", type=int, default=1)
        s.add_argument("--out", required=True)
        if name == "mail":
            s.add_argument("--eml-dir")
            s.add_argument("--eml-count", type=int, default=0)
    sub.add_parser("areas")
    s = sub.add_parser("qcfg")
    s.add_argument("--root", required=True)
    s = sub.add_parser("count")
    s.add_argument("kind", choices=["pkt", "soup", "rnews"])
    s.add_argument("files", nargs="*")
    a = ap.parse_args(argv)
    if a.cmd == "news":
        write_news(a.n, a.seed, a.out)
    elif a.cmd == "mail":
        write_mail(a.n, a.seed, a.out, a.eml_dir, a.eml_count)
    elif a.cmd == "pkt":
        write_pkt(a.n, a.seed, a.out)
    elif a.cmd == "areas":
        for t in AREA_TAGS:
            print(t, t.lower())
    elif a.cmd == "qcfg":
        sys.stdout.write(qcfg(a.root))
    elif a.cmd == "count":
        print(count(a.kind, a.files))
    return 0


if __name__ == "__main__":
    sys.exit(main())

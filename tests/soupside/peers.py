#!/usr/bin/python3
"""Peers of quillmar-soup for its tests, on 127.0.0.1.

smtp PORTFILE MAILDIR [REFUSED...]
    A real SMTP server (aiosmtpd, from Debian) that delivers every accepted
    mail into MAILDIR; recipients in REFUSED get a permanent 550.
post PORT FILE
    Posts the article in FILE to the news server on PORT.
subjects PORT GROUP
    Prints the Subject of every article of GROUP on the news server on PORT.
fill PORT GROUP PREFIX COUNT [BODYSIZE]
    Posts COUNT generated articles to GROUP on the news server on PORT over
    one connection, with the subjects PREFIX0, PREFIX1, ... and a body of
    about BODYSIZE bytes (default 200).
nntp PORTFILE SPOOL [--tls CERT KEY [--implicit-tls]] [--user USER PASS] [--over]
    A STAND-IN news server written here with the standard library, for the
    parts a packaged server cannot be set up for in a test (TLS, logins,
    refusals, no overview, renumbered groups). Groups are the folders of
    SPOOL, articles the numbered files in them (a test renumbers a group by
    renaming them); STAT takes a number or a Message-ID; POST files an
    article into the groups its Newsgroups header names that exist; a
    group named *.refused refuses every article (441).
    In a group named *.broken the server closes the connection in the
    middle of article 2; in one named *.hang it stops sending there. With
    --over it offers the overview (OVER), as INN does; without it, none.
"""
import mailbox
import os
import socket
import socketserver
import ssl
import sys
import threading
import time


def write_port(path, port):
    with open(path + ".new", "w") as f:
        f.write(str(port))
    os.rename(path + ".new", path)


def run_smtp(portfile, maildir, refused):
    from aiosmtpd.controller import Controller

    box = mailbox.Maildir(maildir, create=True)

    class Handler:
        async def handle_RCPT(self, server, session, envelope, address, options):
            if address in refused:
                return "550 5.1.1 no such user here"
            envelope.rcpt_tos.append(address)
            return "250 OK"

        async def handle_DATA(self, server, session, envelope):
            box.add(envelope.original_content or envelope.content)
            return "250 2.0.0 delivered"

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    controller = Controller(Handler(), hostname="127.0.0.1", port=port)
    controller.start()
    write_port(portfile, port)
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


class Spool:
    def __init__(self, root):
        self.root = root
        self.lock = threading.Lock()

    def groups(self):
        return sorted(d for d in os.listdir(self.root) if os.path.isdir(os.path.join(self.root, d)))

    def numbers(self, group):
        d = os.path.join(self.root, group)
        return sorted(int(n) for n in os.listdir(d) if n.isdigit())

    def article(self, group, number):
        try:
            with open(os.path.join(self.root, group, str(number)), "rb") as f:
                return f.read()
        except OSError:
            return None

    def find(self, message_id):
        for g in self.groups():
            for n in self.numbers(g):
                if message_id.encode() in self.header(self.article(g, n), b"message-id"):
                    return True
        return False

    @staticmethod
    def header(article, name):
        head = article.split(b"\n\n", 1)[0]
        for line in head.split(b"\n"):
            if b":" in line and line.split(b":", 1)[0].strip().lower() == name:
                return line.split(b":", 1)[1].strip()
        return b""

    def post(self, article):
        with self.lock:
            groups = [g.strip().decode() for g in self.header(article, b"newsgroups").split(b",")]
            groups = [g for g in groups if g in self.groups()]
            if not groups:
                return "441 no such group"
            if any(g.endswith(".refused") for g in groups):
                return "441 posting to this group is refused"
            mid = self.header(article, b"message-id").decode()
            if mid and self.find(mid):
                return "441 435 duplicate"
            for g in groups:
                numbers = self.numbers(g)
                n = numbers[-1] + 1 if numbers else 1
                with open(os.path.join(self.root, g, str(n)), "wb") as f:
                    f.write(article)
            return "240 article posted"


def run_nntp(portfile, root, tls, user, implicit, over=False):
    spool = Spool(root)
    context = None
    if tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(tls[0], tls[1])

    class Handler(socketserver.StreamRequestHandler):
        def send(self, line):
            self.wfile.write(line.encode() + b"\r\n")
            self.wfile.flush()

        def lines(self):
            while True:
                line = self.rfile.readline()
                if not line:
                    return
                yield line

        def handle(self):
            if implicit:
                self.connection = context.wrap_socket(self.connection, server_side=True)
                self.rfile = self.connection.makefile("rb")
                self.wfile = self.connection.makefile("wb")
            self.send("200 stand-in news server ready")
            group = None
            logged_in = user is None
            pending_user = None
            for raw in self.lines():
                words = raw.decode("latin-1").strip().split()
                if not words:
                    continue
                verb = words[0].upper()
                if verb == "QUIT":
                    self.send("205 bye")
                    return
                if verb == "STARTTLS" and context:
                    self.send("382 go ahead")
                    self.connection = context.wrap_socket(self.connection, server_side=True)
                    self.rfile = self.connection.makefile("rb")
                    self.wfile = self.connection.makefile("wb")
                    continue
                if verb == "MODE":
                    self.send("200 reader mode")
                    continue
                if verb == "AUTHINFO" and len(words) == 3 and words[1].upper() == "USER":
                    pending_user = words[2]
                    self.send("381 password please")
                    continue
                if verb == "AUTHINFO" and len(words) == 3 and words[1].upper() == "PASS":
                    if user and pending_user == user[0] and words[2] == user[1]:
                        logged_in = True
                        self.send("281 welcome")
                    else:
                        self.send("481 wrong")
                    continue
                if not logged_in:
                    self.send("480 login first")
                    continue
                if verb == "GROUP" and len(words) == 2:
                    if words[1] not in spool.groups():
                        self.send("411 no such group")
                        continue
                    group = words[1]
                    n = spool.numbers(group)
                    if n:
                        self.send("211 %d %d %d %s" % (len(n), n[0], n[-1], group))
                    else:
                        self.send("211 0 1 0 %s" % group)
                    continue
                if verb == "ARTICLE" and len(words) == 2 and group:
                    a = spool.article(group, int(words[1])) if words[1].isdigit() else None
                    if a is None:
                        self.send("423 no such article")
                        continue
                    self.send("220 %s <x> article" % words[1])
                    out = b""
                    for line in a.split(b"\n")[:-1] if a.endswith(b"\n") else a.split(b"\n"):
                        out += (b"." if line.startswith(b".") else b"") + line + b"\r\n"
                    if words[1] == "2" and group.endswith((".broken", ".hang")):
                        self.wfile.write(out[: len(out) // 2])
                        self.wfile.flush()
                        if group.endswith(".hang"):
                            time.sleep(30)
                        return
                    self.wfile.write(out + b".\r\n")
                    self.wfile.flush()
                    continue
                if verb == "OVER" and over and len(words) == 2 and group:
                    first, _, last = words[1].partition("-")
                    if not first.isdigit() or not last.isdigit():
                        self.send("501 a range please")
                        continue
                    self.send("224 overview follows")
                    for n in spool.numbers(group):
                        if int(first) <= n <= int(last):
                            a = spool.article(group, n)
                            fields = [
                                spool.header(a, name).decode("latin-1").replace("\t", " ")
                                for name in (b"subject", b"from", b"date", b"message-id",
                                             b"references")
                            ]
                            lines = a.split(b"\n\n", 1)[-1].count(b"\n")
                            self.send("\t".join([str(n)] + fields + [str(len(a)), str(lines)]))
                    self.send(".")
                    continue
                if verb == "STAT" and len(words) == 2 and words[1].isdigit() and group:
                    a = spool.article(group, int(words[1]))
                    if a is None:
                        self.send("423 no such article")
                    else:
                        mid = spool.header(a, b"message-id").decode("latin-1")
                        self.send("223 %s %s" % (words[1], mid or "<0>"))
                    continue
                if verb == "STAT" and len(words) == 2 and words[1].startswith("<"):
                    if spool.find(words[1]):
                        self.send("223 0 %s" % words[1])
                    else:
                        self.send("430 no such article")
                    continue
                if verb == "POST":
                    self.send("340 send it")
                    body = b""
                    for line in self.lines():
                        if line in (b".\r\n", b".\n"):
                            break
                        line = line.rstrip(b"\r\n")
                        if line.startswith(b".."):
                            line = line[1:]
                        body += line + b"\n"
                    self.send(spool.post(body))
                    continue
                self.send("500 what?")

    class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", 0), Handler)
    write_port(portfile, server.server_address[1])
    server.serve_forever()


class Client:
    """A plain news client for the tests' own checks of a server."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", int(port)), timeout=30)
        self.file = self.sock.makefile("rb")
        self.reply()
        self.command("MODE READER")

    def reply(self):
        return self.file.readline().decode("latin-1").rstrip("\r\n")

    def command(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        return self.reply()

    def block(self):
        lines = []
        while True:
            line = self.file.readline().rstrip(b"\r\n")
            if line == b".":
                return lines
            lines.append(line[1:] if line.startswith(b"..") else line)


def post(port, path):
    c = Client(port)
    if not c.command("POST").startswith("340"):
        sys.exit("POST refused")
    data = b""
    for line in open(path, "rb").read().split(b"\n")[:-1]:
        data += (b"." if line.startswith(b".") else b"") + line + b"\r\n"
    c.sock.sendall(data + b".\r\n")
    answer = c.reply()
    if not answer.startswith("240"):
        sys.exit(answer)


def fill(port, group, prefix, count, body_size):
    c = Client(port)
    line = b"Generated text of a test article, to give it its size.\r\n"
    body = line * max(1, body_size // len(line))
    for i in range(count):
        if not c.command("POST").startswith("340"):
            sys.exit("POST refused")
        head = ("From: Bob Example <bob@example.com>\r\nNewsgroups: %s\r\nSubject: %s%d\r\n"
                "Message-ID: <%s%d.%s@example.com>\r\n\r\n" % (group, prefix, i, prefix, i, group))
        c.sock.sendall(head.encode() + body + b".\r\n")
        answer = c.reply()
        if not answer.startswith("240"):
            sys.exit(answer)


def subjects(port, group):
    """Prints the Subject of every article of the group, one a line."""
    c = Client(port)
    answer = c.command("GROUP " + group).split()
    if answer[0] != "211":
        sys.exit(" ".join(answer))
    low, high = int(answer[2]), int(answer[3])
    for n in range(low, high + 1):
        if not c.command("HEAD %d" % n).startswith("221"):
            continue
        for line in c.block():
            if line.lower().startswith(b"subject:"):
                print(line[8:].strip().decode("latin-1"))


def main():
    kind, portfile = sys.argv[1], sys.argv[2]
    if kind == "post":
        return post(sys.argv[2], sys.argv[3])
    if kind == "subjects":
        return subjects(sys.argv[2], sys.argv[3])
    if kind == "fill":
        size = int(sys.argv[6]) if len(sys.argv) > 6 else 200
        return fill(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), size)
    if kind == "smtp":
        run_smtp(portfile, sys.argv[3], set(sys.argv[4:]))
    elif kind == "nntp":
        root = sys.argv[3]
        rest = sys.argv[4:]
        tls = user = None
        implicit = over = False
        while rest:
            if rest[0] == "--implicit-tls":
                implicit, rest = True, rest[1:]
            elif rest[0] == "--over":
                over, rest = True, rest[1:]
            elif rest[0] == "--tls":
                tls, rest = rest[1:3], rest[3:]
            elif rest[0] == "--user":
                user, rest = rest[1:3], rest[3:]
            else:
                sys.exit("unknown option " + rest[0])
        run_nntp(portfile, root, tls, user, implicit, over)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Write a FidoNet Type 2+ packet laid out field by field (packet header, packed messages).

Independent reference writer, used by gen.py to make the benchmark's
packet for the export side.

Usage:
  mkpkt.py OUT.PKT [--orig 2:345/6] [--dest 2:345/1] [--password PW]
                   [--time 'YYYY-MM-DD HH:MM:SS'] [--msg JSON]... [--fault F]

--orig is the gateway address (FidoAddr), --dest the first AddrMap address.
Each --msg is a JSON object; keys (all optional):
  kind   "net" (default) or "echo"
  area   echo area tag (default "TEST.ECHO"); the AREA line is written
         whenever kind is echo
  to, from, subj      names / subject (cut to 35, 35, 71 characters)
  morig, mdest        message origin / destination address (default: the
                      packet's orig / dest); points give FMPT / TOPT
  date   "YYYY-MM-DD HH:MM:SS" of the message (default: --time)
  body   text, lines separated by "\\n" (default: one line)
  attr   attribute word (default 0x0001 net, 0 echo)
  kludges  list of extra kludge texts without the ^A, e.g. ["MSGID: 2:345/6 1234ABCD"]
  origin   origin-line text (default "mkpkt test"); null = no tear/origin lines
Without --msg one netmail and one echomail are written.
--fault deliberately breaks the packet (to see how a tosser rejects it):
  short-header | type3 | bad-msgtype | no-end | long-subject | no-text-nul
"""
import argparse
import datetime as dt
import json
import struct
import sys

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
PID = "mkpkt 1.0"


def parse_addr(text):
    """'Z:N/F[.P]' -> (zone, net, node, point)."""
    zone, rest = text.split(":")
    net, rest = rest.split("/")
    node, _, point = rest.partition(".")
    return int(zone), int(net), int(node), int(point or 0)


def parse_time(text):
    return dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")


def pkt_header(orig, dest, when, password=""):
    """58-byte Type 2+ header, field by field, little-endian."""
    oz, onet, onode, opnt = orig
    dz, dnet, dnode, dpnt = dest
    pw = password.upper().encode("ascii")[:8].ljust(8, b"\0")
    hdr = struct.pack(
        "<HHHHHHHHHHHHBB8sHHHHBBHHHHHI",
        onode, dnode,
        when.year, when.month - 1, when.day,           # month 0..11
        when.hour, when.minute, when.second,
        0,                                             # baud
        2,                                             # packet type
        onet, dnet,
        0x00, 0,                                       # product code low, revision major
        pw,
        oz, dz,                                        # zones, first copy (offsets 34, 36)
        0,                                             # auxiliary net
        0x0100,                                        # capability word, byte-swapped copy
        0x01, 0,                                       # product code high, revision minor
        0x0001,                                        # capability word
        oz, dz, opnt, dpnt,                            # offsets 46..52
        0)                                             # product data
    assert len(hdr) == 58
    return hdr


def fido_date(when):
    # "%02d %-3s %02d  %02d:%02d:%02d": two blanks between year and hour
    return "%02d %-3s %02d  %02d:%02d:%02d" % (
        when.day, MONTHS[when.month - 1], when.year % 100,
        when.hour, when.minute, when.second)


def packed_message(m, pkt_orig, pkt_dest, default_when):
    kind = m.get("kind", "net")
    if kind not in ("net", "echo"):
        raise ValueError("kind must be net or echo")
    orig = parse_addr(m["morig"]) if "morig" in m else pkt_orig
    dest = parse_addr(m["mdest"]) if "mdest" in m else pkt_dest
    when = parse_time(m["date"]) if "date" in m else default_when
    attr = int(m.get("attr", 0x0001 if kind == "net" else 0))
    oz, onet, onode, opnt = orig
    dz, dnet, dnode, dpnt = dest

    out = struct.pack("<7H", 2, onode, dnode, onet, dnet, attr, 0)
    out += fido_date(when).encode("ascii") + b"\0"
    for key, limit, default in (("to", 35, "Sysop"), ("from", 35, "Gate Way"),
                                ("subj", 71, "test message")):
        out += str(m.get(key, default)).encode("latin-1")[:limit] + b"\0"

    lines = []
    if kind == "echo":
        lines.append("AREA:%s" % m.get("area", "TEST.ECHO"))
    lines.append("\x01INTL %d:%d/%d %d:%d/%d" % (dz, dnet, dnode, oz, onet, onode))
    if opnt:
        lines.append("\x01FMPT %d" % opnt)
    if dpnt:
        lines.append("\x01TOPT %d" % dpnt)
    lines += ["\x01" + k for k in m.get("kludges", [])]
    lines.append("\x01PID: " + PID)
    text = "\r".join(lines) + "\r"
    text += str(m.get("body", "Hello from mkpkt.")).replace("\r\n", "\r").replace("\n", "\r")
    origin = m.get("origin", "mkpkt test")
    if origin is not None:
        addr = "%d:%d/%d" % (oz, onet, onode) + (".%d" % opnt if opnt else "")
        text += "\r--- %s\r * Origin: %s (%s)\r" % (PID, origin, addr)
    elif not text.endswith("\r"):
        text += "\r"
    if kind == "net":
        text += "\x01Via %d:%d/%d @%s %s\r" % (
            oz, onet, onode, when.strftime("%Y%m%d.%H%M%S"), PID)
    else:
        text += "SEEN-BY: %d/%d\r\x01PATH: %d/%d\r" % (onet, onode, onet, onode)
    return out + text.encode("latin-1") + b"\0"


def build(args):
    orig, dest = parse_addr(args.orig), parse_addr(args.dest)
    when = parse_time(args.time)
    msgs = [json.loads(s) for s in args.msg] or [
        {"kind": "net", "subj": "netmail test"},
        {"kind": "echo", "area": "TEST.ECHO", "to": "All", "subj": "echo test"}]
    hdr = pkt_header(orig, dest, when, args.password)
    body = [packed_message(m, orig, dest, when) for m in msgs]
    end = b"\0\0"
    f = args.fault
    if f == "short-header":
        return hdr[:40]
    if f == "type3":
        hdr = hdr[:18] + struct.pack("<H", 3) + hdr[20:]
    if f == "bad-msgtype":
        body[-1] = struct.pack("<H", 7) + body[-1][2:]
    if f == "no-end":
        end = b""
    if f == "long-subject":   # 80-character subject: no NUL within 72 bytes
        m = dict(msgs[0], subj="S" * 80)
        body[0] = packed_message(m, orig, dest, when)
        body[0] = body[0].replace(b"S" * 71 + b"\0", b"S" * 80 + b"\0", 1)
    if f == "no-text-nul":    # last message text not terminated, file ends
        body[-1] = body[-1][:-1]
        end = b""
    return hdr + b"".join(body) + end


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--orig", default="2:345/6")
    ap.add_argument("--dest", default="2:345/1")
    ap.add_argument("--password", default="")
    ap.add_argument("--time", default="1999-03-09 14:05:07")
    ap.add_argument("--msg", action="append", default=[])
    ap.add_argument("--fault", choices=["short-header", "type3", "bad-msgtype",
                                        "no-end", "long-subject", "no-text-nul"])
    args = ap.parse_args(argv)
    data = build(args)
    with open(args.out, "wb") as fh:
        fh.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())

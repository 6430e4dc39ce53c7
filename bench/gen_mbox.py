#!/usr/bin/env python3
"""Writes a benchmark mailbox of about N MiB in UNIX mbox form.

    gen_mbox.py OUT --size-mib N [--japanese] [--seed S] [--summary FILE]

A pool of varied messages is built once, then emitted over and over with
changing separator dates, Message-IDs and Received headers until the size is
reached, so a GiB takes seconds. With --japanese the text is EUC-JP, built
from the entries of Debian's mecab-naist-jdic-eucjp dictionary.

The summary (OUT.json unless --summary names another file) records what was
written and what quillet must make of it: the count of messages (= delimiter
lines in the output), input lines and bytes, and the output's exact lines and
bytes, so a run over any size can be checked without a second converter.
"""

import argparse
import json
import random
import sys
import time

DELIMITER = (b"====================KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem"
             b"====================")
NAIST_JDIC = "/usr/share/mecab/dic/naist-jdic-eucjp/naist-jdic.csv"
POOL_SIZE = 600
MIB = 1 << 20

ENGLISH_WORDS = """
the of and to in is that for it as was with be by on not he this are or his from at which but have an
they you were her she there been one all we their has would when if so no out up more can into only
some could them other than then now its time two may first over new these any like our most after
also made did many before must through back years where much your way well down should because each
just those people how too little state good very make world still see own men work long here get both
between life being under never day same another know while last might us great old year off come since
against go came right used take three states himself few house use during without again place around
however home small found thought went say part once general high upon school every last does got
united left number course war until always away something fact though water less public put think
almost hand enough far took head yet government system better set told nothing night end why called
didn't eyes find going look asked later knew point next program city business give group toward
young days let room president side social given present several order national possible rather
second face per among form important often things looked early white case john become large big need
four within felt along children saw best church ever least power development light thing seemed
family interest want members mind country area others done turned although open god service certain
kind problem began different door thus help sense means whole matter perhaps itself york times law
human line above name example action company local show whether five history gave today either act
feet across taken past quite anything having seen death experience body word half really week
build release patch kernel server mailbox message folder disk backup meeting schedule report draft
review invoice budget quarter deadline release candidate regression benchmark compiler linker
""".split()

FIRST_NAMES = ["alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi", "ivan", "judy",
               "mallory", "oscar", "peggy", "rupert", "sybil", "trent", "victor", "walter", "taro",
               "hanako", "jiro", "yuki", "kenji", "sachiko"]
DOMAINS = ["example.org", "example.net", "example.com", "mail.example.jp", "lists.example.org",
           "corp.example.co.jp", "univ.example.ac.jp", "isp.example.ne.jp"]
MAILERS = ["Mozilla 4.76 [en] (X11; U; Linux 2.4.20 i686)", "Microsoft Outlook Express 6.00.2800.1106",
           "Becky! ver. 2.05.10", "Sylpheed version 0.9.6 (GTK+ 1.2.10; i686-pc-linux-gnu)",
           "Mew version 3.3 on Emacs 21.3 / Mule 5.0", "Datula version 1.51.09 for Windows"]
WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
BASE64 = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


class Text:
    """Makes lines of text in one language; every line returned ends in LF."""

    def __init__(self, rng, japanese):
        self.rng = rng
        self.japanese = japanese
        if japanese:
            self._load_dictionary()
        else:
            self.words = [w.encode("ascii") for w in ENGLISH_WORDS]

    def _load_dictionary(self):
        try:
            with open(NAIST_JDIC, "rb") as f:
                data = f.read()
        except OSError as e:
            sys.exit(f"gen_mbox.py: {e}; install Debian's mecab-naist-jdic-eucjp")
        # A fixed sample keeps the pool build quick; the dictionary is sorted by
        # nothing useful, so a seeded sample is as varied as the whole.
        rows = [r for r in data.split(b"\n") if r and b"\r" not in r and b"\x1a" not in r]
        self.rows = self.rng.sample(rows, 60000)
        self.words = [r.split(b",", 1)[0] for r in self.rows]
        self.words = [w for w in self.words if w]

    def sentence(self, target):
        """Words up to about target bytes, with punctuation, no LF."""
        rng = self.rng
        out = []
        size = 0
        if self.japanese:
            while size < target:
                w = rng.choice(self.words)
                out.append(w)
                size += len(w)
                r = rng.random()
                if r < 0.12:
                    out.append("、".encode("euc-jp"))
                    size += 2
                elif r < 0.17:
                    out.append("。".encode("euc-jp"))
                    size += 2
            return b"".join(out)
        while size < target:
            w = rng.choice(self.words)
            out.append(w)
            size += len(w) + 1
        s = b" ".join(out)
        return s[:1].upper() + s[1:] + b"."

    def line(self):
        return self.sentence(self.rng.randint(30, 72)) + b"\n"

    def paragraph(self):
        return b"".join(self.line() for _ in range(self.rng.randint(2, 8)))

    def long_line(self, low, high):
        return self.sentence(self.rng.randint(low, high)) + b"\n"

    def dictionary_lines(self, count):
        """Whole dictionary entries: ASCII fields mixed with EUC-JP, some past 255 bytes."""
        return b"".join(self.rng.choice(self.rows) + b"\n" for _ in range(count))


def address(rng):
    return f"{rng.choice(FIRST_NAMES)}.{rng.choice(FIRST_NAMES)}@{rng.choice(DOMAINS)}"


def body(rng, text):
    """One message body: every line ends in LF, the last one is not empty."""
    parts = []
    greeting = rng.choice(FIRST_NAMES).capitalize()
    parts.append((f"{greeting}さん\n".encode("euc-jp") if text.japanese else f"Hi {greeting},\n".encode()) + b"\n")
    for _ in range(rng.randint(1, 6)):
        parts.append(text.paragraph() + b"\n")
    kind = rng.random()
    if kind < 0.25:
        # A quoted reply, with the ">From " and "From " lines mbox writers leave behind.
        quoted = [b"> " + text.line() for _ in range(rng.randint(3, 12))]
        quoted.insert(rng.randint(0, len(quoted)), b">From " + text.line())
        parts.append(f"On {rng.choice(WEEKDAYS)}, {address(rng)} wrote\n".encode() + b"".join(quoted) + b"\n")
    if kind < 0.35:
        parts.append(b"From " + text.line() + b"\n")
    if rng.random() < 0.15:
        parts.append(text.long_line(256, 2000) + b"\n")
    if rng.random() < 0.015:
        parts.append(text.long_line(4200, 20000) + b"\n")
    if text.japanese and rng.random() < 0.3:
        parts.append(text.dictionary_lines(rng.randint(2, 30)) + b"\n")
    if rng.random() < 0.08:
        # An attachment: base64 lines of 76 characters.
        lines = rng.randint(100, 2500)
        enc = bytes(rng.choice(BASE64) for _ in range(76 * 64))
        block = [enc[(i % 64) * 76:(i % 64) * 76 + 76] + b"\n" for i in range(lines)]
        parts.append(b"--boundary42\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
                     b"Content-Transfer-Encoding: base64\n\n" + b"".join(block) + b"\n--boundary42--\n\n")
    parts.append(b"-- \n" + greeting.encode() + b"\n")
    return b"".join(parts)


class Message:
    """A pool entry: the fixed parts of a message and its counted sizes."""

    def __init__(self, rng, text):
        self.sender = address(rng)
        self.to = address(rng)
        self.name = rng.choice(FIRST_NAMES).capitalize() + " " + rng.choice(FIRST_NAMES).capitalize()
        self.relays = rng.randint(1, 3)
        self.mailer = rng.choice(MAILERS)
        if text.japanese:
            self.subject = text.sentence(rng.randint(10, 40))
            self.content_type = b"text/plain; charset=EUC-JP"
        else:
            self.subject = text.sentence(rng.randint(10, 50)).rstrip(b".")
            self.content_type = b"text/plain; charset=us-ascii"
        self.body = body(rng, text)
        self.body_lines = self.body.count(b"\n")


def date_parts(t):
    g = time.gmtime(t)
    return WEEKDAYS[g.tm_wday], MONTHS[g.tm_mon - 1], g.tm_mday, g.tm_hour, g.tm_min, g.tm_sec, g.tm_year


def emit(m, n, t, seed):
    """The bytes of message n from pool entry m at time t, without its closing empty line."""
    wd, mon, day, hh, mi, ss, year = date_parts(t)
    rfc = f"{wd}, {day} {mon} {year} {hh:02}:{mi:02}:{ss:02} +0900"
    lines = [f"From {m.sender} {wd} {mon} {day:2d} {hh:02}:{mi:02}:{ss:02} {year}\n".encode(),
             f"Return-Path: <{m.sender}>\n".encode()]
    for r in range(m.relays):
        lines.append(f"Received: from relay{r}.{m.sender.split('@')[1]} (relay{r} [192.0.2.{(n + r) % 250 + 1}])\n"
                     f"\tby mx{r}.example.net (8.12.10/8.12.10) with ESMTP id h{n:08X}{r}\n"
                     f"\tfor <{m.to}>; {rfc}\n".encode())
    lines.append(f"Message-ID: <{year}{n:010d}.{seed}@{m.sender.split('@')[1]}>\n"
                 f"Date: {rfc}\nFrom: {m.name} <{m.sender}>\nTo: {m.to}\n".encode())
    lines.append(b"Subject: " + m.subject + b"\nMIME-Version: 1.0\nContent-Type: " + m.content_type +
                 b"\nContent-Transfer-Encoding: 8bit\nX-Mailer: " + m.mailer.encode() + b"\n\n")
    head = b"".join(lines)
    return head, head.count(b"\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--size-mib", type=float, required=True)
    ap.add_argument("--japanese", action="store_true")
    ap.add_argument("--seed", type=int, default=20031013)
    ap.add_argument("--summary")
    args = ap.parse_args()

    rng = random.Random(args.seed)
    text = Text(rng, args.japanese)
    pool = [Message(rng, text) for _ in range(POOL_SIZE)]

    target = int(args.size_mib * MIB)
    messages = in_lines = in_bytes = out_lines = out_bytes = 0
    t = 1066022632  # Mon Oct 13 05:23:52 2003 UTC
    chunk = []
    chunk_size = 0
    with open(args.out, "wb") as f:
        while in_bytes < target:
            m = pool[rng.randrange(POOL_SIZE)]
            head, head_lines = emit(m, messages, t, args.seed)
            t += rng.randint(30, 40000)
            chunk += (head, m.body, b"\n")
            size = len(head) + len(m.body) + 1
            chunk_size += size
            messages += 1
            in_bytes += size
            in_lines += head_lines + m.body_lines + 1
            # The separator becomes the delimiter line, the closing empty line
            # goes, every other LF becomes CR LF.
            sep = head.index(b"\n") + 1
            out_lines += head_lines + m.body_lines
            out_bytes += (len(DELIMITER) + 2) + (len(head) - sep + head_lines - 1) + (len(m.body) + m.body_lines)
            if chunk_size >= 4 * MIB:
                f.write(b"".join(chunk))
                chunk, chunk_size = [], 0
        f.write(b"".join(chunk))

    summary = {"path": args.out, "japanese": args.japanese, "seed": args.seed, "messages": messages,
               "input_lines": in_lines, "input_bytes": in_bytes,
               "output_lines": out_lines, "output_bytes": out_bytes}
    with open(args.summary or args.out + ".json", "w") as s:
        json.dump(summary, s, indent=1)
        s.write("\n")
    print(json.dumps(summary))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Hostile inputs and file-system faults for quillet, end to end.

Each case copies the real program (and, for -e, a converter library) into a
temporary directory of its own, runs it, and checks the diagnostic, the exit
status and everything left on disk. Cases that need permissions to bite run
the program as the user nobody when this runs as root.

Usage: run_hostile.py --exe PATH [--lib PATH] [--lib-without-convert PATH]
                      [--lib-without-option PATH] [-k PATTERN] [--keep]
"""

import argparse
import hashlib
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

# ---------------------------------------------------------------------------
# Fixed texts of the program

DELIM = (b"=" * 20
         + b"KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem"
         + b"=" * 20)
NO_DATA = b"no data!\n"
NOT_MBOX = b"maybe not unix mbox format file!\n"
OUT_DIR_FAILED = b"temporary directory open failed\n"
LOAD_FAILED = b"load failed nkf32.dll\n"
FAIL = 255  # exit status -1 as a POSIX shell sees it
LIBRARY_FILE = "libnkf32.so"
RUN_SECONDS = 60

SEP1 = b"From a Wed Oct 13 14:23:52 2003"
SEP2 = b"From b Thu Oct 14 09:05:00 2003"
S1 = b"Subject: one"
S2 = b"Subject: two"

# "konnichiha" in EUC-JP and in Shift-JIS.
EUC = bytes.fromhex("a4b3a4f3a4cba4c1a4cf")
SJIS = bytes.fromhex("82b182f182c982bf82cd")


def lf(*lines):
    return b"".join(line + b"\n" for line in lines)


def crlf(*lines):
    return b"".join(line + b"\r\n" for line in lines)


def pattern(n):
    """n bytes without LF, CR, NUL, 0x1A, blanks or colons, so nothing in it
    is a line end or a separator, and a lost or doubled block shows."""
    alphabet = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    block = alphabet * (n // len(alphabet) + 1)
    return block[:n]


WORKED_IN = lf(SEP1, S1, b"", b"body one", b"", SEP2, S2, b"", b"body two", b"")
WORKED_OUT = crlf(DELIM, S1, b"", b"body one", DELIM, S2, b"", b"body two")
EUC_IN = lf(SEP1, S1, b"", EUC, b"")
EUC_OUT = crlf(DELIM, S1, b"", SJIS)


# ---------------------------------------------------------------------------
# A simple model of the rewrite, line by line

SPACE = b" \t\n\v\f\r"


def scan_integer(text, at, width):
    """%Nd: white space skipped, then a sign and digits, at most width
    characters (None: any), at least one digit. The position after it, or None."""
    while at < len(text) and text[at] in SPACE:
        at += 1
    used = digits = 0
    if at < len(text) and text[at] in b"+-":
        at += 1
        used += 1
    while (width is None or used < width) and at < len(text) and 0x30 <= text[at] <= 0x39:
        at += 1
        used += 1
        digits += 1
    return at if digits else None


def skip_space(text, at):
    while at < len(text) and text[at] in SPACE:
        at += 1
    return at


def date_test(piece):
    """From 13 bytes before the first colon: "%3c %3c%3d %2d:%2d:%2d %d"."""
    colon = piece.find(b":")
    if colon < 13:
        return False
    text, at = piece[colon - 13:], 3
    if len(text) < 3:
        return False
    at = skip_space(text, at)
    if len(text) < at + 3:
        return False
    at += 3
    # Day, then hours, minutes and seconds with a colon right after the first two.
    for width, literal in ((3, None), (2, b":"), (2, b":"), (2, None)):
        at = scan_integer(text, at, width)
        if at is None:
            return False
        if literal is not None:
            if text[at:at + 1] != literal:
                return False
            at += 1
    at = skip_space(text, at)
    return scan_integer(text, at, None) is not None


def first_piece(line):
    """What the tests see of a line: its first 255 bytes, to the first NUL."""
    return line[:255].split(b"\0")[0]


def is_separator(line):
    piece = first_piece(line)
    return piece.startswith(b"From ") and date_test(piece)


def model(data):
    """(stderr, output) the rules give for an input file: stderr empty and the
    output bytes after a conversion, else the diagnostic and None."""
    text = data.split(b"\x1a")[0].replace(b"\r", b"")
    if not text:
        return NO_DATA, None
    lines = text.split(b"\n")
    lines = [line + b"\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])
    first = 0
    while first < len(lines):
        piece = first_piece(lines[first])
        if piece.startswith(b"From ") or date_test(piece):
            break
        first += 1
    header = first + 1
    if header >= len(lines) or b":" not in first_piece(lines[header]):
        return NOT_MBOX, None
    out = [DELIM + b"\r\n"]
    for i in range(header, len(lines)):
        line = lines[i]
        last = i + 1 == len(lines)
        if i > header and is_separator(line):
            out.append(DELIM + b"\r\n")
        elif line == b"\n" and (last or is_separator(lines[i + 1])):
            pass  # the empty line closing a message, or an empty last line
        else:
            out.append(line[:-1] + b"\r\n" if line.endswith(b"\n") else line)
    return b"", b"".join(out)


def split_name(path):
    """Output file name for an input path without drive or lead bytes: the
    first 260 bytes, name and extension of the final component, each cut to 255."""
    head = path[:260]
    final = head[max(head.rfind("/"), head.rfind("\\")) + 1:]
    if final in (".", ".."):
        return "_$$$"
    dot = final.rfind(".")
    name, ext = (final, "") if dot < 0 else (final[:dot], final[dot:])
    return name[:255] + "_$$$" + ext[:255]


# ---------------------------------------------------------------------------
# Running the program in a sandbox

class CaseFailure(Exception):
    pass


class Skip(Exception):
    pass


def shown(data, limit=120):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


def expect_equal(label, expected, actual):
    if expected == actual:
        return
    if isinstance(expected, bytes) and isinstance(actual, bytes):
        common = min(len(expected), len(actual))
        first = next((i for i in range(common) if expected[i] != actual[i]), common)
        start = max(0, first - 24)
        raise CaseFailure("%s: expected %d bytes, got %d; first difference at %d\n"
                          "    expected ...%s\n    actual   ...%s"
                          % (label, len(expected), len(actual), first,
                             shown(expected[start:first + 48]), shown(actual[start:first + 48])))
    raise CaseFailure("%s: expected %s, got %s" % (label, shown(expected), shown(actual)))


def other_user():
    """Command prefix that runs the program as a user the permissions bite
    on: nobody when this runs as root, else this very user."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv"):
        return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
    if shutil.which("runuser"):
        return ["runuser", "-u", "nobody", "--"]
    raise Skip("running as root without setpriv or runuser to drop to nobody")


def nobody_ids():
    import pwd
    entry = pwd.getpwnam("nobody")
    return entry.pw_uid, entry.pw_gid


DIR = ("dir",)


def link(target):
    return ("link", target)


class Sandbox:
    """A temporary directory holding a copy of the program in exe_dir."""

    def __init__(self, options, lib=None, exe_dir="bin"):
        self.options = options
        # As root, under /tmp, which the user nobody can reach whatever TMPDIR says.
        parent = "/tmp" if os.geteuid() == 0 and os.path.isdir("/tmp") else None
        self.base = os.path.realpath(tempfile.mkdtemp(prefix="quillet-hostile-", dir=parent))
        os.chmod(self.base, 0o755)  # the user nobody must reach the program
        self.exe_dir = os.path.join(self.base, exe_dir)
        os.makedirs(self.exe_dir, exist_ok=True)
        self.exe = os.path.join(self.exe_dir, "quillet")
        shutil.copy2(options.exe, self.exe)
        self.ignored = {os.path.relpath(self.exe, self.base)}
        if lib:
            copy = os.path.join(self.exe_dir, LIBRARY_FILE)
            shutil.copy2(lib, copy)
            self.ignored.add(os.path.relpath(copy, self.base))

    def path(self, rel):
        return os.path.join(self.base, rel)

    def out_rel(self, name="inbox_$$$"):
        return os.path.relpath(os.path.join(self.exe_dir, "quillet_out", name), self.base)

    def out_message(self, kind, name="inbox_$$$"):
        return b"file %s failed. %s\n" % (kind.encode(), os.fsencode(self.path(self.out_rel(name))))

    def write(self, rel, data, mode=0o644):
        path = self.path(rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)

    def mkdir(self, rel, mode=0o755):
        os.makedirs(self.path(rel), exist_ok=True)
        os.chmod(self.path(rel), mode)

    def symlink(self, rel, target):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        os.symlink(target, self.path(rel))

    def hand_over(self, rel):
        """Lets the other user write in rel (a no-op when not root)."""
        if os.geteuid() == 0:
            uid, gid = nobody_ids()
            os.chown(self.path(rel), uid, gid)

    def run(self, args, cwd=".", env=None, as_other_user=False, file_size_limit=None):
        prefix = other_user() if as_other_user else []
        environment = {k: v for k, v in os.environ.items() if k.upper() != "TMP"}
        environment.update(env or {})

        def limit_file_size():
            # A write past the limit then fails with EFBIG instead of a signal.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        try:
            done = subprocess.run(prefix + [self.exe] + args, cwd=self.path(cwd), env=environment,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=RUN_SECONDS,
                                  preexec_fn=limit_file_size if file_size_limit else None)
        except subprocess.TimeoutExpired:
            raise CaseFailure("timed out after %d s: quillet %s" % (RUN_SECONDS, shown(args)))
        return done.returncode, done.stdout, done.stderr

    def tree(self):
        """rel -> ("file", size, sha256) | DIR | ("link", target), walking by
        directory handles so paths longer than the system allows still work."""
        entries = {}
        for top, dirs, files, top_fd in os.fwalk(self.base):
            rel_top = os.path.relpath(top, self.base)
            for name in dirs + files:
                rel = os.path.normpath(os.path.join(rel_top, name))
                if rel in self.ignored:
                    continue
                info = os.stat(name, dir_fd=top_fd, follow_symlinks=False)
                if stat.S_ISLNK(info.st_mode):
                    entries[rel] = link(os.readlink(name, dir_fd=top_fd))
                elif stat.S_ISDIR(info.st_mode):
                    entries[rel] = DIR
                elif not os.access(name, os.R_OK, dir_fd=top_fd):
                    entries[rel] = ("unreadable file", info.st_size, stat.S_IMODE(info.st_mode))
                else:
                    fd = os.open(name, os.O_RDONLY, dir_fd=top_fd)
                    with os.fdopen(fd, "rb") as f:
                        entries[rel] = file_entry(f.read())
        return entries

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def close(self):
        if self.options.keep:
            print("  kept in %s" % self.base)
            return
        # Give back what the other user may have made read-only.
        for top, dirs, _, top_fd in os.fwalk(self.base):
            for name in dirs:
                try:
                    os.chmod(name, 0o755, dir_fd=top_fd, follow_symlinks=False)
                except (OSError, NotImplementedError):
                    pass
        os.chmod(self.base, 0o755)
        shutil.rmtree(self.base, ignore_errors=True)


def file_entry(data):
    return ("file", len(data), hashlib.sha256(data).hexdigest())


def expect_run(result, status, stderr, stdout=b""):
    got_status, got_stdout, got_stderr = result
    expect_equal("stderr", stderr, got_stderr)
    expect_equal("stdout", stdout, got_stdout)
    expect_equal("exit status", status, got_status)


def expect_tree(sb, before, changes):
    """The sandbox holds what it held before, with changes: rel -> bytes,
    DIR, link(target), or None for absent."""
    expected = dict(before)
    for rel, entry in changes.items():
        if entry is None:
            expected.pop(rel, None)
        elif isinstance(entry, bytes):
            expected[rel] = file_entry(entry)
        else:
            expected[rel] = entry
    actual = sb.tree()
    for rel in sorted(set(expected) | set(actual)):
        if expected.get(rel) == actual.get(rel):
            continue
        want = changes.get(rel)
        if isinstance(want, bytes) and actual.get(rel, ("",))[0] == "file":
            expect_equal("file " + rel, want, sb.read(rel))
        raise CaseFailure("%s: expected %s, found %s" % (rel, describe(expected.get(rel)),
                                                         describe(actual.get(rel))))


def describe(entry):
    if entry is None:
        return "nothing"
    if entry[0] == "file":
        return "a file of %d bytes" % entry[1]
    if entry[0] == "link":
        return "a link to %s" % entry[1]
    return "a directory"


def converts(sb, args, data, expected, **run):
    """Running on `inbox` holding data succeeds with the expected output."""
    sb.write("inbox", data)
    before = sb.tree()
    result = sb.run(args, **run)
    expect_run(result, 0, b"")
    expect_tree(sb, before, {sb.out_rel(): expected, sb.out_rel(""): DIR})
    return result


def fails(sb, args, stderr, changes=None, **run):
    """Running fails with stderr; nothing changes on disk but changes and the
    output directory."""
    before = sb.tree()
    result = sb.run(args, **run)
    expect_run(result, FAIL, stderr)
    expect_tree(sb, before, dict({sb.out_rel(""): DIR}, **(changes or {})))


def make_deep_dir(sb, rel_start, length, component=200):
    """Real nested directories under rel_start making a path of `length`
    bytes (relative to the sandbox), built by directory handles since the
    system refuses the whole path. Returns the relative path."""
    parts = []
    total = len(rel_start)
    while total < length:
        size = min(component, length - total - 1)
        parts.append("n" * max(size, 1))
        total += max(size, 1) + 1
    fd = os.open(sb.path(rel_start), os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in parts:
            os.mkdir(part, 0o755, dir_fd=fd)
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
    finally:
        os.close(fd)
    return "/".join([rel_start] + parts)


def write_deep_file(sb, rel_dir, name, data):
    fd = os.open(sb.base, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in rel_dir.split("/"):
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
        with os.fdopen(out, "wb") as f:
            f.write(data)
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# Cases: hostile contents

def huge_line_without_line_feed(sb):
    body = pattern(50 << 20)
    converts(sb, ["inbox"], lf(SEP1, S1) + body, crlf(DELIM, S1) + body)


def huge_preamble_before_first_separator(sb):
    converts(sb, ["inbox"], pattern(20 << 20) + b"\n" + WORKED_IN, WORKED_OUT)


def huge_separator_lines_are_consumed_whole(sb):
    # The second separator's tail crosses several read buffers; none of it is written.
    data = lf(SEP1, S1, b"", b"body one", b"", SEP2 + b" " + pattern(5 << 20), S2, b"", b"body two", b"")
    converts(sb, ["inbox"], data, WORKED_OUT)


def only_crs_have_no_data(sb):
    sb.write("inbox", b"\r" * (3 << 20))
    fails(sb, ["inbox"], NO_DATA)


def only_crs_and_an_eof_byte_have_no_data(sb):
    sb.write("inbox", b"\r" * (2 << 20) + b"\x1a" + WORKED_IN)
    fails(sb, ["inbox"], NO_DATA)


# (label, input, expected output or a diagnostic)
EOF_BYTE_CASES = [
    ("first_byte", b"\x1a" + WORKED_IN, NO_DATA),
    ("in_a_header", lf(SEP1, b"Subject: o\x1ane", b"", b"body"), crlf(DELIM) + b"Subject: o"),
    ("in_the_first_separator", lf(SEP1[:10] + b"\x1a" + SEP1[10:], S1), NOT_MBOX),
    ("mid_body", lf(SEP1, S1, b"", b"bo\x1ady", b"", SEP2, S2), crlf(DELIM, S1, b"") + b"bo"),
    ("after_megabytes_of_body", lf(SEP1, S1, b"") + lf(*[pattern(1000)] * 3000) + b"\x1a" + lf(SEP2, S2),
     crlf(DELIM, S1, b"") + crlf(*[pattern(1000)] * 3000)),
    ("right_after_an_empty_line", lf(SEP1, S1, b"", b"body", b"") + b"\x1a" + lf(b"more"),
     crlf(DELIM, S1, b"", b"body")),
]

# NUL bytes in headers and bodies: copied like any other byte; the tests see a
# line only up to its first NUL.
NUL_CASES = [
    ("in_header_after_colon", lf(SEP1, b"Subject: \0\0x", b"", b"body"),
     crlf(DELIM, b"Subject: \0\0x", b"", b"body")),
    ("in_header_before_colon", lf(SEP1, b"Subject\0: x", b"", b"body"), NOT_MBOX),
    ("header_of_only_nuls_and_a_colon", lf(SEP1, b":\0\0\0", b"", b"b"), crlf(DELIM, b":\0\0\0", b"", b"b")),
    ("line_of_255_nuls_before_separator", lf(SEP1, S1, b"\0" * 255, SEP2, S2),
     crlf(DELIM, S1, b"\0" * 255, DELIM, S2)),
    ("nul_right_before_line_feed", lf(SEP1, S1, b"", b"body\0", b"\0", SEP2, S2, b"x\0"),
     crlf(DELIM, S1, b"", b"body\0", b"\0", DELIM, S2, b"x\0")),
    ("nul_hides_the_separator_date", lf(SEP1, S1, b"", SEP2[:12] + b"\0" + SEP2[12:], S2),
     crlf(DELIM, S1, b"", SEP2[:12] + b"\0" + SEP2[12:], S2)),
    ("nuls_in_a_long_body_line", lf(SEP1, S1, b"", (b"\0" + pattern(99)) * 30, b""),
     crlf(DELIM, S1, b"", (b"\0" + pattern(99)) * 30)),
    ("nul_in_the_last_line_without_line_feed", lf(SEP1, S1) + b"\0tail\0", crlf(DELIM, S1) + b"\0tail\0"),
]


# The program reads its input in blocks of 1 MiB: tokens placed so that their
# byte at `pivot` is the first byte of the second block.
READ_BLOCK = 1 << 20
BLOCK_BOUNDARY_CASES = [
    ("cr_and_line_feed_split", b"text\r\n", 5),
    ("empty_line_ends_block_then_separator", b"\n" + SEP2 + b"\n", 1),
    ("separator_straddles", SEP2 + b"\n", 10),
    ("eof_byte_opens_block", b"\x1a", 0),
    ("nul_opens_block", b"ab\0cd\n", 2),
    ("run_of_crs_straddles", b"\r" * 300 + b"x\n", 150),
]


def block_boundary_case(token, pivot):
    def run(sb):
        head = lf(SEP1, S1, b"")
        need = READ_BLOCK - pivot - len(head)
        filler = lf(*[pattern(99)] * (need // 100))
        if need % 100:
            filler += pattern(need % 100 - 1) + b"\n"
        data = head + filler + token + lf(S2, b"", b"end", b"")
        assert data[READ_BLOCK] == token[pivot]
        stderr, expected = model(data)
        if expected is None:
            raise CaseFailure("the generated input is not a mailbox: %r" % stderr)
        converts(sb, ["inbox"], data, expected)
    return run


def table_case(data, expected):
    def run(sb):
        if expected in (NO_DATA, NOT_MBOX):
            sb.write("inbox", data)
            fails(sb, ["inbox"], expected)
        else:
            converts(sb, ["inbox"], data, expected)
    return run


def mixed_mailbox(rng, size):
    """A large mailbox whose line lengths wander around the 255-byte piece and
    whose lines fall across every read buffer boundary."""
    lines = []
    total = 0
    while total < size:
        lines += [SEP1 if rng.random() < 0.5 else SEP2, b"Subject: %d" % total]
        for _ in range(rng.randrange(1, 40)):
            kind = rng.random()
            if kind < 0.2:
                line = b""
            elif kind < 0.3:
                line = b"From here on" + pattern(rng.randrange(0, 300))
            elif kind < 0.35:
                line = b"x" * rng.randrange(250, 260) + SEP2
            else:
                line = pattern(rng.choice([rng.randrange(0, 300), rng.randrange(0, 3000)]))
            if rng.random() < 0.1:
                line += b"\r"
            lines.append(line)
            total += len(line) + 1
        lines.append(b"")
    return lf(*lines)


def big_mixed_mailbox_matches_model(sb):
    data = mixed_mailbox(random.Random(4711), 6 << 20)
    stderr, expected = model(data)
    if expected is None:
        raise CaseFailure("the generated mailbox is not one: %r" % stderr)
    converts(sb, ["inbox"], data, expected)


def random_input(rng):
    """Bytes drawn from pieces that matter to the rules, or plain noise."""
    if rng.random() < 0.2:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(0, 2000)))
    tokens = [SEP1, SEP2, b"From ", b"From x Mon Jan  1 00:00:00 1", S1, b"X:", b":", b"", b"\n",
              b"\n", b"\n", b"\r", b"\0", b"\x1a", b" ", b"\t", b"Wed Oct 13 14:23:52 2003",
              EUC, b"\x8e\xb1", b"\x8f\xb0\xa1", b"\xa4", pattern(300), pattern(40)]
    parts = [rng.choice(tokens) for _ in range(rng.randrange(0, 60))]
    if rng.random() < 0.02:
        parts = [b"\x1a"] + parts
    data = b"".join(parts)
    return data.replace(b"\x1a", b"") if rng.random() < 0.9 else data


def save_reproducer(data, index):
    path = os.path.join(tempfile.gettempdir(), "quillet-hostile-random-%d.bin" % index)
    with open(path, "wb") as f:
        f.write(data)
    return path


def random_binary_matches_model(sb):
    rng = random.Random(20261211)
    for index in range(80):
        data = random_input(rng)
        stderr, expected = model(data)
        sb.write("inbox", data)
        out = sb.path(sb.out_rel())
        if os.path.exists(out):
            os.remove(out)
        result = sb.run(["inbox"])
        try:
            expect_run(result, 0 if expected is not None else FAIL, stderr)
            if expected is not None:
                expect_equal("output", expected, sb.read(sb.out_rel()))
            elif os.path.exists(out):
                raise CaseFailure("an input that fails the checks left an output file")
        except CaseFailure as failure:
            raise CaseFailure("random input %d (saved to %s): %s"
                              % (index, save_reproducer(data, index), failure))


def random_binary_through_the_prepass(sb):
    rng = random.Random(1211)
    known = {NO_DATA, NOT_MBOX}
    for index in range(25):
        data = random_input(rng)
        sb.write("inbox", data)
        status, stdout, stderr = sb.run(["-e", "inbox"])
        left = sorted(name for name in os.listdir(sb.base) if name.startswith("_tmp_"))
        problem = None
        if status == 0:
            if stderr or left:
                problem = "success with stderr %s and temporary files %s" % (shown(stderr), left)
        elif status != FAIL or stderr not in known:
            problem = "status %d, stderr %s" % (status, shown(stderr))
        elif left != ["_tmp_0"]:
            problem = "a failed rewrite keeps its temporary file, found %s" % left
        if problem:
            raise CaseFailure("random input %d (saved to %s): %s"
                              % (index, save_reproducer(data, index), problem))
        for name in left:
            os.remove(sb.path(name))


# ---------------------------------------------------------------------------
# Cases: the input path

def input_is_a_directory(sb):
    sb.mkdir("mail")
    fails(sb, ["mail"], b"file open failed. mail\n")


def input_is_a_directory_with_prepass(sb):
    sb.mkdir("mail")
    fails(sb, ["-e", "mail"], b"file open failed. mail\n")


def missing_input(sb):
    fails(sb, ["nosuch"], b"file open failed. nosuch\n")


def missing_input_with_prepass(sb):
    fails(sb, ["-e", "nosuch"], b"file open failed. nosuch\n")


def unreadable_input(sb):
    sb.write("inbox", WORKED_IN, mode=0o000)
    sb.hand_over("bin")
    fails(sb, ["inbox"], b"file open failed. inbox\n", as_other_user=True)


def read_error_on_input(sb):
    # Reading /proc/self/mem from its start fails with an I/O error.
    sb.symlink("mem", "/proc/self/mem")
    fails(sb, ["mem"], b"file read failed. mem\n")


def read_error_on_input_with_prepass(sb):
    sb.symlink("mem", "/proc/self/mem")
    # Only a successful run deletes the temporary file.
    fails(sb, ["-e", "mem"], b"file read failed. mem\n", changes={"_tmp_0": b""})


def input_path_of_300_bytes(cut_in):
    def run(sb):
        if cut_in == "directory":
            directory = "d" * 100 + "/" + "e" * 100 + "/" + "f" * 60
            rel = directory + "/" + "x" * (300 - len(directory) - 5) + ".mbx"
        else:
            directory = "d" * 45
            rel = directory + "/" + "n" * (300 - len(directory) - 5) + ".mbx"
        assert len(rel) == 300
        sb.mkdir(directory)
        sb.write(rel, WORKED_IN)
        before = sb.tree()
        result = sb.run([rel])
        expect_run(result, 0, b"")
        expect_tree(sb, before, {sb.out_rel(split_name(rel)): WORKED_OUT, sb.out_rel(""): DIR})
    return run


def input_path_of_5000_bytes(prepass):
    def run(sb):
        sb.mkdir("deep")
        directory = make_deep_dir(sb, "deep", 4990)
        write_deep_file(sb, directory, "inbox.mbx", WORKED_IN)
        rel = directory + "/inbox.mbx"
        args = ["-e", rel] if prepass else [rel]
        fails(sb, args, b"file open failed. %s\n" % os.fsencode(rel))
    return run


# ---------------------------------------------------------------------------
# Cases: where the output goes

def program_directory_read_only(sb):
    sb.write("inbox", WORKED_IN)
    os.chmod(sb.exe_dir, 0o555)
    before = sb.tree()
    result = sb.run(["inbox"], as_other_user=True)
    expect_run(result, FAIL, OUT_DIR_FAILED)
    expect_tree(sb, before, {})


def output_path_is_a_directory(sb):
    sb.write("inbox", WORKED_IN)
    sb.mkdir(sb.out_rel())
    fails(sb, ["inbox"], sb.out_message("open"))


def output_file_read_only(sb):
    sb.write("inbox", WORKED_IN)
    sb.mkdir(sb.out_rel(""))
    sb.hand_over(sb.out_rel(""))
    sb.write(sb.out_rel(), b"older output\r\n", mode=0o444)
    sb.hand_over(sb.out_rel())
    fails(sb, ["inbox"], sb.out_message("open"), as_other_user=True)


def output_on_a_full_disk(size):
    def run(sb):
        sb.write("inbox", lf(SEP1, S1, b"") + lf(*[pattern(200)] * (size // 201)))
        sb.mkdir(sb.out_rel(""))
        sb.symlink(sb.out_rel(), "/dev/full")
        fails(sb, ["inbox"], sb.out_message("write"))
    return run


def output_past_the_file_size_limit(sb):
    sb.write("inbox", lf(SEP1, S1, b"") + lf(*[pattern(200)] * 15000))
    before = sb.tree()
    result = sb.run(["inbox"], file_size_limit=256 << 10)
    expect_run(result, FAIL, sb.out_message("write"))
    actual = sb.tree()
    if actual.get(sb.out_rel(), ("",))[0] != "file":
        raise CaseFailure("expected the partly written output file, found %s"
                          % describe(actual.get(sb.out_rel())))
    expect_tree(sb, before, {sb.out_rel(""): DIR, sb.out_rel(): sb.read(sb.out_rel())})


def output_path_leads_to_the_input(sb):
    # Writing the output must not empty the input it is still reading: the
    # user's only copy of the mail.
    data = lf(SEP1, S1, b"") + lf(*[pattern(100)] * 40000)
    sb.write("inbox", data)
    sb.mkdir(sb.out_rel(""))
    sb.symlink(sb.out_rel(), os.path.relpath(sb.path("inbox"), sb.path(sb.out_rel(""))))
    before = sb.tree()
    status, _, stderr = sb.run(["inbox"])
    expect_equal("input after the run", data, sb.read("inbox"))
    expect_equal("exit status", FAIL, status)
    expect_equal("stderr", sb.out_message("open"), stderr)
    expect_tree(sb, before, {})


# ---------------------------------------------------------------------------
# Cases: the -e pre-pass and its temporary file

def tmp_unusable_falls_back_to_current_directory(setup):
    def run(sb):
        sb.mkdir("work")
        sb.hand_over("work")
        sb.hand_over("bin")
        tmp = setup(sb)
        # A rewrite that fails keeps its temporary file: it shows where it was made.
        sb.write("work/bad", lf(SEP1, b"no colon"))
        fails(sb, ["-e", "bad"], NOT_MBOX, cwd="work", env={"TMP": tmp}, as_other_user=True,
              changes={"work/_tmp_0": lf(SEP1, b"no colon")})
        # A successful run uses the next name and removes it.
        sb.write("work/inbox", EUC_IN)
        before = sb.tree()
        result = sb.run(["-e", "inbox"], cwd="work", env={"TMP": tmp}, as_other_user=True)
        expect_run(result, 0, b"")
        expect_tree(sb, before, {sb.out_rel(): EUC_OUT})
    return run


def unwritable_tmp(sb):
    sb.mkdir("tmp", mode=0o555)
    return sb.path("tmp")


def tmp_is_a_file(sb):
    sb.write("tmpfile", b"not a directory")
    return sb.path("tmpfile")


def tmp_path_of_5000_bytes(sb):
    sb.mkdir("deep")
    return sb.path(make_deep_dir(sb, "deep", 5000 - len(sb.base) - 1))


def no_writable_directory_for_the_temporary_file(sb):
    sb.write("work/inbox", EUC_IN)
    os.chmod(sb.path("work"), 0o555)
    sb.hand_over("bin")
    fails(sb, ["-e", "inbox"], b"file open failed. _tmp_0\n", cwd="work", as_other_user=True)


def library_problem(which):
    def run(sb):
        if which and not getattr(sb.options, which):
            raise Skip("no --%s given" % which.replace("_", "-"))
        sb.write("inbox", EUC_IN)
        fails(sb, ["-e", "inbox"], LOAD_FAILED + b"file open failed. _tmp_0\n")
    return run


def planted_link(target_kind):
    def run(sb):
        outside = sb.path("outside/target")
        sb.mkdir("outside")
        if target_kind == "existing":
            sb.write("outside/target", b"precious")
        sb.symlink("_tmp_0", outside)
        # First a failing rewrite, so the temporary file it used stays to be seen.
        sb.write("bad", lf(SEP1, b"no colon"))
        fails(sb, ["-e", "bad"], NOT_MBOX, changes={"_tmp_1": lf(SEP1, b"no colon")})
        os.remove(sb.path("_tmp_1"))
        converts(sb, ["-e", "inbox"], EUC_IN, EUC_OUT)
    return run


# The pre-pass converts what the rewrite then reads: CRs and 0x1A pass it
# untouched, NULs are kept, and no character is cut where a long line is
# handed to the converter in pieces.
PREPASS_CONTENT_CASES = [
    ("crs_and_eof_byte_pass_to_the_rewrite",
     lf(SEP1, S1 + b"\r", b"\r", EUC + b"\r", b"") + b"\x1a" + lf(SEP2, S2), crlf(DELIM, S1, b"", SJIS)),
    ("nul_between_characters", lf(SEP1, S1, b"", EUC[:2] + b"\0" + EUC[2:]),
     crlf(DELIM, S1, b"", SJIS[:2] + b"\0" + SJIS[2:])),
    ("pair_across_the_255th_byte", lf(SEP1, S1, b"", b"ab" + EUC * 60), crlf(DELIM, S1, b"", b"ab" + SJIS * 60)),
    ("katakana_across_the_255th_byte", lf(SEP1, S1, b"", b"a" * 254 + b"\x8e\xb1z"),
     crlf(DELIM, S1, b"", b"a" * 254 + b"\xb1z")),
]


def prepass_content_case(data, expected):
    def run(sb):
        converts(sb, ["-e", "inbox"], data, expected)
    return run


def temporary_file_past_the_file_size_limit(sb):
    sb.write("inbox", lf(SEP1, S1, b"") + lf(*[EUC * 20] * 3000))
    before = sb.tree()
    result = sb.run(["-e", "inbox"], file_size_limit=128 << 10)
    expect_run(result, FAIL, b"file write failed. _tmp_0\n")
    after = sb.tree()
    if after.get("_tmp_0", ("",))[0] != "file":
        raise CaseFailure("the failed run's temporary file: expected a file, found %s"
                          % describe(after.get("_tmp_0")))
    expect_tree(sb, before, {sb.out_rel(""): DIR, "_tmp_0": sb.read("_tmp_0")})


# ---------------------------------------------------------------------------

def all_cases():
    cases = [
        ("huge_line_without_line_feed_is_copied_whole", huge_line_without_line_feed, False),
        ("huge_preamble_before_first_separator_is_skipped", huge_preamble_before_first_separator, False),
        ("huge_separator_lines_are_consumed_whole", huge_separator_lines_are_consumed_whole, False),
        ("only_crs_have_no_data", only_crs_have_no_data, False),
        ("only_crs_and_an_eof_byte_have_no_data", only_crs_and_an_eof_byte_have_no_data, False),
    ]
    cases += [("eof_byte_" + label, table_case(data, expected), False)
              for label, data, expected in EOF_BYTE_CASES]
    cases += [("nul_" + label, table_case(data, expected), False) for label, data, expected in NUL_CASES]
    cases += [("read_block_boundary_" + label, block_boundary_case(token, pivot), False)
              for label, token, pivot in BLOCK_BOUNDARY_CASES]
    cases += [
        ("big_mixed_mailbox_matches_model", big_mixed_mailbox_matches_model, False),
        ("random_binary_matches_model", random_binary_matches_model, False),
        ("random_binary_through_the_prepass", random_binary_through_the_prepass, True),
        ("input_is_a_directory", input_is_a_directory, False),
        ("input_is_a_directory_with_prepass", input_is_a_directory_with_prepass, True),
        ("missing_input", missing_input, False),
        ("missing_input_with_prepass", missing_input_with_prepass, True),
        ("unreadable_input", unreadable_input, False),
        ("read_error_on_input", read_error_on_input, False),
        ("read_error_on_input_with_prepass", read_error_on_input_with_prepass, True),
        ("input_path_of_300_bytes_cut_in_a_directory", input_path_of_300_bytes("directory"), False),
        ("input_path_of_300_bytes_cut_in_the_name", input_path_of_300_bytes("name"), False),
        ("input_path_of_5000_bytes_fails_to_open", input_path_of_5000_bytes(False), False),
        ("input_path_of_5000_bytes_fails_to_open_with_prepass", input_path_of_5000_bytes(True), True),
        ("program_directory_read_only", program_directory_read_only, False),
        ("output_path_is_a_directory", output_path_is_a_directory, False),
        ("output_file_read_only", output_file_read_only, False),
        ("output_on_a_full_disk", output_on_a_full_disk(1000), False),
        ("output_of_megabytes_on_a_full_disk", output_on_a_full_disk(3 << 20), False),
        ("output_past_the_file_size_limit", output_past_the_file_size_limit, False),
        ("output_path_leads_to_the_input", output_path_leads_to_the_input, False),
        ("prepass_tmp_unwritable_uses_current_directory",
         tmp_unusable_falls_back_to_current_directory(unwritable_tmp), True),
        ("prepass_tmp_is_a_file_uses_current_directory",
         tmp_unusable_falls_back_to_current_directory(tmp_is_a_file), True),
        ("prepass_tmp_path_of_5000_bytes_uses_current_directory",
         tmp_unusable_falls_back_to_current_directory(tmp_path_of_5000_bytes), True),
        ("prepass_without_a_writable_directory", no_writable_directory_for_the_temporary_file, True),
        ("prepass_library_missing", library_problem(None), False),
        ("prepass_library_lacks_nkf_convert", library_problem("lib_without_convert"), "lib_without_convert"),
        ("prepass_library_lacks_set_nkf_option", library_problem("lib_without_option"), "lib_without_option"),
        ("prepass_planted_dangling_link_is_passed_over", planted_link("dangling"), True),
        ("prepass_planted_link_to_a_file_is_passed_over", planted_link("existing"), True),
        ("prepass_temporary_file_past_the_file_size_limit", temporary_file_past_the_file_size_limit, True),
    ]
    cases += [("prepass_" + label, prepass_content_case(data, expected), True)
              for label, data, expected in PREPASS_CONTENT_CASES]
    return cases


def library_for(lib_choice, options):
    """The library a case places beside the program: True for the real one,
    the name of an option for a broken one, False for none."""
    if lib_choice is True:
        return options.lib
    if lib_choice:
        return getattr(options, lib_choice)
    return None


def parse_options(argv):
    parser = argparse.ArgumentParser(description="Hostile end-to-end cases for quillet.")
    parser.add_argument("--exe", required=True, help="the program to test")
    parser.add_argument("--lib", help="the converter library, for the -e cases")
    parser.add_argument("--lib-without-convert", help="a converter library without NkfConvert")
    parser.add_argument("--lib-without-option", help="a converter library without SetNkfOption")
    parser.add_argument("-k", dest="pattern", default="", help="run only cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep each case's directory")
    options = parser.parse_args(argv)
    for name in ("exe", "lib", "lib_without_convert", "lib_without_option"):
        if getattr(options, name):
            setattr(options, name, os.path.abspath(getattr(options, name)))
    return options


def main(argv):
    options = parse_options(argv)
    if not os.path.isfile(options.exe):
        print("no program at %s" % options.exe)
        return 2
    passed = failed = skipped = 0
    for name, run, lib_choice in all_cases():
        if options.pattern not in name:
            continue
        if lib_choice is True and not options.lib:
            print("skip %s: no --lib given" % name)
            skipped += 1
            continue
        sb = None
        try:
            sb = Sandbox(options, library_for(lib_choice, options))
            run(sb)
            print("ok %s" % name)
            passed += 1
        except Skip as reason:
            print("skip %s: %s" % (name, reason))
            skipped += 1
        except CaseFailure as problem:
            print("FAIL %s\n  %s" % (name, str(problem).replace("\n", "\n  ")))
            failed += 1
        except Exception as error:  # a case that breaks is a failure, not the end of the run
            print("FAIL %s\n  runner error: %s: %s" % (name, type(error).__name__, error))
            failed += 1
        finally:
            if sb is not None:
                sb.close()
        sys.stdout.flush()
    summary = "%d passed, %d failed" % (passed, failed)
    print(summary + (", %d skipped" % skipped if skipped else ""))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

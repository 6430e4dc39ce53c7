#!/usr/bin/env python3
"""End-to-end cases for quillet, run against the real program.

Each case runs in its own temporary directory holding a copy of the program,
so the output directory it keeps beside itself is private to the case. The
runner compares stdout, stderr, exit status, the output file's bytes and every
file left in that directory.

Usage: run_e2e.py --exe PATH [--launcher CMD] [--platform posix|windows]
                  [--lib PATH] [--broken-lib PATH ...] [-k PATTERN] [--keep]

Under wine (--platform windows --launcher wine) run with LC_ALL=ja_JP.UTF-8,
so that the program's ANSI code page is 932, and with a persistent wineserver
(scripts/wine-setup.sh start) to keep each run short.
"""

import argparse
import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

# ---------------------------------------------------------------------------
# Fixed texts of the program

DELIM = (b"=" * 20
         + b"KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem"
         + b"=" * 20)

USAGE = (b"UNIX MBOX -> Shuriken"
         + bytes.fromhex("8C608EAE8381815B838B83528393836F815B835E815B")
         + b" quillet (c) 2026 the quillet developers\n"
         + b"quillet [-option] 'UNIX-MBOX format file'\n"
         + b"[ption]\n"
         + b"        -e: convert EUC to Shift-JIS. this option needs NKF32.DLL\n")

NO_DATA = b"no data!\n"
NOT_MBOX = b"maybe not unix mbox format file!\n"
INVALID_OPTION = b"invalid option\n"
PARAM_ERROR = b"command line paramater error!\n"
OUT_DIR_FAILED = b"temporary directory open failed\n"

OUT_DIR_NAME = "quillet_out"

# Exit status -1 as each platform's process machinery reports it.
FAIL_STATUS = {"posix": 255, "windows": 255}

# Path separator the program puts between its output directory and file name.
OUT_SEPARATOR = {"posix": "/", "windows": "\\"}

# Line end of diagnostics on stderr; a Windows build that leaves stderr in
# text mode would write CR LF here.
STDERR_NEWLINE = {"posix": b"\n", "windows": b"\n"}

TIMEOUT_SECONDS = {"posix": 20, "windows": 90}


def windows_path(posix_path):
    """The drive-letter form wine gives a host path (its Z: drive maps /)."""
    return "Z:" + posix_path.replace("/", "\\")


# ---------------------------------------------------------------------------
# Builders for inputs and expected outputs

def lf(*lines):
    """Input text: each line followed by LF."""
    return b"".join(line + b"\n" for line in lines)


def crlf(*lines):
    """Expected output text: each line followed by CR LF."""
    return b"".join(line + b"\r\n" for line in lines)


def long_text(n):
    """n bytes of a repeating pattern without blanks or colons, so a lost or
    doubled 255-byte piece shows in a diff."""
    alphabet = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return (alphabet * (n // len(alphabet) + 1))[:n]


def out_path(name):
    """Placeholder for the output file's full path in an expected message."""
    return ("out", name)


def arg_path(rel):
    """Placeholder for an argument naming a file by its absolute native path."""
    return ("abs", rel)


def dir_path(rel):
    """Placeholder for a directory's absolute native path with the native
    separator after it (C:\\TEMP\\ rather than C:\\TEMP)."""
    return ("dir", rel)


SEP1 = b"From a Wed Oct 13 14:23:52 2003"
SEP2 = b"From b Thu Oct 14 09:05:00 2003"
SEP3 = b"From c Fri Oct 15 23:59:59 2004"
S1 = b"Subject: one"
S2 = b"Subject: two"
S3 = b"Subject: three"

# The worked example: ten input lines, eight output lines.
WORKED_IN = lf(SEP1, S1, b"", b"body one", b"", SEP2, S2, b"", b"body two", b"")
WORKED_OUT = crlf(DELIM, S1, b"", b"body one", DELIM, S2, b"", b"body two")


def case(name, steps, **setup):
    """A case: setup keys files {rel: bytes}, dirs [rel], links {rel: target},
    exe_dir (rel or callable(base) -> rel), platforms, needs_lib, broken_lib
    (index of a --broken-lib library placed beside the program instead)."""
    return dict(name=name, steps=steps, **setup)


def step(args, stdout=b"", stderr=b"", status="ok", out=None,
         out_name="inbox_$$$", cwd=".", env=None, files=None, out_dir=None,
         file_size_limit=None, left=None):
    """One run of the program. out: the output file's bytes afterwards, or
    None when it must be as before the run (absent, or an older file
    unchanged). out_dir: whether quillet_out must exist (default: whenever
    arguments are given, as the program creates it before looking at them).
    left: files {rel: bytes} the run must leave behind besides its output.
    env: variables to set; the value None removes one (TMP is always removed
    unless given). file_size_limit: largest file the program may write (POSIX
    only; a longer write fails instead of killing it)."""
    return dict(args=args, stdout=stdout, stderr=stderr, status=status,
                out=out, out_name=out_name, cwd=cwd, env=env or {},
                files=files or {}, out_dir=bool(args) if out_dir is None else out_dir,
                file_size_limit=file_size_limit, left=left or {})


def convert(name, data, expected, **setup):
    """Converting `inbox` holding data succeeds with the expected output."""
    return case(name, [step(["inbox"], out=expected)], files={"inbox": data}, **setup)


def reject(name, data, stderr, **setup):
    """Converting `inbox` holding data fails with stderr and no output file."""
    return case(name, [step(["inbox"], stderr=stderr, status="fail")],
                files={"inbox": data}, **setup)


# ---------------------------------------------------------------------------
# Cases: command line

def command_line_cases():
    cases = [
        case("no_arguments_prints_usage_and_creates_nothing",
             [step([], stdout=USAGE)]),
        case("option_after_input_path_is_ignored_and_text_is_not_converted",
             # EUC-JP bytes pass through untouched: the pre-pass must not run.
             [step(["inbox", "-e"], out=crlf(DELIM, S1, b"", b"\xa4\xb3\xa4\xf3"))],
             files={"inbox": lf(SEP1, S1, b"", b"\xa4\xb3\xa4\xf3", b"")}),
        case("extra_arguments_after_input_path_are_ignored",
             [step(["inbox", "more", "args"], out=WORKED_OUT)],
             files={"inbox": WORKED_IN}),
        case("missing_input_file_names_the_path",
             [step(["nosuch.mbx"], stderr=b"file open failed. nosuch.mbx\n", status="fail")]),
        case("empty_input_argument_fails_to_open",
             [step([""], stderr=b"file open failed. \n", status="fail")]),
    ]
    for label, option in [("dash_e", "-e"), ("dash_upper_e", "-E"),
                          ("slash_e", "/e"), ("slash_upper_e", "/E")]:
        cases.append(case("option_alone_%s_is_a_parameter_error" % label,
                          [step([option], stderr=PARAM_ERROR, status="fail")]))
    invalid = [
        ("dash_x", ["-x", "inbox"]),
        ("dash_ee", ["-ee", "inbox"]),
        ("dash_e1", ["-e1", "inbox"]),
        ("lone_dash", ["-"]),
        ("lone_dash_before_file", ["-", "inbox"]),
        ("double_dash", ["--", "inbox"]),
        ("lone_slash", ["/"]),
        ("slash_x", ["/x", "inbox"]),
        ("absolute_posix_path", ["/home/a.mbx"]),
    ]
    for label, args in invalid:
        cases.append(case("invalid_option_" + label,
                          [step(args, stderr=INVALID_OPTION, status="fail")],
                          files={"inbox": WORKED_IN}))
    return cases


# ---------------------------------------------------------------------------
# Cases: the rewrite

def rewrite_cases():
    return [
        convert("worked_example", WORKED_IN, WORKED_OUT),
        convert("crlf_input_gives_same_output_as_lf", WORKED_IN.replace(b"\n", b"\r\n"), WORKED_OUT),
        convert("lone_crs_are_dropped_everywhere",
                lf(SEP1, b"Sub\rject: one\r", b"\r", b"bo\r\rdy\r", b"\r\r", SEP2 + b"\r", S2) + b"tail\r",
                crlf(DELIM, S1, b"", b"body", DELIM, S2) + b"tail"),
        convert("lines_before_first_separator_are_dropped",
                lf(b"junk", b"X-Note: more junk", b"", SEP1, S1, b"", b"body", b""),
                crlf(DELIM, S1, b"", b"body")),
        convert("separator_and_one_header_line_keeps_the_header",
                lf(SEP1, b"Subject: only"), crlf(DELIM, b"Subject: only")),
        convert("header_line_without_line_feed_at_end_is_kept",
                lf(SEP1) + b"Subject: only", crlf(DELIM) + b"Subject: only"),
        convert("last_line_without_line_feed_is_written_as_is",
                lf(SEP1, S1, b"") + b"body", crlf(DELIM, S1, b"") + b"body"),
        convert("last_message_without_closing_empty_line_keeps_its_last_line",
                lf(SEP1, S1, b"", b"body one"), crlf(DELIM, S1, b"", b"body one")),
        convert("only_the_final_empty_line_is_dropped",
                lf(SEP1, S1, b"", b"body", b"", b""), crlf(DELIM, S1, b"", b"body", b"")),
        convert("final_line_of_only_crs_counts_as_empty",
                lf(SEP1, S1, b"", b"body", b"\r\r"), crlf(DELIM, S1, b"", b"body")),
        convert("non_empty_line_before_separator_is_kept",
                lf(SEP1, S1, b"", b"body one", SEP2, S2, b"", b"body two", b""),
                crlf(DELIM, S1, b"", b"body one", DELIM, S2, b"", b"body two")),
        convert("blank_line_before_separator_is_not_empty",
                lf(SEP1, S1, b"", b"body one", b" ", SEP2, S2),
                crlf(DELIM, S1, b"", b"body one", b" ", DELIM, S2)),
        convert("only_one_empty_line_is_dropped_before_separator",
                lf(SEP1, S1, b"", b"body one", b"", b"", SEP2, S2),
                crlf(DELIM, S1, b"", b"body one", b"", DELIM, S2)),
        convert("separator_right_after_first_header_keeps_that_header",
                lf(SEP1, S1, SEP2, S2, b"", b"body two", b""),
                crlf(DELIM, S1, DELIM, S2, b"", b"body two")),
        convert("two_separators_in_a_row_give_two_delimiters",
                lf(SEP1, S1, b"", b"body one", b"", SEP2, SEP3, S3, b"", b"body three", b""),
                crlf(DELIM, S1, b"", b"body one", DELIM, DELIM, S3, b"", b"body three")),
        convert("dated_from_line_right_after_first_separator_is_its_header",
                lf(SEP1, SEP2, S1, b"", b"body", b""),
                crlf(DELIM, SEP2, S1, b"", b"body")),
        convert("empty_line_after_later_separator_is_kept",
                lf(SEP1, S1, b"", SEP2, b"", b"body two", b""),
                crlf(DELIM, S1, DELIM, b"", b"body two")),
        convert("gt_from_body_line_keeps_its_gt",
                lf(SEP1, S1, b"", b">From a Wed Oct 13 14:23:52 2003", b"more", b""),
                crlf(DELIM, S1, b"", b">From a Wed Oct 13 14:23:52 2003", b"more")),
        convert("eof_byte_in_middle_of_line_ends_input",
                lf(SEP1, S1, b"") + b"body\x1a one\n\n" + lf(SEP2, S2, b"", b"body two"),
                crlf(DELIM, S1, b"") + b"body"),
        convert("eof_byte_after_empty_line_drops_that_final_empty_line",
                lf(SEP1, S1, b"", b"body", b"") + b"\x1a" + lf(b"", SEP2, S2),
                crlf(DELIM, S1, b"", b"body")),
        convert("header_colon_at_byte_254_is_seen",
                lf(SEP1, b"x" * 254 + b": y", b"", b"body"),
                crlf(DELIM, b"x" * 254 + b": y", b"", b"body")),
        convert("crs_do_not_count_toward_the_header_window",
                lf(SEP1, b"Subject" + b"\r" * 300 + b": x", b"", b"body"),
                crlf(DELIM, b"Subject: x", b"", b"body")),
        convert("long_header_line_is_copied_whole",
                lf(SEP1, b"X-Long: " + long_text(600), b"", b"body", b""),
                crlf(DELIM, b"X-Long: " + long_text(600), b"", b"body")),
        convert("long_first_separator_line_is_consumed_whole",
                lf(SEP1 + b" " + long_text(300), S1, b"", b"body", b""),
                crlf(DELIM, S1, b"", b"body")),
        convert("first_separator_of_exactly_255_bytes_then_header",
                lf(SEP1.ljust(255, b"z"), S1, b"", b"body", b""),
                crlf(DELIM, S1, b"", b"body")),
        convert("nul_in_body_line_is_copied_and_lines_stay_apart",
                lf(SEP1, S1, b"", b"ab\0cd", b"next", b""),
                crlf(DELIM, S1, b"", b"ab\0cd", b"next")),
        convert("nul_in_header_line_is_copied",
                lf(SEP1, b"Subject: a\0b", b"", b"body", b""),
                crlf(DELIM, b"Subject: a\0b", b"", b"body")),
        convert("nul_only_line_before_separator_is_not_empty",
                lf(SEP1, S1, b"", b"body", b"\0", SEP2, S2),
                crlf(DELIM, S1, b"", b"body", b"\0", DELIM, S2)),
        convert("nul_only_last_line_is_not_empty",
                lf(SEP1, S1, b"", b"\0"), crlf(DELIM, S1, b"", b"\0")),
        convert("nul_early_in_long_body_line_keeps_the_whole_line",
                lf(SEP1, S1, b"", b"ab\0" + long_text(400), SEP2, S2),
                crlf(DELIM, S1, b"", b"ab\0" + long_text(400), DELIM, S2)),
        convert("nul_in_first_separator_line_is_not_written",
                lf(SEP1 + b"\0 tail", S1, b"", b"body"),
                crlf(DELIM, S1, b"", b"body")),
        convert("nul_inside_crlf_input_stays",
                lf(SEP1, S1, b"").replace(b"\n", b"\r\n") + b"a\0\r\nb\r\n",
                crlf(DELIM, S1, b"", b"a\0", b"b")),
    ]


def failing_rewrite_cases():
    return [
        reject("empty_input_has_no_data", b"", NO_DATA),
        reject("input_of_only_crs_has_no_data", b"\r\r\r", NO_DATA),
        reject("eof_byte_first_has_no_data", b"\x1a" + WORKED_IN, NO_DATA),
        reject("crs_then_eof_byte_have_no_data", b"\r\r\x1a" + WORKED_IN, NO_DATA),
        reject("no_separator_is_not_mbox", lf(b"Subject: x", b"", b"hello"), NOT_MBOX),
        reject("empty_lines_only_are_not_mbox", lf(b"", b"", b""), NOT_MBOX),
        reject("separator_at_end_of_input_is_not_mbox", lf(SEP1), NOT_MBOX),
        reject("separator_without_line_feed_at_end_is_not_mbox", SEP1, NOT_MBOX),
        reject("empty_line_after_first_separator_is_not_mbox", lf(SEP1, b"", S1, b"", b"body"), NOT_MBOX),
        reject("header_without_colon_is_not_mbox", lf(SEP1, b"Subject one", b"", b"body"), NOT_MBOX),
        reject("header_colon_after_nul_is_not_seen", lf(SEP1, b"Subject\0: x", b"", b"body"), NOT_MBOX),
        reject("header_colon_beyond_byte_255_is_not_seen",
               lf(SEP1, b"x" * 255 + b": y", b"", b"body"), NOT_MBOX),
        reject("line_after_long_first_separator_is_the_header_checked",
               # The separator's own tail holds a colon; the line after it does not.
               lf(SEP1 + b" " + long_text(300) + b":tail", b"", S1, b"", b"body"), NOT_MBOX),
        reject("eof_byte_before_first_separator_is_not_mbox", lf(b"junk") + b"\x1a" + WORKED_IN, NOT_MBOX),
        reject("eof_byte_right_after_first_separator_is_not_mbox", lf(SEP1) + b"\x1a" + lf(S1, b"", b"x"), NOT_MBOX),
    ]


# Lines standing first in a file (after one junk line) before a real separator:
# (label, line, taken as the first separator).
FIRST_SCAN_LINES = [
    ("from_line_without_date", b"From nobody", True),
    ("gt_from_line_with_date", b">From x Wed Oct 13 14:23:52 2003", True),
    ("bare_date_line_colon_at_byte_13", b"Wed Oct 13 14:23:52 2003", True),
    ("time_zone_before_year", b"From a Wed Oct 13 14:23:52 JST 2003", True),
    ("one_digit_hour", b"From a Wed Oct 13 4:05:00 2003", True),
    ("single_blank_before_one_digit_day", b"From d Thu Jan 2 10:20:30 2003", True),
    ("nul_after_from", b"From a\0 junk", True),
    ("crs_do_not_count_toward_255_bytes", b"\r" * 300 + b"Wed Oct 13 14:23:52 2003", True),
    ("date_header_colon_within_13_bytes", b"Date: Wed Oct 13 14:23:52 2003", False),
    ("bare_date_line_colon_at_byte_12", b"Wed Oct 3 14:23:52 2003", False),
    ("lowercase_from", b"from a Wed Oct 13 14:23:52", False),
    ("from_without_blank", b"From-a nothing", False),
    ("nul_before_from", b"\0From a Wed Oct 13 14:23:52 2003", False),
    ("continuation_piece_with_dated_from", b"x" * 255 + SEP1, False),
    ("date_beyond_byte_255", b"y" * 260 + b" Wed Oct 13 14:23:52 2003", False),
]


def first_scan_cases():
    tail = lf(b"Subject: s", b"", SEP2, S2, b"", b"body two", b"")
    accepted = crlf(DELIM, b"Subject: s", DELIM, S2, b"", b"body two")
    skipped = crlf(DELIM, S2, b"", b"body two")
    return [convert("first_separator_" + label, lf(b"preamble", line) + tail,
                    accepted if taken else skipped)
            for label, line, taken in FIRST_SCAN_LINES]


# Lines standing where a later message would begin: (label, line, separator).
SEPARATOR_LINES = [
    ("standard", SEP2, True),
    ("two_blanks_before_one_digit_day", b"From b Thu Oct  4 09:05:00 2003", True),
    ("time_zone_after_year", b"From b Thu Oct 14 09:05:00 2003 +0900", True),
    ("no_blank_before_year", b"From b Thu Oct 14 09:05:002003", True),
    ("signed_year", b"From b Thu Oct 14 09:05:00 +2003", True),
    ("any_weekday_and_month_bytes", b"From b Xyz 123 14 09:05:00 7", True),
    ("tab_between_weekday_and_month", b"From b Thu\tOct 14 09:05:00 2003", True),
    ("first_colon_anchors_the_window", b"From Wed Oct 13 14:23:52 2003 mailer", True),
    ("colon_at_byte_13_window_at_line_start", b"From 1    2 3:4:5 6", True),
    ("year_starting_at_byte_254", b"From " + b"s" * 228 + b" Thu Oct 14 09:05:00 2003", True),
    ("crs_do_not_count_toward_255_bytes", b"From " + b"\r" * 300 + b"b Thu Oct 14 09:05:00 2003", True),
    ("long_separator_line_is_consumed_whole", SEP2 + b" " + long_text(300), True),
    ("long_separator_whose_second_piece_is_dated_from", SEP2.ljust(255) + SEP3, True),
    ("time_zone_before_year", b"From b Thu Oct 14 09:05:00 JST 2003", False),
    ("one_digit_hour", b"From b Thu Oct 14 9:05:00 2003", False),
    ("single_blank_before_one_digit_day", b"From d Thu Jan 2 10:20:30 2003", False),
    ("no_year", b"From b Thu Oct 14 09:05:00", False),
    ("blank_before_colon", b"From b Thu Oct 14 09 :05:00 2003", False),
    ("lowercase_from", b"from b Thu Oct 14 09:05:00 2003", False),
    ("no_blank_after_from", b"Fromb Thu Oct 14 09:05:00 2003", False),
    ("gt_from", b">From b Thu Oct 14 09:05:00 2003", False),
    ("from_without_date", b"From here on, we talk", False),
    ("colon_in_sender_within_13_bytes", b"From a:b Thu Oct 14 09:05:00 2003", False),
    ("early_colon_would_fit_from_line_start", b"From 1 2 3:4:5 6", False),
    ("nul_before_year", b"From b Thu Oct 14 09:05:00\0 2003", False),
    ("nul_at_line_start", b"\0From b Thu Oct 14 09:05:00 2003", False),
    ("colon_beyond_byte_255", b"From " + b"s" * 240 + b" Thu Oct 14 09:05:00 2003", False),
    ("year_beyond_byte_255", b"From " + b"s" * 229 + b" Thu Oct 14 09:05:00 2003", False),
    ("continuation_piece_is_dated_from", b"x" * 255 + SEP2, False),
]


def separator_cases():
    head = lf(SEP1, S1, b"", b"body one", b"")
    tail = lf(S2, b"", b"body two", b"")
    cases = []
    for label, line, is_separator in SEPARATOR_LINES:
        if is_separator:
            expected = crlf(DELIM, S1, b"", b"body one", DELIM, S2, b"", b"body two")
        else:
            expected = crlf(DELIM, S1, b"", b"body one", b"", line, S2, b"", b"body two")
        cases.append(convert("later_separator_" + label, head + lf(line) + tail, expected))
    return cases


def long_line_cases():
    cases = []
    for n in [254, 255, 256, 510, 600]:
        body = long_text(n)
        cases += [
            convert("long_line_%d_right_before_separator" % n,
                    lf(SEP1, S1, b"", body, SEP2, S2),
                    crlf(DELIM, S1, b"", body, DELIM, S2)),
            convert("long_line_%d_followed_by_line" % n,
                    lf(SEP1, S1, b"", body, b"after", b""),
                    crlf(DELIM, S1, b"", body, b"after")),
            convert("long_line_%d_last_in_input" % n,
                    lf(SEP1, S1, b"", body), crlf(DELIM, S1, b"", body)),
            convert("long_line_%d_last_without_line_feed" % n,
                    lf(SEP1, S1, b"") + body, crlf(DELIM, S1, b"") + body),
        ]
    return cases


# ---------------------------------------------------------------------------
# Cases: output naming and the file system

def deep_dir(total_length):
    """exe_dir giving the program's directory an absolute path of exactly
    total_length bytes, in components short enough for any file system."""
    def make(base):
        remaining = total_length - len(base) - 1
        parts = []
        while remaining > 0:
            size = min(100, remaining)
            if remaining - size == 1:   # a lone byte cannot hold "/" plus a name
                size -= 2
            parts.append("p" * size)
            remaining -= size + 1
        return "/".join(parts)
    return make


LONG_DIR_A = "d" * 200 + "/" + "e" * 100
LONG_DIR_B = "d" * 250

# (label, input file, cwd, argument, output file name)
NAMING = [
    ("bare_name", "inbox", ".", "inbox", "inbox_$$$"),
    ("name_and_extension", "inbox.mbx", ".", "inbox.mbx", "inbox_$$$.mbx"),
    ("last_dot_starts_extension_from_parent_dir", "mail/old.inbox.txt", "mail/child",
     "../old.inbox.txt", "old.inbox_$$$.txt"),
    ("dot_in_directory_is_no_extension", "dir.d/file", ".", "dir.d/file", "file_$$$"),
    ("leading_dot_gives_empty_name", ".hidden", ".", ".hidden", "_$$$.hidden"),
    ("dot_slash_prefix", "inbox.mbx", ".", "./inbox.mbx", "inbox_$$$.mbx"),
]

# Names only a POSIX file system keeps: Windows drops a trailing dot from a
# file name, and its ANSI calls stop at 260 bytes of full path.
NAMING_POSIX = [
    ("trailing_dot_is_an_empty_extension", "inbox.", ".", "inbox.", "inbox_$$$."),
    ("long_path_is_split_within_first_260_bytes", LONG_DIR_A + "/inbox.mbx", ".",
     LONG_DIR_A + "/inbox.mbx", "e" * 59 + "_$$$"),
    ("long_path_cut_inside_extension", LONG_DIR_B + "/in.box.mbx", ".",
     LONG_DIR_B + "/in.box.mbx", "in.box_$$$.mb"),
]


def naming_cases():
    cases = [case("output_name_" + label,
                  [step([arg], out=WORKED_OUT, out_name=name, cwd=cwd)],
                  files={path: WORKED_IN}, dirs=[cwd], platforms=platforms)
             for table, platforms in [(NAMING, ("posix", "windows")), (NAMING_POSIX, ("posix",))]
             for label, path, cwd, arg, name in table]
    cases += [
        case("output_name_backslash_separates_directory",
             [step(["x\\y.mbx"], out=WORKED_OUT, out_name="y_$$$.mbx")],
             files={"x\\y.mbx": WORKED_IN}, platforms=("posix",)),
        case("output_name_absolute_input_path",
             [step([arg_path("mail/inbox.mbx")], out=WORKED_OUT, out_name="inbox_$$$.mbx")],
             files={"mail/inbox.mbx": WORKED_IN}, platforms=("windows",)),
        case("output_lands_beside_program_not_in_current_dir",
             [step(["../inbox"], out=WORKED_OUT, cwd="work")],
             files={"inbox": WORKED_IN}, dirs=["work"], exe_dir="bin"),
        case("deep_program_directory_output_path_beyond_260_bytes",
             [step(["inbox"], out=WORKED_OUT)],
             files={"inbox": WORKED_IN}, exe_dir=deep_dir(250), platforms=("posix",)),
        case("program_path_beyond_260_bytes_keeps_output_beside_program",
             [step(["../inbox"], out=WORKED_OUT, cwd="work")],
             files={"inbox": WORKED_IN}, dirs=["work"], exe_dir=deep_dir(400), platforms=("posix",)),
        case("converting_twice_overwrites",
             [step(["inbox"], out=WORKED_OUT, files={"inbox": WORKED_IN}),
              step(["inbox"], out=crlf(DELIM, S3), files={"inbox": lf(SEP3, S3)})]),
        case("same_name_from_two_directories_shares_one_output",
             [step(["a/inbox.mbx"], out=WORKED_OUT, out_name="inbox_$$$.mbx"),
              step(["b/inbox.mbx"], out=crlf(DELIM, S3), out_name="inbox_$$$.mbx")],
             files={"a/inbox.mbx": WORKED_IN, "b/inbox.mbx": lf(SEP3, S3)}),
        case("existing_output_dir_and_its_files_are_kept",
             [step(["inbox"], out=WORKED_OUT)],
             files={"inbox": WORKED_IN, "quillet_out/other_$$$": b"keep me"}),
    ]
    return cases


def file_system_failure_cases():
    open_failed_out = [b"file open failed. ", out_path("inbox_$$$"), b"\n"]
    return [
        case("input_directory_fails_to_open",
             [step(["sub"], stderr=b"file open failed. sub\n", status="fail")], dirs=["sub"]),
        case("trailing_dot_names_a_directory",
             [step(["."], stderr=b"file open failed. .\n", status="fail")]),
        case("trailing_dotdot_names_a_directory",
             [step(["sub/.."], stderr=b"file open failed. sub/..\n", status="fail")], dirs=["sub"]),
        case("input_path_longer_than_system_limit_fails_to_open",
             [step(["./" * 2100 + "inbox"],
                   stderr=b"file open failed. " + b"./" * 2100 + b"inbox\n", status="fail")],
             files={"inbox": WORKED_IN}),
        case("output_name_too_long_for_file_system",
             [step(["a" * 251 + ".mbx"], status="fail",
                   stderr=[b"file open failed. ", out_path("a" * 251 + "_$$$.mbx"), b"\n"])],
             files={"a" * 251 + ".mbx": WORKED_IN}),
        case("plain_file_named_quillet_out_fails_output_open",
             [step(["inbox"], stderr=open_failed_out, status="fail")],
             files={"inbox": WORKED_IN, OUT_DIR_NAME: b"not a directory"}),
        case("plain_file_named_quillet_out_still_checks_input_first",
             [step(["inbox"], stderr=NO_DATA, status="fail")],
             files={"inbox": b"", OUT_DIR_NAME: b"not a directory"}),
        case("output_path_taken_by_directory_fails_output_open",
             [step(["inbox"], stderr=open_failed_out, status="fail")],
             files={"inbox": WORKED_IN}, dirs=["quillet_out/inbox_$$$"]),
        case("older_output_stays_when_input_has_no_data",
             [step(["inbox"], stderr=NO_DATA, status="fail")],
             files={"inbox": b"", "quillet_out/inbox_$$$": b"older output\r\n"}),
        case("older_output_stays_when_input_is_not_mbox",
             [step(["inbox"], stderr=NOT_MBOX, status="fail")],
             files={"inbox": lf(SEP1, b"no colon"), "quillet_out/inbox_$$$": b"older output\r\n"}),
        case("write_error_on_output_is_a_failure",
             [step(["inbox"], status="fail",
                   stderr=[b"file write failed. ", out_path("inbox_$$$"), b"\n"])],
             files={"inbox": WORKED_IN}, dirs=[OUT_DIR_NAME],
             links={"quillet_out/inbox_$$$": "/dev/full"}, platforms=("posix",)),
        case("output_dir_that_cannot_be_made_fails_first",
             [step(["inbox"], stderr=OUT_DIR_FAILED, status="fail")],
             files={"inbox": WORKED_IN}, links={OUT_DIR_NAME: "missing/dir"}),
        case("output_dir_is_made_before_options_are_checked",
             [step(["-x", "inbox"], stderr=OUT_DIR_FAILED, status="fail")],
             files={"inbox": WORKED_IN}, links={OUT_DIR_NAME: "missing/dir"}),
    ]


# ---------------------------------------------------------------------------
# Cases: the -e pre-pass (EUC-JP to Shift-JIS through the converter library)
#
# Expected texts come from Python's euc_jp and shift_jis codecs, which agree
# with `nkf -E -s -x --no-cp932` on the characters used here; the few bytes
# they cannot give (JIS X 0212, NUL) are written out.

def euc(text):
    return text.encode("euc_jp")


def sjis(text):
    return text.encode("shift_jis")


LOAD_FAILED = b"load failed nkf32.dll\n"
TEMP_UNAVAILABLE = b"temporary file open failed\n"

JA_MESSAGE_1 = ["Subject: 会議の予定", "", "来週の会議は水曜日の午後二時からです。",
                "表示とソースを確認してください。", "ｶﾀｶﾅも大丈夫です。", "太郎"]
JA_MESSAGE_2 = ["Subject: Re: 会議", "", "了解しました。"]


def ja_mbox(encode, line_end=b"\n"):
    text = lf(SEP1, *map(encode, JA_MESSAGE_1), b"", SEP2, *map(encode, JA_MESSAGE_2), b"")
    return text.replace(b"\n", line_end)


JA_IN = ja_mbox(euc)
JA_OUT = crlf(DELIM, *map(sjis, JA_MESSAGE_1), DELIM, *map(sjis, JA_MESSAGE_2))

# Japanese text that is no mailbox: the rewrite refuses it and the temporary
# file stays, showing where it was made and what the pre-pass wrote.
JA_NOT_MBOX = ["件名のない文書", "本文です。"]
JA_NOT_MBOX_IN = lf(*map(euc, JA_NOT_MBOX))
JA_NOT_MBOX_TEMP = lf(*map(sjis, JA_NOT_MBOX))


def e_step(args, tmp=None, **kw):
    """A run with -e; TMP unset unless given (on every platform alike)."""
    env = dict(kw.pop("env", {}))
    env["TMP"] = tmp
    return step(args, env=env, **kw)


def ja_convert(name, data, expected, **setup):
    """-e on `inbox` holding EUC-JP data succeeds with the expected output and
    leaves no temporary file."""
    return case(name, [e_step(["-e", "inbox"], out=expected)], files={"inbox": data},
                needs_lib=True, **setup)


def ja_body(*lines):
    """The one-message mailbox around the given body lines."""
    return lf(SEP1, S1, b"", *lines)


# Long lines whose multibyte characters straddle byte 255, where the pre-pass
# cuts its pieces: (label, EUC-JP line, Shift-JIS line).
LONG_JA_LINES = [
    ("kanji_across_byte_255", b"x" * 254 + euc("漢字") * 100, b"x" * 254 + sjis("漢字") * 100),
    ("kanji_only_line", euc("あ") * 300, sjis("あ") * 300),
    ("kanji_after_odd_prefix", b"y" + euc("表ソ") * 200, b"y" + sjis("表ソ") * 200),
    ("half_width_kana_across_byte_255", b"x" * 254 + euc("ｶﾀｶﾅ") * 70, b"x" * 254 + b"\xb6\xc0\xb6\xc5" * 70),
    ("jisx0212_lead_at_byte_254", b"x" * 254 + b"\x8f\xd4\xe3" * 90, b"x" * 254 + b"\xfa\x5c" * 90),
    ("jisx0212_lead_at_byte_253", b"x" * 253 + b"\x8f\xb0\xa1" * 90, b"x" * 253 + b"\x81\xac" * 90),
    ("nul_then_kanji_across_byte_255", b"x" * 253 + b"\0" + euc("字") * 100,
     b"x" * 253 + b"\0" + sjis("字") * 100),
]


def prepass_conversion_cases():
    cases = []
    for label, option in [("dash_e", "-e"), ("dash_upper_e", "-E"),
                          ("slash_e", "/e"), ("slash_upper_e", "/E")]:
        cases.append(case("prepass_%s_converts_japanese_mailbox" % label,
                          [e_step([option, "inbox.mbx"], out=JA_OUT, out_name="inbox_$$$.mbx")],
                          files={"inbox.mbx": JA_IN}, needs_lib=True))
    cases += [
        case("prepass_output_named_after_input_path_not_temp_file",
             [e_step(["-e", "../mail/old.inbox.txt"], cwd="work", out=JA_OUT,
                     out_name="old.inbox_$$$.txt")],
             files={"mail/old.inbox.txt": JA_IN}, dirs=["work"], needs_lib=True),
        ja_convert("prepass_crlf_input_gives_same_output", ja_mbox(euc, b"\r\n"), JA_OUT),
        ja_convert("prepass_lone_crs_vanish_in_rewrite",
                   ja_body(euc("日\r本\r"), b"\r") + euc("語"),
                   crlf(DELIM, S1, b"", sjis("日本"), b"") + sjis("語")),
        case("prepass_crs_pass_into_temp_file",
             [e_step(["-e", "inbox"], stderr=NOT_MBOX, status="fail",
                     left={"_tmp_0": JA_NOT_MBOX_TEMP.replace(b"\n", b"\r\n") + b"\r\r"})],
             files={"inbox": JA_NOT_MBOX_IN.replace(b"\n", b"\r\n") + b"\r\r"}, needs_lib=True),
        ja_convert("prepass_nul_bytes_survive",
                   ja_body(euc("日本") + b"\0" + euc("語"), b"\0" + euc("表"), b"end"),
                   crlf(DELIM, S1, b"", sjis("日本") + b"\0" + sjis("語"), b"\0" + sjis("表"), b"end")),
        ja_convert("prepass_jisx0212_becomes_cp932_or_geta_mark",
                   ja_body(b"\x8f\xd4\xe3 \x8f\xb0\xa1", b""),
                   crlf(DELIM, S1, b"", b"\xfa\x5c \x81\xac")),
        ja_convert("prepass_ascii_and_stray_bytes_unchanged",
                   ja_body(b"plain \x80\x8e\x20\xff text", b""),
                   crlf(DELIM, S1, b"", b"plain \x80\x8e\x20\xff text")),
        case("prepass_empty_input_leaves_empty_temp_file",
             [e_step(["-e", "inbox"], stderr=NO_DATA, status="fail", left={"_tmp_0": b""})],
             files={"inbox": b""}, needs_lib=True),
    ]
    for label, euc_line, sjis_line in LONG_JA_LINES:
        cases += [
            ja_convert("prepass_long_line_%s" % label,
                       ja_body(euc_line, b"after", b""), crlf(DELIM, S1, b"", sjis_line, b"after")),
            ja_convert("prepass_long_line_%s_before_separator" % label,
                       ja_body(euc_line, SEP2, S2), crlf(DELIM, S1, b"", sjis_line, DELIM, S2)),
        ]
    return cases


def tmp_failing(name, tmp, temp_rel, cwd=".", env=None, **setup):
    """-e on a Japanese non-mailbox: the rewrite refuses it, and the converted
    text stays in the temporary file at temp_rel."""
    files = dict(setup.pop("files", {}))
    files["notmbox"] = JA_NOT_MBOX_IN
    arg = os.path.relpath("notmbox", cwd) if cwd != "." else "notmbox"
    return case(name, [e_step(["-e", arg], tmp=tmp, cwd=cwd, env=env or {}, stderr=NOT_MBOX,
                              status="fail", left={temp_rel: JA_NOT_MBOX_TEMP})],
                files=files, needs_lib=True, **setup)


def prepass_temp_file_cases():
    return [
        tmp_failing("prepass_tmp_unset_temp_file_in_current_dir", None, "work/_tmp_0",
                    cwd="work", dirs=["work"]),
        tmp_failing("prepass_tmp_dir_without_trailing_separator", arg_path("tmpdir"),
                    "tmpdir/_tmp_0", dirs=["tmpdir"]),
        tmp_failing("prepass_tmp_dir_with_trailing_separator", dir_path("tmpdir"),
                    "tmpdir/_tmp_0", dirs=["tmpdir"]),
        tmp_failing("prepass_tmp_relative_dir", "tmpdir", "tmpdir/_tmp_0", dirs=["tmpdir"]),
        tmp_failing("prepass_tmp_0_and_1_taken_gives_tmp_2", None, "_tmp_2",
                    files={"_tmp_0": b"older 0", "_tmp_1": b"older 1"}),
        tmp_failing("prepass_tmp_0_and_1_taken_in_tmp_dir_gives_tmp_2", arg_path("tmpdir"),
                    "tmpdir/_tmp_2", files={"tmpdir/_tmp_0": b"older 0", "tmpdir/_tmp_1": b"older 1"}),
        tmp_failing("prepass_directory_named_tmp_0_is_passed_over", None, "_tmp_1",
                    dirs=["_tmp_0"]),
        tmp_failing("prepass_tmp_naming_a_file_falls_back_to_current_dir", arg_path("afile"),
                    "_tmp_0", files={"afile": b"not a directory"}),
        tmp_failing("prepass_tmp_naming_a_missing_dir_falls_back_to_current_dir",
                    arg_path("missing/dir"), "_tmp_0"),
        tmp_failing("prepass_lowercase_tmp_variable_is_honoured", None, "tmpdir/_tmp_0",
                    env={"tmp": arg_path("tmpdir")}, dirs=["tmpdir"], platforms=("posix",)),
        tmp_failing("prepass_dangling_link_at_tmp_0_is_not_written_through", None, "_tmp_1",
                    links={"_tmp_0": "victim"}, platforms=("posix",)),
        tmp_failing("prepass_link_to_a_file_at_tmp_0_is_passed_over", None, "_tmp_1",
                    files={"victim": b"keep me"}, links={"_tmp_0": "victim"}, platforms=("posix",)),
        tmp_failing("prepass_untestable_name_in_tmp_moves_to_current_dir", arg_path("tmpdir"),
                    "_tmp_0", dirs=["tmpdir"], links={"tmpdir/_tmp_0": "_tmp_0"},
                    platforms=("posix",)),
        case("prepass_success_removes_only_its_own_temp_file",
             [e_step(["-e", "inbox"], out=JA_OUT)],
             files={"inbox": JA_IN, "_tmp_0": b"older 0"}, needs_lib=True),
        case("prepass_success_leaves_tmp_dir_empty",
             [e_step(["-e", "inbox"], tmp=arg_path("tmpdir"), out=JA_OUT)],
             files={"inbox": JA_IN}, dirs=["tmpdir"], needs_lib=True),
        case("prepass_success_with_dangling_link_at_tmp_0",
             [e_step(["-e", "inbox"], out=JA_OUT)],
             files={"inbox": JA_IN}, links={"_tmp_0": "victim"}, needs_lib=True,
             platforms=("posix",)),
        case("prepass_no_temp_name_to_be_had",
             [e_step(["-e", "inbox"], stderr=TEMP_UNAVAILABLE, status="fail")],
             files={"inbox": JA_IN}, links={"_tmp_0": "_tmp_0"}, needs_lib=True,
             platforms=("posix",)),
    ]


LARGE_JA_LINE = "長い本文の行です。" * 10
LARGE_JA_IN = lf(SEP1, S1, b"", *[euc(LARGE_JA_LINE)] * 40)
LARGE_JA_OUT_TEMP = lf(SEP1, S1, b"", *[sjis(LARGE_JA_LINE)] * 40)


def prepass_failure_cases():
    missing_lib = LOAD_FAILED + b"file open failed. _tmp_0\n"
    cases = [
        case("prepass_library_missing",
             [e_step(["-e", "inbox"], stderr=missing_lib, status="fail")],
             files={"inbox": JA_IN}),
        case("prepass_library_missing_names_temp_file_in_tmp_dir",
             [e_step(["-e", "inbox"], tmp=arg_path("tmpdir"), status="fail",
                     stderr=[LOAD_FAILED, b"file open failed. ", arg_path("tmpdir/_tmp_0"), b"\n"])],
             files={"inbox": JA_IN}, dirs=["tmpdir"]),
        case("prepass_library_missing_tmp_trailing_separator_not_doubled",
             [e_step(["-e", "inbox"], tmp=dir_path("tmpdir"), status="fail",
                     stderr=[LOAD_FAILED, b"file open failed. ", arg_path("tmpdir/_tmp_0"), b"\n"])],
             files={"inbox": JA_IN}, dirs=["tmpdir"]),
        case("prepass_input_missing",
             [e_step(["-e", "nosuch.mbx"], stderr=b"file open failed. nosuch.mbx\n", status="fail")],
             needs_lib=True),
        case("prepass_input_is_a_directory",
             [e_step(["-e", "sub"], stderr=b"file open failed. sub\n", status="fail")],
             dirs=["sub"], needs_lib=True),
        case("prepass_write_error_on_temp_file",
             [e_step(["-e", "inbox"], stderr=b"file write failed. _tmp_0\n", status="fail",
                     file_size_limit=1000, left={"_tmp_0": LARGE_JA_OUT_TEMP[:1000]})],
             files={"inbox": LARGE_JA_IN}, needs_lib=True, platforms=("posix",)),
    ]
    for index, missing in enumerate(["NkfConvert", "SetNkfOption"]):
        cases.append(case("prepass_library_without_%s" % missing,
                          [e_step(["-e", "inbox"], stderr=missing_lib, status="fail")],
                          files={"inbox": JA_IN}, broken_lib=index))
    return cases


# ---------------------------------------------------------------------------
# Cases: Windows only (run under wine with the ANSI code page 932)
#
# File names are made on the host in UTF-8 and handed to wine as UTF-8 text;
# the program sees them in Shift-JIS, where 表 is 95 5C and ソ is 83 5C: a
# second byte that is the code of '\\'.

# (label, input file, argument, cwd, output file name)
WINDOWS_NAMING = [
    ("kanji_with_5c_second_byte", "表.mbx", "表.mbx", ".", "表_$$$.mbx"),
    ("katakana_with_5c_second_byte_no_extension", "ソ", "ソ", ".", "ソ_$$$"),
    ("5c_second_byte_in_extension", "inbox.表", "inbox.表", ".", "inbox_$$$.表"),
    ("5c_second_byte_before_dots", "ソ.表.mbx", "ソ.表.mbx", ".", "ソ.表_$$$.mbx"),
    ("5c_second_byte_in_directory", "ソ表/表.txt", "ソ表\\表.txt", ".", "表_$$$.txt"),
    ("backslash_parent_dir", "mail/old.inbox.txt", "..\\old.inbox.txt", "mail/child",
     "old.inbox_$$$.txt"),
    ("backslash_subdir", "mail/inbox.mbx", "mail\\inbox.mbx", ".", "inbox_$$$.mbx"),
    ("mixed_separators", "mail/sub/inbox.mbx", "mail/sub\\inbox.mbx", ".", "inbox_$$$.mbx"),
    ("trailing_dot_dropped_by_file_system", "inbox", "inbox.", ".", "inbox_$$$"),
]


def windows_cases():
    windows = ("windows",)
    cases = [case("windows_output_name_" + label,
                  [step([arg], out=WORKED_OUT, out_name=name, cwd=cwd)],
                  files={path: WORKED_IN}, dirs=[cwd], platforms=windows)
             for label, path, arg, cwd, name in WINDOWS_NAMING]
    cases += [
        case("windows_drive_letter_absolute_path_with_5c_second_byte",
             [step([arg_path("ソ表/表.mbx")], out=WORKED_OUT, out_name="表_$$$.mbx")],
             files={"ソ表/表.mbx": WORKED_IN}, platforms=windows),
        case("windows_program_in_directory_with_5c_second_byte",
             [step(["../表.mbx"], out=WORKED_OUT, out_name="表_$$$.mbx", cwd="work")],
             files={"表.mbx": WORKED_IN}, dirs=["work"], exe_dir="ソ表", platforms=windows),
        case("windows_missing_input_named_in_shift_jis",
             [step(["表.mbx"], stderr=b"file open failed. " + "表.mbx".encode("cp932") + b"\n",
                   status="fail")], platforms=windows),
        case("windows_prepass_japanese_file_name",
             [e_step(["-e", "ソ表.mbx"], out=JA_OUT, out_name="ソ表_$$$.mbx")],
             files={"ソ表.mbx": JA_IN}, needs_lib=True, platforms=windows),
        case("windows_prepass_slash_upper_e_drive_letter_path",
             [e_step(["/E", arg_path("mail/inbox.mbx")], out=JA_OUT, out_name="inbox_$$$.mbx")],
             files={"mail/inbox.mbx": JA_IN}, needs_lib=True, platforms=windows),
        tmp_failing("windows_prepass_tmp_dir_ending_in_5c_second_byte", arg_path("ソ"),
                    "ソ/_tmp_0", dirs=["ソ"], platforms=windows),
        case("windows_library_missing_names_temp_in_tmp_dir_ending_in_5c_second_byte",
             [e_step(["-e", "inbox"], tmp=arg_path("ソ"), status="fail",
                     stderr=[LOAD_FAILED, b"file open failed. ", arg_path("ソ/_tmp_0"), b"\n"])],
             files={"inbox": JA_IN}, dirs=["ソ"], platforms=windows),
        # Windows' ANSI calls stop at 260 bytes of path: a program that deep
        # cannot make its output directory, and says so rather than writing
        # anywhere else.
        case("windows_program_directory_beyond_path_limit_fails_cleanly",
             [step(["inbox"], stderr=OUT_DIR_FAILED, status="fail", out_dir=False)],
             files={"inbox": WORKED_IN}, exe_dir=deep_dir(250), platforms=windows),
    ]
    return cases


def all_cases():
    return (command_line_cases() + rewrite_cases() + failing_rewrite_cases()
            + first_scan_cases() + separator_cases() + long_line_cases()
            + naming_cases() + file_system_failure_cases()
            + prepass_conversion_cases() + prepass_temp_file_cases() + prepass_failure_cases()
            + windows_cases())


# ---------------------------------------------------------------------------
# Running a case

def native_path(path, platform):
    return windows_path(path) if platform == "windows" else path


def expand(value, ctx):
    """Bytes from a message template of bytes and placeholders."""
    if isinstance(value, bytes):
        return value
    return b"".join(expand_part(part, ctx) for part in value)


def expand_part(part, ctx):
    """Bytes as the program writes them: under wine its paths are in the ANSI
    code page 932, on POSIX in the file system's encoding."""
    if isinstance(part, bytes):
        return part
    text = expand_arg(part, ctx)
    return text.encode("cp932") if ctx["platform"] == "windows" else os.fsencode(text)


def expand_arg(arg, ctx):
    """Text of an argument or environment value, placeholders filled in."""
    if arg is None or isinstance(arg, str):
        return arg
    kind, name = arg
    separator = OUT_SEPARATOR[ctx["platform"]]
    if kind == "out":
        out_dir = native_path(os.path.join(ctx["exe_dir"], OUT_DIR_NAME), ctx["platform"])
        return out_dir + separator + name
    if kind == "abs":
        return native_path(os.path.join(ctx["base"], name), ctx["platform"])
    if kind == "dir":
        return native_path(os.path.join(ctx["base"], name), ctx["platform"]) + separator
    raise ValueError("unknown placeholder %r" % (kind,))


def snapshot(root, ignored):
    """Every entry under root: rel path -> ("file", bytes) | ("dir",) | ("link", target)."""
    tree = {}
    pending = [""]
    while pending:
        rel_dir = pending.pop()
        with os.scandir(os.path.join(root, rel_dir)) as entries:
            for entry in entries:
                rel = os.path.join(rel_dir, entry.name) if rel_dir else entry.name
                if rel in ignored:
                    continue
                if entry.is_symlink():
                    tree[rel] = ("link", os.readlink(entry.path))
                elif entry.is_dir():
                    tree[rel] = ("dir",)
                    pending.append(rel)
                else:
                    with open(entry.path, "rb") as f:
                        tree[rel] = ("file", f.read())
    return tree


def write_file(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path) or root, exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def prepare(base, test, options):
    """Lay out the case's directory; returns (exe copy, exe dir, ignored rels)."""
    exe_dir_rel = test.get("exe_dir", ".")
    if callable(exe_dir_rel):
        exe_dir_rel = exe_dir_rel(base)
    exe_dir = os.path.normpath(os.path.join(base, exe_dir_rel))
    os.makedirs(exe_dir, exist_ok=True)
    exe = os.path.join(exe_dir, os.path.basename(options.exe))
    shutil.copy2(options.exe, exe)
    ignored = {os.path.relpath(exe, base)}
    library = options.lib if test.get("needs_lib") else None
    if test.get("broken_lib") is not None:
        library = options.broken_libs[test["broken_lib"]]
    if library:
        lib = os.path.join(exe_dir, os.path.basename(library))
        shutil.copy2(library, lib)
        ignored.add(os.path.relpath(lib, base))
    for rel in test.get("dirs", []):
        os.makedirs(os.path.join(base, rel), exist_ok=True)
    for rel, data in test.get("files", {}).items():
        write_file(base, rel, data)
    for rel, target in test.get("links", {}).items():
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)
    return exe, exe_dir, ignored


def program_env(extra, platform):
    """The caller's environment without TMP, plus what the case sets."""
    env = {k: v for k, v in os.environ.items() if k.upper() != "TMP"}
    if platform == "windows":
        env.setdefault("WINEDEBUG", "-all")   # wine's own notes would pollute stderr
    for name, value in extra.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


# Wine gives every program it starts the TMP of its registry, whatever the
# caller's environment says; a Windows parent's environment is inherited,
# though. So a run that sets or clears TMP goes through this batch file. Its
# text stays ASCII: the value and the command line come in through variables
# of their own, which wine passes on unchanged.
TMP_WRAPPER = (b"@echo off\r\n"
               b"set TMP=\r\n"
               b"if defined QUILLET_E2E_TMP set \"TMP=%QUILLET_E2E_TMP%\"\r\n"
               b"%QUILLET_E2E_COMMAND%\r\n"
               b"exit %ERRORLEVEL%\r\n")


def windows_command_line(exe, args):
    """The command line that gives the program exactly these arguments."""
    for arg in args:
        if '"' in arg or "%" in arg:
            raise ValueError("argument %r cannot pass through the TMP wrapper" % arg)
    return " ".join('"%s"' % a for a in [windows_path(exe)] + args)


def run_program(exe, args, cwd, env, options, file_size_limit=None):
    """Runs the program once; env as the case gives it. (status, out, err)."""
    launcher = shlex.split(options.launcher)
    process_env = program_env({k: v for k, v in env.items() if k != "TMP"}, options.platform)
    wrapper_dir = None
    if options.platform == "windows" and "TMP" in env:
        wrapper_dir = tempfile.mkdtemp(prefix="quillet-e2e-wrapper-")
        wrapper = os.path.join(wrapper_dir, "run.bat")
        with open(wrapper, "wb") as f:
            f.write(TMP_WRAPPER)
        process_env["QUILLET_E2E_COMMAND"] = windows_command_line(exe, args)
        process_env.pop("QUILLET_E2E_TMP", None)
        if env["TMP"] is not None:
            process_env["QUILLET_E2E_TMP"] = env["TMP"]
        command = launcher + ["cmd", "/c", windows_path(wrapper)]
    else:
        if env.get("TMP") is not None:
            process_env["TMP"] = env["TMP"]
        command = launcher + [exe] + args
    try:
        done = subprocess.run(command, cwd=cwd, env=process_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT_SECONDS[options.platform],
                              preexec_fn=size_limiter(file_size_limit))
    except subprocess.TimeoutExpired as timeout:
        return None, timeout.stdout or b"", timeout.stderr or b""
    finally:
        if wrapper_dir:
            shutil.rmtree(wrapper_dir, ignore_errors=True)
    return done.returncode, done.stdout, done.stderr


def size_limiter(limit):
    """Sets a file size limit in the child; writes past it fail with EFBIG
    (SIGXFSZ, which would kill the program, is ignored)."""
    if limit is None:
        return None

    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def warm_up(options):
    """The first wine program of a server session starts wine's services,
    which keep the standard handles they inherit: let that happen here, with
    no pipe of ours, so that no case waits for a service to close one."""
    if options.platform != "windows":
        return
    scratch = tempfile.mkdtemp(prefix="quillet-e2e-warm-")
    try:
        subprocess.run(shlex.split(options.launcher) + [options.exe], cwd=scratch,
                       env=program_env({}, options.platform), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    except subprocess.TimeoutExpired:
        pass
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def hex_lines(data, start, mark):
    lines = []
    for offset in range(start, min(len(data), start + 96), 16):
        chunk = data[offset:offset + 16]
        hex_part = " ".join("%02x" % b for b in chunk)
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
        pointer = ">" if offset <= mark < offset + 16 else " "
        lines.append("      %s%08x  %-47s  |%s|" % (pointer, offset, hex_part, text))
    return lines or ["       (nothing from here on)"]


def hex_diff(label, expected, actual):
    """A readable report of where two byte strings part."""
    common = min(len(expected), len(actual))
    first = next((i for i in range(common) if expected[i] != actual[i]), common)
    start = max(0, (first // 16 - 2) * 16)
    lines = ["  %s differs: expected %d bytes, got %d; first difference at offset %d (0x%x)"
             % (label, len(expected), len(actual), first, first),
             "    expected:"] + hex_lines(expected, start, first)
    lines += ["    actual:"] + hex_lines(actual, start, first)
    return lines


def describe(entry):
    if entry is None:
        return "absent"
    if entry[0] == "file":
        return "file of %d bytes" % len(entry[1])
    if entry[0] == "link":
        return "symlink to %s" % entry[1]
    return "directory"


def tree_problems(expected, actual, skip):
    problems = []
    for rel in sorted(set(expected) | set(actual)):
        if rel == skip or expected.get(rel) == actual.get(rel):
            continue
        want, got = expected.get(rel), actual.get(rel)
        if want and got and want[0] == "file" and got[0] == "file":
            problems += hex_diff("file " + rel, want[1], got[1])
        else:
            problems.append("  %s: expected %s, found %s" % (rel, describe(want), describe(got)))
    return problems


def check_step(st, ctx, result, expected_tree, actual_tree):
    status, stdout, stderr = result
    problems = []
    want_status = {"ok": 0, "fail": FAIL_STATUS[ctx["platform"]]}.get(st["status"], st["status"])
    if status is None:
        problems.append("  timed out after %d s" % TIMEOUT_SECONDS[ctx["platform"]])
    elif status != want_status:
        problems.append("  exit status: expected %d, got %d" % (want_status, status))
    if stdout != expand(st["stdout"], ctx):
        problems += hex_diff("stdout", expand(st["stdout"], ctx), stdout)
    want_stderr = expand(st["stderr"], ctx).replace(b"\n", STDERR_NEWLINE[ctx["platform"]])
    if stderr != want_stderr:
        problems += hex_diff("stderr", want_stderr, stderr)
    out_rel = os.path.relpath(os.path.join(ctx["exe_dir"], OUT_DIR_NAME, st["out_name"]), ctx["base"])
    want_out, got_out = expected_tree.get(out_rel), actual_tree.get(out_rel)
    if want_out != got_out:
        if want_out and got_out and want_out[0] == got_out[0] == "file":
            problems += hex_diff("output file " + out_rel, want_out[1], got_out[1])
        else:
            problems.append("  output file %s: expected %s, found %s"
                            % (out_rel, describe(want_out), describe(got_out)))
    return problems + tree_problems(expected_tree, actual_tree, out_rel)


def run_case(test, options):
    base = os.path.realpath(tempfile.mkdtemp(prefix="quillet-e2e-"))
    problems = []
    try:
        problems = run_steps(base, test, options)
    except OSError as error:
        # A case whose layout the host cannot build is a failure, not a crash.
        problems = ["  runner error: %s" % error]
    finally:
        if options.keep:
            problems.append("  kept in %s" % base)
        else:
            shutil.rmtree(base, ignore_errors=True)
    return problems


def run_steps(base, test, options):
    """Run the case's steps in order; the problems of the first failing one."""
    exe, exe_dir, ignored = prepare(base, test, options)
    ctx = {"base": base, "exe_dir": exe_dir, "platform": options.platform}
    expected_tree = snapshot(base, ignored)
    out_dir_rel = os.path.relpath(os.path.join(exe_dir, OUT_DIR_NAME), base)
    for number, st in enumerate(test["steps"], 1):
        for rel, data in st["files"].items():
            write_file(base, rel, data)
            expected_tree[rel] = ("file", data)
        args = [expand_arg(a, ctx) for a in st["args"]]
        env = {name: expand_arg(value, ctx) for name, value in st["env"].items()}
        result = run_program(exe, args, os.path.join(base, st["cwd"]), env, options,
                             st["file_size_limit"])
        if st["out_dir"] and out_dir_rel not in expected_tree:
            expected_tree[out_dir_rel] = ("dir",)
        if st["out"] is not None:
            expected_tree[os.path.join(out_dir_rel, st["out_name"])] = ("file", st["out"])
        for rel, data in st["left"].items():
            expected_tree[rel] = ("file", data)
        problems = check_step(st, ctx, result, expected_tree, snapshot(base, ignored))
        if problems:
            shown = " ".join(repr(a) if len(a) < 60 else repr(a[:57]) + "..." for a in args)
            return ["  run %d: quillet %s" % (number, shown)] + problems
    return []


def parse_options(argv):
    parser = argparse.ArgumentParser(description="End-to-end cases for quillet.")
    parser.add_argument("--exe", required=True, help="the program to test")
    parser.add_argument("--launcher", default="", help="command that runs the program, e.g. wine")
    parser.add_argument("--platform", choices=["posix", "windows"], default="posix")
    parser.add_argument("--lib", help="converter library to place beside the program for -e cases")
    parser.add_argument("--broken-lib", dest="broken_libs", action="append", default=[],
                        help="a converter library lacking a function (repeatable, in the order "
                             "the build makes them: without NkfConvert, without SetNkfOption)")
    parser.add_argument("-k", dest="pattern", default="", help="run only cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep each case's directory")
    options = parser.parse_args(argv)
    options.exe = os.path.abspath(options.exe)
    if options.lib:
        options.lib = os.path.abspath(options.lib)
    options.broken_libs = [os.path.abspath(lib) for lib in options.broken_libs]
    return options


def main(argv):
    options = parse_options(argv)
    if not os.path.isfile(options.exe):
        print("no program at %s" % options.exe)
        return 2
    warm_up(options)
    passed = failed = skipped = 0
    for test in all_cases():
        if options.pattern not in test["name"]:
            continue
        if (options.platform not in test.get("platforms", ("posix", "windows"))
                or (test.get("needs_lib") and not options.lib)
                or test.get("broken_lib", -1) >= len(options.broken_libs)):
            print("skip " + test["name"])
            skipped += 1
            continue
        problems = run_case(test, options)
        if any(not line.startswith("  kept in") for line in problems):
            print("FAIL " + test["name"])
            failed += 1
        else:
            print("ok " + test["name"])
            passed += 1
        for line in problems:
            print(line)
        sys.stdout.flush()
    summary = "%d passed, %d failed" % (passed, failed)
    print(summary + (", %d skipped" % skipped if skipped else ""))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

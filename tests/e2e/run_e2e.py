#!/usr/bin/env python3
"""End-to-end cases for quillet, run against the real program.

Each case runs in its own temporary directory holding a copy of the program,
so the output directory it keeps beside itself is private to the case. The
runner compares stdout, stderr, exit status, the output file's bytes and every
file left in that directory.

Usage: run_e2e.py --exe PATH [--launcher CMD] [--platform posix|windows]
                  [--lib PATH] [-k PATTERN] [--keep]
"""

import argparse
import os
import shlex
import shutil
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
    exe_dir (rel or callable(base) -> rel), platforms, needs_lib."""
    return dict(name=name, steps=steps, **setup)


def step(args, stdout=b"", stderr=b"", status="ok", out=None,
         out_name="inbox_$$$", cwd=".", env=None, files=None, out_dir=None):
    """One run of the program. out: the output file's bytes afterwards, or
    None when it must be as before the run (absent, or an older file
    unchanged). out_dir: whether quillet_out must exist (default: whenever
    arguments are given, as the program creates it before looking at them)."""
    return dict(args=args, stdout=stdout, stderr=stderr, status=status,
                out=out, out_name=out_name, cwd=cwd, env=env or {},
                files=files or {}, out_dir=bool(args) if out_dir is None else out_dir)


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
    ("trailing_dot_is_an_empty_extension", "inbox.", ".", "inbox.", "inbox_$$$."),
    ("dot_slash_prefix", "inbox.mbx", ".", "./inbox.mbx", "inbox_$$$.mbx"),
    ("long_path_is_split_within_first_260_bytes", LONG_DIR_A + "/inbox.mbx", ".",
     LONG_DIR_A + "/inbox.mbx", "e" * 59 + "_$$$"),
    ("long_path_cut_inside_extension", LONG_DIR_B + "/in.box.mbx", ".",
     LONG_DIR_B + "/in.box.mbx", "in.box_$$$.mb"),
]


def naming_cases():
    cases = [case("output_name_" + label,
                  [step([arg], out=WORKED_OUT, out_name=name, cwd=cwd)],
                  files={path: WORKED_IN}, dirs=[cwd])
             for label, path, cwd, arg, name in NAMING]
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
             files={"inbox": WORKED_IN}, exe_dir=deep_dir(250)),
        case("program_path_beyond_260_bytes_keeps_output_beside_program",
             [step(["../inbox"], out=WORKED_OUT, cwd="work")],
             files={"inbox": WORKED_IN}, dirs=["work"], exe_dir=deep_dir(400)),
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


def all_cases():
    return (command_line_cases() + rewrite_cases() + failing_rewrite_cases()
            + first_scan_cases() + separator_cases() + long_line_cases()
            + naming_cases() + file_system_failure_cases())


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
    if isinstance(part, bytes):
        return part
    kind, name = part
    if kind == "out":
        out_dir = native_path(os.path.join(ctx["exe_dir"], OUT_DIR_NAME), ctx["platform"])
        return os.fsencode(out_dir + OUT_SEPARATOR[ctx["platform"]] + name)
    if kind == "abs":
        return os.fsencode(native_path(os.path.join(ctx["base"], name), ctx["platform"]))
    raise ValueError("unknown placeholder %r" % (kind,))


def expand_arg(arg, ctx):
    return arg if isinstance(arg, str) else os.fsdecode(expand_part(arg, ctx))


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
    if test.get("needs_lib"):
        lib = os.path.join(exe_dir, os.path.basename(options.lib))
        shutil.copy2(options.lib, lib)
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
    env.update(extra)
    return env


def run_program(exe, args, cwd, env, options):
    command = shlex.split(options.launcher) + [exe] + args
    try:
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT_SECONDS[options.platform])
    except subprocess.TimeoutExpired as timeout:
        return None, timeout.stdout or b"", timeout.stderr or b""
    return done.returncode, done.stdout, done.stderr


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
        result = run_program(exe, args, os.path.join(base, st["cwd"]),
                             program_env(st["env"], options.platform), options)
        if st["out_dir"] and out_dir_rel not in expected_tree:
            expected_tree[out_dir_rel] = ("dir",)
        if st["out"] is not None:
            expected_tree[os.path.join(out_dir_rel, st["out_name"])] = ("file", st["out"])
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
    parser.add_argument("-k", dest="pattern", default="", help="run only cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep each case's directory")
    options = parser.parse_args(argv)
    options.exe = os.path.abspath(options.exe)
    if options.lib:
        options.lib = os.path.abspath(options.lib)
    return options


def main(argv):
    options = parse_options(argv)
    if not os.path.isfile(options.exe):
        print("no program at %s" % options.exe)
        return 2
    passed = failed = skipped = 0
    for test in all_cases():
        if options.pattern not in test["name"]:
            continue
        if (options.platform not in test.get("platforms", ("posix", "windows"))
                or (test.get("needs_lib") and not options.lib)):
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

#!/usr/bin/env python3
"""Checks the Windows release zip: its file list, the README's encoding, the
two programs in it, and that the unpacked program converts the sample
mailboxes (with -e through the nkf32.dll beside it).

Usage: check_release_zip.py ZIP --examples DIR [--launcher wine]
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402  (beside this file)

EXPECTED_FILES = ["README.txt", "nkf32.dll", "quillet.exe"]

DELIM = (b"=" * 20
         + b"KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem"
         + b"=" * 20)

# Texts the README must give a Windows user, in both languages.
README_MUST_MENTION = ["quillet_out", "nkf32.dll", "-e", "_$$$", "TMP", "-1",
                       "出力先", "終了コード", "Where the output goes", "Exit status"]


def check_file_list(archive):
    names = sorted(archive.namelist())
    if names != EXPECTED_FILES:
        return ["zip holds %s, expected exactly %s" % (names, EXPECTED_FILES)]
    return []


def check_readme(data):
    problems = []
    if data.startswith(b"\xef\xbb\xbf"):
        problems.append("README.txt starts with a UTF-8 byte order mark")
    if data.replace(b"\r\n", b"").count(b"\n") or data.replace(b"\r\n", b"").count(b"\r"):
        problems.append("README.txt has line ends other than CR LF")
    try:
        text = data.decode("cp932")
    except UnicodeDecodeError as error:
        return problems + ["README.txt is not Shift-JIS (code page 932): %s" % error]
    missing = [word for word in README_MUST_MENTION if word not in text]
    if missing:
        problems.append("README.txt does not mention %s" % missing)
    return problems


def check_binaries(unpacked):
    problems = []
    for check, name in [(check_pe.check_program, "quillet.exe"),
                        (check_pe.check_version, "quillet.exe"),
                        (check_pe.check_library, "nkf32.dll")]:
        pe = check_pe.pefile.PE(os.path.join(unpacked, name))
        problems += ["%s in the zip: %s" % (name, p) for p in check(pe)]
    return problems


def run(launcher, unpacked, args):
    command = shlex.split(launcher) + [os.path.join(unpacked, "quillet.exe")] + args
    return subprocess.run(command, cwd=unpacked, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def check_conversions(launcher, unpacked, examples):
    """The unpacked program converts both samples into quillet_out beside it."""
    problems = []
    for option, sample, japanese_line in [
            ([], "sample.mbox", None),
            (["-e"], "sample-eucjp.mbox", "来週の会議は水曜日の午後二時からです。")]:
        shutil.copy(os.path.join(examples, sample), unpacked)
        done = run(launcher, unpacked, option + [sample])
        label = " ".join(["quillet.exe"] + option + [sample])
        if done.returncode != 0 or done.stderr:
            problems.append("%s: status %d, stderr %r" % (label, done.returncode, done.stderr))
            continue
        stem, extension = os.path.splitext(sample)
        out = os.path.join(unpacked, "quillet_out", stem + "_$$$" + extension)
        if not os.path.isfile(out):
            problems.append("%s: no output file %s" % (label, out))
            continue
        with open(out, "rb") as f:
            data = f.read()
        if not data.startswith(DELIM + b"\r\n"):
            problems.append("%s: output does not begin with the delimiter line" % label)
        if data.replace(b"\r\n", b"").count(b"\n"):
            problems.append("%s: output has a line end other than CR LF" % label)
        if japanese_line and japanese_line.encode("shift_jis") + b"\r\n" not in data:
            problems.append("%s: output lacks the Shift-JIS line %s" % (label, japanese_line))
    left = sorted(set(os.listdir(unpacked)) - set(EXPECTED_FILES)
                  - {"quillet_out", "sample.mbox", "sample-eucjp.mbox"})
    if left:
        problems.append("files left beside the program: %s" % left)
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description="Checks the Windows release zip.")
    parser.add_argument("zip")
    parser.add_argument("--examples", required=True, help="directory of the sample mailboxes")
    parser.add_argument("--launcher", default="wine")
    options = parser.parse_args(argv)

    unpacked = tempfile.mkdtemp(prefix="quillet-zip-")
    try:
        with zipfile.ZipFile(options.zip) as archive:
            problems = check_file_list(archive)
            if not problems:
                problems += check_readme(archive.read("README.txt"))
                archive.extractall(unpacked)
                problems += check_binaries(unpacked)
                problems += check_conversions(options.launcher, unpacked, options.examples)
    finally:
        shutil.rmtree(unpacked, ignore_errors=True)
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print("ok %s" % options.zip)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

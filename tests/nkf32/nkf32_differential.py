#!/usr/bin/env python3
"""Differential tests of the nkf32 library against nkf and iconv.

Usage: nkf32_differential.py PATH_TO_LIBNKF32

 1. Every JIS X 0208 code (94 x 94, assigned or not) and every half-width
    katakana 8E A1..8E DF must give exactly the bytes that
    `nkf -E -s -x --no-cp932` gives.
    Why --no-cp932: plain `nkf -E -s -x` (cp932 mode is nkf's default) remaps
    rows 89..92 (EUC F9..FC, the NEC-selected IBM extensions, Shift-JIS
    ED40..EEFC by arithmetic) to the IBM extension codes FA40..FC4B, and
    leaves row 92 cells 77/78 (unassigned in CP932) alone.  --no-cp932 turns
    that remapping off and gives pure row/cell arithmetic for all 8836 codes.
    The test also checks that plain `-E -s -x` differs from us only in
    those rows, so the explanation stays true.
 2. Every JIS X 0212 code the library maps gives the same bytes as
    `iconv -f EUC-JP -t CP932`, and every other code 8F A1A1..8F FEFE
    (the geta mark 81 AC) is one that iconv cannot convert.

Each check batches all characters into one input, one per line, converts it
with one call, and compares line by line.  Exits 77 (skip) when nkf or iconv
is not installed.
"""

import ctypes
import os
import shutil
import struct
import subprocess
import sys

SKIP = 77
GETA = b"\x81\xac"


def load(path):
    if os.name == "nt" and struct.calcsize("P") == 4:
        lib = ctypes.WinDLL(path)  # __stdcall on 32-bit Windows
    else:
        lib = ctypes.CDLL(path)
    lib.NkfConvert.restype = None
    lib.NkfConvert.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.SetNkfOption.restype = ctypes.c_int
    lib.SetNkfOption.argtypes = [ctypes.c_char_p]
    return lib


def convert(lib, data):
    margin = 64
    buf = ctypes.create_string_buffer(b"\xcc" * (len(data) + 1 + margin),
                                      len(data) + 1 + margin)
    lib.NkfConvert(buf, data)
    raw = buf.raw
    out = raw[:raw.index(b"\0")]
    if len(out) > len(data):
        raise AssertionError("output (%d bytes) longer than input (%d bytes)"
                             % (len(out), len(data)))
    if raw[len(data) + 1:] != b"\xcc" * margin:
        raise AssertionError("library wrote past strlen(in) + 1")
    return out


def run(cmd, data):
    proc = subprocess.run(cmd, input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=False)
    if proc.returncode != 0 and "-c" not in cmd:
        print("  %s: exit %d: %s" % (" ".join(cmd), proc.returncode,
                                    proc.stderr.decode("ascii", "replace").strip()))
    return proc.returncode, proc.stdout


def compare(title, keys, got_lines, want_lines, limit=10):
    """Print mismatches with hex; return the list of mismatching keys."""
    bad = []
    for key, got, want in zip(keys, got_lines, want_lines):
        if got != want:
            bad.append(key)
            if len(bad) <= limit:
                print("  %s: input %s: nkf32 %s, expected %s"
                      % (title, key.hex(" ").upper(), got.hex(" ").upper(),
                         want.hex(" ").upper()))
    if len(got_lines) != len(keys) or len(want_lines) != len(keys):
        print("  %s: line count mismatch: %d keys, nkf32 %d lines, expected %d"
              % (title, len(keys), len(got_lines), len(want_lines)))
        bad.append(b"<line count>")
    return bad


def lines_of(data):
    parts = data.split(b"\n")
    if parts and parts[-1] == b"":
        parts.pop()
    return parts


def check_jisx0208(lib, nkf):
    keys = [bytes([a, b]) for a in range(0xA1, 0xFF) for b in range(0xA1, 0xFF)]
    keys += [bytes([0x8E, b]) for b in range(0xA1, 0xE0)]
    data = b"\n".join(keys) + b"\n"
    got = lines_of(convert(lib, data))
    ok = True

    flags = ["-E", "-s", "-x", "--no-cp932"]
    rc, out = run([nkf] + flags, data)
    if rc != 0:
        print("FAIL: nkf %s exited %d" % (" ".join(flags), rc))
        return False
    bad = compare("nkf " + " ".join(flags), keys, got, lines_of(out))
    print("JIS X 0208 + katakana vs nkf %s: %d codes, %d mismatches"
          % (" ".join(flags), len(keys), len(bad)))
    ok &= not bad

    # Plain `nkf -E -s -x`: must differ only in rows 89..92 (EUC F9..FC).
    flags = ["-E", "-s", "-x"]
    rc, out = run([nkf] + flags, data)
    if rc != 0:
        print("FAIL: nkf %s exited %d" % (" ".join(flags), rc))
        return False
    want = lines_of(out)
    diff = [k for k, g, w in zip(keys, got, want) if g != w]
    outside = [k for k in diff if not 0xF9 <= k[0] <= 0xFC]
    print("  (info) plain nkf %s differs on %d codes, all in rows 89..92 "
          "(NEC-selected IBM extensions remapped to FA..FC): %s"
          % (" ".join(flags), len(diff), "yes" if not outside else "NO"))
    if outside or len(want) != len(keys):
        compare("nkf " + " ".join(flags), outside, [got[keys.index(k)] for k in outside],
                [want[keys.index(k)] for k in outside])
        ok = False
    return ok


def check_jisx0212(lib, iconv):
    keys = [bytes([0x8F, a, b]) for a in range(0xA1, 0xFF) for b in range(0xA1, 0xFF)]
    got = lines_of(convert(lib, b"\n".join(keys) + b"\n"))
    if len(got) != len(keys):
        print("FAIL: JIS X 0212: %d lines out for %d codes" % (len(got), len(keys)))
        return False
    ok = True

    # (a) Every code the library maps (not geta): one strict iconv batch,
    #     which must convert all of them and give exactly our bytes.
    ours = [(k, g) for k, g in zip(keys, got) if g != GETA]
    rc, out = run([iconv, "-f", "EUC-JP", "-t", "CP932"],
                  b"\n".join(k for k, _ in ours) + b"\n")
    if rc != 0:
        print("  iconv rejected part of the codes nkf32 maps; each line is "
              "4 bytes, so the position above / 4 is the code's index")
        ok = False
    bad = compare("iconv -f EUC-JP -t CP932", [k for k, _ in ours],
                  [g for _, g in ours], lines_of(out))
    print("JIS X 0212 mapped by nkf32 vs iconv -f EUC-JP -t CP932: %d codes, "
          "%d mismatches" % (len(ours), len(bad)))
    ok &= not bad and rc == 0

    # (b) Every other code must be one iconv cannot convert (-> geta).
    #     iconv stops at the first failure, so batch with -c: a valid 0212
    #     character without a CP932 counterpart is skipped whole (empty
    #     line); an unassigned cell is illegal input, where glibc skips the
    #     8F alone and converts the rest (the same as the line without 8F).
    #     Anything else is a conversion we lack; confirm it alone.
    _, with_8f = run([iconv, "-c", "-f", "EUC-JP", "-t", "CP932"],
                     b"\n".join(keys) + b"\n")
    _, without_8f = run([iconv, "-c", "-f", "EUC-JP", "-t", "CP932"],
                        b"\n".join(k[1:] for k in keys) + b"\n")
    with_8f, without_8f = lines_of(with_8f), lines_of(without_8f)
    if len(with_8f) != len(keys) or len(without_8f) != len(keys):
        print("FAIL: iconv -c gave %d/%d lines for %d codes"
              % (len(with_8f), len(without_8f), len(keys)))
        return False
    missing = []
    for key, g, a, b in zip(keys, got, with_8f, without_8f):
        if g != GETA or a == b"" or a == b:
            continue
        rc1, one = run([iconv, "-f", "EUC-JP", "-t", "CP932"], key)
        if rc1 == 0:
            missing.append((key, g, one))
        if len(missing) >= 10:
            break
    for key, g, one in missing:
        print("  iconv converts %s to %s, nkf32 gives %s"
              % (key.hex(" ").upper(), one.hex(" ").upper(), g.hex(" ").upper()))
    print("JIS X 0212 not mapped by nkf32 (geta): %d codes, %d that iconv "
          "does convert" % (len(keys) - len(ours), len(missing)))
    ok &= not missing
    return ok


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    nkf = shutil.which("nkf")
    iconv = shutil.which("iconv")
    if nkf is None:
        print("SKIP: nkf is not installed (apt-get install -y nkf); "
              "the differential test needs it as the oracle")
        return SKIP
    if iconv is None:
        print("SKIP: iconv is not installed; it is the JIS X 0212 oracle")
        return SKIP
    lib = load(argv[1])
    ok = True
    if lib.SetNkfOption(b"s") != 0:
        print("FAIL: SetNkfOption(\"s\") != 0")
        ok = False
    ok &= check_jisx0208(lib, nkf)
    ok &= check_jisx0212(lib, iconv)
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

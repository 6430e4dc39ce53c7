#!/usr/bin/env python3
"""Writes the Windows README as Notepad and the command prompt of a Japanese
Windows read it: Shift-JIS (code page 932) with CR LF line ends.

Why not UTF-8 with a byte order mark: Notepad would show that too, but the
user runs quillet from a command prompt, whose `type README.txt` and `more`
show only code page 932 cleanly, as do older Notepads and the usual Japanese
editors when they guess. Every Notepad on a Japanese Windows opens this file.

Usage: make_windows_readme.py SOURCE(UTF-8) TARGET
"""

import sys


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    source, target = argv
    with open(source, encoding="utf-8") as f:
        text = f.read()
    if "\r" in text:
        print("%s: keep the source with LF line ends" % source)
        return 1
    try:
        data = text.replace("\n", "\r\n").encode("cp932")
    except UnicodeEncodeError as error:
        # A character with no code page 932 form would turn into '?' on the
        # user's screen: refuse it here instead.
        print("%s: %r has no code page 932 form (%s)" % (source, error.object[error.start:error.end], error))
        return 1
    with open(target, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

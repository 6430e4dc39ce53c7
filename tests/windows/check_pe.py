#!/usr/bin/env python3
"""Checks of the Windows build's files, read with pefile (Debian python3-pefile).

  check_pe.py version FILE    the version record: 1.01.0, Japanese, code page 932
  check_pe.py program FILE    a PE32 i386 console program needing only system DLLs
  check_pe.py library FILE    an i386 DLL exporting exactly SetNkfOption and NkfConvert

Prints each problem and exits 1 when there is one.
"""

import sys

try:
    import pefile
except ImportError:
    print("pefile is missing: apt-get install python3-pefile")
    sys.exit(1)

MACHINE_I386 = 0x014C
MAGIC_PE32 = 0x010B
SUBSYSTEM_CONSOLE = 3
LANG_JAPANESE = 0x0411
CODE_PAGE_932 = 932

# DLLs every Windows installation has; the compiler's own runtime DLLs
# (libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll) are not among them.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll"}

EXPECTED_EXPORTS = {"SetNkfOption", "NkfConvert"}


def check_version(pe):
    problems = []
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version record"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    for label, ms, ls in [("FILEVERSION", fixed.FileVersionMS, fixed.FileVersionLS),
                          ("PRODUCTVERSION", fixed.ProductVersionMS, fixed.ProductVersionLS)]:
        got = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if got != (1, 1, 0, 0):
            problems.append("%s is %s, expected 1,1,0,0" % (label, ",".join(map(str, got))))

    tables, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables.update({t.LangID.decode("ascii").lower(): t.entries for t in info.StringTable})
        elif info.Key == b"VarFileInfo":
            translations += [v.entry.get(b"Translation") for v in info.Var]
    strings = tables.get("041103a4")
    if strings is None:
        problems.append("no string table 041103a4 (found %s)" % sorted(tables))
        strings = {}
    for key in [b"FileVersion", b"ProductVersion"]:
        if strings.get(key) != b"1.01.0":
            problems.append("%s is %r, expected '1.01.0'" % (key.decode(), strings.get(key)))
    for key in [b"ProductName", b"FileDescription"]:
        if not strings.get(key, b"").strip():
            problems.append("%s is missing or empty" % key.decode())
    wanted = "0x%04x 0x%04x" % (LANG_JAPANESE, CODE_PAGE_932)
    if [t.lower() if t else t for t in translations] != [wanted]:
        problems.append("Translation is %r, expected [%r] (0x0411, 932)" % (translations, wanted))

    languages = [entry.data.lang | entry.data.sublang << 10
                 for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 if kind.id == pefile.RESOURCE_TYPE["RT_VERSION"]
                 for name in kind.directory.entries
                 for entry in name.directory.entries]
    if languages != [LANG_JAPANESE]:
        problems.append("version resource languages %s, expected [0x0411]"
                        % [hex(lang) for lang in languages])
    return problems


def check_image(pe, want_dll):
    problems = []
    if pe.FILE_HEADER.Machine != MACHINE_I386:
        problems.append("machine 0x%04x, expected i386 (0x014c)" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != MAGIC_PE32:
        problems.append("optional header magic 0x%04x, expected PE32 (0x010b)" % pe.OPTIONAL_HEADER.Magic)
    if pe.is_dll() != want_dll:
        problems.append("is %sa DLL" % ("not " if want_dll else ""))
    imports = [entry.dll.decode("ascii") for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS]
    if foreign:
        problems.append("needs DLLs beside the system ones: %s (all imports: %s)"
                        % (", ".join(foreign), ", ".join(imports)))
    return problems


def check_program(pe):
    problems = check_image(pe, want_dll=False)
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_CONSOLE:
        problems.append("subsystem %d, expected the console subsystem (3)" % pe.OPTIONAL_HEADER.Subsystem)
    return problems


def check_library(pe):
    problems = check_image(pe, want_dll=True)
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    symbols = exports.symbols if exports else []
    names = [s.name.decode("ascii") if s.name else "#%d" % s.ordinal for s in symbols]
    if sorted(names) != sorted(EXPECTED_EXPORTS):
        problems.append("exports %s, expected exactly %s (undecorated)"
                        % (sorted(names), sorted(EXPECTED_EXPORTS)))
    forwarded = [s.name for s in symbols if s.forwarder]
    if forwarded:
        problems.append("forwarded exports: %s" % forwarded)
    return problems


CHECKS = {"version": check_version, "program": check_program, "library": check_library}


def main(argv):
    if len(argv) != 2 or argv[0] not in CHECKS:
        print(__doc__)
        return 2
    check, path = CHECKS[argv[0]], argv[1]
    pe = pefile.PE(path)
    problems = check(pe)
    for problem in problems:
        print("FAIL %s: %s" % (path, problem))
    if not problems:
        print("ok %s: %s" % (argv[0], path))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Checks that the shipped programs can load on the oldest Windows they are
made for, from their PE headers and import tables alone (no Windows needed).

    check_loadable.py --objdump OBJDUMP --table winapi-min.txt
                      --machine i386|x86-64 --max-subsystem 4.0
                      PROGRAM.exe:TARGET [PROGRAM.exe:TARGET ...]

TARGET is the oldest Windows the program must load on: NT4 or XP64 (NT
family) or 95 (9x family).  A program fails when

  - its machine is not the expected one, or its subsystem version is newer
    than --max-subsystem (or, for --exact-subsystem, not equal to it);
  - it imports a DLL that is not one of Windows' own (the table's dll rows);
  - it imports a function that the table does not list (add it with its
    oldest Windows), or that its target lacks (bind it by name at run time);
  - it targets the 9x family and imports a wide (W) function the table does
    not show harmless there.

Exit status 0 when every program passes, 1 otherwise; every fault is printed.
"""

import argparse
import re
import subprocess
import sys

NT_RELEASES = ["NT3.1", "NT3.5", "NT3.51", "NT4", "2000", "XP", "XP64", "Vista", "7", "8", "10"]
# STUB: exported by the whole 9x family, but fails there without doing
# anything (the wide functions).  NONE: not exported at all.
NINE_X_RELEASES = ["95", "98", "ME"]
STUB = "stub"
NONE = "-"
TARGETS = {"NT4": ("nt", "NT4"), "XP64": ("nt", "XP64"), "95": ("9x", "95")}


class Entry:
    def __init__(self, dll, name, nt, nine_x, source, note, line):
        self.dll, self.name, self.nt, self.nine_x = dll, name, nt, nine_x
        self.source, self.note, self.line = source, note, line


def load_table(path):
    """Returns (dlls, functions, faults): dicts keyed by lower-case DLL name and
    by (lower-case DLL, function name), and the table's own faults."""
    dlls, functions, faults = {}, {}, []
    with open(path, encoding="ascii") as table:
        for number, raw in enumerate(table, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            where = "%s:%d" % (path, number)
            if line.startswith("dll "):
                fields = line.split(None, 4)
                if len(fields) < 4:
                    faults.append("%s: a dll row needs: dll NAME NT 9X [note]" % where)
                    continue
                dll = fields[1].lower()
                entry = Entry(dll, None, fields[2], fields[3], "", fields[4] if len(fields) > 4 else "", where)
                dlls[dll] = entry
            else:
                fields = line.split(None, 5)
                if len(fields) < 5:
                    faults.append("%s: a function row needs: DLL FUNCTION NT 9X SOURCE [note]" % where)
                    continue
                key = (fields[0].lower(), fields[1])
                if key in functions:
                    faults.append("%s: %s!%s is listed twice (also %s)" % (where, key[0], key[1],
                                                                         functions[key].line))
                entry = Entry(key[0], key[1], fields[2], fields[3], fields[4],
                              fields[5] if len(fields) > 5 else "", where)
                functions[key] = entry
            if entry.nt != NONE and entry.nt not in NT_RELEASES:
                faults.append("%s: unknown NT release %r (one of %s, or -)" % (where, entry.nt, " ".join(NT_RELEASES)))
            if entry.nine_x not in NINE_X_RELEASES + [STUB, NONE]:
                faults.append("%s: unknown 9x release %r (one of %s, stub or -)"
                              % (where, entry.nine_x, " ".join(NINE_X_RELEASES)))
    for key, entry in functions.items():
        if key[0] not in dlls:
            faults.append("%s: %s has no dll row" % (entry.line, key[0]))
    return dlls, functions, faults


def read_program(objdump, path):
    """Returns (machine, subsystem version as (major, minor), [(dll, function)])."""
    text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    machine = re.search(r"file format (\S+)", text)
    major = re.search(r"^MajorSubsystemVersion\s+(\d+)", text, re.M)
    minor = re.search(r"^MinorSubsystemVersion\s+(\d+)", text, re.M)
    imports, dll = [], None
    for line in text.splitlines():
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            dll = found.group(1).lower()
            imports.append((dll, None))
            continue
        # "\t<vma>\t <hint>  <name>", or "<none>" for a function imported by
        # ordinal, which no table can name (it is reported as not listed).
        found = re.match(r"\t[0-9a-fA-F]+\t\s*(\d+)\s+(\S+)", line)
        if found and dll:
            name = found.group(2)
            imports.append((dll, "ordinal-%s" % found.group(1) if name == "<none>" else name))
    return (machine.group(1) if machine else "?",
            (int(major.group(1)), int(minor.group(1))) if major and minor else None,
            imports)


def missing_on(entry, family, oldest):
    """Why the entry is not there on the target, or None when it is."""
    if family == "nt":
        if entry.nt == NONE:
            return "the NT family has none"
        if NT_RELEASES.index(entry.nt) > NT_RELEASES.index(oldest):
            return "it first came with Windows %s" % entry.nt
        return None
    if entry.nine_x == NONE:
        return "the 9x family has none"
    if entry.nine_x != STUB and NINE_X_RELEASES.index(entry.nine_x) > NINE_X_RELEASES.index(oldest):
        return "it first came with Windows %s" % entry.nine_x
    return None


def is_wide(dll, name):
    # GetModuleHandleW, MessageBoxW...: the C runtime's names (wcslen) never
    # end in a capital W after a small letter.
    return dll != "msvcrt.dll" and re.search(r"[a-z0-9]W$", name) is not None


def check_program(path, target, args, dlls, functions):
    faults = []
    family, oldest = TARGETS[target]
    machine, subsystem, imports = read_program(args.objdump, path)
    program = path.replace("\\", "/").rsplit("/", 1)[-1]
    if machine != args.machine:
        faults.append("%s: machine %s, expected %s" % (program, machine, args.machine))
    wanted = tuple(int(part) for part in args.max_subsystem.split("."))
    if subsystem is None:
        faults.append("%s: no subsystem version in its headers" % program)
    elif subsystem > wanted or (args.exact_subsystem and subsystem != wanted):
        faults.append("%s: subsystem version %d.%d, expected %s%s (the oldest Windows it is for)"
                      % (program, subsystem[0], subsystem[1],
                         "" if args.exact_subsystem else "at most ", args.max_subsystem))
    for dll, name in imports:
        dll_entry = dlls.get(dll)
        if name is None:
            if dll_entry is None:
                faults.append("%s: imports %s, which is not one of Windows' own DLLs: link it statically"
                              % (program, dll))
            elif missing_on(dll_entry, family, oldest):
                faults.append("%s: imports %s, which Windows %s does not have (%s)"
                              % (program, dll, target, missing_on(dll_entry, family, oldest)))
            continue
        if dll_entry is None:
            continue  # already reported for the DLL
        entry = functions.get((dll, name))
        if entry is None:
            faults.append("%s: imports %s!%s, which the table %s does not list: add it with the oldest "
                          "Windows that exports it (NT and 9x family, from documented minimum versions), or "
                          "bind it by name at run time" % (program, dll, name, args.table))
            continue
        why = missing_on(entry, family, oldest)
        if why:
            faults.append("%s: imports %s!%s, but Windows %s would refuse to load it (%s): bind it by name "
                          "at run time (GetProcAddress) and handle its absence" % (program, dll, name, target, why))
        elif family == "9x" and is_wide(dll, name) and (entry.nine_x != STUB or not entry.note):
            faults.append("%s: imports the wide function %s!%s, a failing stub on Windows 95/98/Me: mark it "
                          "'stub' in %s with a note that shows why that is harmless, or avoid it"
                          % (program, dll, name, entry.line))
    names = sum(1 for _, name in imports if name)
    print("%s: %s, subsystem %s, %d imports from %d DLLs, target Windows %s: %s"
          % (program, machine, "%d.%d" % subsystem if subsystem else "?", names,
             len(imports) - names, target, "FAILED" if faults else "ok"))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--machine", required=True, help="objdump's file format, e.g. pei-i386, pei-x86-64")
    parser.add_argument("--max-subsystem", required=True, help="e.g. 4.0 or 5.2")
    parser.add_argument("--exact-subsystem", action="store_true")
    parser.add_argument("programs", nargs="+", metavar="PROGRAM:TARGET")
    args = parser.parse_args()

    dlls, functions, faults = load_table(args.table)
    for program_and_target in args.programs:
        path, _, target = program_and_target.rpartition(":")
        if target not in TARGETS:
            faults.append("%s: unknown target %r (one of %s)" % (program_and_target, target, " ".join(TARGETS)))
            continue
        try:
            faults += check_program(path, target, args, dlls, functions)
        except (OSError, subprocess.CalledProcessError) as error:
            faults.append("%s: cannot read it: %s" % (path, error))
    for fault in faults:
        print("FAULT: " + fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

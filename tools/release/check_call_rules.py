#!/usr/bin/env python3
"""Checks the sources of the shipped programs for Win32 calls and constants
that the oldest Windows they run on refuse, though Wine and newer Windows
accept them.  It reads the sources only (comments and string literals are
left out).

    check_call_rules.py SOURCE_ROOT

A fault is printed as file:line: rule.  Exit status 0 when there is none.

The rules (see docs/old-windows-rules.md for why each one exists):
  - threads start only through qel::StartThread (common/win_handles.h):
    Windows 95 and 98 fail CreateThread without a thread id pointer, and the
    C runtime's _beginthread family gives no control over it;
  - no PROCESS_ALL_ACCESS or THREAD_ALL_ACCESS: newer headers define wider
    masks than NT 4.0, 2000 and XP accept, so OpenProcess/OpenThread fail
    there with access denied;
  - no FILE_SHARE_DELETE in code that runs on Windows 95/98/Me (common/ and
    qelsvc9x/), except as the NT branch of a choice that gives the 9x family
    0 (`windows9x ? 0 : FILE_SHARE_DELETE`): CreateFileA fails there with
    invalid parameter;
  - KEY_WOW64_* only inside a branch for 64-bit builds, or as the branch of
    a run-time choice that gives a Windows without registry views 0
    (`hasViews ? KEY_WOW64_64KEY : 0`): Windows 2000 and older (and the 9x
    family) refuse or misread the registry view flags.
"""

import os
import re
import sys

SHIPPED_DIRS = ["common", "qelsvc", "qelsvc9x"]
NINE_X_DIRS = ["common", "qelsvc9x"]
THREAD_HELPER = "common/win_handles.h"
SOURCE_SUFFIXES = (".c", ".cpp", ".h")


def code_lines(text):
    """The text's lines with comments and the contents of string and
    character literals blanked out (line numbers kept)."""
    out, i, n = [], 0, len(text)
    state = None  # None, "line", "block", '"', "'"
    current = []
    while i < n:
        c = text[i]
        nxt = text[i + 1] if i + 1 < n else ""
        if c == "\n":
            out.append("".join(current))
            current = []
            if state == "line" or state in ('"', "'"):
                state = None
            i += 1
            continue
        if state is None:
            if c == "/" and nxt == "/":
                state = "line"
                i += 2
                continue
            if c == "/" and nxt == "*":
                state = "block"
                i += 2
                continue
            if c in ('"', "'"):
                state = c
                current.append(c)
                i += 1
                continue
            current.append(c)
        elif state == "block":
            if c == "*" and nxt == "/":
                state = None
                i += 2
                continue
        elif state in ('"', "'"):
            if c == "\\":
                i += 2
                continue
            if c == state:
                current.append(c)
                state = None
        i += 1
    out.append("".join(current))
    return out


def sixty_four_bit_lines(lines):
    """For each line, whether it lies in a branch that only 64-bit builds
    compile (#ifdef _WIN64 / #if defined(_WIN64), up to its #else or
    #endif)."""
    stack, flags = [], []
    for line in lines:
        directive = re.match(r"\s*#\s*(\w+)(.*)", line)
        if directive:
            word, rest = directive.group(1), directive.group(2)
            if word in ("if", "ifdef", "ifndef"):
                only64 = (word == "ifdef" and rest.split()[:1] == ["_WIN64"]) or \
                         (word == "if" and re.fullmatch(r"\s*defined\s*\(?\s*_WIN64\s*\)?\s*", rest) is not None)
                stack.append(only64)
            elif word in ("else", "elif") and stack:
                stack[-1] = False
            elif word == "endif" and stack:
                stack.pop()
        flags.append(any(stack))
    return flags


def in_64_bit_branch_or_chosen(line, only64):
    return only64 or re.search(r"\?\s*KEY_WOW64_\w+\s*:\s*0\b", line) is not None


def nine_x_gets_zero(line, only64):
    return re.search(r"\?\s*0\s*:\s*FILE_SHARE_DELETE\b", line) is not None


RULES = [
    # (pattern, applies to the file?, allowed on this line? (line, only64), message)
    (re.compile(r"\b(CreateThread|_beginthread|_beginthreadex)\s*\("),
     lambda rel: rel != THREAD_HELPER,
     None,
     "starts a thread without qel::StartThread (Windows 95/98 need a thread id pointer)"),
    (re.compile(r"\b(PROCESS_ALL_ACCESS|THREAD_ALL_ACCESS)\b"),
     lambda rel: True,
     None,
     "the header's ALL_ACCESS mask is wider than NT 4.0/2000/XP accept: ask for the rights needed"),
    (re.compile(r"\bFILE_SHARE_DELETE\b"),
     lambda rel: rel.split("/")[0] in NINE_X_DIRS,
     nine_x_gets_zero,
     "FILE_SHARE_DELETE makes CreateFile fail on Windows 95/98/Me"),
    (re.compile(r"\bKEY_WOW64_\w+"),
     lambda rel: True,
     in_64_bit_branch_or_chosen,
     "registry view flags outside a 64-bit-only branch or a run-time choice giving 0 without views "
     "(Windows 2000 and older refuse them)"),
]


def check_file(root, rel):
    with open(os.path.join(root, rel), encoding="latin-1") as source:
        lines = code_lines(source.read())
    only64 = sixty_four_bit_lines(lines)
    faults = []
    for number, line in enumerate(lines, 1):
        for pattern, applies, allowed, message in RULES:
            if not applies(rel) or not pattern.search(line):
                continue
            if allowed and allowed(line, only64[number - 1]):
                continue
            faults.append("%s:%d: %s" % (rel, number, message))
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    root = sys.argv[1]
    faults, checked = [], 0
    for folder in SHIPPED_DIRS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    rel = os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")
                    faults += check_file(root, rel)
                    checked += 1
    for fault in faults:
        print(fault)
    print("%d source files checked, %d faults" % (checked, len(faults)))
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())

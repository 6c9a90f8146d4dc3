#!/usr/bin/env python3
"""Draws mutants from the lines of src/ and elfaccess/ for tools/plant_faults --random.

usage: mutants.py ROOT SEED N   prints N candidates, one a line, fields separated by \\x1f:
    file, line number, operator, line before, line after
A line that cannot change behaviour on this platform (a comment, a line only Windows compiles)
comes out as: file, line number, SKIP, reason. A mutant listed in tools/equivalent_mutants comes
out as: file, line number, EQUIVALENT, line after, reason. The same seed gives the same candidates.
"""
import os
import random
import re
import signal
import sys

# The operators: each gives, for a line with strings and comments masked, the mutated lines.
FLIP = {"<": ">", ">": "<", "<=": ">=", ">=": "<=", "==": "!=", "!=": "=="}
LOOSEN = {"<": "<=", ">": ">=", "<=": "<", ">=": ">"}
# Single < and > only between spaces: written without them they open and close template arguments.
COMPARISON = re.compile(r"(?<![<>=!\-])(<=|>=|==|!=)(?![<>=])|(?<=\s)(<|>)(?=\s)")
TEMPLATE = re.compile(r"\b(\w+_cast|span|vector|array|pair|tuple|unique_ptr|map|numeric_limits|"
                      r"optional|function|template|is_same_v|max|min|bit_cast|size_t)\s*<")
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")


def masked(line):
    """The line with string and character literals blanked and a trailing comment cut off."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("__")
                i += 2
                continue
            out.append(quote if c == quote else "_")
            quote = None if c == quote else quote
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def mutants(line):
    m = masked(line)
    found = []

    def at(start, end, text, op):
        found.append((op, line[:start] + text + line[end:]))

    brackets = set()  # positions of template argument brackets, which are no comparisons
    for x in TEMPLATE.finditer(m):
        depth, i = 0, x.end() - 1
        while i < len(m):
            depth += {"<": 1, ">": -1}.get(m[i], 0)
            if m[i] in "<>":
                brackets.add(i)
            if depth == 0:
                break
            i += 1
    for x in COMPARISON.finditer(m):
        op = x.group(1) or x.group(2)
        if x.start() in brackets:
            continue
        at(x.start(), x.end(), FLIP[op], "comparison flipped")
        if op in LOOSEN:
            at(x.start(), x.end(), LOOSEN[op], "comparison loosened")
    for x in re.finditer(r"&&|\|\|", m):
        at(x.start(), x.end(), "||" if x.group() == "&&" else "&&", "&&/|| swapped")
    for x in re.finditer(r"\s[+-]\s1(?![\w.])", m):
        at(x.start(), x.end(), "", "+1/-1 dropped")
    for x in re.finditer(r"\b(if|while) \(", m):
        depth, i = 1, x.end()
        while i < len(m) and depth:
            depth += {"(": 1, ")": -1}.get(m[i], 0)
            i += 1
        if depth == 0:
            at(x.end(), i - 1, "!(" + line[x.end():i - 1] + ")", "condition negated")
    for x in re.finditer(r"\breturn -1;", m):
        at(x.start(), x.end(), "return 0;", "error return made success")
    for x in NUMBER.finditer(m):
        if m[: x.start()].rstrip().endswith("#include") or "#" in m[: x.start()]:
            continue
        # Error codes are only ever compared with zero: -1 nudged to -2 is the same program. The
        # operator above is the fault such a line can have.
        if m[: x.start()].endswith("return -"):
            continue
        text = x.group(1)
        nudged = hex(int(text, 16) + 1) if text[:2].lower() == "0x" else str(int(text) + 1)
        at(x.start(), x.start() + len(text), nudged, "constant nudged")
    return [(op, after) for op, after in found if after != line]


def lines_of(root):
    """(file, number, text, skip reason or None, the line before) for every non-blank line."""
    for top in ("src", "elfaccess"):
        for name in sorted(os.listdir(os.path.join(root, top))):
            path = os.path.join(top, name)
            if not name.endswith((".cpp", ".h")):
                continue
            stack, block = [], False  # stack: True inside a branch only Windows compiles
            previous = ""
            for number, text in enumerate(open(os.path.join(root, path)).read().split("\n"), 1):
                s = text.strip()
                if s.startswith("#"):
                    word = s[1:].split()[0] if s[1:].split() else ""
                    if word in ("if", "ifdef", "ifndef"):
                        windows = "_WIN32" in s and word != "ifndef" and "!" not in s
                        stack.append(windows if "_WIN32" in s else None)
                    elif word in ("else", "elif") and stack:
                        stack[-1] = None if stack[-1] is None else not stack[-1]
                    elif word == "endif" and stack:
                        stack.pop()
                    continue
                if not s:
                    continue
                reason = None
                if block or s.startswith(("//", "/*", "*")):
                    reason = "a comment"
                elif any(stack):
                    reason = "only Windows compiles it"
                if s.startswith("/*") and "*/" not in s:
                    block = True
                elif block and "*/" in s:
                    block = False
                yield path, number, text, reason, previous
                previous = s


def equivalents(root):
    """{(file, line before, mutated line): reason} from tools/equivalent_mutants; lines without
    the blanks at their ends."""
    found = {}
    for line in open(os.path.join(root, "tools", "equivalent_mutants")):
        if line.strip() and not line.startswith("#"):
            path, previous, after, reason = line.rstrip("\n").split("\t")
            found[(path, previous, after)] = reason
    return found


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # plant_faults stops reading once it has enough
    root, seed, wanted = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    reviewed = equivalents(root)
    rng = random.Random(seed)
    pool = list(lines_of(root))
    seen = set()
    for _ in range(wanted * 20):
        if wanted == 0:
            break
        path, number, text, reason, previous = rng.choice(pool)
        if reason:
            print("\x1f".join((path, str(number), "SKIP", reason, "")))
            wanted -= 1
            continue
        options = mutants(text)
        if not options:
            continue
        op, after = rng.choice(options)
        if (path, number, after) in seen:
            continue
        seen.add((path, number, after))
        reason = reviewed.get((path, previous, after.strip()))
        if reason:
            print("\x1f".join((path, str(number), "EQUIVALENT", after, reason)))
            wanted -= 1
            continue
        print("\x1f".join((path, str(number), op, text, after)))
        wanted -= 1


main()

#!/usr/bin/env python3
"""Lists the function bodies longer than a limit (lines from the opening to the closing brace).

    scripts/long-functions.py [--max N] [PATH...]     (default: --max 80 src)

A rough brace count over the text without comments, strings and preprocessor lines: a brace opens a
function when what stands before it ends in a parameter list (or an initialiser list) and it is not
inside another function. Prints "LINES file:line name" per function over the limit, longest first;
exit status 1 when there is one.
"""
import os
import re
import sys

NOT_FUNCTION = re.compile(r"^\s*(class|struct|union|enum|namespace|extern)\b|^\s*(template\s*<.*>\s*)?(class|struct)\b")
CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else)\s*(\(|$)")


def strip(text):
    """The text with comments, string and character literals and preprocessor lines blanked, newlines kept."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        if c == "/" and text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if c == "/" and text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
            continue
        if c == "R" and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            if m:
                end = text.find(")" + m.group(1) + '"', i)
                end = n if end < 0 else end + len(m.group(1)) + 2
                out.append('""' + "\n" * text.count("\n", i, end))
                i = end
                continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
            continue
        out.append(c)
        line_start = c == "\n" or (line_start and c in " \t")
        i += 1
    return "".join(out)


def functions(path):
    text = strip(open(path, encoding="utf-8", errors="replace").read())
    stack = []  # per open brace: (kind, start line, name)
    header = []
    line = 1
    for c in text:
        if c == "\n":
            line += 1
            header.append(" ")
        elif c == "{":
            head = " ".join("".join(header).split())
            inside_function = any(kind != "scope" for kind, _, _ in stack)
            kind = "block"
            name = ""
            if not inside_function and not NOT_FUNCTION.search(head) and not CONTROL.search(head):
                m = re.search(r"([~\w:<>]+)\s*\([^()]*(\([^()]*\)[^()]*)*\)[^()=]*$", head)
                if m and not head.rstrip().endswith("="):
                    kind, name = "function", m.group(1)
            if kind == "block" and not inside_function:
                kind = "scope"
            stack.append((kind, line, name))
            header = []
        elif c == "}":
            if stack:
                kind, start, name = stack.pop()
                if kind == "function":
                    yield name, start, line - start + 1
            header = []
        elif c == ";":
            header = []
        else:
            header.append(c)


def main(argv):
    limit = 80
    paths = []
    args = iter(argv)
    for a in args:
        if a == "--max":
            limit = int(next(args))
        else:
            paths.append(a)
    paths = paths or ["src"]
    found = []
    for top in paths:
        walk = [(top, [], [os.path.basename(top)])] if os.path.isfile(top) else os.walk(top)
        for folder, _, files in walk:
            for f in files:
                if f.endswith((".cpp", ".h", ".cc", ".c")):
                    p = top if os.path.isfile(top) else os.path.join(folder, f)
                    for name, start, length in functions(p):
                        if length > limit:
                            found.append((length, p, start, name))
    for length, p, start, name in sorted(found, reverse=True):
        print(f"{length:5d} {p}:{start} {name}")
    print(f"{len(found)} functions over {limit} lines", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Files and functions too long to read in one sitting.

check-sizes.py [--files N] [--functions N] [--top N] FOLDER...

Lists every .cpp/.h file under the folders longer than --files lines (600) and every function
body longer than --functions lines (120), counted from the line of its name to its closing brace;
--top N also prints the N longest functions. Exits 1 when anything is over a limit.
Functions are found by their braces (strings and comments skipped): a brace at namespace, class or
file level whose header has parentheses and is no initializer opens a function.
"""
import argparse
import os
import re
import sys

CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else|return)\b\s*\(?")
SCOPE = re.compile(r"\b(namespace|class|struct|union|enum)\b|extern\s+\"C\"")


def strip(text):
    """The text with comments, strings and character literals blanked (newlines kept)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    """(name, first line, length) of every function body in the file."""
    text = strip(open(path, encoding="utf-8", errors="replace").read())
    text = re.sub(r"^[ \t]*#.*$", "", text, flags=re.M)  # preprocessor lines
    found = []
    stack = []  # 'scope', 'function' or 'block' per open brace
    header_start = 0  # offset where the text before the next brace begins
    starts = []
    line = 1
    for i, c in enumerate(text):
        if c == "\n":
            line += 1
        if c in ";":
            header_start = i + 1
        elif c == "{":
            header = text[header_start:i]
            inside_function = any(k == "function" for k in stack)
            kind = "block"
            if not inside_function:
                flat = " ".join(header.split())
                if SCOPE.search(flat) and "(" not in flat.split("{")[0].split(":")[0]:
                    kind = "scope"
                elif re.search(r"=\s*\[[^\]]*\]", flat):
                    kind = "function"  # a lambda that initializes a variable
                elif "(" in flat and not flat.endswith("=") and not CONTROL.match(flat) and \
                        not re.search(r"=\s*$", flat):
                    kind = "function"
                elif not flat:
                    kind = "block"
                else:
                    kind = "scope" if not flat.endswith("=") else "block"
            stack.append(kind)
            if kind == "function":
                lead = len(header) - len(header.lstrip())
                first = line - text[header_start + lead:i].count("\n")
                name = re.findall(r"([~\w:]+)\s*\(", " ".join(header.split()))
                starts.append((name[0] if name else "?", first))
            header_start = i + 1
        elif c == "}":
            kind = stack.pop() if stack else "block"
            if kind == "function":
                name, first = starts.pop()
                found.append((name, first, line - first + 1))
            header_start = i + 1
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=600)
    parser.add_argument("--functions", type=int, default=120)
    parser.add_argument("--top", type=int, default=0)
    parser.add_argument("folders", nargs="+")
    args = parser.parse_args()
    sources = []
    for folder in args.folders:
        for root, _, names in os.walk(folder):
            sources += [os.path.join(root, n) for n in sorted(names)
                        if n.endswith((".cpp", ".h"))]
    over = False
    every = []
    for path in sorted(sources):
        lines = open(path, encoding="utf-8", errors="replace").read().count("\n")
        if lines > args.files:
            print(f"{path}: {lines} lines (limit {args.files})")
            over = True
        for name, first, length in functions(path):
            every.append((length, path, first, name))
            if length > args.functions:
                print(f"{path}:{first}: {name} is {length} lines (limit {args.functions})")
                over = True
    for length, path, first, name in sorted(every, reverse=True)[: args.top]:
        print(f"{length:5d}  {path}:{first}  {name}")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())

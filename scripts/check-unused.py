#!/usr/bin/env python3
"""Member functions that nothing calls.

check-unused.py --classes FOLDER... --uses FOLDER...

Reads the class and struct bodies of every header under the --classes folders and lists each
member function whose name appears nowhere under the --uses folders but in its declarations and
its own definitions (Class::Name(...)). A name shared with another function counts as used: the
check may miss a dead function, never calls a live one dead. Constructors, destructors and
operators are not looked at. Exits 1 when it lists anything.
"""
import argparse
import collections
import importlib.util
import os
import re
import sys

_spec = importlib.util.spec_from_file_location(
    "check_sizes", os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-sizes.py"))
_sizes = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_sizes)

WORD = re.compile(r"[A-Za-z_]\w*")
CLASS = re.compile(r"\b(class|struct)\s+(\w+)\s*(final\s*)?(:[^;{()]*)?\{")
NOT_NAMES = {"if", "for", "while", "switch", "return", "sizeof", "decltype", "alignas",
             "static_assert", "noexcept", "operator", "defined", "throw"}


def sources(folders, endings):
    for folder in folders:
        for root, _, files in os.walk(folder):
            for name in sorted(files):
                if name.endswith(endings):
                    yield os.path.join(root, name)


def text_of(path):
    text = _sizes.strip(open(path, encoding="utf-8", errors="replace").read())
    return re.sub(r"^[ \t]*#.*$", "", text, flags=re.M)


def body_end(text, start):
    depth = 1
    i = start
    while i < len(text) and depth:
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        i += 1
    return i - 1


def declarations(body):
    """The member declarations at the body's own level, inline bodies left out."""
    out, cur, depth = [], "", 0
    for c in body:
        if c == "{":
            depth += 1
            if depth == 1:
                out.append(cur)
                cur = ""
            continue
        if c == "}":
            depth -= 1
            continue
        if depth:
            continue
        if c == ";":
            out.append(cur)
            cur = ""
        else:
            cur += c
    out.append(cur)
    return out


def member_functions(text):
    """(class, name) of every member function declared in the text's classes."""
    for m in CLASS.finditer(text):
        cls = m.group(2)
        body = text[m.end():body_end(text, m.end())]
        for decl in declarations(body):
            decl = re.sub(r"\b(public|private|protected)\s*:", "", decl).strip()
            if not decl or re.match(r"(friend|using|typedef|enum|class|struct)\b", decl):
                continue
            call = re.search(r"(~?\b[A-Za-z_]\w*)\s*\(", decl.split("=")[0])
            if not call:
                continue
            name = call.group(1)
            if name.startswith("~") or name == cls or name in NOT_NAMES or "operator" in decl:
                continue
            # A data member initialised by a call (`Foo bar{make()}`) or a pointer to function.
            if not re.search(r"\b" + re.escape(name) + r"\s*\(", decl.split("{")[0]):
                continue
            yield cls, name


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--classes", nargs="+", required=True)
    parser.add_argument("--uses", nargs="+", required=True)
    args = parser.parse_args()

    counts = collections.Counter()
    definitions = collections.Counter()
    for path in sources(args.uses, (".h", ".cpp", ".cc")):
        text = text_of(path)
        counts.update(WORD.findall(text))
        for m in re.finditer(r"\b(\w+)\s*::\s*(\w+)\s*\(", text):
            definitions[(m.group(1), m.group(2))] += 1

    declared = collections.Counter()
    owners = collections.defaultdict(set)
    for path in sources(args.classes, (".h",)):
        for cls, name in member_functions(text_of(path)):
            declared[name] += 1
            owners[name].add(cls)

    unused = []
    for name, times in sorted(declared.items()):
        own = sum(definitions[(cls, name)] for cls in owners[name])
        if counts[name] - times - own <= 0:
            unused.append((sorted(owners[name]), name))
    for classes, name in unused:
        print(f"unused member function: {'/'.join(classes)}::{name}")
    return 1 if unused else 0


if __name__ == "__main__":
    sys.exit(main())

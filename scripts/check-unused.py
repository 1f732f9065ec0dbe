#!/usr/bin/env python3
"""Member functions and free functions that nothing calls.

check-unused.py --classes FOLDER... --uses FOLDER...

Reads every header under the --classes folders and lists each function it declares, as a member
of a class or struct or at namespace level, whose name appears nowhere under the --uses folders
but in its declarations and its own definitions (Class::Name(...) for a member; a function body
of that name outside any class for a free function). A name shared with another function counts
as used: the check may miss a dead function, never calls a live one dead. Constructors,
destructors and operators are not looked at; functions local to one source file are the
compiler's to find. Exits 1 when it lists anything.
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
CLASS_NAMES = re.compile(r"\b(?:class|struct|union)\s+(\w+)")
NOT_NAMES = {"if", "for", "while", "switch", "return", "sizeof", "decltype", "alignas",
             "static_assert", "noexcept", "operator", "defined", "throw"}
# Words before a parenthesis that name no function: `void (*hook)(int)` declares a pointer.
TYPE_WORDS = {"void", "bool", "char", "short", "int", "long", "float", "double", "unsigned",
              "signed", "auto", "const", "constexpr", "inline", "static", "extern"}


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


def namespace_declarations(text):
    """(declaration, whether it ends in a body) of each declaration at namespace level; the
    bodies of classes and functions and the braces of initializers are left out."""
    out, cur, i = [], "", 0
    while i < len(text):
        c = text[i]
        if c == ";":
            out.append((cur, False))
            cur = ""
        elif c == "{":
            flat = " ".join(cur.split())
            head = flat.split("(")[0]
            if re.match(r'((inline\s+)?namespace\b[^(]*|extern\s*"\s*")$', flat):
                cur = ""  # a namespace's or a linkage block's body is namespace level too
            else:
                if re.search(r"\b(class|struct|union|enum)\b|=", head) or "(" not in flat:
                    cur += " "  # a type, or a variable's initializer, runs on to its ";"
                else:
                    out.append((cur, True))
                    cur = ""
                i = body_end(text, i + 1)
        elif c == "}":
            cur = ""
        else:
            cur += c
        i += 1
    return out


def free_functions(text):
    """(name, declared without a body) of every function declared at namespace level."""
    for decl, has_body in namespace_declarations(text):
        decl = re.sub(r"^\s*template\s*<[^{;]*?>\s*(?=[A-Za-z_])", "", decl.strip())
        if not decl or re.match(r"(friend|using|typedef|enum|class|struct|union)\b", decl):
            continue
        head = decl if has_body else decl.split("=")[0]
        call = re.search(r"(\b[A-Za-z_]\w*)\s*\(", head)
        if not call or "operator" in head:
            continue
        name = call.group(1)
        # A type before the name: what has none is a macro's use.
        typed = re.search(r"\w[\s*&>]+(\w+::)*" + name + r"\s*\($", head[:call.end()])
        if name in NOT_NAMES or name in TYPE_WORDS or not typed:
            continue
        yield name, not has_body


def free_function_bodies(paths, classes):
    """How many bodies each name has at namespace level, unqualified or qualified by a namespace
    (one qualified by a class is a member's)."""
    bodies = collections.Counter()
    for path in paths:
        for decl, has_body in namespace_declarations(text_of(path)):
            call = re.search(r"((?:\w+\s*::\s*)*)(\w+)\s*\(", decl.split("(")[0] + "(")
            if has_body and call and not set(re.findall(r"\w+", call.group(1))) & classes:
                bodies[call.group(2)] += 1
    return bodies


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

    classes = {cls for path in sources(args.classes, (".h",))
               for cls in CLASS_NAMES.findall(text_of(path))}
    bodies = free_function_bodies(sources(args.uses, (".h", ".cpp", ".cc")), classes)
    free = collections.Counter()
    for path in sources(args.classes, (".h",)):
        for name, declaration in free_functions(text_of(path)):
            free[name] += 1 if declaration else 0
    dead_free = [name for name, times in sorted(free.items())
                 if counts[name] - times - bodies[name] <= 0]
    for name in dead_free:
        print(f"unused free function: {name}")
    return 1 if unused or dead_free else 0


if __name__ == "__main__":
    sys.exit(main())

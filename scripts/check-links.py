#!/usr/bin/env python3
"""Links of the project's Markdown pages that lead nowhere.

check-links.py FILE|FOLDER...

Reads every .md file given or under the folders given and lists each relative link or image whose
file does not exist and each #anchor that names no heading of the page it leads to. An anchor is
made from a heading as GitHub makes it: lower case, every character dropped but letters, digits,
spaces, hyphens and underscores, spaces made hyphens, and a repeated heading numbered -1, -2...
Links with a scheme (https:, mailto:) are not followed; links inside code are no links. Exits 1
when it lists anything.
"""
import os
import re
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?([^\s>]+)")
SCHEME = re.compile(r"^([a-zA-Z][a-zA-Z0-9+.-]*:|//)")


def pages(arguments):
    for argument in arguments:
        if os.path.isdir(argument):
            for root, _, names in os.walk(argument):
                for name in sorted(names):
                    if name.endswith(".md"):
                        yield os.path.join(root, name)
        else:
            yield argument


def prose_lines(path):
    """(number, line) of every line outside fenced blocks, code spans blanked."""
    fenced = False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, re.sub(r"`[^`]*`", lambda m: " " * len(m.group(0)), line)


def anchors(path, cache={}):
    if path not in cache:
        seen, found = {}, set()
        fenced = False
        for line in open(path, encoding="utf-8"):
            if FENCE.match(line):
                fenced = not fenced
            m = None if fenced else re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
            if not m:
                continue
            slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            found.add(slug if count == 0 else f"{slug}-{count}")
        cache[path] = found
    return cache[path]


def problems(page):
    for number, line in prose_lines(page):
        targets = LINK.findall(line) + DEFINITION.findall(line)
        for target in targets:
            if SCHEME.match(target):
                continue
            file, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), file)) if file else page
            if not os.path.exists(path):
                yield f"{page}:{number}: {target}: no file {file}"
            elif anchor and (not path.endswith(".md") or anchor not in anchors(path)):
                yield f"{page}:{number}: {target}: no heading #{anchor} in {os.path.basename(path)}"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    found = [p for page in pages(sys.argv[1:]) for p in problems(page)]
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

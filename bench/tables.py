#!/usr/bin/env python3
"""Writes the tables of docs/benchmarks.md from the rows of a bench/run.

tables.py ROWS MACHINE DOC

ROWS is bench/run's rows.tsv (bench, build, case, value, unit, baseline, baseline value). For each
bench and build it holds, the block of DOC between the lines "<!-- bench BENCH BUILD -->" and
"<!-- end bench -->" becomes the table of those rows (of the converters, the two highest kernel
levels), headed by MACHINE (processor, cores, memory, Wine, date of the run); a pair without a
block gets one at the end of DOC. Blocks of the benches and builds that the run did not measure
keep their tables and dates.
"""
import collections
import re
import sys

HEAD = ["case", "value", "unit", "baseline", "baseline value", "ratio"]
LEVELS = ["scalar", "sse2", "ssse3", "avx2", "avx512"]
BLOCK = re.compile(r"<!-- bench (\S+) (\S+) -->\n.*?<!-- end bench -->\n", re.S)


def ratio(value, base):
    try:
        return f"{float(value) / float(base):.2f}"
    except (ValueError, ZeroDivisionError):
        return "-"


def top_levels(rows):
    """Of the converters, the two highest kernel levels of each routine and size (the codec uses
    the highest; bench.txt keeps every level)."""
    def place(r):
        routine, level, size = r[2].split()
        return (routine, size), LEVELS.index(level)
    levels = collections.defaultdict(list)
    for r in rows:
        group, level = place(r)
        levels[group].append(level)
    return [r for r in rows if place(r)[1] in sorted(levels[place(r)[0]])[-2:]]


def block(bench, build, rows, machine):
    if bench == "convert":
        rows = top_levels(rows)
    table = [[r[2], r[3], r[4], r[5], r[6], ratio(r[3], r[6])] for r in rows]
    widths = [max(len(x[i]) for x in [HEAD] + table) for i in range(len(HEAD))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    lines = [f"<!-- bench {bench} {build} -->",
             f"{build} build, measured on {machine}; ratio = value / baseline value, both of this run.",
             "", line(HEAD), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += [line(r) for r in table] + ["<!-- end bench -->"]
    return "\n".join(lines) + "\n"


def main():
    rows_path, machine, doc_path = sys.argv[1:4]
    runs = collections.OrderedDict()
    for text in open(rows_path, encoding="utf-8"):
        fields = text.rstrip("\n").split("\t")
        if len(fields) == 7:
            runs.setdefault((fields[0], fields[1]), []).append(fields)
    doc = open(doc_path, encoding="utf-8").read()
    done = set()

    def replace(m):
        key = (m.group(1), m.group(2))
        if key not in runs:
            return m.group(0)
        done.add(key)
        return block(*key, runs[key], machine)

    doc = BLOCK.sub(replace, doc)
    for key, rows in runs.items():
        if key not in done:
            doc = doc.rstrip("\n") + "\n\n" + block(*key, rows, machine)
    open(doc_path, "w", encoding="utf-8").write(doc)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Whether a report page stands on its own: well-formed, every chart well-formed SVG, nothing
fetched from elsewhere, no script.

check_report_page.py PAGE [--svgs N]

Prints "ok: N charts" and exits 0, or names the first fault and exits 1.
"""
import argparse
import html.parser
import re
import sys
import xml.etree.ElementTree as ElementTree

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}
# Anything a browser would fetch, run or embed.
OUTSIDE = re.compile(r"<\s*(script|link|img|iframe|object|embed|image|use)\b|\b(src|href)\s*="
                     r"|url\s*\(|@import|https?:|ftp:|//[a-z0-9.-]+\.[a-z]{2,}", re.I)


class Nesting(html.parser.HTMLParser):
    """Every element closed in the order it was opened."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open = []
        self.fault = None

    def handle_starttag(self, tag, attrs):
        if tag not in VOID:
            self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        pass  # <rect/>, <meta/>: closed where opened

    def handle_endtag(self, tag):
        if self.fault:
            return
        if not self.open or self.open[-1] != tag:
            self.fault = "</%s> at line %d closes %s" % (
                tag, self.getpos()[0], ("<%s>" % self.open[-1]) if self.open else "nothing")
        else:
            self.open.pop()


def check(text, svgs):
    if not text.lstrip().lower().startswith("<!doctype html>"):
        return "no <!DOCTYPE html> at its start"
    outside = OUTSIDE.search(text)
    if outside:
        return "refers outside itself or runs a script: %r" % outside.group(0)
    nesting = Nesting()
    nesting.feed(text)
    nesting.close()
    if nesting.fault:
        return nesting.fault
    if nesting.open:
        return "<%s> is never closed" % nesting.open[-1]
    charts = re.findall(r"<svg\b.*?</svg>", text, re.S)
    for i, chart in enumerate(charts):
        try:
            ElementTree.fromstring(chart)
        except ElementTree.ParseError as e:
            return "chart %d is no well-formed SVG: %s" % (i + 1, e)
    if svgs is not None and len(charts) != svgs:
        return "%d charts, not %d" % (len(charts), svgs)
    print("ok: %d charts" % len(charts))
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("page")
    parser.add_argument("--svgs", type=int)
    args = parser.parse_args()
    with open(args.page, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        fault = "not UTF-8: %s" % e
    else:
        fault = check(text, args.svgs)
    if fault:
        print("%s: %s" % (args.page, fault))
        sys.exit(1)


if __name__ == "__main__":
    main()

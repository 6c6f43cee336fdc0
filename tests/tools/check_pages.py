#!/usr/bin/env python3
"""Checks listing pages: each parses as HTML, holds only the elements and
attributes the program writes, one table row per link plus the headings,
and ends whole. Names and descriptions come from strangers, so a page where
one of them became markup fails here.

Usage: check_pages.py [--rows N] [--skip-foreign] PAGE...
  --rows N        every page must have exactly N rows
  --skip-foreign  pass over files that do not begin like a page (a test's
                  own stand-in for an earlier page)
Prints one line per fault; exit status 1 when there is any.
"""
import sys
from html.parser import HTMLParser

ALLOWED = {
    "html": set(), "head": set(), "meta": {"http-equiv", "content"},
    "title": set(), "body": set(), "table": set(), "th": set(), "tr": set(),
    "td": {"align"}, "a": {"href"}, "b": set(), "i": set(), "br": set(),
}
ONCE = ("html", "head", "title", "body", "table", "th")


class PageParser(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.counts = {}
        self.faults = []

    def handle_starttag(self, tag, attrs):
        self.counts[tag] = self.counts.get(tag, 0) + 1
        if tag not in ALLOWED:
            self.faults.append("foreign element <%s>" % tag)
            return
        for name, _ in attrs:
            if name not in ALLOWED[tag]:
                self.faults.append("foreign attribute %s on <%s>" % (name, tag))

    def handle_startendtag(self, tag, attrs):
        self.faults.append("self-closing <%s/>" % tag)

    def handle_comment(self, data):
        self.faults.append("comment <!--%s-->" % data)

    def handle_decl(self, decl):
        self.faults.append("declaration <!%s>" % decl)

    def handle_pi(self, data):
        self.faults.append("processing instruction <?%s>" % data)

    def unknown_decl(self, data):
        self.faults.append("unknown declaration %s" % data)


def check(raw, rows):
    """The faults of one page, as text lines."""
    faults = []
    if not raw.endswith(b"</body></html>\r\n"):
        faults.append("no whole foot")
    parser = PageParser()
    parser.feed(raw.decode("cp1251", errors="replace"))
    parser.close()
    faults += parser.faults
    counts = parser.counts
    for tag in ONCE:
        if counts.get(tag, 0) != 1:
            faults.append("%d <%s> elements" % (counts.get(tag, 0), tag))
    links = counts.get("a", 0)
    if counts.get("tr", 0) != links + 1:
        faults.append("%d rows for %d links" % (counts.get("tr", 0) - 1, links))
    if counts.get("td", 0) != 4 * (links + 1):
        faults.append("%d cells for %d links" % (counts.get("td", 0), links))
    if rows is not None and links != rows:
        faults.append("%d rows, expected %d" % (links, rows))
    return faults


def main(argv):
    rows = None
    skip_foreign = False
    paths = []
    i = 0
    while i < len(argv):
        if argv[i] == "--rows":
            rows = int(argv[i + 1])
            i += 1
        elif argv[i] == "--skip-foreign":
            skip_foreign = True
        else:
            paths.append(argv[i])
        i += 1
    failed = False
    for path in paths:
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except OSError as error:
            print("%s: %s" % (path, error.strerror))
            failed = True
            continue
        if skip_foreign and not raw.startswith(b"<html>"):
            continue
        for fault in check(raw, rows):
            print("%s: %s" % (path, fault))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

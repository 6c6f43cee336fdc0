#!/usr/bin/env python3
"""Checks that every link of the listing pages reaches what its row names,
as a browser resolves it: the pages are those the program wrote into the
tree at ROOT (its FILES.HTM, or with --tree every directory's), and every
entry the pages must list has exactly one row whose link leads to it. The
shape of each page is checked by the tests' own page check
(tests/support/page_check.h), which the fuzz targets share.

Usage: check_links.py ROOT [--url URL] [--tree]
  ROOT            the start directory of the run (a tree without symbolic
                  links and without description files but FILES.BBS)
  --url URL       the URL given to the run: every link must begin with it;
                  without it no link may have a scheme
  --tree          the run wrote one page per directory
Prints one line per fault; exit status 1 when there is any.
"""
import codecs
import os
import re
import sys
import urllib.parse
from html.parser import HTMLParser


class RowParser(HTMLParser):
    """The rows of a page: (href, text of the link, whether it is bold)."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows = []
        self.in_link = False

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.rows.append([dict(attrs).get("href"), "", False])
            self.in_link = True
        elif tag == "b" and self.in_link:
            self.rows[-1][2] = True

    def handle_endtag(self, tag):
        if tag == "a":
            self.in_link = False

    def handle_data(self, data):
        if self.in_link:
            self.rows[-1][1] += data


C0_AND_BLANK = "".join(chr(c) for c in range(0x21))
SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*:")
SINGLE_DOT = (".", "%2e")
DOUBLE_DOT = ("..", ".%2e", "%2e.", "%2e%2e")


def percent_decoded(segment):
    """The bytes a path segment names: %XX is a byte, any other character
    its UTF-8 form (what a browser sends, read back)."""
    out = bytearray()
    i = 0
    while i < len(segment):
        hex_digits = segment[i + 1:i + 3]
        if (segment[i] == "%" and len(hex_digits) == 2
                and all(c in "0123456789abcdefABCDEF" for c in hex_digits)):
            out.append(int(hex_digits, 16))
            i += 3
        else:
            out += segment[i].encode("utf-8")
            i += 1
    return bytes(out)


def resolve(href, page_dir, url):
    """The path, relative to the root, of what `href` on the page in
    `page_dir` (a list of byte segments) leads to, as a browser resolves
    it; or a fault as text. With `url`, the link must begin with it."""
    if href is None:
        return "a link without href"
    if url and not href.startswith(url):
        return "link %r does not begin with the URL" % href
    # Browsers drop C0 controls and blanks at the ends, tabs and line ends
    # anywhere, and read a backslash as a slash in http and file addresses.
    address = href.strip(C0_AND_BLANK)
    address = re.sub("[\t\n\r]", "", address).replace("\\", "/")
    if "#" in address or "?" in address:
        return "link %r holds a fragment or a query" % href
    if url:
        base = url.strip(C0_AND_BLANK).replace("\\", "/")
        match = re.match(r"[A-Za-z][A-Za-z0-9+.-]*://[^/]*", base)
        origin = match.group(0) if match else ""
        start = base[len(origin):].split("/")[:-1]
        if not address.startswith(base):
            return "link %r leaves the URL once resolved" % href
        segments = start + address[len(base):].split("/")
    else:
        if SCHEME.match(address):
            return "link %r has a scheme" % href
        if address.startswith("/"):
            return "link %r leaves the page's site" % href
        # The page's own address, as a browser has it: percent-encoded.
        start = []
        segments = [urllib.parse.quote(s, safe="") for s in page_dir]
        segments += address.split("/")
    path = []
    for i, segment in enumerate(segments):
        last = i == len(segments) - 1
        if segment.lower() in DOUBLE_DOT:
            if not path:
                return "link %r leads out of the tree" % href
            path.pop()
            if last:
                path.append("")
        elif segment.lower() in SINGLE_DOT:
            if last:
                path.append("")
        else:
            path.append(segment)
    if path[:len(start)] != start:
        return "link %r leads out of the tree" % href
    return [percent_decoded(s) for s in path[len(start):]]


# Characters that would reorder or hide a name's letters: a row shows a mark.
MARKED = {0xAD, 0x61C, 0x2060, 0xFEFF, *range(0x200B, 0x2010),
          *range(0x202A, 0x202F), *range(0x2066, 0x206A)}


def shown(name):
    """A name as a row shows it: UTF-8, a byte that is not UTF-8 as the
    character code page 866 gives it, a MARKED character as <U+XXXX>."""
    return "".join("<U+%04X>" % ord(c) if ord(c) in MARKED else c
                   for c in name.decode("utf-8", errors="cp866bytes"))


def shows(text, name):
    """Whether a name cell holding `text` shows the name: as it is, but for
    characters that windows-1251 lacks and code page 866 has (box drawing,
    shading), which a page shows as a look-alike of one character."""
    want = shown(name)
    if text == want:
        return True
    if len(text) != len(want):
        return False
    for got, char in zip(text, want):
        if got != char:
            try:
                char.encode("cp1251")
                return False
            except UnicodeEncodeError:
                pass
    return True


def cp866_bytes(error):
    return (error.object[error.start:error.end].decode("cp866"), error.end)


def page_text(raw):
    """A page as a browser reads windows-1251 (0x98 is U+0098 there)."""
    return raw.decode("cp1251", errors="c1bytes")


def c1_bytes(error):
    return ("".join(chr(b) for b in error.object[error.start:error.end]),
            error.end)


def listed(names):
    """Of a directory's names, those that get a row."""
    return [n for n in names if not n.startswith(b".")
            and n not in (b"FILES.HTM", b"FILES.BBS")]


def check_links(root, url, tree_mode):
    """Faults of the pages written into the tree at `root`."""
    root = os.fsencode(root)
    faults = []
    # Every page and what it must list: {page dir: {target: is directory}}.
    pages = {}
    for top, dirs, files in os.walk(root):
        rel = os.path.relpath(top, root)
        parts = () if rel == b"." else tuple(rel.split(b"/"))
        dirs[:] = listed(sorted(dirs))
        page = () if not tree_mode else parts
        wanted = pages.setdefault(page, {})
        for name in listed(files):
            wanted[parts + (name,)] = False
        if tree_mode:
            for name in dirs:
                wanted[parts + (name, b"FILES.HTM")] = True
    for page_dir, wanted in sorted(pages.items()):
        path = os.path.join(root, *page_dir, b"FILES.HTM")
        where = os.fsdecode(path)
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except OSError as error:
            faults.append("%s: %s" % (where, error.strerror))
            continue
        parser = RowParser()
        parser.feed(page_text(raw))
        parser.close()
        reached = set()
        for href, text, bold in parser.rows:
            # Only a file's link begins with the URL; a directory's leads to
            # its page from this one.
            target = resolve(href, list(page_dir), "" if bold else url)
            if isinstance(target, str):
                faults.append("%s: %s" % (where, target))
                continue
            target = tuple(target)
            if target not in wanted:
                faults.append("%s: link %r leads to %r, no entry of the page"
                              % (where, href, b"/".join(target)))
                continue
            if target in reached:
                faults.append("%s: two links lead to %r"
                              % (where, b"/".join(target)))
            reached.add(target)
            directory = wanted[target]
            name = target[-2] if directory else target[-1]
            if bold != directory or not shows(text, name):
                faults.append("%s: link %r under the name %r of %r"
                              % (where, href, text, name))
        for target in sorted(set(wanted) - reached):
            faults.append("%s: no link leads to %r"
                          % (where, b"/".join(target)))
    return faults


def main(argv):
    root = None
    url = ""
    tree_mode = False
    i = 0
    while i < len(argv):
        if argv[i] == "--url":
            url = argv[i + 1]
            i += 1
        elif argv[i] == "--tree":
            tree_mode = True
        else:
            root = argv[i]
        i += 1
    failed = False
    for fault in check_links(root, url, tree_mode):
        print(fault)
        failed = True
    return 1 if failed else 0


codecs.register_error("cp866bytes", cp866_bytes)
codecs.register_error("c1bytes", c1_bytes)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

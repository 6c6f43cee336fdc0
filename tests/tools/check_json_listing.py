#!/usr/bin/env python3
"""Checks FILES.JSON as a program reads it.

  check_json_listing.py hostile TABULON
  check_json_listing.py archive TABULON EXAMPLES EXPECTED_DIR VERSION
  check_json_listing.py schema TABULON EXAMPLES SCHEMA

hostile: a tree of hostile names and descriptions in every code page, in
both modes; each FILES.JSON is parsed strictly and every key of every entry
compared with the expectations below.
archive: the example archive in both modes and both charsets, with fixed
dates: FILES.JSON byte for byte against EXPECTED_DIR; a second run leaves every FILES.JSON
and FILES.HTM alone; no page lists FILES.JSON.
schema: the example archive's FILES.JSON in both modes against SCHEMA.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

failures = []


def check(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


def run(tabulon, *args):
    done = subprocess.run([tabulon, *args], capture_output=True)
    check(f"exit code of {args}", done.returncode, 0)
    check(f"stderr of {args}", done.stderr, b"")


def strict_load(path):
    """Parses the file as RFC 8259 asks and this listing promises."""
    with open(path, "rb") as f:
        raw = f.read()
    check(f"{path}: byte order mark", raw.startswith(b"\xef\xbb\xbf"), False)
    check(f"{path}: CR bytes", b"\r" in raw, False)
    check(f"{path}: ends with LF", raw.endswith(b"\n"), True)

    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        check(f"{path}: duplicate keys", len(keys), len(set(keys)))
        return dict(pairs)

    def no_constant(name):
        raise ValueError(f"{path}: {name} is not JSON")

    return json.loads(raw.decode("utf-8", errors="strict"), strict=True,
                      object_pairs_hook=no_duplicates,
                      parse_constant=no_constant)


# Seconds since 1970 and how FILES.JSON writes them.
T1 = 1796739663          # 2026-12-08T14:21:03Z
T2 = -31536000           # 1969-01-01T00:00:00Z
T3 = 951827696           # 2000-02-29T12:34:56Z
T1S, T2S, T3S = "2026-12-08T14:21:03Z", "1969-01-01T00:00:00Z", \
    "2000-02-29T12:34:56Z"

# (path below the start as bytes, content, time)
FILES = [
    (b'a "quoted" name.txt', b"1", T1),
    (b"back\\slash.txt", b"22", T2),
    (b"tab\there\x01.txt", b"333", T3),
    (b"100% #1?:x.txt", b"4444", T1),
    (b" lead.txt", b"55555", T1),
    (b"trail.txt ", b"666666", T1),
    ("Ωmega-Ёж-漢字-😀.txt".encode(), b"7777777", T1),
    (b"caf\xe9.txt", b"88888888", T1),
    (b"files.json", b"{}", T1),
    (b"alt/FILES.BBS",
     "BOX.TXT ╔═╗ Рамка из псевдографики, старая добрая DOS\r\n"
     "EMPTY.TXT\r\n".encode("cp866"), T1),
    (b"alt/BOX.TXT", b"b", T1),
    (b"alt/EMPTY.TXT", b"", T2),
    (b"alt/NONE.TXT", b"nn", T3),
    (b"koi/FILES.BBS",
     "BOX.TXT ┌─┐ Рамка в КОИ-8, ёлка и Ёж\r\n".encode("koi8_r"), T1),
    (b"koi/BOX.TXT", b"kk", T1),
    (b"win/FILES.BBS",
     "ODD.TXT Знак ".encode("cp1251") + b"\x98" +
     " посреди строки, «кавычки» \"и\" \\ тоже\r\n".encode("cp1251"), T1),
    (b"win/ODD.TXT", b"www", T1),
    (b'q"d\\/IN.TXT', b"i", T1),
]
DIRS = [(b"alt", T2), (b"koi", T3), (b"win", T1), (b'q"d\\', T1)]

# One page for the whole tree, no base address: (name, path, href, type,
# size, modified, description) in the order of the rows.
LIST_ENTRIES = [
    (" lead.txt", " lead.txt", "%20lead.txt", "file", 5, T1S, None),
    ("100% #1?:x.txt", "100% #1?:x.txt", "100%25 %231%3F%3Ax.txt", "file",
     4, T1S, None),
    ('a "quoted" name.txt', 'a "quoted" name.txt', 'a "quoted" name.txt',
     "file", 1, T1S, None),
    ("back\\slash.txt", "back\\slash.txt", "back%5Cslash.txt", "file", 2,
     T2S, None),
    ("cafщ.txt", "cafщ.txt", "caf%E9.txt", "file", 8, T1S, None),
    ("tab\there\x01.txt", "tab\there\x01.txt", "tab%09here%01.txt", "file",
     3, T3S, None),
    ("trail.txt ", "trail.txt ", "trail.txt%20", "file", 6, T1S, None),
    ("Ωmega-Ёж-漢字-😀.txt", "Ωmega-Ёж-漢字-😀.txt",
     "%CE%A9mega-%D0%81%D0%B6-%E6%BC%A2%E5%AD%97-%F0%9F%98%80.txt", "file",
     7, T1S, None),
    ("BOX.TXT", "alt/BOX.TXT", "alt/BOX.TXT", "file", 1, T1S,
     "╔═╗ Рамка из псевдографики, старая добрая DOS"),
    ("EMPTY.TXT", "alt/EMPTY.TXT", "alt/EMPTY.TXT", "file", 0, T2S, ""),
    ("NONE.TXT", "alt/NONE.TXT", "alt/NONE.TXT", "file", 2, T3S, None),
    ("BOX.TXT", "koi/BOX.TXT", "koi/BOX.TXT", "file", 2, T1S,
     "┌─┐ Рамка в КОИ-8, ёлка и Ёж"),
    # A directory whose name a JSON string escapes: in every path.
    ("IN.TXT", 'q"d\\/IN.TXT', 'q"d%5C/IN.TXT', "file", 1, T1S, None),
    ("ODD.TXT", "win/ODD.TXT", "win/ODD.TXT", "file", 3, T1S,
     "Знак \u0098 посреди строки, «кавычки» \"и\" \\ тоже"),
]
KEYS = ["name", "path", "href", "type", "size", "modified", "description"]


def make_tree(root):
    for name, _ in DIRS:
        os.makedirs(os.path.join(root, name))
    for path, content, when in FILES:
        full = os.path.join(root, path)
        with open(full, "wb") as f:
            f.write(content)
        os.utime(full, (when, when))
    for name, when in DIRS:
        os.utime(os.path.join(root, name), (when, when))


def check_entries(where, listing, want_entries):
    check(f"{where}: keys", list(listing), ["generator", "directory",
                                            "entries", "files", "bytes"])
    got = listing.get("entries", [])
    check(f"{where}: entries", len(got), len(want_entries))
    for entry, want in zip(got, want_entries):
        check(f"{where}: keys of {want[0]!r}", list(entry), KEYS)
        for key, value in zip(KEYS, want):
            check(f"{where}: {want[1]!r} {key}", entry.get(key), value)


def hostile(tabulon):
    work = tempfile.mkdtemp(prefix="tabulon-json-")
    try:
        tree = os.path.join(work, "list")
        make_tree(tree.encode())
        run(tabulon, "--json", tree)
        listing = strict_load(os.path.join(tree, "FILES.JSON"))
        check_entries("one page", listing, LIST_ENTRIES)
        check("one page: directory", listing.get("directory"), "")
        check("one page: files", listing.get("files"), 14)
        check("one page: bytes", listing.get("bytes"), 1 + 2 + 3 + 4 + 5 + 6 +
              7 + 8 + 1 + 0 + 2 + 2 + 1 + 3)
        check("one page: generator", listing.get("generator", "")[:8],
              "Tabulon ")
        with open(os.path.join(tree, "FILES.HTM"), "rb") as page:
            check("one page lists files.json", b"files.json" in page.read(),
                  False)

        # A page per directory with a base address: links begin with the
        # address (a backslash in it as "/", other bytes from 0x80 up %XX)
        # and the directory; directory rows link to their pages.
        tree = os.path.join(work, "tree")
        make_tree(tree.encode())
        run(tabulon, tree, "/t", "http://h/пути\\x/", "--json")
        top = strict_load(os.path.join(tree, "FILES.JSON"))
        check("top: directory", top.get("directory"), "")
        got = {e["path"]: e for e in top.get("entries", [])}
        check("top: rows", len(got), 12)
        for name, when in [("alt", T2S), ("koi", T3S), ("win", T1S)]:
            check(f"top: {name}", got.get(name),
                  {"name": name, "path": name, "href": name + "/FILES.HTM",
                   "type": "directory", "size": None, "modified": when,
                   "description": None})
        check("top: q\"d\\", got.get('q"d\\'),
              {"name": 'q"d\\', "path": 'q"d\\', "href": 'q"d%5C/FILES.HTM',
               "type": "directory", "size": None, "modified": T1S,
               "description": None})
        check("top: lead href", got.get(" lead.txt", {}).get("href"),
              "http://h/%D0%BF%D1%83%D1%82%D0%B8/x/ lead.txt")
        check("top: files, bytes", (top.get("files"), top.get("bytes")),
              (8, 36))
        alt = strict_load(os.path.join(tree, "alt", "FILES.JSON"))
        check_entries("alt", alt, [
            (name, path, "http://h/%D0%BF%D1%83%D1%82%D0%B8/x/" + href, *rest)
            for name, path, href, *rest in LIST_ENTRIES[8:11]])
        check("alt: directory", alt.get("directory"), "alt")
        check("alt: files, bytes", (alt.get("files"), alt.get("bytes")),
              (3, 3))

        # Without a base address a page's links are relative to it.
        run(tabulon, tree, "--json", "/t")
        koi = strict_load(os.path.join(tree, "koi", "FILES.JSON"))
        check_entries("koi", koi, [("BOX.TXT", "koi/BOX.TXT", "BOX.TXT",
                                    *LIST_ENTRIES[11][3:])])
        quoted = strict_load(os.path.join(tree, 'q"d\\', "FILES.JSON"))
        check("q\"d\\: directory", quoted.get("directory"), 'q"d\\')
        check_entries('q"d\\', quoted, [("IN.TXT", 'q"d\\/IN.TXT', "IN.TXT",
                                         *LIST_ENTRIES[12][3:])])
    finally:
        if failures:
            print("kept:", work)
        else:
            shutil.rmtree(work)


def copy_archive(examples, to):
    """The example archive with every entry dated T1, the start too."""
    shutil.copytree(examples, to)
    for directory, dirs, files in os.walk(to):
        for name in dirs + files:
            os.utime(os.path.join(directory, name), (T1, T1))
    os.utime(to, (T1, T1))


def listings(root, name="FILES.JSON"):
    found = {}
    for directory, _, files in os.walk(root):
        if name in files:
            found[os.path.relpath(directory, root)] = os.path.join(
                directory, name)
    return found


def stamp(path):
    st = os.stat(path)
    return st.st_ino, st.st_mtime_ns


def expected_name(mode, directory):
    if directory == ".":
        return mode + ".json"
    return mode + "-" + directory.replace(os.sep, "-") + ".json"


def archive(tabulon, examples, expected, version):
    work = tempfile.mkdtemp(prefix="tabulon-json-")
    compared = set()
    try:
        # The page's charset changes nothing in FILES.JSON.
        for mode, base, extra in [
                ("list", "list", []), ("tree", "tree", ["/t"]),
                ("list-utf8", "list", ["--charset=utf-8"]),
                ("tree-utf8", "tree", ["--charset=utf-8", "/t"])]:
            root = os.path.join(work, mode)
            copy_archive(examples, root)
            run(tabulon, root, "--json", *extra)
            written = listings(root)
            want_dirs = {"."} if base == "list" else \
                {os.path.relpath(d, root) for d, _, _ in os.walk(root)}
            check(f"{mode}: directories with FILES.JSON", set(written),
                  want_dirs)
            for directory, path in sorted(written.items()):
                name = expected_name(base, directory)
                want_path = os.path.join(expected, name)
                if not os.path.exists(want_path):
                    continue  # the others are checked against the schema
                compared.add(name)
                with open(want_path, "rb") as f:
                    want = f.read().replace(b"@VERSION@", version.encode())
                with open(path, "rb") as f:
                    check(f"{mode}: {directory}/FILES.JSON", f.read(), want)
            # The run's own pages leave the dates of the directories they
            # went into, which directory rows show: a second run must write
            # nothing at all.
            check(f"{mode}: directory dates after the first run",
                  {os.stat(d).st_mtime for d, _, _ in os.walk(root)}, {T1})
            pages = list(written.values()) + \
                list(listings(root, "FILES.HTM").values())
            before = {p: stamp(p) for p in pages}
            run(tabulon, "--json", root, *extra)
            check(f"{mode}: second run", {p: stamp(p) for p in pages}, before)
            check(f"{mode}: directory dates after the second run",
                  {os.stat(d).st_mtime for d, _, _ in os.walk(root)}, {T1})
            for page in listings(root, "FILES.HTM").values():
                with open(page, "rb") as f:
                    check(f"{mode}: {page} lists FILES.JSON",
                          b"FILES.JSON" in f.read(), False)
        check("expectations compared", compared, set(os.listdir(expected)))
    finally:
        if failures:
            print("kept:", work)
        else:
            shutil.rmtree(work)


def schema(tabulon, examples, schema_path):
    import jsonschema
    with open(schema_path, "rb") as f:
        the_schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(the_schema)
    validator_class.check_schema(the_schema)
    validator = validator_class(
        the_schema, format_checker=validator_class.FORMAT_CHECKER)
    work = tempfile.mkdtemp(prefix="tabulon-json-")
    try:
        checked = 0
        for mode, extra in [("list", []), ("tree", ["/t"]),
                            ("url", ["/t", "http://example.org/files/"])]:
            root = os.path.join(work, mode)
            copy_archive(examples, root)
            run(tabulon, root, "--json", *extra)
            for directory, path in sorted(listings(root).items()):
                for error in validator.iter_errors(strict_load(path)):
                    failures.append(f"{mode} {directory}: {error.message} at "
                                    f"{list(error.absolute_path)}")
                checked += 1
        check("listings validated", checked > 3, True)
        # The schema must refuse what the listing never holds.
        bad = {"generator": "Tabulon 1", "directory": "", "files": 0,
               "bytes": 0, "entries": [
                   {"name": "a", "path": "a", "href": "ä", "type": "file",
                    "size": 1, "modified": "2026-12-08 14:21:03",
                    "description": None}]}
        check("schema refuses a non-ASCII href and a time without T",
              {tuple(e.absolute_path) for e in validator.iter_errors(bad)},
              {("entries", 0, "href"), ("entries", 0, "modified")})
    finally:
        if failures:
            print("kept:", work)
        else:
            shutil.rmtree(work)


def main():
    what = sys.argv[1]
    if what == "hostile":
        hostile(sys.argv[2])
    elif what == "archive":
        archive(*sys.argv[2:6])
    elif what == "schema":
        schema(*sys.argv[2:5])
    else:
        sys.exit(f"unknown check {what}")
    for failure in failures:
        print("FAIL", failure)
    print(f"{0 if failures else 1} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Builds a synthetic tree for timing Tabulon, the same tree for the same seed.

  make_tree.py SHAPE DIR [--seed N] [--dirs N] [--files N]

SHAPE "wide": about 200,000 files in about 4,000 directories (by default);
SHAPE "flat": one directory of 50,000 files (by default) with a FILES.BBS of
a record for each file and one more for every 50 files, for files that do
not exist. Names mix ASCII, Cyrillic UTF-8, blanks and & # %; every file is
sparse (no data blocks), a few are larger than 4 GiB; dates run from 1975 to
2030. A share of the directories has a FILES.BBS in code page 866,
windows-1251 or KOI8-R, with continuation lines, records in shuffled order
and records for files that do not exist. DIR must not exist yet.
"""

import argparse
import os
import random
import sys

CODE_PAGES = ("cp866", "cp1251", "koi8_r")
FIRST_DATE = 157766400   # 1975-01-01 UTC
LAST_DATE = 1924991999   # 2030-12-31 UTC
CYRILLIC_WORDS = ("отчёт", "данные", "письмо", "архив", "Сводка", "ПРОГРАММА",
                  "игра", "текст", "журнал", "ёлка", "таблица", "шрифт")
LATIN_WORDS = ("report", "data", "letter", "archive", "notes", "setup",
               "game", "readme", "Manual", "Driver", "font", "sheet")
EXTENSIONS = (".txt", ".zip", ".doc", ".exe", ".arj", ".htm", "")


def file_name(rng, index):
    """A name unique in its directory through its index."""
    kind = rng.random()
    ext = rng.choice(EXTENSIONS)
    if kind < 0.55:
        return "%s_%05d%s" % (rng.choice(LATIN_WORDS), index, ext)
    if kind < 0.80:
        return "%s_%05d%s" % (rng.choice(CYRILLIC_WORDS), index, ext)
    if kind < 0.90:
        return "%s %s %d%s" % (rng.choice(LATIN_WORDS),
                               rng.choice(CYRILLIC_WORDS), index, ext)
    return "%s&%d#%d%%%s" % (rng.choice(LATIN_WORDS), index,
                             rng.randrange(100), ext)


def description(rng):
    words = [rng.choice(CYRILLIC_WORDS + CYRILLIC_WORDS + LATIN_WORDS).lower()
             for _ in range(rng.randrange(2, 9))]
    return " ".join(words)


def file_size(rng):
    roll = rng.random()
    if roll < 0.01:
        return (4 << 30) + rng.randrange(1 << 30)   # past 32 bits
    if roll < 0.05:
        return rng.randrange(1 << 20, 1 << 30)
    return rng.randrange(0, 200000)


def make_file(path, size, date):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        os.ftruncate(fd, size)
        os.utime(fd, (date, date))
    finally:
        os.close(fd)


def write_description_file(rng, directory, names, code_page, share):
    """Records for `share` of the names, shuffled, in `code_page`, CR LF."""
    described = [n for n in names if rng.random() < share]
    described += ["gone_%d.txt" % i for i in range(max(1, len(names) // 50))]
    rng.shuffle(described)
    lines = []
    for name in described:
        lines.append("%s %s" % (name, description(rng)))
        if rng.random() < 0.2:   # a continuation line, indented
            lines.append("%s%s" % (" " * rng.randrange(1, 30),
                                   description(rng)))
    text = "\r\n".join(lines) + "\r\n"
    with open(os.path.join(directory, "FILES.BBS"), "wb") as out:
        out.write(text.encode(code_page))


def fill_directory(rng, directory, count, bbs_share, code_page):
    names = [file_name(rng, i) for i in range(count)]
    for name in names:
        make_file(os.path.join(directory, name), file_size(rng),
                  rng.randrange(FIRST_DATE, LAST_DATE))
    if code_page is not None:
        write_description_file(rng, directory, names, code_page, bbs_share)
    return count


def make_wide(rng, root, dirs, files):
    directories = [(root, 0)]
    for i in range(1, dirs):
        parent, depth = rng.choice(directories)
        if depth >= 8:
            parent, depth = root, 0
        name = ("%s_%d" % (rng.choice(CYRILLIC_WORDS + LATIN_WORDS), i)
                if rng.random() < 0.8 else "dir %d & co" % i)
        path = os.path.join(parent, name)
        os.mkdir(path)
        directories.append((path, depth + 1))
    per_dir = files / dirs
    total = 0
    for index, (path, _) in enumerate(directories):
        count = rng.randrange(0, int(2 * per_dir) + 1)
        code_page = (CODE_PAGES[index % 3] if rng.random() < 0.35 else None)
        total += fill_directory(rng, path, count, 0.8, code_page)
    # Directory dates last: filling a directory changes its date.
    for path, _ in reversed(directories):
        date = rng.randrange(FIRST_DATE, LAST_DATE)
        os.utime(path, (date, date))
    return len(directories), total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("shape", choices=("wide", "flat"))
    parser.add_argument("directory")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--dirs", type=int, default=4000)
    parser.add_argument("--files", type=int, default=None,
                        help="about this many files (wide: 200,000, "
                        "flat: 50,000)")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.mkdir(args.directory)
    if args.shape == "wide":
        wanted = 200000 if args.files is None else args.files
        dirs, files = make_wide(rng, args.directory, args.dirs, wanted)
    else:
        wanted = 50000 if args.files is None else args.files
        dirs = 1
        files = fill_directory(rng, args.directory, wanted, 1.0, "cp866")
    print("%s: %d directories, %d files" % (args.directory, dirs, files),
          file=sys.stderr)


if __name__ == "__main__":
    main()

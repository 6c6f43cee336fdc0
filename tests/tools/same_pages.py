#!/usr/bin/env python3
"""Lists one generated tree with --jobs=1 and with more threads, in both
modes, and fails unless every run exits 0 and writes the very same pages.

  same_pages.py TABULON [WORK_DIR]

The tree: a few hundred directories of mixed names with description files
in three code pages (bench/make_tree.py, small), and one directory large
enough to be read in pieces on several threads. Each run lists a fresh copy,
since writing pages changes the dates of the directories they are in.
Runs may fall on both sides of midnight, so the day a page was made, in its
last line, is left out of the comparison.
"""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "bench"))
import make_tree  # noqa: E402


# The end of every page: the day it was made, and nothing after it.
STAMP = re.compile(rb"<i>Created \d\d-\d\d-\d\d\.</i>\r\n</body></html>\r\n\Z")


def pages_of(root):
    pages = {}
    for directory, _, files in os.walk(root):
        for name in files:
            if name == "FILES.HTM" or name.startswith(".FILES.HTM"):
                path = os.path.join(directory, name)
                with open(path, "rb") as page:
                    pages[os.path.relpath(path, root)] = STAMP.sub(
                        b"<i>Created (the day)</i>", page.read())
    return pages


def main():
    tabulon = sys.argv[1]
    work = tempfile.mkdtemp(prefix="tabulon-same-",
                            dir=sys.argv[2] if len(sys.argv) > 2 else None)
    try:
        rng = random.Random(7)
        tree = os.path.join(work, "tree")
        os.mkdir(tree)
        make_tree.make_wide(rng, tree, 200, 4000)
        big = os.path.join(tree, "big")
        os.mkdir(big)
        make_tree.fill_directory(rng, big, 3000, 0.9, "cp1251")
        failed = 0
        for mode in ([], ["/t"]):
            reference = None
            for jobs in (1, 2, 16):
                copy = os.path.join(work, "copy")
                shutil.rmtree(copy, ignore_errors=True)
                subprocess.run(["cp", "-a", "--sparse=always", tree, copy],
                               check=True)
                run = subprocess.run([tabulon, copy, "--jobs=%d" % jobs] + mode,
                                     stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE,
                                     env=dict(os.environ, TZ="UTC"))
                what = "--jobs=%d %s" % (jobs, " ".join(mode))
                if run.returncode != 0:
                    print("%s: exit code %d\n%s" % (what, run.returncode,
                          run.stderr.decode(errors="replace")[-3000:]))
                    failed += 1
                    continue
                pages = pages_of(copy)
                if reference is None:
                    reference = pages
                    print("%s: %d pages" % (what, len(pages)))
                elif pages != reference:
                    differ = sorted(k for k in set(pages) | set(reference)
                                    if pages.get(k) != reference.get(k))
                    print("%s: %d pages differ from --jobs=1, e.g. %s"
                          % (what, len(differ), differ[:3]))
                    failed += 1
                else:
                    print("%s: the same %d pages" % (what, len(pages)))
        print("%d passed, %d failed" % (6 - failed, failed))
        return 1 if failed else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

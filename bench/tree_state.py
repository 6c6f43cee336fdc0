#!/usr/bin/env python3
"""Saves a benchmark tree's state and puts the tree back into it.

  tree_state.py save DIR STATE      # right after make_tree.py made DIR
  tree_state.py restore DIR STATE
  tree_state.py dates DIR STATE     # only the directories' dates

The state is every directory's names and dates. Restoring removes every
file that was not there when the state was saved (pages, temporary files
left by an interrupted run) and sets every directory's dates back: writing
or removing a page changes its directory's date, which the next page shows.
Directories are never removed; files are never changed by the programs
timed, so their dates are not kept. "dates" sets the directories' dates
back and removes nothing: a program that writes a file into every directory
then leaves the dates that pages show as they were.
"""

import os
import pickle
import sys


def snapshot(root):
    state = {}
    for directory, _, files in os.walk(root):
        info = os.stat(directory)
        relative = os.path.relpath(directory, root)
        state[relative] = (info.st_atime_ns, info.st_mtime_ns, set(files))
    return state


def restore_dates(root, state):
    for relative, (atime, mtime, _) in state.items():
        os.utime(os.path.join(root, relative), ns=(atime, mtime))


def restore(root, state):
    for directory, _, files in os.walk(root):
        relative = os.path.relpath(directory, root)
        if relative not in state:
            sys.exit("tree_state.py: %r was not in the tree when it was saved"
                     % directory)
        known = state[relative][2]
        for name in files:
            if name not in known:
                os.unlink(os.path.join(directory, name))
    # Dates last: removing a file changes its directory's date.
    restore_dates(root, state)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("save", "restore", "dates"):
        sys.exit(__doc__.split("\n\n")[1])
    action, root, path = sys.argv[1], os.fsencode(sys.argv[2]), sys.argv[3]
    if action == "save":
        with open(path, "wb") as out:
            pickle.dump(snapshot(root), out)
    else:
        with open(path, "rb") as f:
            state = pickle.load(f)
        (restore if action == "restore" else restore_dates)(root, state)


if __name__ == "__main__":
    main()

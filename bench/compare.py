#!/usr/bin/env python3
"""Times commands in alternation with hyperfine and prints medians and ratios.

  compare.py --rounds N --title TITLE --base NAME NAME=COMMAND ...

Each round is one hyperfine call that runs every command once (no shell),
in an order shuffled anew for every round (the same orders for the same
--seed), so that a change in the machine's load falls on all commands
alike, and so does what a command leaves behind: the output of `tree` is
still being written back while the next command runs. (An order only
rotated gave every command the same one before it in every round.)
Prints, per command, the median, the quartiles and the extremes of its
wall-clock times, and the ratio of its median to the median of the
command named by --base.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile


def quartiles(values):
    ordered = sorted(values)
    if len(ordered) < 4:
        return ordered[0], ordered[-1]
    q = statistics.quantiles(ordered, n=4)
    return q[0], q[2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--title", default="")
    parser.add_argument("--base", required=True)
    parser.add_argument("--prepare", default=None,
                        help="command hyperfine runs before each timed one")
    parser.add_argument("--json", default=None, help="append results here")
    parser.add_argument("--seed", type=int, default=1,
                        help="chooses the rounds' orders")
    parser.add_argument("commands", nargs="+", help="NAME=COMMAND")
    args = parser.parse_args()
    named = [c.split("=", 1) for c in args.commands]
    names = [n for n, _ in named]
    if args.base not in names:
        sys.exit("compare.py: --base must name one of the commands")
    times = {n: [] for n in names}
    with tempfile.TemporaryDirectory() as scratch:
        export = os.path.join(scratch, "round.json")
        orders = random.Random(args.seed)
        for _ in range(args.rounds):
            order = list(named)
            orders.shuffle(order)
            command = ["hyperfine", "-N", "--runs", "1", "--style", "none",
                       "--export-json", export]
            if args.prepare:
                command += ["--prepare", args.prepare]
            for name, cmd in order:
                command += ["-n", name, cmd]
            done = subprocess.run(command, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
            if done.returncode != 0:
                sys.exit("compare.py: %s\n%s" % (args.title, done.stderr))
            with open(export) as f:
                for result in json.load(f)["results"]:
                    times[result["command"]].append(result["times"][0])
    base = statistics.median(times[args.base])
    print("%s (%d rounds, alternating)" % (args.title, args.rounds))
    print("| command | median s | quartiles s | min–max s | ratio to %s |"
          % args.base)
    print("| --- | --- | --- | --- | --- |")
    summary = []
    for name in names:
        values = times[name]
        median = statistics.median(values)
        low, high = quartiles(values)
        print("| %s | %.3f | %.3f–%.3f | %.3f–%.3f | %.2f |"
              % (name, median, low, high, min(values), max(values),
                 median / base))
        summary.append({"title": args.title, "command": name,
                        "median": median, "q1": low, "q3": high,
                        "min": min(values), "max": max(values),
                        "ratio": median / base})
    print()
    if args.json:
        with open(args.json, "a") as f:
            for line in summary:
                f.write(json.dumps(line) + "\n")


if __name__ == "__main__":
    main()

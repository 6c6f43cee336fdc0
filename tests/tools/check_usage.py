"""The options of `tabulon --help`, of the manual page and of the README's
"Usage" section must be the same, each with the same figures in its default.

Usage: check_usage.py TABULON MAN_PAGE README
"""
import re
import shlex
import subprocess
import sys


def names(text):
    """Option names in `text`, a value after "=" left out."""
    return [re.sub(r"=.*", "=", t) for t in re.split(r"[\s,]+", text)
            if t[:1] in "-/" and t not in ("-", "/")]


def from_help(tabulon):
    out = subprocess.run([tabulon, "--help"], capture_output=True,
                         check=True).stdout.decode().replace("\r\n", "\n")
    entries = {}
    for line in out.split("\n"):
        m = re.match(r"  (\S.*?)(?:\s{2,}|$)(.*)", line)
        if m and names(m.group(1)):
            entry = [" ".join(names(m.group(1))), m.group(2)]
            entries[entry[0]] = entry
        elif line.startswith(" " * 12) and entries:
            entry[1] += " " + line.strip()
    return {k: v for k, v in entries.values()}


def from_man(path):
    roff = open(path, encoding="utf-8").read()
    roff = roff.split("\n.SH OPTIONS\n")[1].split("\n.SH ")[0]
    entries = {}
    for item in roff.split("\n.TP\n")[1:]:
        lines = []
        for line in item.replace("\\-", "-").replace("\\c\n", "").split("\n"):
            macro, _, rest = line.partition(" ")
            if macro in (".B", ".I"):
                lines.append(rest)
            elif macro in (".BR", ".IR", ".BI", ".RB", ".RI", ".IB"):
                lines.append("".join(shlex.split(rest)))
            elif not line.startswith("."):
                lines.append(line)
        if names(lines[0]):
            entries[" ".join(names(lines[0]))] = " ".join(lines[1:])
    return entries


def from_readme(path):
    text = open(path, encoding="utf-8").read()
    usage = text.split("\n## Usage\n")[1].split("\n## ")[0]
    entries = {}
    for bullet in re.findall(r"^- (`.*(?:\n  .*)*)", usage, re.M):
        tag = re.split(r"(`[^`]*`)", bullet)
        head = []
        for i, piece in enumerate(tag):
            if i % 2 == 0 and ":" in piece:
                break
            if i % 2 == 1:
                head += names(piece.strip("`"))
        if head:
            entries[" ".join(head)] = " ".join(bullet.split())
    return entries


def main(tabulon, man, readme):
    want = from_help(tabulon)
    failures = []
    for where, got in (("man page", from_man(man)),
                       ("README", from_readme(readme))):
        if sorted(got) != sorted(want):
            failures.append(f"{where} names {sorted(got)}, --help "
                            f"{sorted(want)}")
            continue
        for option, text in want.items():
            default = re.search(r"\(default: ([^)]*)\)", text)
            for figure in re.findall(r"\d+", default.group(1) if default
                                     else ""):
                if not re.search(rf"(?<![\d.]){figure}(?!\d)", got[option]):
                    failures.append(f"{where}: {option} lacks the {figure} "
                                    f"of its default")
    for failure in failures:
        print(failure)
    return 1 if failures or not want else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""check_usage.py TABULON MAN_PAGE README: the options of `tabulon --help`,
of the manual page's OPTIONS and of the README's "Usage" bullets are the
same, and each names the figures of the default --help gives it."""
import re
import shlex
import subprocess
import sys


def names(text):  # option names, a value after "=" left out
    return " ".join(re.sub(r"=.*", "=", t) for t in re.split(r"[\s,]+", text)
                    if t[:1] in "-/" and t not in ("-", "/"))


def from_help(tabulon):
    out = subprocess.run([tabulon, "--help"], capture_output=True, check=True)
    entries, name = {}, None
    for line in out.stdout.decode().split("\r\n"):
        m = re.match(r"  (\S.*?)(?:\s{2,}|$)(.*)", line)
        if m:
            name = names(m.group(1)) or None
            if name:
                entries[name] = m.group(2)
        elif name and line.startswith(" " * 12):
            entries[name] += " " + line.strip()
    return entries


def from_man(path):
    roff = open(path, encoding="utf-8").read().replace("\\-", "-")
    roff = roff.split("\n.SH OPTIONS\n")[1].split("\n.SH ")[0]
    entries = {}
    for item in roff.replace("\\c\n", "").split("\n.TP\n")[1:]:
        lines = [" ".join(shlex.split(line.partition(" ")[2]))
                 if line[:2] in (".B", ".I") else line
                 for line in item.split("\n")]
        if names(lines[0]):
            entries[names(lines[0])] = " ".join(lines[1:])
    return entries


def from_readme(path):
    text = open(path, encoding="utf-8").read()
    usage = text.split("\n## Usage\n")[1].split("\n## ")[0]
    entries = {}
    for bullet in re.findall(r"^- (`.*(?:\n  .*)*)", usage, re.M):
        # The names in backquotes before the first colon outside them.
        head = re.match(r"((?:`[^`]*`|[^:`])*)", bullet).group(1)
        entries[names(" ".join(re.findall(r"`([^`]*)`", head)))] = bullet
    entries.pop("", None)
    return entries


want = from_help(sys.argv[1])
failures = [] if want else ["--help names no option"]
for where, got in (("man page", from_man(sys.argv[2])),
                   ("README", from_readme(sys.argv[3]))):
    if sorted(got) != sorted(want):
        failures.append(f"{where} names {sorted(got)}, --help {sorted(want)}")
        continue
    for option, text in want.items():
        default = re.search(r"\(default: ([^)]*)\)", text)
        for figure in re.findall(r"\d+", default.group(1) if default else ""):
            if not re.search(rf"(?<![\d.]){figure}(?!\d)", got[option]):
                failures.append(f"{where}: {option} lacks {figure} of its "
                                "default")
print("\n".join(failures), end="\n" if failures else "")
sys.exit(1 if failures else 0)

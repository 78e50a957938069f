#!/usr/bin/env python3
"""Checks that the documentation names exactly the options the tool takes.

usage: options.py ROOT MAN_PAGE BASH_COMPLETION ZSH_COMPLETION FISH_COMPLETION   (vemosfx on PATH)

Each command's options are its option table, read from its --help (whose
option lines the tool prints from the table its parser is built from). The
bash, zsh and fish completions must offer each command exactly those; the
man page must name every one and no option that no command has. The exit
statuses of an interruption must be named alike by --help, the man page
and README.
"""
import re
import subprocess
import sys

root, man_path, bash_path, zsh_path, fish_path = sys.argv[1:6]
COMMANDS = ["list", "test", "extract", "pack", "add", "delete"]
OPTION = r"(--[a-z][a-z-]*|-[A-Za-z])"


def help_text(*args):
    return subprocess.run(["vemosfx", *args, "--help"], capture_output=True, text=True).stdout


def table(command):
    """The options of a command's table: the names that start its option lines."""
    options = set()
    for line in help_text(command).splitlines():
        names = re.match(r" {2,6}(-\S.*?)(?:  |$)", line)
        if names:
            for name in names.group(1).split(", "):
                option = re.match(OPTION, name)
                if not option:
                    problems.append(f"vemosfx {command} --help: cannot read the option line '{line}'")
                    continue
                options.add(option.group(1))
    return options


def bash(text, command):
    line = re.search(r"\n\s*[a-z|]*\b%s\b[a-z|]*\)\s*opts='([^']*)'" % command, text)
    return {w.rstrip("=") for w in line.group(1).split()} if line else set()


def zsh(text, command):
    arrays = {name: body for name, body in re.findall(r"\n\s*(\w+)=\((.*?)\n?\s*\)(?=\n)", text, re.S)}
    arrays.update(re.findall(r"local (\w+)='([^']*)'", text))
    branch = re.search(r"\n\s*[a-z|]*\b%s\b[a-z|]*\) opts=\((.*?)\) ;;" % command, text, re.S)
    body = branch.group(1) if branch else ""
    body = re.sub(r"\$(\w+)", lambda m: arrays.get(m.group(1), ""), body)
    body = re.sub(r"\[[^\]]*\]|:[^' ]*", " ", body)  # descriptions and value completions
    return set(re.findall(r"(?<![\w-])" + OPTION + r"(?![\w-])", body))


def fish(text, command):
    groups = dict(re.findall(r"set -l (\w+) '?([^'\n]*)'?", text))
    options = set()
    for who, rest in re.findall(r"\n__vemosfx_for (\"[^\"]*\"|'[^']*'|\S+) (.*)", text):
        who = re.sub(r"\$(\w+)", lambda m: groups.get(m.group(1), ""), who.strip("'\""))
        if command in who.split():
            options |= {"-" + s for s in re.findall(r"(?:^| )-s (\w)", rest)}
            options |= {"--" + l for l in re.findall(r"(?:^| )-l ([a-z-]+)", rest)}
    return options


man = open(man_path).read().replace("\\-", "-")
completions = {"bash": (bash, open(bash_path).read()), "zsh": (zsh, open(zsh_path).read()),
               "fish": (fish, open(fish_path).read())}
problems = []
every = {"--version", "--help"}
for command in COMMANDS:
    options = table(command)
    if len(options) < 2:
        problems.append(f"vemosfx {command} --help lists no options")
    every |= options
    for option in sorted(options):
        if option.startswith("--") and not re.search(re.escape(option) + r"(?![a-z-])", man):
            problems.append(f"the man page lacks {option}")
    for shell, (read, text) in completions.items():
        offered = read(text, command)
        for option in sorted(options - offered):
            problems.append(f"the {shell} completion of {command} lacks {option}")
        for option in sorted(offered - options):
            problems.append(f"the {shell} completion of {command} offers {option}, which it does not take")
# "--opt=value" is the man page's example of the option syntax.
for option in sorted(set(re.findall(r"(--[a-z][a-z-]*)", man)) - every - {"--opt"}):
    problems.append(f"the man page names {option}, which no command takes")
readme = open(f"{root}/README.md").read()
for where, text in [("vemosfx --help", help_text()), ("vemosfx pack --help", help_text("pack")),
                    ("vemosfx add --help", help_text("add")), ("the man page", man), ("README", readme)]:
    for status in ("129", "130", "143"):
        if status not in text:
            problems.append(f"{where} does not name exit status {status}")
for p in problems:
    print("cli: options:", p)
sys.exit(1 if problems else 0)

#!/usr/bin/env python3
"""Checks that the documentation names every option the code takes.

usage: options.py ROOT MAN_PAGE BASH_COMPLETION [COMPLETION...]   (vemosfx on PATH)

The options are read from the getopt_long tables and option strings of
host/*.cpp. Each must be in its command's --help (or be refused by that
command as another command's), in the man page, in the bash
completion's list for that command, and in the other completions. The exit statuses of an interruption
must be named alike by --help, the man page and README.
"""
import re
import subprocess
import sys

root, man_path, completion_path = sys.argv[1:4]
others = {path: open(path).read() for path in sys.argv[4:]}  # the zsh and fish completions
common = re.findall(r'\{"([a-z-]+)", (\w+)_argument', open(f"{root}/host/input.h").read())
files = {"cmd_list.cpp": ["list"], "cmd_test.cpp": ["test"], "cmd_extract.cpp": ["extract"],
         "cmd_pack.cpp": ["add", "pack"], "cmd_update.cpp": ["delete"], "main.cpp": [None]}
man = open(man_path).read().replace("\\-", "-")
completion = open(completion_path).read()
problems = []
for name, commands in files.items():
    code = open(f"{root}/host/{name}").read()
    longs = re.findall(r'\{"([a-z-]+)", (\w+)_argument', code) + (common if "COMMON_LONG_OPTIONS}" in code else [])
    shorts = re.findall(r'"(:[^"]*|\+:[^"]*)"', re.search(r'getopt_long\(argc, argv, ([^;]*)', code).group(1))
    for i, command in enumerate(commands):
        argv = ["vemosfx"] + ([command] if command else [])
        help_text = subprocess.run(argv + ["--help"], capture_output=True, text=True).stdout
        line = re.search(r"\n\s*%s\)\s*opts='([^']*)'" % (r"[a-z|]*\b%s\b[a-z|]*" % command), completion) if command else None
        words = (line.group(1) if line else re.search(r"compgen -W '([^']*)'", completion).group(1)).split()
        words = [w.rstrip("=") for w in words]
        letters = [c for c in shorts[i].lstrip("+:") if c != ":"]
        options = [("--" + o, kind == "required") for o, kind in longs] + [("-" + c, False) for c in letters]
        for option, value in options:
            if option in ("-h", "-V"):
                continue
            if option.startswith("--"):
                in_help = re.search(re.escape(option) + r"(?![a-z-])", help_text)
            else:
                in_help = re.search(r"(^|[\s\[,(])-[A-Za-z]*" + option[1] + r"[A-Za-z]*(?![a-z-])", help_text, re.M)
            if not in_help:
                run = subprocess.run(argv + [option + ("=x" if value else ""), "x.lzh", "p"],
                                     capture_output=True, text=True)
                if run.returncode == 2 and re.search(r" is for '?vemosfx ", run.stderr):
                    continue  # another command's option, refused by name
                problems.append(f"{' '.join(argv)} --help lacks {option}")
            if option.startswith("--") and not re.search(re.escape(option) + r"(?![a-z-])", man):
                problems.append(f"the man page lacks {option}")
            if option not in words:
                problems.append(f"the bash completion of {command or 'vemosfx'} lacks {option}")
                continue
            for path, text in others.items():  # in some form: "--opt", "-l opt" or "-s o"
                forms = [option, "-l " + option[2:]] if option.startswith("--") else [option, "-s " + option[1:]]
                if not any(re.search(re.escape(f) + r"(?![a-z-])", text) for f in forms):
                    problems.append(f"{path} lacks {option}")
readme = open(f"{root}/README.md").read()
for where, text in [("vemosfx --help", subprocess.run(["vemosfx", "--help"], capture_output=True, text=True).stdout),
                    ("vemosfx pack --help", subprocess.run(["vemosfx", "pack", "--help"], capture_output=True, text=True).stdout),
                    ("vemosfx add --help", subprocess.run(["vemosfx", "add", "--help"], capture_output=True, text=True).stdout),
                    ("the man page", man), ("README", readme)]:
    for status in ("129", "130", "143"):
        if status not in text:
            problems.append(f"{where} does not name exit status {status}")
for p in problems:
    print("cli: options:", p)
sys.exit(1 if problems else 0)

#!/usr/bin/env bash
# vemosfx list, test and extract as a user types them: installed with
# `cmake --install`, run from PATH, one table row per case. Each row runs in
# a fresh folder and names the exit status, then checks: "out:TEXT" and
# "err:TEXT" (standard output or error holds TEXT), "eq:FILE=TEXT" (FILE
# holds exactly TEXT), "no:FILE" (FILE does not exist). bsdtar and lhasa are
# the reference for member selection and -O.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${VEMO_HOST_BUILD:-$root/build/host}
[ -x "$build/vemosfx" ] || { echo "cli: $build/vemosfx is not built"; exit 77; }
scratch=$(mktemp -d /tmp/vemocli.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export TZ=UTC LC_ALL=C.UTF-8

cmake --install "$build" --prefix "$scratch/p" >/dev/null || { echo "cli: install failed"; exit 1; }
status=0
fail() { echo "cli: $*"; status=1; }
for f in bin/vemosfx share/man/man1/vemosfx.1 share/bash-completion/completions/vemosfx \
  share/zsh/site-functions/_vemosfx share/fish/vendor_completions.d/vemosfx.fish; do
  [ -f "$scratch/p/$f" ] || fail "install did not make $f"
done
export PATH=$scratch/p/bin:$PATH
version=$(sed -n 's/^project(vemosfx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(vemosfx --version)" = "vemosfx $version" ] || fail "--version: $(vemosfx --version), CMake says $version"
grep -q "vemosfx $version" "$scratch/p/share/man/man1/vemosfx.1" || fail "the man page does not carry $version"
warnings=$(groff -man -Tutf8 -ww -z "$scratch/p/share/man/man1/vemosfx.1" 2>&1)
[ -z "$warnings" ] || fail "the man page: $warnings"

# Archives: a (two files in a folder, one elsewhere, Unix modes), d (a member
# with a wrong CRC between two good ones), u (a name in UTF-8), a package, a
# Windows program without a payload, an empty file and a text file.
A=$scratch/in
mkdir -p "$A"
gen() { python3 tests/lib/lzh.py "$@" || fail "generator: $*"; }
gen "$A/a.lzh" 'docs/=;time=1000000000' 'docs/one.txt=one;mode=4755' 'docs/two.md=two;mode=600' 'top.txt=top'
gen "$A/d.lzh" 'first.txt=1' 'bad.txt=2;crc=1234' 'last.txt=3'
gen "$A/u.lzh" 'ü.txt=u'
# A link to a folder outside, then a member through it.
gen "$A/evil.lzh" "link=;link=$scratch/outside" 'link/x=evil'
cp tests/fixtures/headers/package.bin "$A/package.exe"
cp tests/fixtures/crafted/unix-links.lzh "$A/links.lzh"
{ printf 'MZ'; head -c 30000 /dev/zero; } > "$A/program.exe"
: > "$A/empty.lzh"
echo "just text, nothing else" > "$A/text.lzh"
ln -s a.lzh "$A/-dash.lzh"
# Compressed members larger than the decoder's read-ahead, for standard input.
(cd "$A" && mkdir -p many && for i in 1 2 3; do seq $i 7 900000 >many/$i.txt; head -c 150000 /dev/urandom >many/r$i.bin; done &&
  vemosfx pack -q -o many.lzh --method lh7 many && rm -rf many) || fail "pack many"
# Hostile names: control characters (a carriage return, a terminal title
# colour and a bell, a bad CRC to reach an error line), a way out beside an existing
# file and through a link, a folder that may be a link, the destination
# itself, names that Windows takes for one file (list and test warn).
gen "$A/ctl.lzh" $'evil.sh\rreadme.txt=x' $'\e[31mred\a.txt=y' $'bad\e[2J.txt=z;crc=1' $'del\x7f\u009b.txt=d'
# The controls' edges: U+001F, U+007F and U+0080 to U+009F are escaped; a
# space, "~" and U+00A0 are not.
gen "$A/c1.lzh" $'c1\x1f ~\x7f\u0080\u009f\u00a0.txt=c'
nbsp=$'\u00a0'
# A member of a known second, for --update's older, same and newer times.
gen "$A/when.lzh" 'top.txt=old;time=1000000000'
gen "$A/up.lzh" '../victim=x' 'l/victim=y'
gen "$A/dir.lzh" 'd=;mode=777;time=0;method=-lhd-'
gen "$A/dot.lzh" './=;mode=700;time=0'
gen "$A/fold.lzh" 'readme.txt=a' 'README.TXT=b' 'setup.bat=c' 'setup.bat.=d' 'docs/=' 'DOCS/='
# Codes page 932 has twice (Roman numeral one, a kanji) and a small Roman
# numeral, which Windows upper-cases.
gen "$A/fold2.lzh" 'bytes:\x87\x54=a' 'bytes:\xfa\x4a=b' 'bytes:\xed\x40=c' 'bytes:\xfa\x5c=d' 'bytes:\xfa\x40=e'
# Names for machine output: Shift_JIS, and a byte that is neither Shift_JIS
# nor UTF-8 ("caf" and 0xe9, as Latin-1 writes it).
gen "$A/names.lzh" 'sjis:日本.txt=j' 'hex:636166e9=c'
json() { python3 -c 'import json,sys; d=json.loads(sys.stdin.buffer.read().decode("utf-8")); print(" ".join(m["path"] + "=" + m["name_hex"] for m in d["members"]))'; }
export -f json
head -c 30000 /dev/zero | tr '\0' x > "$A/big.txt"
gen "$A/big.lzh" "big.txt=$(cat "$A/big.txt")"
# An -lh5- member that says it holds far more than its data gives.
(cd "$A" && seq 1 3000 > s.txt && vemosfx pack -o s.lzh s.txt && rm s.txt) || fail "pack"
# (the header CRC, the first extended header, made to match again).
python3 -c 'import struct,sys; sys.path.insert(0,"tests/lib"); from lzh import crc16
d=bytearray(open(sys.argv[1],"rb").read()); struct.pack_into("<I",d,11,10**7); n=d[0]|d[1]<<8; d[27:29]=b"\0\0"
struct.pack_into("<H",d,27,crc16(bytes(d[:n]))); open(sys.argv[1],"wb").write(d)' "$A/s.lzh"

rows=(
  "0|out:usage: vemosfx COMMAND|vemosfx --help"
  "0|out:vemosfx $version|vemosfx --help"
  "0|out:--to-stdout|. \$A/../p/share/bash-completion/completions/vemosfx; COMP_WORDS=(vemosfx extract --to); COMP_CWORD=2; _vemosfx; echo \${COMPREPLY[*]}"
  "0|out:usage: vemosfx extract|vemosfx extract --help"
  "0|out:usage: vemosfx list|vemosfx list -h"
  "0|out:usage: vemosfx test|vemosfx test --help"
  "2|err:vemosfx extract: unknown option '-x'|vemosfx extract -kx \$A/a.lzh"
  "2|err:vemosfx list: unknown option '--frob'|vemosfx list --frob=1 \$A/a.lzh"
  "2|err:Try 'vemosfx test --help' for more information.|vemosfx test -u \$A/a.lzh"
  "2|err:vemosfx pack: unknown option '-u'|vemosfx pack -u -o x.lzh ."
  "2|err:vemosfx extract: '-C' needs a value|vemosfx extract \$A/a.lzh -C"
  "2|err:vemosfx delete: no PATTERN given|vemosfx d \$A/a.lzh"
  "2|err:unknown command 'frob'|vemosfx frob"
  "2|err:vemosfx: unknown option '--frob'|vemosfx --frob=2"
  "2|err:--names takes cp932, utf-8, euc-jp, latin1 or auto|vemosfx test --names=latin2 \$A/a.lzh"
  "2|err:no FILE given|vemosfx extract -C out"
  "0|eq:out/top.txt=top|vemosfx extract -kvCout \$A/a.lzh"
  "0|eq:out/top.txt=top|vemosfx extract --directory=out -- \$A/-dash.lzh"
  "1|err:empty.lzh: not an LZH archive or package|vemosfx list \$A/empty.lzh"
  "1|err:text.lzh: not an LZH archive or package|vemosfx test \$A/text.lzh"
  "1|err:program.exe: not an LZH archive or package|vemosfx extract \$A/program.exe"
  "1|err:missing.lzh: No such file or directory|vemosfx list \$A/missing.lzh"
  "1|err:in: Is a directory|vemosfx extract \$A"
  "1|err:vemosfx: f/x: Not a directory|touch f; vemosfx extract -C f/x \$A/a.lzh"
  "1|err:top.txt: cannot create the file: Is a directory|mkdir -p top.txt/x; vemosfx extract \$A/a.lzh"
  "1|err:vemosfx: bad.txt: the data does not match its CRC|vemosfx extract \$A/d.lzh"
  "1|eq:last.txt=3|vemosfx extract \$A/d.lzh"
  "1|no:bad.txt|vemosfx extract \$A/d.lzh"
  "1|err:vemosfx: s.txt: the data is damaged|vemosfx extract \$A/s.lzh"
  "1|out:3 members, 2 intact, 1 failed|vemosfx test \$A/d.lzh"
  "0|out:ok      docs/one.txt|vemosfx test -v \$A/a.lzh"
  "0|eq:out=4 members, 4 intact, 0 failed|vemosfx test \$A/a.lzh >out"
  "0|eq:docs/two.md=two|vemosfx extract \$A/a.lzh 'docs/*.md'"
  "0|no:docs/one.txt|vemosfx extract \$A/a.lzh 'docs/*.md'"
  "0|eq:docs/one.txt=one|vemosfx extract \$A/a.lzh docs/"
  "0|no:top.txt|vemosfx extract \$A/a.lzh docs"
  "1|err:vemosfx: nope: not found in the archive|vemosfx extract \$A/a.lzh nope top.txt"
  "1|eq:top.txt=top|vemosfx extract \$A/a.lzh nope top.txt"
  "0|eq:out=onetop|vemosfx extract -O \$A/a.lzh docs/one.txt top.txt >out"
  "1|err:top.txt: cannot write to standard output: No space left on device|vemosfx extract -O \$A/a.lzh top.txt >/dev/full"
  "0|no:docs|vemosfx extract -O \$A/a.lzh >/dev/null"
  "0|eq:top.txt=mine|echo -n mine >top.txt; vemosfx extract -k \$A/a.lzh"
  "0|err:vemosfx: 1 existing file kept (-k)|echo -n mine >top.txt; vemosfx extract --keep-old-files \$A/a.lzh"
  "0|err:top.txt: kept the existing file|echo -n mine >top.txt; vemosfx extract -kv \$A/a.lzh"
  "0|eq:err=|echo -n mine >top.txt; vemosfx extract -kq \$A/a.lzh 2>err"
  "0|eq:out=|vemosfx test -q \$A/a.lzh >out"
  "0|eq:out=-lh0-           3          3     2 56dc    U 2020-09-13T12:26:40Z docs/one.txt|vemosfx list -q \$A/a.lzh | grep one >out"
  "0|eq:out=4|vemosfx l -q \$A/a.lzh | wc -l >out"
  "0|out:4 members, 4 intact|vemosfx t \$A/a.lzh"
  "0|eq:out=onetop|vemosfx p \$A/a.lzh docs/one.txt top.txt >out"
  "0|eq:docs/two.md=two|vemosfx x \$A/a.lzh docs/two.md"
  "0|eq:o/docs/two.md=two|vemosfx xqw=o \$A/a.lzh"
  "0|out:docs/one.txt|vemosfx xvw=o \$A/a.lzh"
  "0|eq:out=-rwsr-xr-x                          3          3 100.0% -lh0-  56dc 2020-09-13T12:26:40Z docs/one.txt|vemosfx v \$A/a.lzh | grep one.txt >out"
  "0|out:-rw-r----- alice/50 |echo a >a; chmod 640 a; vemosfx pack -q --owner alice:7 --group 50 -o o.lzh a; vemosfx list -v o.lzh"
  "0|eq:out=docs/two.md|vemosfx list -q \$A/a.lzh 'docs/*.md' | grep -o 'docs.*' >out"
  "1|err:vemosfx: nope: not found in the archive|vemosfx list \$A/a.lzh nope top.txt"
  "0|eq:out=1 member, 1 intact, 0 failed|vemosfx test \$A/d.lzh first.txt >out"
  "1|err:vemosfx: nope: not found in the archive|vemosfx test \$A/a.lzh nope"
  "0|out:] docs/one.txt|script -qc 'vemosfx test \$A/a.lzh' /dev/null"
  "0|eq:out=docs docs/one.txt|vemosfx extract --exclude '*.md' --exclude top.txt \$A/a.lzh; x=\$(find * | sort | paste -sd' '); echo \$x >out"
  "0|eq:last.txt=new|echo new >last.txt; vemosfx extract --keep-newer-files \$A/d.lzh last.txt"
  "0|eq:last.txt=3|echo new >last.txt; touch -d 2000-01-01 last.txt; vemosfx extract --keep-newer-files \$A/d.lzh last.txt"
  "0|err:vemosfx: 1 existing file newer than the member kept (--keep-newer-files)|echo new >last.txt; vemosfx extract --keep-newer-files \$A/d.lzh last.txt"
  "1|eq:bad.txt=2|vemosfx extract --keep-damaged \$A/d.lzh"
  "1|err:bad.txt: the data does not match its CRC (damaged); damaged, kept as decoded|vemosfx extract --keep-damaged \$A/d.lzh"
  "0|eq:top.txt=top|echo -n mine >top.txt; vemosfx x -kf \$A/a.lzh"
  "0|eq:.out=|vemosfx tq \$A/a.lzh"
  "2|err:unknown command 'xz'|vemosfx xz \$A/a.lzh"
  "0|eq:o=w/docs/one.txt|mkdir -p w/docs; echo x >w/docs/one.txt; vemosfx pack -o o.lzh --directory . w/docs/one.txt; vemosfx list -q o.lzh | awk '{print \$NF}' >o"
  "0|eq:out=top.txt|cp \$A/a.lzh a.lzh; vemosfx d a.lzh docs; vemosfx list -q a.lzh | awk '{print \$NF}' >out"
  "1|err:vemosfx: nope: not found in the archive|cp \$A/a.lzh a.lzh; vemosfx delete a.lzh nope"
  "0|eq:t=4|cp \$A/a.lzh a.lzh; vemosfx delete a.lzh nope; vemosfx list -q a.lzh | wc -l >t"
  "0|eq:out=new|cp \$A/a.lzh a.lzh; echo new >top.txt; vemosfx a a.lzh top.txt; rm top.txt; vemosfx extract -O a.lzh top.txt >out"
  "0|eq:out=top|cp \$A/a.lzh a.lzh; echo new >top.txt; touch -d @1 top.txt; vemosfx add --update a.lzh top.txt; vemosfx extract -O a.lzh top.txt >out"
  "0|eq:out=oldoldnew|for t in 999999999 1000000000 1000000001; do cp \$A/when.lzh u.lzh; echo new >top.txt; touch -d @\$t top.txt; vemosfx add --update u.lzh top.txt; vemosfx extract -O u.lzh top.txt; done >out"
  "0|out:added new.txt|cp \$A/a.lzh a.lzh; echo n >new.txt; vemosfx add -v --update a.lzh new.txt"
  "1|no:NEW.EXE|echo a >a; vemosfx add NEW.EXE a"
  "1|err:the data does not match its CRC (damaged); nothing was changed|cp \$A/d.lzh d.lzh; echo n >new.txt; vemosfx add d.lzh new.txt"
  "0|eq:out=target.txt|vemosfx extract \$A/links.lzh; readlink link >out"
  "0|eq:out=|vemosfx extract -O \$A/links.lzh link >out"
  "0|no:two.txt|vemosfx extract \$A/links.lzh link"
  "0|err:1 symbolic link skipped (--no-links)|vemosfx extract --no-links \$A/links.lzh"
  "0|no:link|vemosfx extract --skip-links \$A/links.lzh"
  "1|err:vemosfx: link: refused: a symbolic link does not replace a folder|mkdir link; vemosfx extract \$A/links.lzh"
  "1|err:vemosfx: link/x: refused: a folder on its path is a symbolic link|mkdir -p \$A/../outside; vemosfx extract \$A/evil.lzh"
  "1|no:../outside/x|vemosfx extract \$A/evil.lzh"
  "0|eq:top.txt=top|echo -n mine >top.txt; vemosfx extract \$A/a.lzh"
  "0|eq:modes=755 600|umask 022; vemosfx extract \$A/a.lzh; stat -c %a docs/one.txt docs/two.md | paste -sd' ' >modes"
  "0|eq:modes=750|umask 027; vemosfx extract \$A/a.lzh; stat -c %a docs/one.txt >modes"
  "0|eq:time=1000000000|vemosfx extract \$A/a.lzh; stat -c %Y docs >time"
  "0|eq:modes=700 1500000000|umask 000; mkdir -m 700 out w; touch -d @1500000000 out; ln -s ../out w/d; vemosfx extract -C w \$A/dir.lzh; stat -c '%a %Y' out >modes"
  "0|eq:modes=755 1500000000|mkdir -m 755 w; touch -d @1500000000 w; vemosfx extract -C w \$A/dot.lzh; stat -c '%a %Y' w >modes"
  "0|eq:time=1000000000|mkdir docs; vemosfx extract -k \$A/a.lzh; stat -c %Y docs >time"
  "1|err:../victim: refused: the name leads outside|echo -n v >victim; mkdir w; cd w; vemosfx extract -k \$A/up.lzh"
  "1|err:l/victim: refused: a folder on its path is a symbolic link|echo -n v >victim; mkdir w; ln -s .. w/l; cd w; vemosfx extract -k \$A/up.lzh"
  "0|err:warning: README.TXT: the same file as readme.txt on Windows|vemosfx list \$A/fold.lzh"
  "0|err:warning: setup.bat.: the same file as setup.bat on Windows|vemosfx test \$A/fold.lzh"
  "0|eq:warnings=2|vemosfx test \$A/fold.lzh 2>&1 >/dev/null | grep -c warning >warnings"
  "0|eq:.err=|vemosfx list -q \$A/fold.lzh"
  "0|eq:.err=|vemosfx test -q \$A/fold.lzh"
  "0|eq:README.TXT=b|vemosfx extract \$A/fold.lzh"
  "0|eq:warnings=3|vemosfx test \$A/fold2.lzh 2>&1 >/dev/null | grep -c 'warning: .*: the same file as Ⅰ\\|as 纊' >warnings"
  "0|eq:n=1 Я.txt|echo a >я.txt; vemosfx pack -q -o s.exe я.txt; echo A >Я.txt; vemosfx add s.exe Я.txt; echo \$(vemosfx list -q s.exe | wc -l) \$(vemosfx list -q s.exe | awk '{print \$NF}') >n"
  "1|err:Ａ.txt: the package's settings name it|echo A >Ａ.txt; echo b >b.txt; vemosfx pack -q -o s.exe --open ａ.txt --shortcut ａ.txt Ａ.txt b.txt; vemosfx delete s.exe Ａ.txt"
  "0|eq:n=b.txt|echo a >ａ.txt; echo b >b.txt; vemosfx pack -q -o s.exe ａ.txt b.txt; vemosfx delete s.exe 'Ａ.*'; vemosfx list -q s.exe | awk '{print \$NF}' >n"
  "0|out:evil.sh\\rreadme.txt|vemosfx list \$A/ctl.lzh"
  "0|out:\\x1b[31mred\\x07.txt|vemosfx list \$A/ctl.lzh"
  "0|out:evil.sh\\u000dreadme.txt|vemosfx list --json \$A/ctl.lzh"
  "0|out:del\\u007f\\u009b.txt|vemosfx list --json \$A/ctl.lzh"
  "0|out:del\\x7f\\u009b.txt|vemosfx list \$A/ctl.lzh"
  "0|out: c1\\x1f ~\\x7f\\u0080\\u009f$nbsp.txt|vemosfx list --names=utf-8 \$A/c1.lzh"
  "1|out:ok      evil.sh\\rreadme.txt|vemosfx test -v \$A/ctl.lzh"
  "1|err:vemosfx: bad\\x1b[2J.txt: the data does not match|vemosfx test \$A/ctl.lzh"
  "1|out:\\x1b[31mred\\x07.txt|vemosfx extract -v \$A/ctl.lzh"
  "1|err:vemosfx: bad\\x1b[2J.txt: the data does not match|vemosfx extract \$A/ctl.lzh"
  "0|eq:clean=0|vemosfx list \$A/ctl.lzh | tr -d '\\n' | tr -dc '\\000-\\037\\177' | wc -c >clean"
  "1|eq:files=big.txt|cp \$A/big.txt .; (ulimit -f 20; vemosfx pack -o o.lzh --method=lh0 big.txt 2>err); s=\$?; grep -q 'File too large' err && rm err; files=\$(ls); echo \$files >files; exit \$s"
  "1|err:big.txt: cannot write the file: File too large|ulimit -f 20; vemosfx extract \$A/big.lzh"
  "1|no:big.txt|ulimit -f 20; vemosfx extract \$A/big.lzh"
  "0|out:ü.txt|vemosfx list \$A/u.lzh"
  "0|eq:ü.txt=u|vemosfx extract --names=auto \$A/u.lzh"
  "0|out:ﾃｼ.txt|vemosfx list --names=cp932 \$A/u.lzh"
  "0|eq:t=link symlink target.txt|vemosfx list --json \$A/links.lzh | python3 -c 'import json,sys; m=json.load(sys.stdin)[\"members\"][1]; print(m[\"path\"], m[\"type\"], m[\"target\"], end=\"\")' >t"
  "0|out:  start menu:      ask-yes|vemosfx list \$A/package.exe"
  "0|out:  start menu:      ask-yes|cat \$A/package.exe | vemosfx list -"
  "0|out:docs/readme.txt|cat \$A/package.exe | vemosfx extract -v -C p -"
  "0|eq:top.txt=top|cat \$A/a.lzh | vemosfx extract -"
  "0|out:4 members, 4 intact|cat \$A/a.lzh | vemosfx t -"
  "0|eq:out=same|cat \$A/many.lzh | vemosfx extract -C p -; vemosfx extract -C f \$A/many.lzh; diff -r p f && echo same >out"
  "1|err:vemosfx: many/2.txt: the data is cut short|head -c 250000 \$A/many.lzh | vemosfx extract -"
  "1|err:vemosfx: -: not an LZH archive or package|vemosfx list - </dev/null"
  "2|err:must be a file, not standard input|vemosfx add - x"
  "0|eq:out=new.txt|echo n >new.txt; vemosfx a fresh.lzh new.txt; vemosfx list -q fresh.lzh | awk '{print \$NF}' >out"
  "1|err:fresh.exe: No such file or directory|echo n >new.txt; vemosfx a fresh.exe new.txt"
  "0|eq:out=ask-yes 7 n|cp \$A/package.exe p.exe; echo n >new.txt; vemosfx add p.exe new.txt; echo \$(vemosfx list p.exe | sed -n 's/^  start menu: *//p') \$(vemosfx list -q p.exe | wc -l) \$(vemosfx p p.exe new.txt) >out"
  "1|err:docs/readme.txt: the package's settings name it|cp \$A/package.exe p.exe; vemosfx delete p.exe docs"
  "0|eq:n=5 present|cp \$A/package.exe p.exe; vemosfx delete p.exe '日*'; echo \$(vemosfx list -q p.exe | wc -l) \$(vemosfx list p.exe | sed -n 's/^config: //p') >n"
  "0|out:  destination:     <Windows drive>\\Program Files\\Vemo\\|vemosfx list \$A/package.exe"
  "0|eq:o=fifo ok|mkfifo p.lzh; echo a >a; timeout 10 cat p.lzh >got & vemosfx pack -o p.lzh a; wait; echo \$(stat -c %F p.lzh) \$(vemosfx test -q got && echo ok) >o"
  "0|eq:o=symbolic link ok|ln -s /proc/self/fd/1 out; echo a >a; vemosfx pack -o out --format=lzh a >got; echo \$(stat -c %F out) \$(vemosfx test -q got && echo ok) >o"
  "1|err:'d.lzh': a symbolic link to nothing|ln -s nowhere d.lzh; echo a >a; vemosfx pack -o d.lzh a"
  "0|eq:o=symbolic link b|mkdir r; echo a >a; echo b >b; vemosfx pack -q -o r/r.lzh a; ln -s r/r.lzh l.lzh; vemosfx add l.lzh b; vemosfx delete l.lzh a; echo \$(stat -c %F l.lzh) \$(vemosfx list -q r/r.lzh | awk '{print \$NF}') >o"
  "0|eq:n=5|head -c 3000000 /dev/urandom >big; vemosfx pack -q -o a.lzh --method lh0 big; for i in 1 2 3 4; do echo \$i >n\$i; done; for i in 1 2 3 4; do vemosfx add a.lzh n\$i & done; wait; vemosfx list -q a.lzh | wc -l >n"
  "0|eq:j=日本.txt=93fa967b2e747874 caf�=636166e9|vemosfx list --json \$A/names.lzh | json >j"
  "0|eq:j=���{.txt=93fa967b2e747874 caf�=636166e9|vemosfx list --json --names=utf-8 \$A/names.lzh | json >j"
  "1|err:vemosfx: cannot write to standard output: No space left on device|vemosfx list \$A/a.lzh >/dev/full"
  "1|err:vemosfx: cannot write to standard output: No space left on device|vemosfx list --json \$A/a.lzh >/dev/full"
  "1|err:vemosfx: cannot write to standard output: No space left on device|vemosfx test \$A/a.lzh >/dev/full"
  "0|eq:keys=ask-yes docs/readme.txt file dir 6|vemosfx list --json \$A/package.exe | python3 -c 'import json,sys; d=json.load(sys.stdin); m=d[\"members\"]; print(d[\"config\"][\"start_menu\"], m[3][\"path\"], m[3][\"type\"], m[2][\"type\"], len(m), end=\"\")' >keys"
)
# Owners: recorded by pack, given back only by root with --same-owner, and
# only to what extraction made: not through a link whose name ends in "/",
# not to the destination itself (a member "."); ids past 16 bits are not
# stored cut.
gen "$A/own-link.lzh" 'd/=;link=../victim1;owner=1234:1234'
gen "$A/own-dot.lzh" './=;owner=1234:1234'
if [ "$(id -u)" = 0 ]; then
  rows+=(
    "0|eq:o=0:0 1234:1234|mkdir -p ../victim1; vemosfx extract --same-owner \$A/own-link.lzh; stat -c %u:%g ../victim1 >o; stat -c %u:%g d >>o; echo \$(cat o) >o"
    "0|eq:o=0:0|mkdir w; vemosfx extract --same-owner -C w \$A/own-dot.lzh; stat -c %u:%g w >o"
    "1|eq:o=character special file|mknod full c 1 7; echo a >a; vemosfx pack -o full --format=lzh a; s=\$?; stat -c %F full >o; exit \$s"
    "0|eq:o=1234:1234 640|echo a >a; echo b >b; vemosfx pack -q -o r.lzh a; chown 1234:1234 r.lzh; chmod 640 r.lzh; vemosfx add r.lzh b; stat -c '%u:%g %a' r.lzh >o"
    "0|eq:o=0:0|touch f; chown 100000:165536 f; vemosfx pack -q -o o.lzh f; rm f; vemosfx extract --same-owner o.lzh; stat -c %u:%g f >o"
    "0|eq:n=1|touch f g; chown 100000:165536 f g; vemosfx pack -o o.lzh f g 2>err; grep -c '2 members are owned by ids above 65535' err >n"
    "0|eq:o=65534:65534|touch f; chown 65534:65534 f; vemosfx pack -o o.lzh f; rm f; vemosfx extract --same-owner o.lzh; stat -c %u:%g f >o"
    "0|eq:o=0|touch f; chown 65534 f; vemosfx pack -o o.lzh f; rm f; vemosfx extract o.lzh; stat -c %u f >o"
  )
fi
# A signed package changed by add or delete: told to sign it again, and the
# certificate entry of its header cleared (it would point into members).
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$A/key.pem" -out "$A/cert.pem" -days 2 -subj '/CN=t' >/dev/null 2>&1
  mkdir -p "$A/src" && echo a >"$A/src/a.txt" && echo b >"$A/src/b.txt"
  vemosfx pack -q -o "$A/unsigned.exe" --no-dialog -C "$A" src &&
    osslsigncode sign -certs "$A/cert.pem" -key "$A/key.pem" -in "$A/unsigned.exe" -out "$A/signed.exe" >/dev/null ||
    fail "cannot make a signed package"
  entry='import struct,sys; d=open(sys.argv[1],"rb").read(); o=struct.unpack_from("<I",d,0x3c)[0]+24; print(struct.unpack_from("<II",d,o+128))'
  rows+=(
    "0|err:vemosfx add: warning: 's.exe' was signed; the signature does not cover the changed file and was dropped: sign the package again|cp \$A/signed.exe s.exe; echo n >n.txt; vemosfx add s.exe n.txt"
    "0|err:vemosfx delete: warning: 's.exe' was signed|cp \$A/signed.exe s.exe; vemosfx delete s.exe src/b.txt"
    "0|eq:e=(0, 0) No signature found|cp \$A/signed.exe s.exe; vemosfx delete -q s.exe src/b.txt; echo \$(python3 -c '$entry' s.exe) \$(osslsigncode verify s.exe 2>&1 | grep -o 'No signature found') >e"
    "0|eq:.err=|cp \$A/unsigned.exe u.exe; echo n >n.txt; vemosfx add u.exe n.txt"
  )
fi
n=0
for row in "${rows[@]}"; do
  # VEMO_ROWS=TEXT runs only the rows that hold TEXT.
  [[ $row == *"${VEMO_ROWS:-}"* ]] || continue
  IFS='|' read -r want check command <<< "$row"
  n=$((n + 1))
  work=$scratch/row$n
  mkdir -p "$work"
  (cd "$work" && A=$A bash -c "$command" >"$work/.out" 2>"$work/.err")
  got=$?
  [ "$got" = "$want" ] || { fail "$command: exit $got, not $want: $(head -c 300 "$work/.err")"; continue; }
  case $check in
    out:*) grep -qF -- "${check#out:}" "$work/.out" || fail "$command: stdout lacks '${check#out:}': $(head -c 300 "$work/.out")" ;;
    err:*) grep -qF -- "${check#err:}" "$work/.err" || fail "$command: stderr lacks '${check#err:}': $(head -c 300 "$work/.err")" ;;
    eq:*) spec=${check#eq:}; file=${spec%%=*}; text=${spec#*=}
          [ "$(cat "$work/$file" 2>&1)" = "$text" ] || fail "$command: $file holds '$(cat "$work/$file" 2>&1)', not '$text'" ;;
    no:*) [ ! -e "$work/${check#no:}" ] || fail "$command: ${check#no:} exists" ;;
  esac
done

# Every option of the code is documented and completed.
python3 tests/lib/options.py "$root" "$scratch/p/share/man/man1/vemosfx.1" \
  "$scratch/p/share/bash-completion/completions/vemosfx" "$scratch/p/share/zsh/site-functions/_vemosfx" \
  "$scratch/p/share/fish/vendor_completions.d/vemosfx.fish" || fail "options: see above"
# zsh and fish load their completions and offer the options.
if command -v zsh >/dev/null; then
  got=$(zsh -fc "fpath=($scratch/p/share/zsh/site-functions \$fpath); autoload -Uz compinit; compinit -u -d $scratch/zcd; whence -v _vemosfx; [[ \${_comps[vemosfx]} == _vemosfx ]] && echo registered" 2>&1)
  [[ $got == *registered* ]] || fail "zsh: the completion is not registered: $got"
fi
if command -v fish >/dev/null; then
  got=$(XDG_DATA_DIRS=$scratch/p/share fish -c 'complete -C "vemosfx extract --to"; complete -C "vemosfx pack --mo"; complete -C "vemosfx "' 2>&1)
  for want in --to-stdout --mode extract; do
    [[ $got == *"$want"* ]] || fail "fish: no $want among: $(echo $got | head -c 200)"
  done
fi

# Ctrl-C once a member is complete (here while -v waits on a full pipe at a
# kept file) leaves that file alone: only an unfinished file is removed.
mkdir -p "$scratch/int"
kept=()
for i in $(seq 600); do kept+=("k$(printf %0200d "$i")=k"); : >"$scratch/int/k$(printf %0200d "$i")"; done
gen "$A/int.lzh" 'a.txt=complete' "${kept[@]}"
(cd "$scratch/int" && python3 - "$A/int.lzh" <<'PY') || fail "Ctrl-C after a complete member: $(ls "$scratch/int" | head -c 100)"
import os, signal, subprocess, sys, time
p = subprocess.Popen(["vemosfx", "extract", "-kv", sys.argv[1]], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
for _ in range(1000):
    with open(f"/proc/{p.pid}/wchan") as f:
        if f.read() == "pipe_write":
            break
    time.sleep(0.01)
p.send_signal(signal.SIGINT)
p.stdout.read()
sys.exit(0 if p.wait() == 130 and open("a.txt").read() == "complete" else 1)
PY

# The same-file check of list and test keeps bounded memory: 100,000 empty
# members with 200-byte names from standard input within a 40 MB address
# space (the names alone would take more).
python3 - "$scratch/many.lzh" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as out:
    for i in range(100000):
        name = b"d" * 190 + b"%08d" % i
        body = b"-lh0-" + struct.pack("<IIIBBHB", 0, 0, 1600000000, 0x20, 2, 0, ord("U"))
        out.write(struct.pack("<H", 2 + len(body) + 2 + 3 + len(name)) + body + struct.pack("<HB", 3 + len(name), 1) + name + b"\0\0")
    out.write(b"\0")
PY
for command in list test; do
  (ulimit -v 40000; vemosfx $command -q - <"$scratch/many.lzh" >/dev/null 2>"$scratch/many.err") ||
    fail "$command - of 100,000 members in 40 MB: $(head -c 200 "$scratch/many.err")"
done

# Member selection and -O as the peers see them.
if command -v bsdtar >/dev/null; then
  for pattern in 'docs/*.md' docs 'd*' '*.txt'; do
    mkdir -p "$scratch/bs" "$scratch/ours"
    (cd "$scratch/bs" && bsdtar -xf "$A/a.lzh" "$pattern" 2>/dev/null)
    (cd "$scratch/ours" && vemosfx extract "$A/a.lzh" "$pattern")
    [ "$(cd "$scratch/bs" && find . | sort)" = "$(cd "$scratch/ours" && find . | sort)" ] ||
      fail "pattern '$pattern': bsdtar extracts $(cd "$scratch/bs" && find . | sort | paste -sd' '), we $(cd "$scratch/ours" && find . | sort | paste -sd' ')"
    rm -rf "$scratch/bs" "$scratch/ours"
  done
fi
if command -v lhasa >/dev/null; then
  [ "$(vemosfx extract -O tests/fixtures/sample.lzh | md5sum)" = "$(lhasa pq tests/fixtures/sample.lzh | md5sum)" ] ||
    fail "extract -O differs from lhasa pq on sample.lzh"
fi

echo "cli: $n cases"
exit $status

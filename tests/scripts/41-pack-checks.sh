#!/usr/bin/env bash
# vemosfx pack on the command line: what it refuses, what it warns about,
# and what it writes, on real files in a scratch folder. Each case is one
# line of a table: expected exit status, a text expected on stderr (or "-"),
# and the command.
set -uo pipefail
cd "$(dirname "$0")/../.."
tool=$PWD/${VEMO_TOOL:-build/host/vemosfx}
[ -x "$tool" ] || { echo "41-pack-checks: $tool is not built"; exit 1; }
export LC_ALL=C.UTF-8
work=$(mktemp -d /tmp/vemopackchk.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "   FAIL: $*"; failures=$((failures + 1)); }
stub=$work/stub.exe
{ printf 'MZ'; head -c 23038 /dev/zero; } >"$stub"

# expect STATUS TEXT COMMAND...: runs the command in $work and checks its
# exit status and that stderr holds TEXT ("-": anything).
expect() {
  local want=$1 text=$2; shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" != "$want" ]; then fail "$* exited $got, not $want: $(head -3 "$work/err")"
  elif [ "$text" != - ] && ! grep -qF -- "$text" "$work/err"; then fail "$*: no '$text' in: $(head -3 "$work/err")"
  fi
}

# Memory does not grow with the file: 128 MiB under a 100 MB address space.
truncate -s 128M big.bin
(ulimit -v 100000; "$tool" pack -o big.lzh big.bin) 2>"$work/err" || fail "128 MiB under ulimit -v 100000: $(head -2 "$work/err")"
"$tool" test big.lzh >/dev/null 2>&1 || fail "the 128 MiB archive does not test clean"
rm -f big.bin big.lzh
# Short of memory for 16 threads, pack and add go on with fewer or fail
# with a message, never a crash, and leave no temporary output.
head -c 3000000 /dev/urandom >r.bin; seq 400000 >t.txt
for limit in 60000 120000 200000; do
  for cmd in "pack -o lim.lzh -j 16 r.bin" "add -j 16 lim.lzh t.txt"; do
    (ulimit -v $limit; "$tool" $cmd) 2>"$work/err"; status=$?
    if [ $status -gt 1 ]; then fail "$cmd under ulimit -v $limit: exit $status: $(head -2 "$work/err")"
    elif [ $status = 1 ] && ! grep -q 'not enough memory' "$work/err"; then fail "$cmd under ulimit -v $limit: $(head -2 "$work/err")"
    elif [ $status = 0 ] && ! "$tool" test lim.lzh >/dev/null 2>&1; then fail "$cmd under ulimit -v $limit: does not test clean"
    fi
    ! ls lim.lzh.* >/dev/null 2>&1 || fail "$cmd under ulimit -v $limit left $(ls lim.lzh.*)"
  done
  rm -f lim.lzh
done
rm -f r.bin t.txt

# Inputs: one folder per case.
mk() { mkdir -p "$(dirname "$1")"; printf '%s\n' "${2:-x}" >"$1"; }
mk ok/a.txt
mk sjis/〜.txt one; mk sjis/～.txt two
mk case/README; mk case/readme
mk roman/Ⅰ.txt; mk roman/ⅰ.txt
mk dev/sub/nul.txt; mk devs/CON; mk dot/trail.; mk space/"trail "
printf 'bad\xffname' | xargs -0 -I{} sh -c 'mkdir -p utf8 && echo x >"utf8/{}"'
mkdir -p links/d; mk links/d/f.txt; ln -s f.txt links/d/link; ln -s /nonexistent links/d/dangling
mkdir -p loop/d; ln -s .. loop/d/up
mkdir -p fifo; mk fifo/f.txt; mkfifo fifo/pipe
mk settings/bin/app.exe
mkdir -p huge && truncate -s 4294967296 huge/4GiB.bin
mk ok/o.lzh old

P="$tool pack"
S=(--stub "$stub")
while IFS='|' read -r status text cmd; do
  [ -z "$status" ] || [ "${status:0:1}" = "#" ] && continue
  eval "expect $status \"\$text\" $cmd"
done <<'TABLE'
# a package's member over 4 GiB - 1, refused before anything is written (a
# plain archive takes it: 31-read-formats)
1|'huge/4GiB.bin': 4294967296 bytes; a package holds members of at most 4294967295 bytes|$P -o huge.exe "${S[@]}" huge
# names: two inputs, one member
1|'sjis/〜.txt' and 'sjis/～.txt'|$P -o o.lzh sjis
1|are one file name on Windows|$P -o o.exe "${S[@]}" case
1|'roman/Ⅰ.txt' and 'roman/ⅰ.txt' are one file name on Windows|$P -o o.exe "${S[@]}" roman
0|-|$P -o o.lzh case
1|not valid UTF-8|$P -o o.lzh utf8
# names Windows cannot create
1|Windows takes "nul.txt" for a device|$P -o o.lzh dev
1|Windows takes "CON" for a device|$P -o o.exe "${S[@]}" devs
1|ends in a dot or a space|$P -o o.lzh dot
1|ends in a dot or a space|$P -o o.lzh space
0|-|$P -o o.lzh --allow-unix-names dev devs dot space
2|--allow-unix-names is for plain archives|$P -o o.exe "${S[@]}" --allow-unix-names dev
# links and special files
1|is a symbolic link, which a package cannot hold|$P -o o.exe "${S[@]}" links
1|'links/d/dangling' is a symbolic link whose target cannot be reached|$P -o o.exe "${S[@]}" -L links
1|symbolic link loop|$P -o o.lzh -L loop
0|'fifo/pipe' is a FIFO: skipped|$P -o o.lzh fifo
# settings
1|--open 'nothere.txt' names no file|$P -o o.exe "${S[@]}" --open nothere.txt -C settings bin
1|--shortcut 'nothere.exe' names no file|$P -o o.exe "${S[@]}" --shortcut nothere.exe -C settings bin
1|--open 'bin' names no file|$P -o o.exe "${S[@]}" --open bin -C settings bin
0|-|$P -o o.exe "${S[@]}" --open 'bin\APP.exe' --shortcut bin/app.exe -C settings bin
2|--dest '../../Windows': the destination must be a relative path|$P -o o.exe "${S[@]}" --dest ../../Windows ok
2|the destination must be a relative path|$P -o o.exe "${S[@]}" --dest 'C:\x' ok
2|the destination must be a relative path|$P -o o.exe "${S[@]}" --dest /x ok
2|the destination must be a relative path|$P -o o.exe "${S[@]}" --dest '.. \Windows' ok
0|-|$P -o o.exe "${S[@]}" --dest Vendor/App ok
# output
1|is the output itself|$P -o ok/a.txt --format=lzh ok/a.txt
0|'ok/o.lzh' is the output: left out|$P -o ok/o.lzh ok
2|--format=lzh or --format=package|$P -o out.lha ok
0|-|$P -o out.lha --format=lzh ok
2|a package cannot go to standard output|$P -o - --format=package ok
2|unknown option '--bogus'|$P -o o.lzh --bogus ok
2|--format takes lzh or package|$P -o o.lzh --format=zip ok
2|--mtime takes @N|$P -o o.lzh --mtime=5 ok
2|--mtime '2024-13-01' is no date of the calendar|$P -o o.lzh --mtime=2024-13-01 ok
2|--mtime '2024-02-30' is no date of the calendar|$P -o o.lzh --mtime=2024-02-30 ok
2|--mtime '2023-02-29' is no date of the calendar|$P -o o.lzh --mtime=2023-02-29 ok
0|-|$P -o o.lzh --mtime=2024-02-29 ok
2|--mtime '@4294967296' is after 2106|$P -o o.lzh --mtime=@4294967296 ok
2|--mtime '2107-01-01Z' is after 2106|$P -o o.lzh --mtime=2107-01-01Z ok
2|--mtime '1969-12-31Z' is before 1970|$P -o o.lzh --mtime=1969-12-31Z ok
2|--mtime '1969-12-31T23:59:59Z' is before 1970|$P -o o.lzh --mtime=1969-12-31T23:59:59Z ok
2|--mtime '2106-02-07T06:28:16Z' is after 2106|$P -o o.lzh --mtime=2106-02-07T06:28:16Z ok
2|--dest '/x': the destination must be a relative path|$tool pack -o o.exe --dest /x ok
0|-|$P -o o.lzh --mtime='2024-01-01 12:00:00Z' -q ok
2|--update is for 'vemosfx add'|$P -o o.lzh --update ok
2|--title is for 'vemosfx pack'|$tool add --title x o.lzh ok
2|are for plain archives|$P -o o.exe "${S[@]}" --numeric-owner ok
2|--owner takes a user|$P -o o.lzh --owner no-such-user-here ok
2|--mode takes an octal mode (644) or chmod's symbolic changes|$P -o o.lzh --mode 'g=rX,' ok
2|--mode takes an octal mode|$P -o o.lzh --mode 'q+r' ok
TABLE

# The default thread count is the CPUs the process may run on: one CPU,
# no compressing threads (a 1 MiB segment each for -j 2, so two).
if command -v taskset >/dev/null && command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; then
  seq 1 400000 >threads.txt
  for cpus in 0 0,1; do
    taskset -c $cpus strace -f -qq -e trace=clone,clone3 -o clones.txt "$tool" pack -o threads.lzh threads.txt
    want=$([ $cpus = 0 ] && echo 0 || echo 2)
    [ "$(nproc --all)" -ge 2 ] || want=0
    [ "$(grep -c clone clones.txt)" = "$want" ] || fail "taskset -c $cpus: $(grep -c clone clones.txt) threads, not $want"
  done
  rm -f threads.txt threads.lzh clones.txt
fi

# A plain archive made the same on any machine: fixed owners and time.
mkdir -p owners && echo a >owners/a && echo b >owners/b
SOURCE_DATE_EPOCH=1700000000 "$tool" pack -q -o own1.lzh --owner 0 --group 0 --numeric-owner owners
chown 1234:4321 owners/b 2>/dev/null
SOURCE_DATE_EPOCH=1700000000 "$tool" pack -q -o own2.lzh --owner 0 --group 0 --numeric-owner owners
cmp -s own1.lzh own2.lzh || fail "--owner 0 --group 0 --numeric-owner: another owner changed the archive"
"$tool" pack -q -o own3.lzh --owner builder:1000 --group staff:50 owners
[ "$(bsdtar -tvf own3.lzh | awk '{print $3, $4}' | sort -u)" = "builder staff" ] ||
  fail "--owner builder:1000 --group staff:50: bsdtar shows $(bsdtar -tvf own3.lzh | head -1)"

# README's options for a plain archive that is the same on every machine:
# trees made under umask 022 and 077 (other modes, times and inode order),
# packed under other locales, time zones and thread counts.
for u in 022 077; do
  (umask $u && mkdir -p rep$u/t/sub && echo a >rep$u/t/a.txt && printf '#!/bin/sh\n' >rep$u/t/sub/run.sh &&
    chmod u+x rep$u/t/sub/run.sh && ln -s a.txt rep$u/t/link)
done
touch -d @1800000000 rep077/t/a.txt
(cd rep022 && umask 022 && SOURCE_DATE_EPOCH=1700000000 LC_ALL=C.UTF-8 TZ=UTC "$tool" pack -q -j 1 -o ../rep1.lzh \
  --owner 0 --group 0 --numeric-owner --mode 'go=rX,u+rw,a-s' t)
(cd rep077 && umask 077 && SOURCE_DATE_EPOCH=1700000000 LC_ALL=ja_JP.UTF-8 TZ=Asia/Tokyo "$tool" pack -q -j 3 -o ../rep2.lzh \
  --owner 0 --group 0 --numeric-owner --mode 'go=rX,u+rw,a-s' t) 2>/dev/null
cmp -s rep1.lzh rep2.lzh || fail "the reproducible options: the two archives differ"
[ "$(bsdtar -tvf rep1.lzh | awk '{print $1}' | paste -sd' ')" = "drwxr-xr-x -rw-r--r-- lrwxrwxrwx drwxr-xr-x -rwxr-xr-x" ] ||
  fail "--mode 'go=rX,u+rw,a-s': $(bsdtar -tvf rep1.lzh | awk '{print $1, $NF}' | paste -sd' ')"
mkdir -p modes/d && echo x >modes/f && chmod 4711 modes/f
"$tool" add -q --mode 'a=r,u+w' rep2.lzh modes && [ "$(bsdtar -tvf rep2.lzh modes | awk '{print $1}' | paste -sd' ')" = "drw-r--r-- drw-r--r-- -rw-r--r--" ] ||
  fail "add --mode 'a=r,u+w': $(bsdtar -tvf rep2.lzh modes | awk '{print $1, $NF}' | paste -sd' ')"

# A real tree in one pass: a copy of /usr/share/doc (when there is one) with
# links, dangling links, case pairs, odd names and modes 755/600/644 added.
# The package refuses every problem at once, each line naming the exclusion
# that leaves it out; with those exclusions it packs.
mkdir -p tree/bin tree/private tree/empty
[ -d /usr/share/doc ] && cp -a /usr/share/doc tree/doc 2>/dev/null
printf '#!/bin/sh\n' >tree/bin/run.sh; chmod 755 tree/bin/run.sh
echo key >tree/private/key; chmod 600 tree/private/key; chmod 700 tree/private
echo doc >tree/doc.txt; chmod 644 tree/doc.txt
ln -s doc.txt tree/link; ln -s ../bin/run.sh tree/private/up; ln -s nowhere tree/dangling
echo a >tree/Case; echo b >tree/case; echo c >'tree/a:b?'; echo d >'tree/back\slash'; echo e >'tree/trail.'
echo f >"tree/$(printf 'caf\351')"; echo g >"tree/new"$'\n'"line"
"$tool" pack -o tree.exe "${S[@]}" -L --method lh0 tree 2>err.txt && fail "the tree's package was not refused"
refusals=$(grep -c '^vemosfx pack: .*; --exclude .* leaves it out$' err.txt)
[ "$refusals" = "$(wc -l <err.txt)" ] && [ "$refusals" -ge 7 ] || fail "refusals: $(head -3 err.txt)"
for name in "'tree/a:b\?'" "'tree/back\\\\slash'" "'tree/case'" "'tree/dangling'" "'tree/trail.'" "\$'tree/caf\\xe9'" "\$'tree/new\\x0aline'"; do
  grep -qF -- "--exclude $name" err.txt || fail "no --exclude $name among the refusals"
done
eval "\"\$tool\" pack -o tree.exe \"\${S[@]}\" -L --method lh0 tree $(grep -o -- "--exclude \$\?'.*' leaves" err.txt | sed 's/ leaves$//' | tr '\n' ' ')" 2>err2.txt ||
  fail "the suggested exclusions did not make the package: $(head -3 err2.txt)"
"$tool" test -q tree.exe || fail "the tree's package does not test clean"
# Plain: everything kept, links and modes too, as vemosfx, lhasa and bsdtar
# extract it.
rm -rf tree/doc tree/caf* tree/new*line
umask 022
"$tool" pack -o tree.lzh --allow-unix-names tree || fail "the plain archive of the tree was refused"
listing() { (cd "$1" && find . -printf '%p %m %y %l\n' | sort); }
for peer in vemosfx lhasa bsdtar; do
  mkdir -p "x-$peer"
  case $peer in
    vemosfx) (cd "x-$peer" && "$tool" extract --allow-unix-names ../tree.lzh) ;;
    lhasa) command -v lhasa >/dev/null || continue; (cd "x-$peer" && lhasa xq ../tree.lzh) ;;
    bsdtar) command -v bsdtar >/dev/null || continue; (cd "x-$peer" && bsdtar xf ../tree.lzh) ;;
  esac
  diff -r --no-dereference tree "x-$peer/tree" >/dev/null 2>&1 || fail "$peer: the round trip differs: $(diff -r --no-dereference tree "x-$peer/tree" 2>&1 | head -3)"
  [ "$(listing tree)" = "$(listing "x-$peer/tree")" ] || fail "$peer: modes or links differ: $(diff <(listing tree) <(listing "x-$peer/tree") | head -4)"
done
[ "$(stat -c %Y tree/private/key)" = "$(stat -c %Y x-vemosfx/tree/private/key)" ] || fail "the time did not come back"

# -T and --exclude-from as tar takes them; the listed paths, the excluded left out.
printf 'ok/a.txt\0links/d/f.txt\0' >list0; printf 'ok/a.txt\nlinks\n' >list; printf '*.lzh\nlink\n' >pats
"$tool" pack -o t0.lzh --null -T list0 && [ "$("$tool" list -q t0.lzh | awk '{print $NF}' | paste -sd' ')" = "ok/a.txt links/d/f.txt" ] ||
  fail "--null -T: $("$tool" list -q t0.lzh)"
"$tool" pack -o t1.lzh -T - --exclude-from pats --exclude dangling <list && [ "$("$tool" list -q t1.lzh | awk '{print $NF}' | paste -sd' ')" = "ok/a.txt links/ links/d/ links/d/f.txt" ] ||
  fail "-T - --exclude-from: $("$tool" list -q t1.lzh)"

# Unreadable inputs are refused with the rest, before anything is written.
if command -v setpriv >/dev/null; then
  out=$(mktemp -d /tmp/vemounread.XXXXXX); chmod 777 "$out"; chmod 755 "$work"
  mkdir -p unread/sub; echo x >unread/a; echo y >unread/sub/b; chmod 000 unread/a unread/sub
  setpriv --reuid=65534 --regid=65534 --clear-groups "$tool" pack -o "$out/u.lzh" unread 2>err.txt
  [ $? = 1 ] && [ "$(grep -c "cannot be read: Permission denied; --exclude 'unread/" err.txt)" = 2 ] && [ ! -e "$out/u.lzh" ] ||
    fail "unreadable inputs: $(cat err.txt)"
  chmod 755 unread/sub; rm -rf "$out"
fi

# -o - writes the archive to standard output.
"$tool" pack -o - ok >stdout.lzh 2>/dev/null && "$tool" test stdout.lzh >/dev/null 2>&1 ||
  fail "-o - did not write a sound archive to standard output"
# The symbolic link of a plain archive comes back as a link from lhasa.
if command -v lhasa >/dev/null; then
  "$tool" pack -o links.lzh --format=lzh links/d/f.txt links/d/link 2>/dev/null
  mkdir -p xl && (cd xl && lhasa xq ../links.lzh)
  [ "$(readlink xl/links/d/link)" = f.txt ] || fail "lhasa did not restore the link: $(ls -l xl/links/d)"
fi
# Reproducible: SOURCE_DATE_EPOCH clamps later times, --mtime sets them all;
# the same tree touched at another time packs to the same bytes.
touch -d @2000000000 ok/a.txt
SOURCE_DATE_EPOCH=1700000000 "$tool" pack -o r1.exe "${S[@]}" ok
touch -d @2100000000 ok/a.txt ok
SOURCE_DATE_EPOCH=1700000000 "$tool" pack -o r2.exe "${S[@]}" ok
cmp -s r1.exe r2.exe || fail "SOURCE_DATE_EPOCH: the packages differ"
"$tool" list r1.exe | grep -q '2023-11-14T22:13:20Z ok/a.txt' || fail "SOURCE_DATE_EPOCH did not clamp: $("$tool" list r1.exe)"
"$tool" pack -o m.lzh --mtime=@86400 ok && "$tool" list m.lzh | grep -q '1970-01-02T00:00:00Z ok/a.txt' ||
  fail "--mtime=@86400 did not set the time"
TZ=UTC "$tool" pack -o m.lzh --mtime=2024-01-01 ok && "$tool" list m.lzh | grep -q '2024-01-01T00:00:00Z ok/a.txt' ||
  fail "--mtime=2024-01-01 did not set the time"
"$tool" pack -o m.lzh --mtime='2024-01-01T12:00:30Z' ok && "$tool" list m.lzh | grep -q '2024-01-01T12:00:30Z ok/a.txt' ||
  fail "--mtime=2024-01-01T12:00:30Z did not set the time"
# The first and the last second an archive holds are taken (the seconds
# beside them are refused above).
for t in @4294967295=2106-02-07T06:28:15Z 2106-02-07T06:28:15Z=2106-02-07T06:28:15Z 1970-01-01T00:00:00Z=1970-01-01T00:00:00Z; do
  "$tool" pack -o m.lzh --mtime="${t%%=*}" ok && "$tool" list m.lzh | grep -q "${t#*=} ok/a.txt" ||
    fail "--mtime=${t%%=*} did not set ${t#*=}"
done
# On a terminal a progress line counts files and bytes; elsewhere nothing.
if command -v script >/dev/null; then
  script -qc "$tool pack -o tty.lzh ok" /dev/null >tty.txt 2>&1
  grep -q '/3 files, .* MB/s' tty.txt || fail "no progress line on a terminal: $(cat -v tty.txt)"
  "$tool" pack -o notty.lzh ok 2>notty.txt; [ ! -s notty.txt ] || fail "output off a terminal: $(cat notty.txt)"
fi
# A signal removes the temporary output: 144 MiB of random data take long
# enough to be interrupted (stored, since they do not compress).
head -c 150000000 /dev/urandom >slow.bin
for sig in INT TERM; do
  "$tool" pack -o slow.lzh slow.bin & pid=$!
  for _ in $(seq 50); do ls slow.lzh.partial-* >/dev/null 2>&1 && break; sleep 0.05; done
  kill -$sig $pid; wait $pid; status=$?
  want=$([ $sig = INT ] && echo 130 || echo 143)
  [ $status = "$want" ] || fail "SIG$sig: exit $status, not $want"
  ! ls slow.lzh* >/dev/null 2>&1 || fail "SIG$sig left $(ls slow.lzh*)"
done
rm -f slow.bin

[ $failures -eq 0 ] || { echo "41-pack-checks: $failures failures"; exit 1; }
echo "41-pack-checks: every case as expected"

#!/usr/bin/env bash
# Builds every fuzz target under tests/fuzz/ with libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer against the core, and runs each for
# VEMO_FUZZ_SECONDS (default 60) seconds, seeded with the fixtures (and
# tests/fuzz/corpus/<target>/ when present). Any finding fails the script.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
seconds=${VEMO_FUZZ_SECONDS:-60}

command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed"; exit 77; }
targets=(tests/fuzz/*.cpp)
[ -e "${targets[0]}" ] || { echo "fuzz: no fuzz targets"; exit 77; }

out=$root/build/fuzz
mkdir -p "$out/core"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root")
# The core's objects serve every target (fuzzer-no-link: no second main).
core_flags=(-std=c++17 -O1 -g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -I"$root")
rm -f "$out"/core/*.o
compile() {  # source
  clang++ "${core_flags[@]}" -c "$1" -o "$out/core/$(echo "$1" | tr / _).o" >"$out/core/$(echo "$1" | tr / _).log" 2>&1
}
running=0
for src in extract/*.cpp decode/*.cpp platform/posix.cpp; do
  compile "$src" &
  running=$((running + 1))
  if [ $running -ge 2 ]; then wait -n; running=$((running - 1)); fi
done
wait
for src in extract/*.cpp decode/*.cpp platform/posix.cpp; do
  base=$out/core/$(echo "$src" | tr / _)
  if [ ! -f "$base.o" ]; then
    cat "$base.log"
    echo "fuzz: building $src failed"
    exit 1
  fi
done

names=()
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  if ! clang++ "${flags[@]}" "$src" "$out"/core/*.o -o "$out/$name" >"$out/$name.log" 2>&1; then
    cat "$out/$name.log"
    echo "fuzz: building $name failed"
    exit 1
  fi
  names+=("$name")
done

scratch=$(mktemp -d /tmp/vemofuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Seeds: every fixture archive up to 64 KiB; packages give their payload.
seeds=$scratch/seeds
mkdir -p "$seeds"
i=0
while IFS= read -r -d '' f; do
  i=$((i + 1))
  if [ "$(head -c 2 "$f" | tr -d '\0')" = MZ ]; then
    tail -c +23041 "$f" | head -c 65536 > "$seeds/$i"
  else
    head -c 65536 "$f" > "$seeds/$i"
  fi
done < <(find tests/fixtures -type f \( -name '*.lzh' -o -name '*.lha' -o -name '*.bin' \) -print0 | sort -z)

# One run per target, two at a time (the machine's two cores).
fuzz() {  # name
  local name=$1 work=$scratch/$1
  mkdir -p "$work/corpus"
  local dirs=("$work/corpus" "$seeds")
  [ -d "tests/fuzz/corpus/$name" ] && dirs+=("$root/tests/fuzz/corpus/$name")
  # The target runs in its scratch folder; findings (crash-*, leak-*,
  # timeout-*, oom-*) land there.
  (cd "$work" && "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
     -artifact_prefix="$work/" "${dirs[@]}" >"$work/log" 2>&1)
  echo $? > "$work/status"
}
running=0
for name in "${names[@]}"; do
  echo "fuzz: $name for ${seconds}s"
  fuzz "$name" &
  running=$((running + 1))
  if [ $running -ge 2 ]; then wait -n; running=$((running - 1)); fi
done
wait

status=0
for name in "${names[@]}"; do
  work=$scratch/$name
  if [ "$(cat "$work/status" 2>/dev/null)" = 0 ]; then
    echo "fuzz: $name: $(grep -E '^#[0-9]+' "$work/log" | tail -n 1)"
  else
    tail -n 40 "$work/log"
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -f "$a" ] && { echo "fuzz: finding $(basename "$a"):"; xxd "$a" | head -n 20; }
    done
    echo "fuzz: $name found a problem"
    status=1
  fi
done
exit $status

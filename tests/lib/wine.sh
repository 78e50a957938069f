# Sourced by test scripts: a throw-away win32 prefix of 32-bit Wine under
# Xvfb, in which the product (build/win32/vemosfx.exe, an i686 program) and
# the i686 test helpers run.
# wine_up starts one (or reuses the one a caller already started, whose
# variables are exported); wine_down ends what wine_up started itself.
# After wine_up: $WINE, $WINESERVER, $WINE_ROOT, $WINEPREFIX, $DISPLAY; the
# prefix's C:\ is $WINEPREFIX/drive_c.

WINE=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
_wine_owner=0
_wine_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Why 32-bit Wine cannot run the product here; nothing when it can. It needs
# the i386 packages (scripts/setup installs them) and a kernel that runs
# 32-bit programs: some virtual machines have IA-32 emulation switched off,
# and every 32-bit program, Wine's loader included, then fails to start.
wine_missing() {
  if [ ! -x "$WINE" ] || [ ! -x "$WINESERVER" ]; then
    echo "32-bit Wine is not installed (scripts/setup installs it)"
  elif ! "$WINE" --version >/dev/null 2>&1; then
    echo "this machine cannot run 32-bit programs (its kernel has IA-32 emulation off), so 32-bit Wine cannot start"
  fi
}

# True when 32-bit Wine is installed and can run here.
wine_installed() { [ -z "$(wine_missing)" ]; }

wine_up() {
  if [ -n "${VEMO_WINE_READY:-}" ] && [ -d "${WINEPREFIX:-/nonexistent}" ]; then
    return 0
  fi
  WINE_ROOT=$(mktemp -d /tmp/vemowine.XXXXXX)
  export WINE_ROOT
  export HOME=$WINE_ROOT/home WINEPREFIX=$WINE_ROOT/pfx WINEDEBUG=-all LC_ALL=ja_JP.UTF-8 TZ=JST-9
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" WINEARCH=win32
  mkdir -p "$HOME" "$WINEPREFIX"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$WINE_ROOT/display" >/dev/null 2>&1 &
  echo $! > "$WINE_ROOT/xvfb.pid"
  local i=0
  while [ ! -s "$WINE_ROOT/display" ]; do
    sleep 0.05; i=$((i + 1))
    [ $i -lt 400 ] || { echo "wine_up: Xvfb did not start" >&2; return 1; }
  done
  export DISPLAY=:$(cat "$WINE_ROOT/display")
  "$WINESERVER" -p
  timeout 120 "$WINE" wineboot -i >/dev/null 2>&1
  # The caption buttons are drawn in Marlett, which this Wine does not find
  # in its own font folder; without it they show as letters.
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"ＭＳ Ｐゴシック"="IPAPGothic"\r\n' \
    | iconv -f UTF-8 -t UTF-16 > "$WINE_ROOT/setup.reg"
  timeout 60 "$WINE" regedit /S "$WINE_ROOT/setup.reg" >/dev/null 2>&1
  # Wine sometimes holds up the first window of a fresh prefix for about
  # 10 s; one small windowed program takes that stall here, so that the
  # tests' deadlines measure the product.
  local warm=$_wine_lib/../../build/win32/driver.exe
  if [ -f "$warm" ]; then
    local t0=${EPOCHREALTIME/./}
    timeout 60 "$WINE" "$warm" warm-up >/dev/null 2>&1 </dev/null
    echo "wine_up: win32 prefix ready; the first window took $(( (${EPOCHREALTIME/./} - t0) / 1000 )) ms"
  fi
  export VEMO_WINE_READY=1
  _wine_owner=1
}

# The start every Wine test shares: skipped when 32-bit Wine is missing, the
# prefix up, then $scratch (a folder under /tmp) and $c (a folder on C:, of
# the name given), both removed with the prefix when the script exits.
wine_test_begin() {  # name folder
  local why
  why=$(wine_missing)
  [ -z "$why" ] || { echo "$1: skipped: $why"; exit 77; }
  wine_up || { echo "$1: Wine did not start"; exit 1; }
  scratch=$(mktemp -d "/tmp/vemo-$1.XXXXXX")
  c=$WINEPREFIX/drive_c/$2
  mkdir -p "$c"
  trap 'rm -rf "$scratch" "$c"; wine_down' EXIT
}

wine_down() {
  [ "$_wine_owner" = 1 ] || return 0
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -f "$WINE_ROOT/xvfb.pid" ] && kill "$(cat "$WINE_ROOT/xvfb.pid")" 2>/dev/null || true
  rm -rf "$WINE_ROOT"
  unset VEMO_WINE_READY
  _wine_owner=0
}

# Runs a Windows program with a time limit; its exit status is returned.
wine_run() {
  local limit=$1; shift
  timeout "$limit" "$WINE" "$@"
}

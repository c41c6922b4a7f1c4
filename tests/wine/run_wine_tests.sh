#!/usr/bin/env bash
# Runs the Windows build's test program under Wine against simulated phones:
#   run_wine_tests.sh PHONE_SIM WINDOWS_BIN_DIR [test program options]
# WINDOWS_BIN_DIR holds kestrel-oxbind-win32-test.exe and kestrel-oxbind.dll (the windows
# preset's build/windows/bin), and kestrel-phone-proxy-win32-test.exe with
# kestrel-phone-proxy.dll and kestrel-phone-host.exe. In a temporary folder: a fresh Wine
# prefix, three simulators whose pseudo-terminals are linked into the prefix as COM ports (COM7
# answers, COM8 never answers, COM9 answers late and is killed when the program asks), the
# program, a look at COM7's state file from this side, then the same tests through the proxy
# (the library held by the host process; the killed simulator's test left out, its phone being
# gone) with the proxy's own. Then the simulators and the prefix's wineserver are ended and
# the folder removed, whatever happened.
#
# Without a Windows build (or Wine, or the simulator) the test is skipped (exit code 77)
# with the reason on standard output, except where CI or KESTREL_WINE_REQUIRED=1 is set:
# there it fails.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: run_wine_tests.sh PHONE_SIM WINDOWS_BIN_DIR [test program options]" >&2
  exit 2
fi
sim=$1
bin=$2
shift 2
wine=${KESTREL_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
exe=$bin/kestrel-oxbind-win32-test.exe
proxy_exe=$bin/kestrel-phone-proxy-win32-test.exe

missing() {
  echo "oxbind_wine_test: $1"
  if [ -n "${CI:-}" ] || [ "${KESTREL_WINE_REQUIRED:-0}" = 1 ]; then
    echo "oxbind_wine_test: FAILED: required here (CI or KESTREL_WINE_REQUIRED=1)"
    exit 1
  fi
  echo "oxbind_wine_test: skipped"
  exit 77
}
[ -x "$wine" ] || missing "no Wine loader at $wine (Debian package wine64)"
[ -x "$wineserver" ] || missing "no wineserver beside $wine"
if [ ! -f "$exe" ] || [ ! -f "$bin/kestrel-oxbind.dll" ] || [ ! -f "$proxy_exe" ] ||
  [ ! -f "$bin/kestrel-phone-proxy.dll" ] || [ ! -f "$bin/kestrel-phone-host.exe" ]; then
  missing "no Windows build in $bin (cmake --preset windows && cmake --build --preset windows)"
fi
[ -x "$sim" ] || missing "no phone simulator at $sim"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
t0=$(now_ms)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-wine.XXXXXX") || exit 1
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  WINEPREFIX=$tmp/prefix "$wineserver" -k 2>/dev/null
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A prefix of its own, quiet and without a display: no Mono or Gecko installers, no desktop
# menu entries, nothing written outside the folder (HOME, TMPDIR).
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all HOME=$tmp TMPDIR=$tmp
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Making the prefix takes seconds; the simulators start meanwhile.
"$wine" wineboot -i >"$tmp/wineboot.log" 2>&1 &
boot=$!

# start_sim COM [fault options]: starts a simulator and waits for its ready line; sets
# sim_pid and sim_device.
start_sim() {
  local com=$1
  shift
  "$sim" --ports "$tmp/ports" --com "$com" --state "$tmp/phone$com.json" \
    --log "$tmp/phone$com.log" --exit-with-parent "$@" >"$tmp/sim$com.out" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  disown "$sim_pid"  # one is killed on purpose: no job report of it
  local line=""
  for _ in $(seq 200); do
    line=$(grep -m1 "^ready COM$com " "$tmp/sim$com.out" 2>/dev/null) && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.025
  done
  if [ -z "$line" ]; then
    echo "oxbind_wine_test: the simulator on COM$com did not start:"
    cat "$tmp/sim$com.out"
    exit 1
  fi
  sim_device=${line##* }
}

declare -A devices
start_sim 7
devices[7]=$sim_device
start_sim 8 --no-answer
devices[8]=$sim_device
start_sim 9 --delay-ms 5000
devices[9]=$sim_device
doomed=$sim_pid

if ! wait "$boot"; then
  echo "oxbind_wine_test: wineboot failed:"
  cat "$tmp/wineboot.log"
  exit 1
fi
t_boot=$(now_ms)
# Wine opens \\.\COMn through the prefix's dosdevices/comN link. The same ports in the
# prefix's key HKLM\Software\Wine\Ports make them the system's serial ports (the
# SERIALCOMM list, by which the library finds ports for channel kind 3 and the mode process)
# once Wine starts again.
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for com in "${!devices[@]}"; do printf '"COM%s"="%s"\n' "$com" "${devices[$com]}"; done
} >"$tmp/ports.reg"
if ! "$wine" reg import "$tmp/ports.reg" >"$tmp/reg.log" 2>&1; then
  echo "oxbind_wine_test: the ports could not be entered in the prefix's registry:"
  cat "$tmp/reg.log"
  exit 1
fi
"$wineserver" -k
"$wineserver" -w
# The server that the program's Wine would start keeps that process's output and writes a
# dump of its objects there when it is ended: started here, it writes to a file instead. Should
# this script be killed before its clean-up, the server ends 20 s after its last client.
"$wineserver" -p20 >"$tmp/wineserver.log" 2>&1
for com in "${!devices[@]}"; do
  ln -sfn "${devices[$com]}" "$WINEPREFIX/dosdevices/com$com"
done
t_prefix=$(now_ms)

# The program asks for the kill by making the file "kill" in the control folder, which it
# sees as Z:\...\control.
mkdir -p "$tmp/control"
(
  while [ ! -e "$tmp/control/kill" ]; do sleep 0.02; done
  kill -KILL "$doomed"
) &
pids+=($!)

# The station folder (where the mode process keeps its marker) is this folder too.
windows_tmp="Z:${tmp//\//\\}"
KESTREL_WINE_PHONE_COM=7 KESTREL_WINE_SILENT_COM=8 KESTREL_WINE_DOOMED_COM=9 \
  KESTREL_WINE_CONTROL="$windows_tmp\\control" KESTREL_STATION_DIR="$windows_tmp" \
  timeout 150 "$wine" "$exe" --gtest_brief=1 "$@"
rc=$?
t_run=$(now_ms)

# The identities written through the DLL are in the phone's state, as seen from Linux.
if [ $rc -eq 0 ] && [ $# -eq 0 ]; then
  for want in '"imei1": "490154203237518"' '"bt": "0011223344BB"' '"wifi": "A0B1C2D3E4F6"' \
    '"sn2": "SN2BBBBB"' '"boot_mode": 22'; do
    if ! grep -qF "$want" "$tmp/phone7.json"; then
      echo "oxbind_wine_test: COM7's state file lacks $want:"
      cat "$tmp/phone7.json"
      rc=1
    fi
  done
fi

# The same through the proxy and its host process.
if [ $rc -eq 0 ] && [ $# -eq 0 ]; then
  rm -f "$tmp/control/kill"
  KESTREL_WINE_PHONE_COM=7 KESTREL_WINE_SILENT_COM=8 KESTREL_WINE_DOOMED_COM=9 \
    KESTREL_WINE_CONTROL="$windows_tmp\\control" KESTREL_STATION_DIR="$windows_tmp" \
    timeout 150 "$wine" "$proxy_exe" --gtest_brief=1 "--gtest_filter=-*SimulatorKilledMidCall"
  rc=$?
fi
t_proxy=$(now_ms)
echo "oxbind_wine_test: prefix and simulators $((t_boot - t0)) ms, ports registered" \
  "$((t_prefix - t_boot)) ms, test program $((t_run - t_prefix)) ms, through the proxy" \
  "$((t_proxy - t_run)) ms"
exit $rc

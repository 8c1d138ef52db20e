#!/usr/bin/env bash
# Measures zarta-trace against mtr and traceroute on one simulated path, in one run: wall time
# to a complete report, CPU seconds, peak memory, and how far each tool's per-hop average lies
# from the delays the simulator applied; then the CPU that 1 and 50 quiet traces cost over a
# minute. Writes bench/RESULTS.md and bench/results.png. Needs root (namespaces, TUN).
set -u
cd "$(dirname "$0")/.."
ZARTA=$PWD/build/native/zarta-trace
ZT_SIM=$PWD/build/native/tests/integration/zarta_path_sim
PATH_FILE=$PWD/bench/path.path
. tests/integration/lib.sh
zt_require tun mtr traceroute /usr/bin/time
[ -x "$ZARTA" ] && [ -x "$ZT_SIM" ] || { echo "bench: build first (make build-native)"; exit 1; }
if ! command -v gnuplot >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null ||
    { echo "bench: cannot install gnuplot-nox for the chart"; exit 1; }
fi

out=$(mktemp -d)
target=$(zt_target "$PATH_FILE")
"$ZT_SIM" info "$PATH_FILE" >"$out/path.info"

# One tool on a fresh copy of the path, so that each meets the same answers and losses.
measure() {
  local tool=$1
  shift
  zt_ns "$tool"
  zt_sim "$tool" "$PATH_FILE" || exit 1
  echo "bench: $tool"
  zt_exec "$tool" /usr/bin/time -v -o "$out/$tool.time" "$@" >"$out/$tool.txt"
  zt_sim_stop
}
measure zarta "$ZARTA" --timeout 60 "$target"
measure mtr mtr --report -n -c 10 "$target"
measure traceroute traceroute -I -n "$target"

# Quiet traces: zarta-trace ends as soon as its traces are quiet and their names known, so a
# name server that never answers (its queries go into the simulator, which drops them) keeps
# the process, and its quiet traces, open for the minute measured.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
quiet() {
  local name=$1 count=$2
  zt_ns "$name"
  printf 'nameserver 192.0.2.53\noptions timeout:30 attempts:5\n' >"/etc/netns/$ZT_ID-$name/resolv.conf"
  zt_sim "$name" "$PATH_FILE" --per-trace || exit 1
  zt_spawn "$name" "$ZARTA" --timeout 80 $(printf "$target %.0s" $(seq "$count")) >"$out/$name.txt"
  eval "${name}_pid=$ZT_LAST"
}
echo "bench: 1 and 50 quiet traces, one minute"
quiet quiet1 1
quiet quiet50 50
sleep 15
start1=$(cpu_ticks "$quiet1_pid") start50=$(cpu_ticks "$quiet50_pid")
sleep 60
end1=$(cpu_ticks "$quiet1_pid") end50=$(cpu_ticks "$quiet50_pid")
wait "$quiet1_pid" "$quiet50_pid"
ticks=$(getconf CLK_TCK)
echo "quiet1 $(((end1 - start1))) $ticks" >"$out/quiet.cpu"
echo "quiet50 $(((end50 - start50))) $ticks" >>"$out/quiet.cpu"

python3 bench/analyze.py "$out" bench
(cd bench && gnuplot "$out/chart.gp") || exit 1
rm -rf "$out"
echo "bench: wrote bench/RESULTS.md and bench/results.png"

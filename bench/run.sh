#!/usr/bin/env bash
# Measures zarta-trace against mtr and traceroute, in one run: on one simulated path, wall time
# to a complete report, CPU seconds, peak memory, and how far each tool's per-hop average lies
# from the delays the simulator applied; on the kernel path of the integration tests, whose
# round trips are far below 1 ms, how far each lies from the round trip ping measures; then the
# CPU of busy traces (beside mtr's, in each family, 1 to 50 of them, under a ping flood) and the
# CPU that 1 and 50 quiet traces cost on the kernel path. Writes bench/RESULTS.md and
# bench/results.png. Needs root (namespaces, TUN, iptables).
set -u
cd "$(dirname "$0")/.."
ZARTA=${ZARTA:-$PWD/build/native/zarta-trace} # another build of it may be measured instead
ZT_SIM=${ZT_SIM:-$PWD/build/native/bench/zarta_path_sim}
PATH_FILE=$PWD/bench/path.path
. tests/integration/lib.sh
zt_require iptables mtr traceroute ping /usr/bin/time
[ -c /dev/net/tun ] || zt_skip "no /dev/net/tun for the path simulator"
[ -x "$ZARTA" ] && [ -x "$ZT_SIM" ] || { echo "bench: build first (make build-native)"; exit 1; }
if ! command -v gnuplot >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null ||
    { echo "bench: cannot install gnuplot-nox for the chart"; exit 1; }
fi

# zt_sim NAME PATH: the path simulator on a TUN device in the namespace, which
# becomes the path's client: its address on the device, the documentation ranges routed into the
# simulator, the path's names in its hosts file. ZT_SIM_PID is the simulator's.
zt_sim() {
  local ns="$ZT_ID-$1" log
  log=$(mktemp)
  ip netns exec "$ns" chrt -f 50 "$ZT_SIM" serve "$2" zsim0 >"$log" 2>&1 &
  ZT_SIM_PID=$!
  for _ in $(seq 100); do grep -q '^ready' "$log" && break || sleep 0.05; done
  grep -q '^ready' "$log" || { cat "$log"; return 1; }
  # The answers come from addresses that the kernel would not route back out of the device.
  zt_exec "$1" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 \
    net.ipv6.conf.all.disable_ipv6=1
  ip -n "$ns" addr add "$("$ZT_SIM" info "$2" | awk '$1 == "client" { print $2 }')/32" dev zsim0
  ip -n "$ns" link set zsim0 up
  zt_exec "$1" sysctl -qw net.ipv4.conf.zsim0.rp_filter=0
  for range in 192.0.2.0/24 198.51.100.0/24 203.0.113.0/24; do ip -n "$ns" route add "$range" dev zsim0; done
  "$ZT_SIM" info "$2" | awk '$1 == "host" { print $2, $3 }' >>"/etc/netns/$ns/hosts"
}
# Stops the simulator; its status is not 0 when it built a datagram the kernel would drop.
zt_sim_stop() { kill "$ZT_SIM_PID" && wait "$ZT_SIM_PID"; }

out=$(mktemp -d)
# The machine is shared: the load average says how busy it was.
load() { echo "$1 $(cut -d' ' -f1-3 /proc/loadavg)" >>"$out/load"; }
load start
target=$("$ZT_SIM" info "$PATH_FILE" | awk '$1 == "target" { print $2 }')
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
measure mtr mtr --report -n -c 10 -i 0.2 "$target"
measure traceroute traceroute -I -n "$target"

# The sub-millisecond path. The true round trip to each hop is ping's average to the hop's own
# address (20 echoes, timed by the kernel's receive stamps; every hop answers ping, even r2),
# taken after the tools so that they meet r3's losses exactly as the integration test does.
echo "bench: kernel path"
zt_kernel_path
zt_exec client "$ZARTA" --timeout 30 203.0.113.9 >"$out/kernel-zarta.txt"
zt_exec client mtr --report -n -c 10 203.0.113.9 >"$out/kernel-mtr.txt"
zt_exec client traceroute -I -n 203.0.113.9 >"$out/kernel-traceroute.txt"
hop=0
for address in 198.51.100.1 198.51.100.10 198.51.100.18 203.0.113.9; do
  hop=$((hop + 1))
  zt_exec client ping -n -q -c 20 -i 0.01 -W 1 "$address" | awk -F/ -v hop=$hop '/^rtt/ { print hop, $5 }'
done >"$out/kernel.true"

# Busy traces, on the kernel path: CPU per report with r1 ignoring pings to itself (it still sends time-exceeded), so
# that each round waits out its time-out, beside mtr; then the kernel path as it is, each family's time to a report,
# and N traces against N times one, the last fifty under a foreign flood of 1000 pings a second at the client.
# NAME COMMAND...: wall and CPU seconds (the kernel's own count, finer than /usr/bin/time prints it, children
# included: mtr's mtr-packet) and voluntary context switches of one run in the client namespace.
busy() {
  zt_lossy && zt_exec client python3 -c '
import resource, subprocess, sys, time
start = time.monotonic()
with open(sys.argv[1], "w") as out: subprocess.run(sys.argv[3:], stdout=out)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(sys.argv[2], f"{time.monotonic() - start:.3f} {r.ru_utime + r.ru_stime:.4f} {r.ru_nvcsw}")' \
    "$out/busy-$1.txt" "$1" "${@:2}" >>"$out/busy"
}
echo "bench: busy traces"
zt_exec r1 iptables -A INPUT -p icmp --icmp-type echo-request -j DROP
busy ignoring-zarta "$ZARTA" --timeout 60 -n 203.0.113.9
busy ignoring-mtr mtr --report -n -c 10 -i 0.2 203.0.113.9
zt_exec r1 iptables -F INPUT
busy ipv4 "$ZARTA" --timeout 60 -n target.example
busy ipv6 "$ZARTA" --timeout 60 -n target6.example
for n in 1 10 50; do busy "traces$n" "$ZARTA" --timeout 60 -n -c 30 $(printf '203.0.113.9 %.0s' $(seq $n)); done
zt_exec r1 ping -q -i 0.001 -w 20 198.51.100.2 >/dev/null &
flood=$!
busy traces50-flood "$ZARTA" --timeout 60 -n -c 30 $(printf '203.0.113.9 %.0s' $(seq 50))
kill $flood 2>/dev/null; wait $flood 2>/dev/null

# Quiet traces, on the kernel path: zarta-trace ends once its traces are quiet and their hops'
# names are in (or 2 s later), so one more trace, whose host a name server that never answers
# (192.0.2.53: its queries reach the target, which drops them) keeps being looked up, keeps the
# process, and its quiet traces, open while measured: QUIET_SECONDS from 10 s after the start, when
# even the silent hop has had its four probes. CPU ticks (user + system) of the whole process, then
# of its main thread alone (the console's loop), from the process's own counters.
QUIET_SECONDS=30
cpu_ticks() { echo $(awk '{ print $14 + $15 }' "/proc/$1/stat" "/proc/$1/task/$1/stat"); }
# Not ended (an ended child stays a zombie until waited for, so its pid alone proves nothing).
running() { local state; state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]; }
printf 'nameserver 192.0.2.53\noptions timeout:30 attempts:5\n' >"/etc/netns/$ZT_ID-client/resolv.conf"
echo "127.0.0.1 localhost" >"/etc/netns/$ZT_ID-client/hosts"
quiet() {
  # Not through zt_exec: $! must be the process itself, not a subshell's.
  ip netns exec "$ZT_ID-client" "$ZARTA" --timeout $((QUIET_SECONDS + 20)) $(printf '203.0.113.9 %.0s' $(seq "$2")) \
    held.example >"$out/$1.txt" &
  eval "${1}_pid=$!"
}
echo "bench: 1 and 49 quiet traces, and a host looked up, $QUIET_SECONDS s"
quiet quiet1 1
quiet quiet50 49
sleep 10
load quiet
start1=$(cpu_ticks "$quiet1_pid") start50=$(cpu_ticks "$quiet50_pid")
sleep $QUIET_SECONDS
running "$quiet1_pid" && running "$quiet50_pid" || { echo "bench: a quiet run ended while measured"; exit 1; }
end1=$(cpu_ticks "$quiet1_pid") end50=$(cpu_ticks "$quiet50_pid")
wait "$quiet1_pid" "$quiet50_pid"
ticks=$(getconf CLK_TCK)
echo "quiet1 $start1 $end1 $ticks $QUIET_SECONDS" >"$out/quiet.cpu"
echo "quiet50 $start50 $end50 $ticks $QUIET_SECONDS" >>"$out/quiet.cpu"

load end
python3 bench/analyze.py "$out" bench
(cd bench && gnuplot "$out/chart.gp") || exit 1
rm -rf "$out"
echo "bench: wrote bench/RESULTS.md and bench/results.png"

# Shared by the integration tests and the benchmark: network namespaces that exist only for one
# run, with documentation-range addresses, and everything they leave behind removed on exit,
# whatever the outcome. Source it; it sets its own EXIT trap.
#
# Every namespace gets its own resolv.conf naming 127.0.0.1, where nothing listens: the reverse
# lookups of zarta-trace then fail at once instead of leaving the namespace for a name server.

ZT_SKIP=77
ZT_ID="zt$$"
ZT_NAMESPACES=()
ZT_PIDS=()

zt_skip() {
  echo "skipped: $*"
  exit $ZT_SKIP
}

zt_cleanup() {
  local pid ns
  for pid in "${ZT_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${ZT_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in "${ZT_NAMESPACES[@]}"; do
    # A process left inside would keep the namespace alive after its name is gone.
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
  ZT_PIDS=()
  ZT_NAMESPACES=()
}
trap zt_cleanup EXIT
trap 'exit 130' INT TERM

# Skips the test unless namespaces (and, when asked, TUN devices and iptables) are at hand.
zt_require() {
  [ "$(id -u)" = 0 ] || zt_skip "needs root for network namespaces and raw sockets"
  command -v ip >/dev/null || zt_skip "ip (iproute2) is not installed"
  ip netns add "$ZT_ID-probe" 2>/dev/null || zt_skip "cannot create network namespaces here"
  ip netns del "$ZT_ID-probe"
  local need
  for need in "$@"; do
    case $need in
      tun) [ -c /dev/net/tun ] || zt_skip "no /dev/net/tun for the path simulator" ;;
      iptables) command -v iptables >/dev/null || zt_skip "iptables is not installed" ;;
      *) command -v "$need" >/dev/null || zt_skip "$need is not installed" ;;
    esac
  done
}

# zt_ns NAME: a namespace "$ZT_ID-NAME" with its loopback up; prints nothing.
zt_ns() {
  local ns="$ZT_ID-$1"
  ZT_NAMESPACES+=("$ns")
  ip netns add "$ns"
  mkdir -p "/etc/netns/$ns"
  echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
  echo "127.0.0.1 localhost" >"/etc/netns/$ns/hosts"
  ip -n "$ns" link set lo up
}

# zt_host NAME ADDRESS HOSTNAME: what the namespace's reverse lookups will find.
zt_host() { echo "$2 $3" >>"/etc/netns/$ZT_ID-$1/hosts"; }

# zt_spawn NAME COMMAND...: runs COMMAND in the background in the namespace; ZT_LAST is its pid,
# the command's own (ip netns exec becomes it), so that it can be measured and stopped.
zt_spawn() {
  local ns="$ZT_ID-$1"
  shift
  ip netns exec "$ns" "$@" &
  ZT_LAST=$!
  ZT_PIDS+=($!)
}

zt_exec() {
  local ns="$ZT_ID-$1"
  shift
  ip netns exec "$ns" "$@"
}

# zt_link A ADDRESS_A B ADDRESS_B PREFIX: a veth pair between two namespaces.
zt_link() {
  local a="$ZT_ID-$1" b="$ZT_ID-$3" ia="v$RANDOM$RANDOM" ib="v$RANDOM$RANDOM"
  ip link add "$ia" netns "$a" type veth peer name "$ib" netns "$b"
  ip -n "$a" addr add "$2/$5" dev "$ia"
  ip -n "$b" addr add "$4/$5" dev "$ib"
  ip -n "$a" link set "$ia" up
  ip -n "$b" link set "$ib" up
}

# A forwarding router whose time-exceeded messages are not rate-limited, so that runs one after
# the other over it all see every answer.
zt_router() {
  zt_exec "$1" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0
}

# zt_sim NAME SCENARIO [serve options]: the path simulator on a TUN device in the namespace,
# which becomes the scenario's client: its address on the device, the documentation ranges
# routed into the simulator. Sets ZT_SIM_LOG to the simulator's log.
zt_sim() {
  local name=$1 scenario=$2 ns="$ZT_ID-$1"
  shift 2
  local client
  client=$("$ZT_SIM" info "$scenario" | awk '$1 == "client" { print $2 }')
  ZT_SIM_LOG=$(mktemp)
  ip netns exec "$ns" chrt -f 50 "$ZT_SIM" serve "$@" "$scenario" zsim0 >"$ZT_SIM_LOG" 2>&1 &
  ZT_PIDS+=($!)
  local i
  for i in $(seq 100); do
    grep -q '^ready' "$ZT_SIM_LOG" && break
    sleep 0.05
  done
  grep -q '^ready' "$ZT_SIM_LOG" || { cat "$ZT_SIM_LOG"; return 1; }
  # The answers come from addresses that the kernel would not route back out of the device.
  zt_exec "$name" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
  zt_exec "$name" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip -n "$ns" addr add "$client/32" dev zsim0
  ip -n "$ns" link set zsim0 up
  zt_exec "$name" sysctl -qw net.ipv4.conf.zsim0.rp_filter=0
  local range
  for range in 192.0.2.0/24 198.51.100.0/24 203.0.113.0/24; do ip -n "$ns" route add "$range" dev zsim0; done
  "$ZT_SIM" info "$scenario" | while read -r kind address hostname; do
    [ "$kind" = host ] && zt_host "$name" "$address" "$hostname"
  done
  return 0
}

# Stops the most recently started simulator; returns its status (non-zero on bad checksums).
zt_sim_stop() {
  local last=$((${#ZT_PIDS[@]} - 1)) status
  kill "${ZT_PIDS[$last]}"
  wait "${ZT_PIDS[$last]}"
  status=$?
  unset "ZT_PIDS[$last]"
  ZT_PIDS=("${ZT_PIDS[@]}")
  return $status
}

zt_target() { "$ZT_SIM" info "$1" | awk '$1 == "target" { print $2 }'; }

zt_seconds() { date +%s.%N; }
zt_elapsed() { awk -v a="$1" -v b="$(zt_seconds)" 'BEGIN { printf "%.1f", b - a }'; }

# The kernel path: client - r1 - r2 - r3 - target over veth pairs, each router forwarding.
# r2 sends no time-exceeded (a silent router); r3 loses its 3rd, 6th and 9th echo reply, so
# that the loss it shows is exact. The client's hosts file names r1, r3 and the target.
zt_kernel_path() {
  local ns
  for ns in client r1 r2 r3 target; do zt_ns $ns; done
  zt_link client 198.51.100.2 r1 198.51.100.1 29
  zt_link r1 198.51.100.9 r2 198.51.100.10 29
  zt_link r2 198.51.100.17 r3 198.51.100.18 29
  zt_link r3 203.0.113.1 target 203.0.113.9 24
  for ns in r1 r2 r3; do zt_router $ns; done
  zt_exec client ip route add default via 198.51.100.1
  zt_exec r1 ip route add default via 198.51.100.10
  zt_exec r2 ip route add default via 198.51.100.18
  zt_exec r2 ip route add 198.51.100.0/29 via 198.51.100.9
  zt_exec r3 ip route add 198.51.100.0/24 via 198.51.100.17
  zt_exec target ip route add default via 203.0.113.1
  zt_exec r2 iptables -A OUTPUT -p icmp --icmp-type time-exceeded -j DROP
  zt_exec r3 iptables -A OUTPUT -p icmp --icmp-type echo-reply -m statistic --mode nth --every 3 --packet 2 -j DROP
  zt_host client 198.51.100.1 r1.example
  zt_host client 198.51.100.18 r3.example
  zt_host client 203.0.113.9 target.example
}

# What zarta-trace must report for the kernel path, traced as "target.example".
zt_kernel_report() {
  printf '%s\n' "target.example resolved to 203.0.113.9" \
    "Hop	Ping	Loss	Sent	IP	Address" \
    "1	0	0%	10	198.51.100.1	r1.example" \
    "2	?	0%	0		" \
    "3	0	30%	10	198.51.100.18	r3.example" \
    "4	0	0%	10	203.0.113.9	target.example"
}

# zt_as_user NAME COMMAND...: runs COMMAND in the namespace as an ordinary user (nobody), from a
# copy of the program that user may run whatever the permissions of the build tree.
zt_as_user() {
  local ns="$ZT_ID-$1" program=$2
  shift 2
  local copy
  copy=$(mktemp -d)
  chmod 755 "$copy"
  cp "$program" "$copy/"
  ip netns exec "$ns" setpriv --reuid=65534 --regid=65534 --clear-groups "$copy/$(basename "$program")" "$@"
  local status=$?
  rm -rf "$copy"
  return $status
}

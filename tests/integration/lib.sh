# Network namespaces for one run, with documentation-range addresses, removed on exit with every process inside,
# whatever the outcome. Source it; it sets its own EXIT trap.
ZT_ID="zt$$" ZT_NAMESPACES=() ZT_TMP=$(mktemp -d) && chmod 755 "$ZT_TMP"
zt_skip() { echo "skipped: $*" && exit 77; }
zt_cleanup() { # a process left inside would keep its namespace alive
  for ns in "${ZT_NAMESPACES[@]}"; do ip netns pids "$ns" | xargs -r kill -9; ip netns del "$ns"; done 2>/dev/null
  rm -rf "$ZT_TMP" "${ZT_NAMESPACES[@]/#//etc/netns/}"; }
trap zt_cleanup EXIT && trap 'exit 130' INT TERM # so that a signal, too, runs the EXIT trap
zt_require() { for need in "$@"; do command -v "$need" >/dev/null || zt_skip "$need is not installed"; done
  [ "$(id -u)" = 0 ] && ip netns add "$ZT_ID-probe" 2>/dev/null && ip netns del "$ZT_ID-probe" ||
    zt_skip "needs root and network namespaces (iproute2)"; }
# zt_ns NAME [HOSTS_LINE...]: namespace $ZT_ID-NAME, loopback up, the lines in its hosts file. Its name server is
# 127.0.0.1, where nothing listens: lookups fail at once, never leave the namespace.
zt_ns() { ZT_NAMESPACES+=("$ZT_ID-$1") && ip netns add "$ZT_ID-$1" && ip -n "$ZT_ID-$1" link set lo up &&
    zt_exec "$1" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
  mkdir -p "/etc/netns/$ZT_ID-$1" && echo "nameserver 127.0.0.1" >"/etc/netns/$ZT_ID-$1/resolv.conf"
  printf '%s\n' "127.0.0.1 localhost" "${@:2}" >"/etc/netns/$ZT_ID-$1/hosts"; }
zt_exec() { ip netns exec "$ZT_ID-$1" "${@:2}"; }
# The kernel path, in both families: client - r1 - r2 - r3 - target, routed both ways, no router rate-limiting its
# answers. r2 sends no time-exceeded (a silent router); r3 drops every third echo reply it sends (see zt_lossy).
zt_kernel_path() {
  zt_ns client "198.51.100.1 r1.example" "198.51.100.18 r3.example" "203.0.113.9 target.example both.example" \
    "2001:db8:1::1 r1.example" "2001:db8:3::2 r3.example" "2001:db8:4::9 target6.example both.example"
  zt_ns target && for ns in r1 r2 r3; do zt_ns $ns && zt_exec $ns sysctl -qw net.ipv4.ip_forward=1 \
    net.ipv4.icmp_ratelimit=0 net.ipv6.conf.all.forwarding=1 net.ipv6.icmp.ratelimit=0; done
  # Each link: namespaces A and B, A's and B's address, the prefix length, A's and B's IPv6 address (in a /64).
  set -- client r1 198.51.100.2 198.51.100.1 29 2001:db8:1::2 2001:db8:1::1 r1 r2 198.51.100.9 198.51.100.10 29 \
    2001:db8:2::1 2001:db8:2::2 r2 r3 198.51.100.17 198.51.100.18 29 2001:db8:3::1 2001:db8:3::2 \
    r3 target 203.0.113.1 203.0.113.9 24 2001:db8:4::1 2001:db8:4::9
  while (($#)); do ip link add "v$3" netns "$ZT_ID-$1" type veth peer name "v$4" netns "$ZT_ID-$2"
    for side in "$1 $3 $6" "$2 $4 $7"; do read -r ns a a6 <<<"$side" && ip -n "$ZT_ID-$ns" link set "v$a" up &&
      ip -n "$ZT_ID-$ns" addr add "$a/$5" dev "v$a" && ip -n "$ZT_ID-$ns" addr add "$a6/64" dev "v$a" nodad; done
    zt_exec "$1" ip route add default via "$4" && zt_exec "$2" ip route add 198.51.100.2 via "$3"
    zt_exec "$1" ip -6 route add default via "$7" && zt_exec "$2" ip -6 route add 2001:db8:1::2 via "$6"; shift 7
  done
  zt_drop r2 time-exceeded && zt_lossy
  # New IPv6 links answer their first neighbour solicitations late.
  zt_exec client ping -6 -c 1 -W 2 2001:db8:4::9 >/dev/null; }
# zt_drop NS TYPE [MATCH...]: NS, its own rules gone, sends none of its ICMP and ICMPv6 messages of TYPE that MATCH.
zt_drop() { local family tables icmp && for family in "iptables icmp" "ip6tables icmpv6"; do
  read -r tables icmp <<<"$family" && zt_exec "$1" $tables -F OUTPUT &&
    zt_exec "$1" $tables -A OUTPUT -p $icmp --$icmp-type "$2" "${@:3}" -j DROP; done; }
zt_lossy() { zt_drop r3 echo-reply -m statistic --mode nth --every 3 --packet 2; }
# A report of the ICMP helper under Wine as compared with zt_kernel_report: a Ping under 10 taken for 0, as Wine times
# each round trip when its own thread reads the answer, which a loaded machine can make late by a few milliseconds.
zt_wine_pings_as_0() { sed -E 's/^([0-9]+)\t[0-9]\t/\1\t0\t/'; }
# The same for zarta-trace, whose kernel stamps arrivals: one hop's 1 only (a late send); unstamped, all would read 1+.
zt_one_ping_1_as_0() { sed -E '0,/^([0-9]+)\t1\t/s//\1\t0\t/'; }
# What zarta-trace reports for the kernel path traced as "target.example", from a fresh zt_lossy.
zt_kernel_report() { printf '%b\n' "target.example resolved to 203.0.113.9" "Hop\tPing\tLoss\tSent\tIP\tAddress" \
  "1\t0\t0%\t10\t198.51.100.1\tr1.example" "2\t?\t0%\t0\t\t" "3\t0\t30%\t10\t198.51.100.18\tr3.example" \
  "4\t0\t0%\t10\t203.0.113.9\ttarget.example"; }

"""Turns one benchmark run (bench/run.sh) into bench/RESULTS.md and the chart's gnuplot script."""
import datetime
import os
import platform
import re
import subprocess
import sys

run, dest = sys.argv[1], sys.argv[2]
TOOLS = [("zarta", "zarta-trace"), ("mtr", "mtr --report -n -c 10 -i 0.2"), ("traceroute", "traceroute -I -n")]


def read(name):
    with open(os.path.join(run, name)) as f:
        return f.read()


delays = {}
for line in read("path.info").splitlines():
    kind, *rest = line.split()
    if kind == "delay":
        delays[int(rest[0])] = float(rest[1])
# The kernel path's true round trip per hop: ping's average, ms.
truth = {int(hop): float(rtt) for hop, rtt in (line.split() for line in read("kernel.true").splitlines())}


def averages(tool, text):
    """Per-hop average round-trip time, ms, of the hops that answered."""
    out = {}
    for line in text.splitlines():
        if tool == "zarta":
            fields = line.split("\t")
            if len(fields) == 6 and fields[0].isdigit() and fields[1] != "?":
                out[int(fields[0])] = float(fields[1])
        elif tool == "mtr":
            m = re.match(r"\s*(\d+)\.\|--\s+(\S+)\s+(\S+)%\s+(\d+)\s+(\S+)\s+(\S+)", line)
            if m and m.group(2) != "???":
                out[int(m.group(1))] = float(m.group(6))
        else:
            m = re.match(r"\s*(\d+)\s+(.*)", line)
            times = [float(t) for t in re.findall(r"([\d.]+) ms", m.group(2))] if m else []
            if times:
                out[int(m.group(1))] = sum(times) / len(times)
    return out


def usage(name):
    text = read(name)
    values = {l.strip().split(" (")[0].split(":")[0]: l.rsplit(": ", 1)[1] for l in text.splitlines() if ": " in l}
    get = values.__getitem__
    wall = get("Elapsed").split(":")
    seconds = sum(float(piece) * 60 ** i for i, piece in enumerate(reversed(wall)))
    return seconds, float(get("User time")) + float(get("System time")), int(
        get("Maximum resident set size")) / 1024


def mean_error(avg, reference):
    """Mean absolute difference from the reference over the hops measured, and their number."""
    errors = [abs(avg[h] - reference[h]) for h in avg if h in reference]
    return (sum(errors) / len(errors) if errors else float("nan")), len(errors)


rows, kernel = {}, {}
for tool, _ in TOOLS:
    mae, hops = mean_error(averages(tool, read(tool + ".txt")), delays)
    wall, cpu, mem = usage(tool + ".time")
    rows[tool] = dict(wall=wall, cpu=cpu, mem=mem, mae=mae, hops=hops)
    avg = averages(tool, read(f"kernel-{tool}.txt"))
    mae, hops = mean_error(avg, truth)
    kernel[tool] = dict(avg=avg, mae=mae, hops=hops)

# The previous figures: share of one core, 1 and 50 quiet traces, from the run named in the text.
BEFORE = {"quiet1": 0.0037, "quiet50": 0.0040}
BEFORE_RUN = (
    "the same measurement of the build before the console's loop waited for a change (2026-12-07 10:12 UTC, "
    "same machine), when it still woke every 10 ms")
quiet, main_thread, window = {}, {}, 0
for line in read("quiet.cpu").splitlines():
    name, *figures = line.split()
    start, start_main, end, end_main, TICKS, window = map(int, figures)
    quiet[name] = (end - start) / TICKS / window
    main_thread[name] = (end_main - start_main) / TICKS / window


def complete(name, count):
    """How many of the quiet run's traces had every answering hop at 10 probes; not the one held looking up."""
    reports = [r for r in read(name + ".txt").strip().split("\n\n") if not r.startswith("Looking up host")]
    done = 0
    for report in reports:
        hops = [l.split("\t") for l in report.splitlines() if re.match(r"\d+\t", l)]
        if hops and all(h[3] == "10" for h in hops if h[4]) and hops[-1][4]:
            done += 1
    return done, len(reports)


def version(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=5)
        return (result.stdout + result.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unknown"


cpu_model = "unknown"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu_model = line.split(":", 1)[1].strip()
            break
load = {}
for line in read("load").splitlines():
    when, *figures = line.split()
    load[when] = " ".join(figures)
debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else "?"
z, m, t = rows["zarta"], rows["mtr"], rows["traceroute"]
ratio = lambda a, b: f"{a / b:.2f}" if b else "n/a"

zk, mk, tk = kernel["zarta"], kernel["mtr"], kernel["traceroute"]
share = lambda fraction: f"{fraction * 100:.2f}%" if fraction is not None else "-"
shown = lambda value: f"{round(value, 3):g}"
kernel_hops = sorted(truth)
# What zarta-trace's error would be had it shown 1 on each hop it measured, as it did before.
as_before = sum(1 - truth[h] for h in zk["avg"]) / len(zk["avg"]) if zk["avg"] else float("nan")
q1, q50 = complete("quiet1", 1), complete("quiet50", 49)

lines = [
    "# Benchmark: zarta-trace, mtr and traceroute",
    "",
    f"Run {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M')} UTC on {cpu_model}, "
    f"{os.cpu_count()} cores, Debian {debian}, Linux {platform.release()}; {version(['mtr', '--version'])}, "
    f"{version(['traceroute', '--version'])}. The machine is shared; its load average (1, 5, 15 min) was "
    f"{load['start']} at the start, {load['quiet']} when the quiet window began, {load['end']} at the end.",
    "",
    "## Simulated 12-hop path",
    "",
    "The path (bench/path.path) is played by the TUN path simulator in a network namespace: 12 hops, delays",
    "rising from 1 to 60 ms, hop 4 silent (no time-exceeded), hop 6 withholding every fourth answer to any",
    "prober. Each tool meets a fresh copy of it; traceroute sends three probes per hop at once, mtr and",
    "zarta-trace ten per hop, in rounds. Mean error: mean absolute difference between the tool's per-hop",
    "average and the delay the simulator applied, over the hops the tool measured. zarta-trace shows whole",
    "milliseconds (the truncated mean), mtr tenths and traceroute thousandths. The delays are whole",
    "milliseconds, so truncation favours zarta-trace here: it cuts off the fraction of a millisecond that",
    "the kernel and the simulator add to each delay, which the others show. The next path shows the other",
    "side.",
    "",
    "| tool | wall time to report (s) | CPU (s) | peak memory (MiB) | mean error (ms) | hops measured |",
    "|---|---|---|---|---|---|",
]
for tool, label in TOOLS:
    r = rows[tool]
    lines.append(f"| `{label}` | {r['wall']:.2f} | {r['cpu']:.3f} | {r['mem']:.1f} | {r['mae']:.2f} | {r['hops']} |")
lines += [
    "",
    "## Ping error on a sub-millisecond path",
    "",
    "The kernel path of the integration tests (`zt_kernel_path` in tests/integration/lib.sh): the client,",
    "three forwarding routers over veth pairs (r2 sends no time-exceeded, r3 loses every third echo reply)",
    "and the target 203.0.113.9, each in its own namespace. The true round trip to a hop is the average that",
    "`ping -c 20 -i 0.01` measures from the client to the hop's own address, taken right after the three",
    "tools. Ping error: mean absolute difference between the tool's per-hop average, as the tool shows it,",
    "and that round trip, over the hops the tool measured (zarta-trace's whole milliseconds count as shown).",
    "",
    "| ms | " + " | ".join(f"hop {h}" for h in kernel_hops) + " | Ping error | hops measured |",
    "|---|" + "---|" * (len(kernel_hops) + 2),
    "| true round trip (ping) | " + " | ".join(f"{truth[h]:.3f}" for h in kernel_hops) + " | | |",
]
for tool, label in TOOLS:
    k = kernel[tool]
    cells = " | ".join(shown(k["avg"][h]) if h in k["avg"] else "-" for h in kernel_hops)
    lines.append(f"| `{label}` | {cells} | {k['mae']:.3f} | {k['hops']} |")
lines += [
    "",
    "zarta-trace now times each answer at its arrival (the kernel's receive stamp); on links this short it",
    f"used to show 1, which against this run's round trips would be a Ping error of {as_before:.3f} ms.",
    "",
    "## Ratios",
    "",
    "zarta-trace to each peer in this run (below 1: zarta-trace needs less, or errs less):",
    "",
    "| | wall time | CPU | peak memory | mean error, simulated path | Ping error, sub-millisecond path |",
    "|---|---|---|---|---|---|",
    f"| against mtr | {ratio(z['wall'], m['wall'])} | {ratio(z['cpu'], m['cpu'])} | {ratio(z['mem'], m['mem'])} "
    f"| {ratio(z['mae'], m['mae'])} | {ratio(zk['mae'], mk['mae'])} |",
    f"| against traceroute | {ratio(z['wall'], t['wall'])} | {ratio(z['cpu'], t['cpu'])} | "
    f"{ratio(z['mem'], t['mem'])} | {ratio(z['mae'], t['mae'])} | {ratio(zk['mae'], tk['mae'])} |",
]
if 0 in (m["cpu"], t["cpu"]):
    lines += ["", "n/a: the peer's CPU figure is 0, below the 10 ms that /usr/bin/time resolves."]
# Busy traces: wall and CPU seconds of each run, this one's and the build's before workers slept until something was
# due (BUSY_BEFORE_RUN).
busy = {name: (float(wall), float(cpu), int(switches))
        for name, wall, cpu, switches in (l.split() for l in read("busy").splitlines())}
BUSY_BEFORE = {"ignoring-zarta": (8.05, 0.195, 9020), "ignoring-mtr": (7.00, 0.067, 313), "ipv4": (4.02, 0.149, 4500),
               "ipv6": (4.01, 0.135, 4526), "traces1": (8.34, 0.244, 8459), "traces10": (11.50, 0.755, 76178),
               "traces50": (14.00, 3.228, 391199), "traces50-flood": (13.99, 6.313, 640181)}
BUSY_BEFORE_RUN = ("the same measurement of the build whose workers woke every millisecond and whose raw sockets took "
                   "every ICMP datagram (2026-12-07 18:22 UTC, same machine, load average 8 to 15)")


def busy_complete(name, rounds):
    """Reports whose every answering hop has all its pings, and reports."""
    reports = read(f"busy-{name}.txt").strip().split("\n\n")
    hops = [[l.split("\t") for l in r.splitlines() if re.match(r"\d+\t", l)] for r in reports]
    return sum(1 for h in hops if h and all(f[3] == str(rounds) for f in h if f[4])), len(reports)


def busy_row(label, name, count=1, rounds=10):
    wall, cpu, switches = busy[name]
    was = BUSY_BEFORE.get(name)
    done = busy_complete(name, rounds) if name != "ignoring-mtr" else None
    return (f"| {label} | {wall:.2f} | {cpu:.3f} | {cpu / count * 1000:.1f} | {switches} | "
            + (f"{was[0]:.2f} | {was[1]:.3f} | {was[2]} |" if was else "- | - | - |")
            + (f" {done[0]} of {done[1]} |" if done else " |"))


one = busy["traces1"][1]
lines += [
    "",
    "## Busy traces",
    "",
    "On the kernel path. A hop that ignores pings: r1 drops the echo requests addressed to itself (it still sends",
    "time-exceeded), so every round waits out its 800 ms time-out; zarta-trace against `mtr --report -n -c 10 -i 0.2`.",
    "Then the path as it is: each family's time to a ten-probe report, and N raw-socket traces of 30 pings in one",
    "process, the last fifty while another namespace pings the client 1000 times a second. CPU: user + system",
    "seconds of the process and its children, as the kernel counts them (getrusage); switches: voluntary context",
    f"switches. Before: {BUSY_BEFORE_RUN}.",
    "",
    "| run | wall (s) | CPU (s) | CPU per report (ms) | switches | wall before (s) | CPU before (s) | switches before "
    "| reports complete |",
    "|---|---|---|---|---|---|---|---|---|",
    busy_row("zarta-trace, hop ignoring pings", "ignoring-zarta"),
    busy_row("mtr -c 10 -i 0.2, hop ignoring pings", "ignoring-mtr"),
    busy_row("zarta-trace, IPv4 (target.example)", "ipv4"),
    busy_row("zarta-trace, IPv6 (target6.example)", "ipv6"),
] + [busy_row(f"{n} traces, -c 30", f"traces{n}", n, 30) for n in (1, 10, 50)] + [
    busy_row("50 traces, -c 30, ping flood 1000/s", "traces50-flood", 50, 30),
    "",
    f"CPU per report against mtr's, hop ignoring pings: "
    f"{ratio(busy['ignoring-zarta'][1], busy['ignoring-mtr'][1])}. N traces against N times one: "
    + ", ".join(f"{n}: {ratio(busy[f'traces{n}'][1], n * one)}" for n in (10, 50))
    + f"; fifty under the flood against fifty without: {ratio(busy['traces50-flood'][1], busy['traces50'][1])}.",
]
lines += [
    "",
    "## Quiet traces",
    "",
    "On the kernel path, once every trace is quiet (all probes done, no answer expected), beside one more trace",
    "whose host a name server that never answers keeps being looked up (which keeps the run open; its names",
    f"no longer do): CPU of the whole zarta-trace process over {window} s, from 10 s after the traces started,",
    "read from the process's own counters in /proc, and of it the main thread's (the console's loop); the rest",
    f"is the traces' workers and the resolver threads. The previous figures: {BEFORE_RUN}, with 50 quiet traces.",
    "",
    "| traces | share of one core | of it, the console's loop | previous | traces complete |",
    "|---|---|---|---|---|",
]
for name, count, done in (("quiet1", 1, q1), ("quiet50", 49, q50)):
    lines.append(f"| {count} | {share(quiet[name])} | {share(main_thread[name])} | {share(BEFORE[name])} | "
                 f"{done[0]} of {done[1]} |")
lines += [
    "",
    f"49 quiet traces together, and the host looked up: {share(quiet['quiet50'])} of one core, "
    f"{'within' if quiet['quiet50'] <= 0.005 else 'above'} the aim of at most 0.5%. The process's CPU is",
    f"counted in ticks of 1/{TICKS} s, so a share below {share(1 / TICKS / window)} reads as 0.",
    "",
    "![chart](results.png)",
    "",
    "Rerun: `make bench` (root; about five minutes). It rewrites this file and `results.png`.",
    "",
]
with open(os.path.join(dest, "RESULTS.md"), "w") as f:
    f.write("\n".join(lines))

with open(os.path.join(run, "tools.dat"), "w") as f:
    for tool, _ in TOOLS:
        r = rows[tool]
        f.write(f"{tool} {r['wall']:.3f} {r['cpu']:.4f} {r['mem']:.2f} {r['mae']:.3f} {kernel[tool]['mae']:.4f}\n")
with open(os.path.join(run, "quiet.dat"), "w") as f:
    for name, label in (("quiet1", "1"), ("quiet50", "49")):
        f.write(f'"{label}, before" {(BEFORE[name] or 0) * 100:.3f}\n"{label}, now" {quiet[name] * 100:.3f}\n')
panels = [(2, "simulated path: wall time to report, s"), (3, "simulated path: CPU, s"),
          (4, "simulated path: peak memory, MiB"), (5, "simulated path: mean error, ms"),
          (6, "sub-millisecond path: Ping error, ms")]
gp = ["set terminal pngcairo size 1200,760 font 'sans,10'", "set output 'results.png'",
      "set multiplot layout 2,3 title 'zarta-trace, mtr and traceroute'",
      "set style fill solid 0.8", "set boxwidth 0.6", "unset key", "set yrange [0:*]", "set grid ytics"]
for column, title in panels:
    gp.append(f"set title '{title}'")
    gp.append(f"plot '{run}/tools.dat' using 0:{column}:xtic(1) with boxes lc rgb '#3a7bd5'")
gp += ["set title 'quiet traces: % of one core, previous run and now'",
       f"plot '{run}/quiet.dat' using 0:2:xtic(1) with boxes lc rgb '#d5803a'", "unset multiplot"]
with open(os.path.join(run, "chart.gp"), "w") as f:
    f.write("\n".join(gp) + "\n")

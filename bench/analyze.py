"""Turns one benchmark run (bench/run.sh) into bench/RESULTS.md and the chart's gnuplot script."""
import datetime
import os
import platform
import re
import subprocess
import sys

run, dest = sys.argv[1], sys.argv[2]
TOOLS = [("zarta", "zarta-trace"), ("mtr", "mtr --report -n -c 10"), ("traceroute", "traceroute -I -n")]


def read(name):
    with open(os.path.join(run, name)) as f:
        return f.read()


delays = {}
for line in read("path.info").splitlines():
    kind, *rest = line.split()
    if kind == "delay":
        delays[int(rest[0])] = float(rest[1])


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
    seconds = sum(float(part) * 60 ** i for i, part in enumerate(reversed(wall)))
    return seconds, float(get("User time")) + float(get("System time")), int(
        get("Maximum resident set size")) / 1024


rows = {}
for tool, _ in TOOLS:
    avg = averages(tool, read(tool + ".txt"))
    errors = [abs(avg[h] - delays[h]) for h in avg if h in delays]
    wall, cpu, mem = usage(tool + ".time")
    rows[tool] = dict(wall=wall, cpu=cpu, mem=mem, mae=sum(errors) / len(errors) if errors else float("nan"),
                      hops=len(errors))

quiet = {}
for line in read("quiet.cpu").splitlines():
    name, ticks, rate = line.split()
    quiet[name] = int(ticks) / int(rate)


def complete(name, count):
    """How many of the quiet run's traces had every answering hop at 10 probes."""
    reports = read(name + ".txt").strip().split("\n\n")
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
debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else "?"
z, m, t = rows["zarta"], rows["mtr"], rows["traceroute"]
ratio = lambda a, b: f"{a / b:.2f}" if b else "n/a"

lines = [
    "# Benchmark: zarta-trace, mtr and traceroute on one simulated path",
    "",
    f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {cpu_model}, {os.cpu_count()} cores, "
    f"Debian {debian}, Linux {platform.release()}; {version(['mtr', '--version'])}, "
    f"{version(['traceroute', '--version'])}.",
    "",
    "The path (bench/path.path) is played by the TUN path simulator in a network namespace: 12 hops, delays",
    "rising from 1 to 60 ms, hop 4 silent (no time-exceeded), hop 6 withholding every fourth answer to any",
    "prober. Each tool meets a fresh copy of it. Mean error: mean absolute difference between the tool's",
    "per-hop average and the delay the simulator applied, over the hops the tool measured. zarta-trace shows",
    "whole milliseconds (the truncated mean), mtr tenths and traceroute microseconds; its reads come up to one",
    "1 ms pass late, which the truncation takes back on this path, so its error reads as 0 here.",
    "",
    "| tool | wall time to report (s) | CPU (s) | peak memory (MiB) | mean error (ms) | hops measured |",
    "|---|---|---|---|---|---|",
]
for tool, label in TOOLS:
    r = rows[tool]
    lines.append(f"| `{label}` | {r['wall']:.2f} | {r['cpu']:.3f} | {r['mem']:.1f} | {r['mae']:.2f} | {r['hops']} |")
q1, q50 = complete("quiet1", 1), complete("quiet50", 50)
lines += [
    "",
    "Ratios, zarta-trace to each peer in this run (below 1: zarta-trace needs less):",
    "",
    "| | wall time | CPU | peak memory | mean error |",
    "|---|---|---|---|---|",
    f"| against mtr | {ratio(z['wall'], m['wall'])} | {ratio(z['cpu'], m['cpu'])} | {ratio(z['mem'], m['mem'])} "
    f"| {ratio(z['mae'], m['mae'])} |",
    f"| against traceroute | {ratio(z['wall'], t['wall'])} | {ratio(z['cpu'], t['cpu'])} | "
    f"{ratio(z['mem'], t['mem'])} | {ratio(z['mae'], t['mae'])} |",
    "",
    "Quiet traces kept open (every probe done, the workers still polling each millisecond), CPU over one minute:",
    "",
    "| traces | CPU seconds per minute | share of one core | traces complete |",
    "|---|---|---|---|",
    f"| 1 | {quiet['quiet1']:.2f} | {quiet['quiet1'] / 60 * 100:.1f}% | {q1[0]} of {q1[1]} |",
    f"| 50 | {quiet['quiet50']:.2f} | {quiet['quiet50'] / 60 * 100:.1f}% | {q50[0]} of {q50[1]} |",
    "",
    "zarta-trace ends once its traces are quiet; to keep them open for the minute, the namespace's name",
    "server is an address whose queries the simulator drops, so the hops' reverse lookups stay pending.",
    "",
    "![chart](results.png)",
    "",
    "Rerun: `make bench` (root; about three minutes). It rewrites this file and `results.png`.",
    "",
]
with open(os.path.join(dest, "RESULTS.md"), "w") as f:
    f.write("\n".join(lines))

with open(os.path.join(run, "tools.dat"), "w") as f:
    for tool, _ in TOOLS:
        r = rows[tool]
        f.write(f"{tool} {r['wall']:.3f} {r['cpu']:.4f} {r['mem']:.2f} {r['mae']:.3f}\n")
with open(os.path.join(run, "quiet.dat"), "w") as f:
    f.write(f'"1 trace" {quiet["quiet1"]:.3f}\n"50 traces" {quiet["quiet50"]:.3f}\n')
panels = [(2, "wall time to report, s"), (3, "CPU, s"), (4, "peak memory, MiB"), (5, "mean error, ms")]
gp = ["set terminal pngcairo size 1400,420 font 'sans,10'", "set output 'results.png'",
      "set multiplot layout 1,5 title 'zarta-trace, mtr, traceroute on one simulated 12-hop path'",
      "set style fill solid 0.8", "set boxwidth 0.6", "unset key", "set yrange [0:*]", "set grid ytics"]
for column, title in panels:
    gp.append(f"set title '{title}'")
    gp.append(f"plot '{run}/tools.dat' using 0:{column}:xtic(1) with boxes lc rgb '#3a7bd5'")
gp += ["set title 'quiet traces: CPU s per minute'",
       f"plot '{run}/quiet.dat' using 0:2:xtic(1) with boxes lc rgb '#d5803a'", "unset multiplot"]
with open(os.path.join(run, "chart.gp"), "w") as f:
    f.write("\n".join(gp) + "\n")

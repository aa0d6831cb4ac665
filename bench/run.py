#!/usr/bin/env python3
"""Benchmark korvi-logger side by side with socat, nc, ncat and a minimal loop.

Runs every receiver on the same workloads, alternating them round by round
(A B C ... A B C ...) so that drift of the machine hits all alike, then writes
bench/results.json, bench/loss.png and the results section of bench/README.md,
and exits with status 1, naming them, when korvi-logger misses a target.
--quick runs tiny workloads once, only to prove that every phase runs.

    bench/run.py [--rounds N] [--quick] [--build DIR]

Every receiver it starts is stopped by its pid; every wait has a deadline.
Needs UDP port 17825 free. Installs socat, netcat-openbsd, ncat, strace and
gnuplot with apt-get when they are missing.
"""

import argparse
import dataclasses
import datetime
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, ".ci"))
from korvi_ci import PORT, port_sockets, start_logger, stop, wait_for  # noqa: E402  (shared steps)

SOURCE_PORT = 17826  # one fixed sender port: nc and ncat answer only their first peer
# For the throughput phases the receiver gets a core of its own and the sender
# the other, so that neither steals the other's time and every receiver meets
# the same sender. Latency runs unpinned, as a user would run it: pinning makes
# every wake-up cross cores and measures the scheduler more than the receiver.
RECEIVER_CPU, SENDER_CPU = 1, 0


@dataclasses.dataclass(frozen=True)
class Workloads:
    """What one run measures. One round runs each phase once for every receiver."""
    rounds: int = 5
    sat_count: int = 300_000  # 64-byte datagrams sent flat out: CPU, throughput, loss
    big_count: int = 20_000  # 65507-byte datagrams sent flat out: peak memory
    rates: tuple = (20_000, 50_000, 100_000, 150_000, 200_000)  # datagrams/s, stdout to a file
    paced_seconds: float = 0.5  # at each paced rate
    strace_count: int = 3_000  # system calls, counted over a paced run...
    strace_rate: int = 2_000  # ...at this rate
    latency_count: int = 3_000  # send-to-visible latency...
    latency_rate: int = 1_000  # ...at this rate


FULL = Workloads()
# --quick: tiny workloads and one round, to prove that it all runs.
QUICK = dataclasses.replace(FULL, rounds=1, sat_count=5_000, big_count=200, rates=(20_000,),
                            paced_seconds=0.1, strace_count=200, latency_count=200)

# Targets for korvi-logger, on the medians over the rounds of a full run.
MAX_CPU_RATIO_TO_FLOOR = 1.03  # CPU per datagram against the minimal loop
MAX_CPU_RATIO_TO_SOCAT = 0.40
SYSCALLS_PER_DATAGRAM = 3.0  # one wait, one receive, one write
MAX_PEAK_RSS_KIB = 2048  # and no growth under a flood of the largest datagrams
MAX_LATENCY_P99_US = 1000  # at the latency rate
MAX_EXTRA_LOSS_POINTS = 1.0  # flat out, over the floor's loss in percent

PACKAGES = {"socat": "socat", "nc.openbsd": "netcat-openbsd", "ncat": "ncat",
            "strace": "strace", "gnuplot": "gnuplot-nox"}


def receivers(build):
    return {
        "korvi-logger": [os.path.join(build, "korvi-logger")],
        "floor": [os.path.join(build, "bench", "korvi-bench-floor")],
        "socat": ["socat", "-u", f"UDP-RECV:{PORT}", "STDOUT"],
        "nc": ["nc.openbsd", "-ul", str(PORT)],
        "ncat": ["ncat", "-ul", str(PORT)],
    }


def install_missing():
    missing = [pkg for cmd, pkg in PACKAGES.items() if shutil.which(cmd) is None]
    if missing:
        print("installing:", " ".join(missing), flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-q"], check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing],
                       check=True, env=env, stdout=subprocess.DEVNULL)


def drops(pid):
    return sum(r["drops"] for r in port_sockets(pid))


def drained(pid):
    return all(r["rx_queue"] == 0 for r in port_sockets(pid))


def cpu_ns(pid):
    """Time the process has spent on a CPU, user and system, in nanoseconds.
    schedstat counts it exactly; utime + stime in /proc/PID/stat come in
    10 ms ticks, too coarse to tell receivers a few percent apart."""
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def pin_to(cpu):
    """A preexec_fn that pins the child to `cpu`, or None to leave it free."""
    return None if cpu is None else lambda: os.sched_setaffinity(0, {cpu})


def start(cmd, stdout, pinned=True):
    """Starts a receiver (pinned to its CPU unless `pinned` is false) and
    waits until it holds the port."""
    return start_logger(cmd, stdout, stderr=subprocess.DEVNULL,
                        preexec_fn=pin_to(RECEIVER_CPU if pinned else None))


def send(build, count, size, rate=None, latency=False, stdin=None, pinned=True):
    cmd = [os.path.join(build, "bench", "korvi-bench-send"), "--count", str(count),
           "--size", str(size), "--source-port", str(SOURCE_PORT)]
    if rate:
        cmd += ["--rate", str(rate)]
    if latency:
        cmd += ["--latency"]
    out = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, text=True, check=True,
                         timeout=120, preexec_fn=pin_to(SENDER_CPU if pinned else None)).stdout
    return {k: float(v) for k, v in (kv.split("=") for kv in out.split())}


def count_records(path, size):
    """Whole records in a receiver's output file."""
    pattern = re.compile(rb"^\d{10} x*\n", re.M)
    with open(path, "rb") as f:
        return sum(1 for m in pattern.finditer(f.read()) if len(m.group(0)) == size)


def saturation(build, cmd, cfg):
    """Flat-out single sender, stdout to /dev/null: CPU per datagram, relayed/s,
    loss; then a flood of maximum-size datagrams for peak RSS."""
    with open(os.devnull, "wb") as null:
        proc = start(cmd, null)
        try:
            rss_idle = peak_rss_kib(proc.pid)
            cpu0, drops0 = cpu_ns(proc.pid), drops(proc.pid)
            t0 = time.monotonic()
            sent = send(build, cfg.sat_count, 64)
            wait_for(lambda: drained(proc.pid), "queue did not drain", 20)
            elapsed = time.monotonic() - t0
            lost = drops(proc.pid) - drops0
            relayed = sent["sent"] - lost
            cpu_us = (cpu_ns(proc.pid) - cpu0) / 1e3 / relayed
            rss_before = peak_rss_kib(proc.pid)
            send(build, cfg.big_count, 65507)
            wait_for(lambda: drained(proc.pid), "queue did not drain", 20)
            rss_after = peak_rss_kib(proc.pid)
        finally:
            stop(proc)
    return {"cpu_us": cpu_us, "relayed_per_s": relayed / elapsed,
            "offered_per_s": sent["rate"], "loss_full_pct": 100.0 * lost / sent["sent"],
            "rss_idle_kib": rss_idle, "rss_kib": rss_before, "rss_after_big_kib": rss_after}


def paced(build, cmd, cfg, workdir):
    """Loss % at fixed offered rates, stdout to a file; counts what was written."""
    out_path = os.path.join(workdir, "paced.out")
    loss = {}
    total_sent = total_lost = 0
    with open(out_path, "wb") as out:
        proc = start(cmd, out)
        try:
            for rate in cfg.rates:
                drops0 = drops(proc.pid)
                count = int(rate * cfg.paced_seconds)
                sent = send(build, count, 64, rate=rate)
                wait_for(lambda: drained(proc.pid), "queue did not drain", 20)
                lost = drops(proc.pid) - drops0
                loss[str(rate)] = {"offered_per_s": sent["rate"], "loss_pct": 100.0 * lost / count}
                total_sent += count
                total_lost += lost
        finally:
            stop(proc)
    written = count_records(out_path, 64)
    return {"loss": loss, "written_ok": written == total_sent - total_lost}


def syscalls(build, cmd, cfg, workdir):
    """strace -c over a paced run: system calls per relayed datagram."""
    out_path = os.path.join(workdir, "strace.out")
    summary = os.path.join(workdir, "strace.txt")
    with open(out_path, "wb") as out:
        proc = start(cmd, out)
        try:
            tracer = subprocess.Popen(["strace", "-c", "-f", "-o", summary, "-p", str(proc.pid)],
                                      stderr=subprocess.PIPE, text=True)
            wait_for(lambda: "attached" in tracer.stderr.readline(), "strace did not attach", 5)
            send(build, cfg.strace_count, 64, rate=cfg.strace_rate)
            wait_for(lambda: drained(proc.pid), "queue did not drain", 20)
            time.sleep(0.05)  # let the last write finish before detaching
            tracer.send_signal(signal.SIGINT)
            tracer.wait(10)
        finally:
            stop(proc)
    calls = {}
    with open(summary) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    total = calls.pop("total", sum(calls.values()))
    relayed = count_records(out_path, 64)
    return {"syscalls_per_dgram": total / relayed if relayed else float("nan"),
            "syscalls": {k: round(v / relayed, 3) for k, v in calls.items()} if relayed else {}}


def latency(build, cmd, cfg):
    """Send-to-visible latency: the sender reads the receiver's stdout pipe."""
    proc = start(cmd, subprocess.PIPE, pinned=False)
    try:
        result = send(build, cfg.latency_count, 64, rate=cfg.latency_rate,
                      latency=True, stdin=proc.stdout, pinned=False)
    finally:
        stop(proc)
        proc.stdout.close()
    return {"p50_us": result["p50_us"], "p99_us": result["p99_us"],
            "latency_received": result["received"]}


def run_all(build, cfg):
    results = {name: [] for name in receivers(build)}
    with tempfile.TemporaryDirectory(prefix="korvi-bench.") as workdir:
        for rnd in range(cfg.rounds):
            for name, cmd in receivers(build).items():
                print(f"round {rnd + 1}/{cfg.rounds}: {name}", flush=True)
                r = {}
                r.update(saturation(build, cmd, cfg))
                r.update(paced(build, cmd, cfg, workdir))
                r.update(syscalls(build, cmd, cfg, workdir))
                r.update(latency(build, cmd, cfg))
                results[name].append(r)
    return results


def spread(values):
    """(median, min, max) of a list."""
    return statistics.median(values), min(values), max(values)


def cell(values, fmt):
    med, lo, hi = spread(values)
    return f"{fmt.format(med)} ({fmt.format(lo)}–{fmt.format(hi)})"


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    def version(cmd):
        try:
            return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, timeout=10).stdout.splitlines()[0]
        except (OSError, IndexError, subprocess.TimeoutExpired):
            return "?"
    def pkg(name):
        return version(["dpkg-query", "-W", "-f=${Version}", name])
    os_name = "Linux"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as f:
            os_name = dict(l.rstrip().split("=", 1) for l in f if "=" in l).get(
                "PRETTY_NAME", "Linux").strip('"')
    return {"cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(), "os": os_name,
            "compiler": version(["c++", "--version"]),
            "socat": pkg("socat"), "netcat-openbsd": pkg("netcat-openbsd"), "ncat": pkg("ncat"),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def plot(results, cfg, png):
    """loss % against offered rate, one line per receiver (medians over rounds)."""
    data = tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False)
    names = list(results)
    for name in names:
        data.write(f'# {name}\n')
        points = []
        for rate in cfg.rates:
            runs = [r["loss"][str(rate)] for r in results[name]]
            points.append((statistics.median(x["offered_per_s"] for x in runs),
                           statistics.median(x["loss_pct"] for x in runs)))
        points.append((statistics.median(r["offered_per_s"] for r in results[name]),
                       statistics.median(r["loss_full_pct"] for r in results[name])))
        for x, y in sorted(points):
            data.write(f"{x / 1000:.1f} {y:.3f}\n")
        data.write("\n\n")
    data.close()
    lines = ", ".join(f"'{data.name}' index {i} with linespoints title '{n}'"
                      for i, n in enumerate(names))
    script = f"""
set terminal pngcairo size 900,560 font ',11'
set output '{png}'
set title 'Loss against offered rate (64-byte datagrams, one sender, stdout to a file; last point: flat out to /dev/null)'
set xlabel 'offered rate (thousand datagrams/s)'
set ylabel 'lost (%)'
set key top left
set grid
set yrange [0:*]
plot {lines}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data.name)


def cpu_medians(results):
    return {n: statistics.median(r["cpu_us"] for r in runs) for n, runs in results.items()}


def evaluate(results, cfg):
    """korvi-logger's targets: (target, met, measured) for each, on the
    medians over the rounds."""
    med = cpu_medians(results)
    k = results["korvi-logger"]
    kmed = lambda key: statistics.median(r[key] for r in k)
    fmed = lambda key: statistics.median(r[key] for r in results["floor"])
    return [
        (f"CPU per datagram, korvi/floor ≤ {MAX_CPU_RATIO_TO_FLOOR:.2f}",
         med["korvi-logger"] / med["floor"] <= MAX_CPU_RATIO_TO_FLOOR,
         f"{med['korvi-logger'] / med['floor']:.3f}"),
        (f"CPU per datagram, korvi/socat ≤ {MAX_CPU_RATIO_TO_SOCAT:.2f}",
         med["korvi-logger"] / med["socat"] <= MAX_CPU_RATIO_TO_SOCAT,
         f"{med['korvi-logger'] / med['socat']:.3f}"),
        (f"system calls per relayed datagram = {SYSCALLS_PER_DATAGRAM:.1f}",
         abs(kmed("syscalls_per_dgram") - SYSCALLS_PER_DATAGRAM) < 0.01,
         f"{kmed('syscalls_per_dgram'):.3f}"),
        (f"peak RSS ≤ {MAX_PEAK_RSS_KIB / 1024:g} MiB, flat under a flood of 65507-byte datagrams",
         max(r["rss_after_big_kib"] for r in k) <= MAX_PEAK_RSS_KIB
         and all(r["rss_after_big_kib"] == r["rss_kib"] for r in k),
         f"{max(r['rss_after_big_kib'] for r in k) / 1024:.2f} MiB, grew by "
         f"{max(r['rss_after_big_kib'] - r['rss_kib'] for r in k)} KiB"),
        (f"latency p99 ≤ {MAX_LATENCY_P99_US / 1000:g} ms at {cfg.latency_rate} datagrams/s",
         kmed("p99_us") <= MAX_LATENCY_P99_US, f"{kmed('p99_us'):.0f} µs"),
        (f"loss at full single-sender speed ≤ floor's + {MAX_EXTRA_LOSS_POINTS:g} point",
         kmed("loss_full_pct") <= fmed("loss_full_pct") + MAX_EXTRA_LOSS_POINTS,
         f"{kmed('loss_full_pct'):.1f} % vs floor {fmed('loss_full_pct'):.1f} %"),
    ]


def report(results, targets, cfg, info, command):
    """The results section of bench/README.md, in markdown."""
    rows = []
    for name, runs in results.items():
        col = lambda key: [r[key] for r in runs]
        rows.append(f"| {name} | {cell(col('cpu_us'), '{:.2f}')} "
                    f"| {cell([v / 1000 for v in col('relayed_per_s')], '{:.0f}')} "
                    f"| {cell([v / 1000 for v in col('offered_per_s')], '{:.0f}')} "
                    f"| {cell(col('loss_full_pct'), '{:.1f}')} "
                    f"| {cell(col('syscalls_per_dgram'), '{:.2f}')} "
                    f"| {cell([v / 1024 for v in col('rss_kib')], '{:.2f}')} / "
                    f"{cell([v / 1024 for v in col('rss_after_big_kib')], '{:.2f}')} "
                    f"| {cell(col('p50_us'), '{:.0f}')} | {cell(col('p99_us'), '{:.0f}')} |")
    med = cpu_medians(results)
    k = results["korvi-logger"]
    paced_rows = []
    for name, runs in results.items():
        cells = [cell([r["loss"][str(rate)]["loss_pct"] for r in runs], "{:.1f}")
                 for rate in cfg.rates]
        paced_rows.append(f"| {name} | " + " | ".join(cells) + " |")
    korvi_calls = statistics.median(r["syscalls_per_dgram"] for r in k)
    breakdown = ", ".join(f"{c} {v:.2f}" for c, v in sorted(k[0]["syscalls"].items(),
                                                          key=lambda kv: -kv[1]) if v >= 0.005)
    return "\n".join([
        f"Run of {info['date']}: `{command}` ({cfg.rounds} rounds, receivers alternated "
        "within each round).",
        "",
        f"Machine: {info['cpu']}, {info['cores']} cores; {info['os']}, kernel {info['kernel']}; "
        f"{info['compiler']}. socat {info['socat']}, netcat-openbsd {info['netcat-openbsd']}, "
        f"ncat {info['ncat']}.",
        "",
        "Each cell: median (min–max) over the rounds.",
        "",
        "| receiver | CPU µs / datagram | relayed / s (thousands) | offered / s flat out "
        "(thousands) | loss % flat out "
        "| syscalls / datagram | peak RSS MiB (after 64-byte flood / after 65507-byte flood) "
        "| latency p50 µs | latency p99 µs |",
        "|---|---|---|---|---|---|---|---|---|",
        *rows,
        "",
        f"Ratios of the medians, CPU per datagram: **korvi/floor "
        f"{med['korvi-logger'] / med['floor']:.3f}**, **korvi/socat "
        f"{med['korvi-logger'] / med['socat']:.3f}**, korvi/nc "
        f"{med['korvi-logger'] / med['nc']:.3f}, korvi/ncat {med['korvi-logger'] / med['ncat']:.3f}.",
        "",
        f"korvi-logger's system calls per relayed datagram ({korvi_calls:.3f} in all, round 1): "
        f"{breakdown}.",
        "",
        "Loss % at paced rates (stdout to a file; the offered rate is datagrams/s):",
        "",
        "| receiver | " + " | ".join(f"{r // 1000}k/s" for r in cfg.rates) + " |",
        "|---|" + "---|" * len(cfg.rates),
        *paced_rows,
        "",
        "![loss against offered rate](loss.png)",
        "",
        "Targets, korvi-logger (medians):",
        "",
        "| target | measured | met |",
        "|---|---|---|",
        *[f"| {t} | {v} | {'yes' if ok else '**no**'} |" for t, ok, v in targets],
    ])


def write_report(section, path):
    begin, end = "<!-- results:begin -->", "<!-- results:end -->"
    with open(path) as f:
        text = f.read()
    head, rest = text.split(begin, 1)
    tail = rest.split(end, 1)[1]
    with open(path, "w") as f:
        f.write(f"{head}{begin}\n{section}\n{end}{tail}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=FULL.rounds)
    parser.add_argument("--quick", action="store_true",
                        help="tiny workloads, one round, no report and no targets: proves that "
                        "it all runs")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    args = parser.parse_args()
    cfg = QUICK if args.quick else dataclasses.replace(FULL, rounds=args.rounds)

    install_missing()
    if port_sockets():
        sys.exit(f"UDP port {PORT} is held by another program; stop it first "
                 f"(ss -uanp 'sport = :{PORT}' shows which)")
    started = time.monotonic()
    results = run_all(args.build, cfg)
    if args.quick:
        print(f"all phases ran for every receiver, in {time.monotonic() - started:.0f} s")
        return
    targets = evaluate(results, cfg)
    command = "bench/run.py" + (f" --rounds {args.rounds}" if args.rounds != FULL.rounds else "")
    info = machine()
    section = report(results, targets, cfg, info, command)
    print(section)
    print(f"\ntook {time.monotonic() - started:.0f} s")
    with open(os.path.join(HERE, "results.json"), "w") as f:
        json.dump({"config": dataclasses.asdict(cfg), "machine": info, "results": results}, f,
                  indent=1)
    plot(results, cfg, os.path.join(HERE, "loss.png"))
    write_report(section, os.path.join(HERE, "README.md"))
    missed = [t for t, met, _ in targets if not met]
    if missed:
        sys.exit("missed targets: " + "; ".join(missed))


if __name__ == "__main__":
    main()

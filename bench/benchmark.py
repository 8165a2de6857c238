#!/usr/bin/env python3
"""Measures matrix-panel on this machine and prints one table.

Beside an empty Qt widget window (bench/empty-window) it measures: CPU with
the link up and while searching, start-up time, peak memory, frame-to-panel
latency, command byte pacing, the panel's time up on a line with noise, route
frame pacing beside two busy processes, the remote control and the Videohub
server, and the micro-benchmarks; and the program headless against the same
with its windows: start-up to the switcher recognised, and peak memory.
Targets are shown for reading only; the run fails (exit 1) only when a
measurement could not be made.

A CPU comparison of two programs is made in rounds, one program at a time
and each started afresh, in the order AB BA AB ...: at these loads (well under
1 % of a core) a single pair measured side by side differed by half between
two runs, with whatever else the machine did and how the two happened to
settle. The ratio shown is the median of the rounds' ratios.

usage: bench/benchmark.py BUILD_DIR [MEASURE...]
       NOISE_SECONDS=S bench/benchmark.py BUILD_DIR   (each noise run S s, default 60)
MEASURE names the measurements to make, all when none is named: cpu_link_up,
cpu_searching, startup, headless_startup, link_latency, noisy_line, remote,
remote_load, videohub, micro, presets, mqtt_fleet.
scripts/benchmark.sh installs what is missing, makes the Release build and
starts this.
"""

import csv
import io
import os
import re
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CPU_WARMUP_S = 2
CPU_WINDOW_S = 10
CPU_ROUNDS = 5
CPU_SETTLE_S = 1  # in each round, from the link up (or the start) to the window
CPU_ROUND_S = 4
STARTUP_RUNS = 5
LINK_UP_RUNS = 7  # the switcher's frame period (100 ms) falls anywhere in a start
SETTLE_S = 1
MEMORY_SETTLE_S = 3
# Only what changes once per link: a line for every frame would be CPU of its own.
LINK_LOG = "matrix.link.debug=true;matrix.search.debug=true"
CLK_TCK = os.sysconf("SC_CLK_TCK")
ROW = "%-44s %12s %12s %8s %-12s %s"

children = []  # every process started here, so that an interrupted run leaves none behind
rows = []
failed = False


def fail():
    global failed
    failed = True


def row(name, value="", baseline="", ratio_="", target="", note=""):
    rows.append(ROW % (name, value, baseline, ratio_, target, note))


def start(args, env=None, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=None):
    process = subprocess.Popen([str(a) for a in args], env=env, stdin=stdin,
                               stdout=stdout, stderr=stderr)
    children.append(process)
    return process


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(2)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def run_tool(args, seconds):
    """Runs a measuring program to its end, or for SECONDS at the most;
    returns (exit code, its output). A failing one's last words are passed on."""
    process = start(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        stop(process)
        out, err = process.communicate()
    if process.returncode != 0:
        tail = err.decode(errors="replace").strip().splitlines()[-5:]
        print(f"benchmark: {Path(str(args[0])).name} ended with {process.returncode}:",
              *tail, sep="\n    ", file=sys.stderr)
    return process.returncode, out.decode(errors="replace")


def environment(**settings):
    env = dict(os.environ)
    env.update(settings)
    return env


def fields(output, name):
    """The key=value fields of the line of OUTPUT that starts with NAME, or None."""
    for line in output.splitlines():
        if line.split(" ", 1)[0] == name:
            return dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
    return None


def median(values):
    values = sorted(values, key=float)
    if not values:
        return "-"
    middle = len(values) // 2
    if len(values) % 2:
        return values[middle]
    return "%.1f" % ((float(values[middle - 1]) + float(values[middle])) / 2)


def ratio(a, b):
    if a == "-" or b == "-" or float(b) == 0:
        return "-"
    return "%.2fx" % (float(a) / float(b))


def middle(values, form):
    """The median of VALUES (numbers as text; "-" left out) in FORM, or "-"."""
    known = [float(v.rstrip("x")) for v in values if v != "-"]
    return form % statistics.median(known) if known else "-"


def spread(ratios):
    """The rounds' ratios as a note: each in turn, then lowest to highest."""
    known = sorted(float(r.rstrip("x")) for r in ratios if r != "-")
    if not known:
        return "no round measured"
    return (f"rounds {' '.join(r.rstrip('x') for r in ratios)}, "
            f"spread {known[0]:.2f}-{known[-1]:.2f}")


def verdict(value, limit):
    """"ok" or "over" against an upper limit."""
    if value in ("-", ""):
        return "n/a"
    return "ok" if float(value.rstrip("x")) <= limit else "over"


def at_least(value, limit):
    if value in ("-", ""):
        return "n/a"
    return "ok" if float(value) >= limit else "under"


# --- reading a process off /proc --------------------------------------------

def cpu_sample(pid):
    """(utime + stime in clock ticks, run time of all threads in ns, context
    switches of all threads): the CPU at two grains, and the wake-ups, since at
    these loads nearly every switch is a wake-up from the event loop's sleep."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    rest = stat.rsplit(") ", 1)[1].split()
    ticks = int(rest[11]) + int(rest[12])
    ns = switches = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            ns += int((task / "schedstat").read_text().split()[0])
            for line in (task / "status").read_text().splitlines():
                if "ctxt_switches" in line:
                    switches += int(line.split()[1])
        except (OSError, IndexError, ValueError):
            continue  # a thread that ended meanwhile
    return ticks, ns, switches


def measure_cpu(*processes, warmup=CPU_WARMUP_S, window=CPU_WINDOW_S):
    """For each process, sampled together over the same window after the
    warm-up: [% of a core from stat, % from schedstat, switches per s]."""
    time.sleep(warmup)
    try:
        t0 = time.monotonic()
        before = [cpu_sample(p.pid) for p in processes]
        time.sleep(window)
        t1 = time.monotonic()
        after = [cpu_sample(p.pid) for p in processes]
    except OSError:
        fail()
        return [["-", "-", "-"] for _ in processes]
    window = t1 - t0
    return [["%.2f" % (100 * (a[0] - b[0]) / CLK_TCK / window),
             "%.3f" % (100 * (a[1] - b[1]) / 1e9 / window),
             "%.0f" % ((a[2] - b[2]) / window)] for b, a in zip(before, after)]


def status_kib(pid, key):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(key + ":"):
                return line.split()[1]
    except OSError:
        pass
    return "-"


def wait_until(ready, seconds=5):
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def time_to_line(args, env, text, memory_key, settle=SETTLE_S):
    """Launches a program and returns (ms until a stderr line holds TEXT, the
    /proc status field MEMORY_KEY in KiB SETTLE s later), or ("-", "-") when
    the line never came within 10 s. Its stderr is read meanwhile, so that a
    talkative log never holds it up."""
    t0 = time.monotonic()
    process = start(args, env=env, stderr=subprocess.PIPE)
    seen, pending, deadline = None, b"", t0 + 10
    with selectors.DefaultSelector() as selector:
        selector.register(process.stderr, selectors.EVENT_READ)
        while seen is None and time.monotonic() < deadline:
            if not selector.select(deadline - time.monotonic()):
                break
            chunk = os.read(process.stderr.fileno(), 65536)
            if not chunk:
                break
            pending += chunk
            if text.encode() in pending:
                seen = time.monotonic()
            pending = pending[-len(text):]
        if seen is not None:
            until = time.monotonic() + settle
            while (left := until - time.monotonic()) > 0:
                if selector.select(left) and not os.read(process.stderr.fileno(), 65536):
                    time.sleep(max(0, until - time.monotonic()))
    memory = "-"
    if seen is not None:
        memory = status_kib(process.pid, memory_key)
    stop(process)
    process.stderr.close()
    if seen is None:
        return "-", "-"
    return "%.1f" % (1000 * (seen - t0)), memory


class Simulator:
    """matrix-sim on a pseudo-terminal at LINK, sending a frame every 100 ms.
    Its input is held open: closing it ends the simulator."""

    def __init__(self, sim, link, log):
        self.link = Path(link)
        self.process = start([sim, "--link", link, "--period", "100"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=log)
        self.up = wait_until(self.link.is_symlink)
        if not self.up:
            print("benchmark: matrix-sim did not start; see", log.name, file=sys.stderr)

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(2)
        except subprocess.TimeoutExpired:
            stop(self.process)


def cpu_rows(name, limit, note, rounds):
    """Two rows, from stat and from schedstat, comparing a program's CPU with a
    baseline's over ROUNDS, [(its sample, the baseline's)] as measure_cpu
    gives them: the medians of each and the median of the rounds' ratios."""
    for i, grain, form in ((0, "stat", "%.2f"), (1, "schedstat", "%.3f")):
        ratios = [ratio(a[i], b[i]) for a, b in rounds]
        r = middle(ratios, "%.2fx")
        row(f"{name} ({grain}, median)", middle([a[i] for a, _ in rounds], form),
            middle([b[i] for _, b in rounds], form), r, f"<= {limit}x",
            f"{verdict(r, limit)}; {spread(ratios)}" + (f"; {note}" if note and i == 0 else ""))


def latency_rows(output, name, limit, tool, rc, extra=()):
    line = fields(output, name)
    if line is None:
        fail()
        row(name, "-", "", "", f"<= {limit}", f"{tool} failed (exit {rc})")
        return None
    row(f"{name} p50", line.get("p50", ""))
    row(f"{name} p99", line.get("p99", ""), "", "", f"<= {limit}",
        f"{verdict(line.get('p99', '-'), limit)};"
        + "".join(f" {key}={line.get(key, '')}" for key in ("n", "lost", *extra)))
    row(f"{name} max", line.get("max", ""))


def idle_clients(log):
    """16 connections to the Videohub server that the panel's LOG announces,
    that say nothing (as control software does between its pings)."""
    pattern = re.compile(r"Videohub server on 127\.0\.0\.1:([0-9]+)")
    port = []
    wait_until(lambda: port.extend(pattern.findall(log.read_text(errors="replace"))) or port)
    clients = []
    for _ in range(16 if port else 0):
        try:
            clients.append(socket.create_connection(("127.0.0.1", int(port[0])), 2))
        except OSError:
            pass
    return clients


class Launched:
    """One program of a CPU round, ready: PROCESS to measure, UP when it got
    as far as it should, and FINISH, which ends it and what it needed and
    returns its log."""

    def __init__(self, process, up, finish):
        self.process, self.up, self.finish = process, up, finish


class Bench:
    def __init__(self, build, tmp):
        self.build, self.tmp = build, tmp
        self.panel = build / "matrix-panel"
        self.sim = build / "matrix-sim"
        self.empty = build / "bench" / "empty-window"

    def simulator(self, name):
        with open(self.tmp / f"sim-{name}.err", "wb") as log:
            return Simulator(self.sim, self.tmp / f"switcher-{name}", log)

    def start_panel(self, link, log, *args, **settings):
        env = environment(MATRIX_PANEL_PORTS=f"1={link}" if link else "", **settings)
        with open(self.tmp / log, "wb") as stderr:
            return start([self.panel, *args], env=env, stderr=stderr)

    def on_simulator(self, name, args=(), hold=lambda log: []):
        """The panel with ARGS on a simulator of its own, once the link is up.
        HOLD gets its log and returns what to keep open while it is measured
        (clients)."""
        sim = self.simulator(name)
        log = self.tmp / f"panel-{name}.err"
        process = self.start_panel(sim.link, log.name, *args, QT_LOGGING_RULES=LINK_LOG)
        up = sim.up and wait_until(lambda: "link up" in log.read_text(errors="replace"), 10)
        held = hold(log) if up else []

        def finish():
            for client in held:
                client.close()
            stop(process)
            sim.stop()
            return log.read_text(errors="replace") + f"\nheld {len(held)}\n"
        return Launched(process, up, finish)

    def empty_window(self):
        process = start([self.empty])
        return Launched(process, True, lambda: stop(process) or "")

    def alternate(self, launch, baseline):
        """CPU_ROUNDS rounds of LAUNCH and BASELINE (each returns a Launched),
        one at a time, in the order AB BA AB ..., so that a drift in what else
        the machine does falls on both alike. Returns [(sample, the baseline's
        sample)] and LAUNCH's logs."""
        rounds, logs = [], []
        for i in range(CPU_ROUNDS):
            samples = {}
            for side in (0, 1) if i % 2 == 0 else (1, 0):
                ready = (launch, baseline)[side]()
                if ready.up:
                    (samples[side],) = measure_cpu(ready.process, warmup=CPU_SETTLE_S,
                                                   window=CPU_ROUND_S)
                else:
                    fail()
                    samples[side] = ["-"] * 3
                log = ready.finish()
                if side == 0:
                    logs.append(log)
            rounds.append((samples[0], samples[1]))
        return rounds, logs

    def cpu_beside_plain(self, name, args, hold=lambda log: []):
        """The CPU of the panel with ARGS against the same program without, in
        alternating rounds. Returns the rounds and the logs with ARGS."""
        return self.alternate(lambda: self.on_simulator(name, args, hold),
                              lambda: self.on_simulator(f"{name}-plain"))

    def cpu_link_up(self):
        print(f"measuring CPU with the link up against the empty window ({CPU_ROUNDS} rounds of "
              f"each, {CPU_SETTLE_S} s settle + {CPU_ROUND_S} s)...", file=sys.stderr)
        rounds, logs = self.alternate(lambda: self.on_simulator("up"), self.empty_window)
        up = sum("link up" in log for log in logs)
        steps = max(len(re.findall(r"matrix\.search: port [0-9]", log)) for log in logs)
        cpu_rows("cpu_link_up_pct_of_core", 1.5,
                 f"link up in {up}/{len(logs)} rounds, after {steps} port search steps at most",
                 rounds)
        wakeups = [ratio(a[2], b[2]) for a, b in rounds]
        row("wakeups_link_up_per_s (median)", middle([a[2] for a, _ in rounds], "%.0f"),
            middle([b[2] for _, b in rounds], "%.0f"), middle(wakeups, "%.2fx"), "",
            "context switches of all threads; " + spread(wakeups))

    def cpu_searching(self):
        print(f"measuring CPU while searching with no port ({CPU_WARMUP_S} s warm-up + "
              f"{CPU_WINDOW_S} s)...", file=sys.stderr)
        process = self.start_panel(None, "panel-search.err")
        (search,) = measure_cpu(process)
        stop(process)
        for i, grain in ((0, "stat"), (1, "schedstat")):
            row(f"cpu_searching_pct_of_core ({grain})", search[i], "", "", "< 2%",
                verdict(search[i], 1.999))
        row("wakeups_searching_per_s", search[2])

    def startup(self):
        print(f"measuring start-up and memory ({STARTUP_RUNS} runs each, after one warm-up)...",
              file=sys.stderr)
        logging = environment(QT_LOGGING_RULES="matrix.startup=true")
        panel_env = dict(logging, MATRIX_PANEL_PORTS="")
        launches = {"panel": ([self.panel], panel_env), "baseline": ([self.empty], logging)}
        runs = {"panel": [], "baseline": []}
        for name, (args, env) in launches.items():
            time_to_line(args, env, "status window shown", "VmHWM")
        for _ in range(STARTUP_RUNS):
            # Interleaved, so that whatever else the machine does falls on both.
            for name, (args, env) in launches.items():
                runs[name].append(time_to_line(args, env, "status window shown", "VmHWM"))
        good = {name: [r for r in values if r[0] != "-"] for name, values in runs.items()}
        if any(len(values) != STARTUP_RUNS for values in good.values()):
            fail()
        ms = {name: median([r[0] for r in values]) for name, values in good.items()}
        hwm = {name: median([r[1] for r in values if r[1] != "-"]) for name, values in good.items()}
        r = ratio(ms["panel"], ms["baseline"])
        row("startup_to_status_window_ms (median)", ms["panel"], ms["baseline"], r, "<= 1.2x",
            f"{verdict(r, 1.2)}; runs: panel {' '.join(v[0] for v in runs['panel'])}, "
            f"baseline {' '.join(v[0] for v in runs['baseline'])}")
        r = ratio(hwm["panel"], hwm["baseline"])
        row("peak_memory_vmhwm_kib (median)", hwm["panel"], hwm["baseline"], r, "<= 1.2x",
            verdict(r, 1.2))

    def headless_startup(self):
        """The same program with --listen, headless (a core application, no
        windows) and with its windows (on the offscreen platform), started in
        turn against one simulator, headless first in every other pair: the
        time from the launch to the "switcher recognised" line, and VmHWM a
        few seconds later."""
        print(f"measuring start-up to the switcher recognised and peak memory, headless and "
              f"windowed ({LINK_UP_RUNS} runs each, {MEMORY_SETTLE_S} s after the link)...",
              file=sys.stderr)
        sim = self.simulator("linkup")
        if not sim.up:
            fail()
            sim.stop()
            return
        env = environment(QT_LOGGING_RULES="matrix.*=true", MATRIX_PANEL_PORTS=f"1={sim.link}")
        modes = {"headless": ["--headless"], "windowed": []}

        def once(mode):
            return time_to_line([self.panel, *modes[mode], "--listen", "127.0.0.1:0"], env,
                                "switcher recognised", "VmHWM", MEMORY_SETTLE_S)
        for mode in modes:
            once(mode)
        runs = {"headless": [], "windowed": []}
        for i in range(LINK_UP_RUNS):
            for mode in ("headless", "windowed") if i % 2 == 0 else ("windowed", "headless"):
                runs[mode].append(once(mode))
        sim.stop()
        if any(r[0] == "-" for values in runs.values() for r in values):
            fail()
        ms = {mode: middle([r[0] for r in values], "%.1f") for mode, values in runs.items()}
        hwm = {mode: middle([r[1] for r in values], "%.0f") for mode, values in runs.items()}
        pairs = [ratio(h[0], w[0]) for h, w in zip(runs["headless"], runs["windowed"])]
        r = middle(pairs, "%.2fx")
        lowest = min((float(p.rstrip("x")) for p in pairs if p != "-"), default=None)
        judged = verdict(r, 1.0)
        if judged == "over" and lowest is not None and lowest <= 1.0:
            judged = "over, within the runs' spread"
        row("startup_to_switcher_recognised_ms headless (median)", ms["headless"], ms["windowed"],
            r, "<= 1.0x", f"{judged}; baseline: the same with its windows, both --listen; "
            f"{spread(pairs)}")
        r = ratio(hwm["headless"], hwm["windowed"])
        row("peak_memory_vmhwm_kib headless (median)", hwm["headless"], hwm["windowed"], r,
            "<= 0.6x", f"{verdict(r, 0.6)}; {MEMORY_SETTLE_S} s after the link is up; runs: "
            f"headless {' '.join(v[1] for v in runs['headless'])}, "
            f"windowed {' '.join(v[1] for v in runs['windowed'])}")

    def link_latency(self):
        print("measuring frame latency and command pacing (link-bench, about 40 s)...",
              file=sys.stderr)
        rc, out = run_tool([self.build / "bench" / "link-bench"], 120)
        for name in ("latency_frame_to_panel_ms", "latency_frame_to_panel_9600_baud_ms"):
            latency_rows(out, name, 11, "link-bench", rc, ["slow_writes"])
        gaps = fields(out, "command_byte_gap_ms")
        if gaps is not None:
            for stat in ("p50", "p99", "max", "min"):
                note = f"n={gaps.get('n', '')} frames={gaps.get('frames', '')}" if stat == "p99" else ""
                row(f"command_byte_gap_ms {stat}", gaps.get(stat, ""), "", "", "50", note)
        if gaps is None or rc != 0:
            fail()

    def noisy_line(self):
        """line-bench plays the switcher on a pseudo-terminal: status frames at
        9600 baud with one stray byte in every gap, or random noise at 10, 50
        and 100 bytes a second, each for NOISE_SECONDS (60) from the panel's
        coming up and for nine more fresh starts; then 100 route frames while
        two busy processes keep both cores of a 2-core machine loaded."""
        line_bench = self.build / "bench" / "line-bench"
        if not os.access(line_bench, os.X_OK):
            return
        seconds = int(os.environ.get("NOISE_SECONDS", "60"))
        for noise in ("stray", "10", "50", "100"):
            print(f"measuring the panel on a line with noise {noise} ({seconds} s and 9 starts)...",
                  file=sys.stderr)
            noise_args = ["--stray"] if noise == "stray" else ["--noise", noise]
            _, out = run_tool([line_bench, "uptime", *noise_args, "--seconds", seconds],
                              seconds + 150)
            up = fields(out, "uptime")
            if up is None:
                fail()
                row(f"line_up_pct noise={noise}", "-", "", "", ">= 99", "line-bench failed")
                continue
            row(f"line_up_pct noise={noise}", up.get("up_pct", ""), "", "", ">= 99",
                f"{at_least(up.get('up_pct', ''), 99)}; losses={up.get('losses', '')}, "
                f"frames taken/unbroken/sent {up.get('frames_taken', '')}/"
                f"{up.get('frames_intact', '')}/{up.get('frames_sent', '')}")
            row(f"line_detect_ms noise={noise} p50", up.get("detect_ms_p50", ""))
            row(f"line_detect_ms noise={noise} max", up.get("detect_ms_max", ""), "", "",
                "<= 1000", f"{verdict(up.get('detect_ms_max', '-'), 1000)}; "
                f"{up.get('starts', '')} starts")

        print("measuring route frame pacing beside two busy processes (about 25 s)...",
              file=sys.stderr)
        busy = [start(["yes"]) for _ in range(2)]
        rc, out = run_tool([line_bench, "pacing", "--frames", "100"], 120)
        load = Path("/proc/loadavg").read_text().split()[0]
        for process in busy:
            stop(process)
        for side in ("line", "written"):
            name = f"pacing_{side}_gap_ms"
            gaps = fields(out, name)
            if gaps is None:
                fail()
                row(name, "-", "", "", "", f"line-bench failed (exit {rc})")
                continue
            note = (f"as they came off the line, reader {gaps.get('reader', '')}" if side == "line"
                    else "as the program handed them to the port")
            row(f"{name} busy min", gaps.get("min", ""), "", "", ">= 49",
                f"{at_least(gaps.get('min', ''), 49)}; {note}")
            row(f"{name} busy p50", gaps.get("p50", ""), "", "", "",
                f"n={gaps.get('n', '')} frames={gaps.get('frames', '')}, load {load}")
            row(f"{name} busy p99", gaps.get("p99", ""), "", "", "<= 55",
                verdict(gaps.get("p99", "-"), 55))
            row(f"{name} busy max", gaps.get("max", ""))
        # Where the long and short gaps come from.
        for part, meaning in (("timer_late", "pacing timer waking late"),
                              ("write", "a write returning"),
                              ("delivery", "the pseudo-terminal handing a byte over")):
            line = fields(out, f"pacing_{part}_ms")
            if line is not None:
                row(f"pacing_{part}_ms busy p99 / max",
                    f"{line.get('p99', '')} / {line.get('max', '')}", "", "", "", meaning)
        if rc != 0:
            fail()

    def remote(self):
        """CPU with --listen and no client against the same program without,
        then the latency from a status frame carrying a change to the message
        a WebSocket client receives (bench/remote-latency)."""
        remote_latency = self.build / "bench" / "remote-latency"
        if not os.access(remote_latency, os.X_OK):
            return
        print(f"measuring CPU with --listen and no client against without ({CPU_ROUNDS} rounds "
              f"of each, {CPU_SETTLE_S} s settle + {CPU_ROUND_S} s)...", file=sys.stderr)
        rounds, logs = self.cpu_beside_plain("listen", ["--listen", "127.0.0.1:0"])
        listening = sum("remote control on" in log for log in logs)
        cpu_rows("cpu_listen_no_client_pct_of_core", 1.10,
                 "baseline: the same program without --listen, link up; listening in "
                 f"{listening}/{len(logs)} rounds", rounds)

        print("measuring frame-to-WebSocket latency (remote-latency, about 15 s)...",
              file=sys.stderr)
        rc, out = run_tool([remote_latency, self.panel, 300], 120)
        latency_rows(out, "latency_frame_to_websocket_ms", 15, "remote-latency", rc)
        if rc != 0:
            fail()

    def remote_load(self):
        """Loopback only, and bounded: 16 slow clients and a ping flood against
        --listen while a client with the token routes 20 times."""
        remote_load = self.build / "bench" / "remote-load"
        if not os.access(remote_load, os.X_OK):
            return
        print("measuring routes under slow clients and a ping flood (remote-load, about 10 s)...",
              file=sys.stderr)
        rc, out = run_tool([remote_load, self.panel], 120)
        line = fields(out, "remote_load")
        if line is None:
            row("remote_load", "-", "", "", "20/20", f"remote-load failed (exit {rc})")
        else:
            def get(*keys):
                return "/".join(line.get(k, "") for k in keys)
            row("remote_load routes answered / on the line", get("answered", "on_line"), "", "",
                "20/20", f"answer p50 {get('answer_ms_p50')} ms, max {get('answer_ms_max')} ms")
            row("remote_load gap_ms min / p50 / max", get("gap_ms_min", "gap_ms_p50", "gap_ms_max"),
                "", "", "50")
            row("remote_load rss_kib before / peak / after",
                get("rss_before_kib", "hwm_kib", "rss_after_kib"), "", "", "bounded",
                f"slow clients closed {get('slow_closed')}, floods cut {get('floods_cut')}")
        if rc != 0:
            fail()

    def videohub(self):
        """As for --listen: one panel serving --videohub with 16 clients
        connected that say nothing (as control software does between its
        pings). Then bench/videohub-latency: a status frame carrying a change
        to the VIDEO OUTPUT ROUTING: block at a client, and a route block to
        the first command byte on the line while it is idle."""
        videohub_latency = self.build / "bench" / "videohub-latency"
        if not os.access(videohub_latency, os.X_OK):
            return
        print(f"measuring CPU with --videohub and 16 idle clients against without "
              f"({CPU_ROUNDS} rounds of each, {CPU_SETTLE_S} s settle + {CPU_ROUND_S} s)...",
              file=sys.stderr)
        rounds, logs = self.cpu_beside_plain("videohub", ["--videohub", "127.0.0.1:0"],
                                             idle_clients)
        clients = " ".join(re.findall(r"^held ([0-9]+)$", "".join(logs), re.M))
        cpu_rows("cpu_videohub_16_idle_clients_pct_of_core", 1.10,
                 f"baseline: the same program without --videohub, link up; clients: {clients}",
                 rounds)

        print("measuring frame-to-block and route-to-line latency (videohub-latency, about 20 s)...",
              file=sys.stderr)
        rc, out = run_tool([videohub_latency, self.panel, 300], 120)
        for name in ("latency_frame_to_videohub_ms", "latency_route_to_line_ms"):
            latency_rows(out, name, 15, "videohub-latency", rc)
        if rc != 0:
            fail()

    def micro(self):
        for name in ("receive_bench", "main_tick_bench"):
            bench = self.build / "bench" / name
            if not os.access(bench, os.X_OK):
                continue
            print(f"running {name}...", file=sys.stderr)
            rc, out = run_tool([bench, "--benchmark_min_time=0.2", "--benchmark_format=csv"], 60)
            if rc != 0:
                fail()
                row(name, "-", "", "", "", "failed")
                continue
            # name,iterations,real_time,cpu_time,time_unit,...
            for record in csv.reader(io.StringIO(out)):
                if len(record) > 4 and record[0].startswith("BM_"):
                    real, cpu, unit = float(record[2]), float(record[3]), record[4]
                    row(record[0], f"{real:.0f} {unit}", "", "", "",
                        f"per iteration, wall ({cpu:.0f} {unit} cpu)")

    def presets(self):
        """bench/preset-latency: two stored presets of four routes, apart on
        every output, recalled in turn over HTTP while the program's line
        passes through the benchmark to matrix-sim. The request to the last
        byte of the four frames is paced by the program at 50 ms a byte, 15
        gaps, so it cannot be under 750 ms; then the simulator reports the new
        routes in its next status frame (every 101 ms) and the preset turns
        active at a WebSocket client."""
        preset_latency = self.build / "bench" / "preset-latency"
        if not os.access(preset_latency, os.X_OK):
            return
        print("measuring preset recalls to the line and to active (preset-latency, about 35 s)...",
              file=sys.stderr)
        rc, out = run_tool([preset_latency, self.panel, self.sim, 30], 180)
        recall = fields(out, "latency_preset_recall_to_last_byte_ms")
        if recall is None:
            fail()
            row("latency_preset_recall_to_last_byte_ms", "-", "", "", "",
                f"preset-latency failed (exit {rc})")
            return
        first = fields(out, "latency_preset_recall_to_first_byte_ms") or {}
        row("latency_preset_recall_to_last_byte_ms p50", recall.get("p50", ""), "", "", "",
            f"four frames, 15 gaps of 50 ms: floor 750; measured min {recall.get('min', '')}")
        row("latency_preset_recall_to_last_byte_ms p99", recall.get("p99", ""), "", "", "",
            f"n={recall.get('n', '')} lost={recall.get('lost', '')}; to the first byte "
            f"p50 {first.get('p50', '')}, p99 {first.get('p99', '')}")
        for name, meaning in (
                ("latency_preset_last_byte_to_active_ms",
                 "waits for the simulator's next frame, up to 101 ms"),
                ("latency_preset_frame_to_active_ms",
                 "from the status frame that shows all four routes")):
            line = fields(out, name) or {}
            row(f"{name} p50", line.get("p50", "-"))
            row(f"{name} p99", line.get("p99", "-"), "", "", "", f"{meaning}; n={line.get('n', '')}")
        if rc != 0:
            fail()

    def start_broker(self, name):
        """mosquitto on a free loopback port, keeping nothing; returns the
        process and its URL, or (None, None)."""
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        if not os.access(mosquitto, os.X_OK):
            return None, None
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        conf = self.tmp / f"mosquitto-{name}.conf"
        conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        broker = start([mosquitto, "-c", conf])

        def listening():
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                return True
            except OSError:
                return False
        if not wait_until(listening):
            stop(broker)
            return None, None
        return broker, f"mqtt://127.0.0.1:{port}"

    def mqtt_fleet(self):
        """CPU with --mqtt, connected and idle, against the same program
        without; then bench/mqtt-fleet: 16 headless bridges on one mosquitto,
        each with its own simulator, commands to the line, the switchers'
        changes to a subscriber, the broker restarted, and their memory."""
        mqtt_fleet = self.build / "bench" / "mqtt-fleet"
        if not os.access(mqtt_fleet, os.X_OK):
            return
        print(f"measuring CPU with --mqtt, idle, against without ({CPU_ROUNDS} rounds of each, "
              f"{CPU_SETTLE_S} s settle + {CPU_ROUND_S} s)...", file=sys.stderr)
        said = []

        def online(port):
            # Before the window: the bridge's retained availability, read by
            # a subscriber that ends with it.
            sub = start([shutil.which("mosquitto_sub") or "mosquitto_sub", "-h", "127.0.0.1",
                         "-p", port, "-t", "matrix-panel/+/availability", "-C", "1", "-W", "10"],
                        stdout=subprocess.PIPE)
            said.append(sub.communicate()[0].decode(errors="replace").strip())
            return []
        broker, url = self.start_broker("cpu")
        if broker is None:
            fail()
            row("mqtt", "-", "", "", "", "mosquitto (/usr/sbin/mosquitto) did not start")
            return
        port = url.rsplit(":", 1)[1]
        rounds, _ = self.cpu_beside_plain("mqtt", ["--mqtt", url], lambda log: online(port))
        stop(broker)
        cpu_rows("cpu_mqtt_idle_pct_of_core", 1.10,
                 "baseline: the same program without --mqtt, link up; the bridge said "
                 + ", ".join(sorted(set(said)) or ["nothing"]), rounds)

        print("measuring 16 MQTT bridges (mqtt-fleet, about 25 s)...", file=sys.stderr)
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        rc, out = run_tool([mqtt_fleet, self.panel, self.sim, mosquitto, 20, 16], 300)
        for name, limit, meaning in (
                ("mqtt_route_to_line_ms", 20,
                 "published to every bridge's output/B/set at once, to the first byte on its line"),
                ("mqtt_route_to_line_nodelay_ms", 20,
                 "the same, the broker with set_tcp_nodelay true (mosquitto's default is false)"),
                ("mqtt_frame_to_state_ms", 20,
                 "a route on every simulator at once: its status frame to the state message"),
                ("mqtt_control_to_state_ms", None,
                 "the same from the control line written: waits for the next frame, up to 101 ms")):
            line = fields(out, name)
            if line is None:
                fail()
                row(name, "-", "", "", "", f"mqtt-fleet failed (exit {rc})")
                continue
            row(f"{name} p50", line.get("p50", ""))
            row(f"{name} p99", line.get("p99", ""), "", "",
                f"<= {limit}" if limit else "",
                (f"{verdict(line.get('p99', '-'), limit)}; " if limit else "")
                + f"{meaning}; n={line.get('n', '')} lost={line.get('lost', '')}")
            row(f"{name} max", line.get("max", ""))
        restart = fields(out, "mqtt_broker_restart_ms")
        if restart is None:
            fail()
            row("mqtt_broker_restart_ms", "-", "", "", "<= 5000", f"mqtt-fleet failed (exit {rc})")
        else:
            row("mqtt_broker_restart_ms max", restart.get("max", ""), "", "", "<= 5000",
                f"{verdict(restart.get('max', '-'), 5000)}; broker up to all 16 online with "
                f"discovery ({restart.get('topics', '')} topics each); n={restart.get('n', '')}, "
                f"from the stop {restart.get('from_stop_max_ms', '')}")
        memory = fields(out, "mqtt_fleet_memory")
        if memory is None:
            fail()
            row("mqtt_fleet_memory", "-", "", "", "", f"mqtt-fleet failed (exit {rc})")
        else:
            row("mqtt_fleet_rss_kib sum / per bridge",
                f"{memory.get('rss_sum_kib', '')} / {memory.get('rss_median_kib', '')}", "", "", "",
                f"VmRSS of {memory.get('bridges', '')} bridges after the work, per bridge median; "
                f"max {memory.get('rss_max_kib', '')}")
            row("mqtt_fleet_hwm_kib sum / per bridge",
                f"{memory.get('hwm_sum_kib', '')} / {memory.get('hwm_median_kib', '')}", "", "", "",
                f"VmHWM; max {memory.get('hwm_max_kib', '')}")
        if rc != 0:
            fail()


def main():
    measures = ["cpu_link_up", "cpu_searching", "startup", "headless_startup", "link_latency",
                "noisy_line", "remote", "remote_load", "videohub", "micro", "presets",
                "mqtt_fleet"]
    if len(sys.argv) < 2 or any(name not in measures for name in sys.argv[2:]):
        print(next(p for p in __doc__.split("\n\n") if p.startswith("usage:")), file=sys.stderr)
        return 2
    build = Path(sys.argv[1]).resolve()
    needed = [build / "matrix-panel", build / "matrix-sim", build / "bench" / "empty-window",
              build / "bench" / "link-bench"]
    for program in needed:
        if not os.access(program, os.X_OK):
            print(f"benchmark: {program} is missing; build with the benchmarks enabled "
                  "(libbenchmark-dev installed, MATRIX_BENCHMARKS=ON)", file=sys.stderr)
            return 2

    # A signal ends the run through the clean-up below, as an interrupted
    # program would: 130 for Ctrl-C, 143 for a TERM.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
    tmp = Path(tempfile.mkdtemp(prefix="matrix-bench."))
    (tmp / "xdg").mkdir(mode=0o700)
    os.environ.update(XDG_RUNTIME_DIR=str(tmp / "xdg"), QT_QPA_PLATFORM="offscreen")
    os.environ.pop("QT_LOGGING_RULES", None)
    started = time.monotonic()
    try:
        bench = Bench(build, tmp)
        for name in sys.argv[2:] or measures:
            getattr(bench, name)()
    finally:
        for process in children:
            stop(process)
        shutil.rmtree(tmp, ignore_errors=True)

    load = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    print()
    print(f"matrix-panel benchmark: {os.cpu_count()} cores, {time.strftime('%Y-%m-%d %H:%M')}, "
          f"build {build}, load {load}, {time.monotonic() - started:.0f} s")
    print(ROW % ("measure", "panel", "baseline", "ratio", "target", "note"))
    print(ROW % ("-------", "-----", "--------", "-----", "------", "----"))
    print("\n".join(rows))
    print("baseline = bench/empty-window (empty QWidget, 10 ms precise timer) unless the note "
          "says otherwise; CPU in % of one core")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

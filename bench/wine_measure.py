"""The Wine half of the bench, called by bench/run.sh with a prepared prefix: runs every
measurement of launcher.exe under Wine and prints the whole table (markdown) with the host
poll cost figures that run.sh measured before.

Every Wine program here runs as `wine <exe>`, which becomes the program's own Linux process
(the process named launcher.exe): its pid is the child's pid, os.wait4 gives its CPU time
(utime + stime, which Linux keeps exact to the nanosecond in sum), and /proc/<pid>/task/*/
schedstat gives its CPU time so far while it runs. Wine starts processes with a double fork,
so the engine is no child of the launcher and is never counted in the launcher's CPU time.

Clocks: the bench engine stamps GetSystemTimePreciseAsFileTime, which Wine reads from the
system's real-time clock (CLOCK_REALTIME), the clock of Python's time.time_ns(). A stamp that
does not lie between the launch and the exit seen here would mean the clocks disagree; the
bench stops then rather than print such a figure."""
import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

FILETIME_UNIX_EPOCH = 116444736000000000  # 100 ns ticks from 1601 to 1970
POLL_LINE = "Waiting for bv_setup.exe to terminate"


T0 = time.monotonic()


def log(msg):
    print(f"[{time.monotonic() - T0:5.0f} s] {msg}", file=sys.stderr, flush=True)


class Bench:
    def __init__(self, opts):
        self.o = opts
        self.temp = os.path.join(opts.prefix, "drive_c", "temp")
        self.trace_path = os.path.join(self.temp, "launcher.log")
        self.env = dict(os.environ, WINEPREFIX=opts.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        for name in list(self.env):
            if name.startswith("BV_TEST_") or name.startswith("BENCH_"):
                del self.env[name]

    # --- one run --------------------------------------------------------------------------

    def cpu_ns(self, pid):
        """CPU time of the running process so far, all its threads; None once it is gone."""
        total = 0
        try:
            for tid in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                    total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            return None
        return total

    def stamp(self, name):
        """The engine's stamp as Unix ns, or None while it is not (fully) written."""
        try:
            with open(os.path.join(self.temp, name), "rb") as f:
                text = f.read()
        except FileNotFoundError:
            return None
        if not text.endswith(b"\r\n"):
            return None
        return (int(text) - FILETIME_UNIX_EPOCH) * 100

    def polls(self):
        with open(self.trace_path, "rb") as f:
            lines = f.read().decode("latin-1").split("\r\n")
        return sum(1 for line in lines if line.startswith(POLL_LINE))

    def run(self, folder, exe, args=(), engine_env=None, watch=None, window=None):
        """Runs `wine exe` in a package folder. watch: a stamp file whose appearance is the
        moment to sample the CPU time (cpu_at_watch); window: (marker file, from_s, to_s),
        CPU sampled from_s and to_s after the marker appears. Returns a dict of figures."""
        for name in ("launcher.log", "engine.stamp", "spawner.stamp", "copy.stamp",
                     "engine.txt"):
            try:
                os.remove(os.path.join(self.temp, name))
            except FileNotFoundError:
                pass
        env = dict(self.env, **(engine_env or {}))
        start = time.time_ns()
        proc = subprocess.Popen(["wine", exe, *args], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        out = {"start": start}
        deadline = time.monotonic() + 60
        if watch is not None:
            while self.stamp(watch) is None and time.monotonic() < deadline:
                time.sleep(0.0005)
            out["cpu_at_watch"] = self.cpu_ns(proc.pid)
        if window is not None:
            marker, t_from, t_to = window
            path = os.path.join(self.temp, marker)
            while not os.path.exists(path) and time.monotonic() < deadline:
                time.sleep(0.001)
            seen = time.monotonic()
            time.sleep(t_from)
            a = self.cpu_ns(proc.pid)
            time.sleep(max(0.0, seen + t_to - time.monotonic()))
            b = self.cpu_ns(proc.pid)
            out["window_s"] = t_to - t_from
            out["window_cpu_ns"] = None if a is None or b is None else b - a
        _, status, usage = os.wait4(proc.pid, 0)
        out["end"] = time.time_ns()
        proc.returncode = os.waitstatus_to_exitcode(status)
        out["code"] = proc.returncode
        out["cpu_ns"] = round((usage.ru_utime + usage.ru_stime) * 1e9)
        if proc.returncode != 0:
            raise SystemExit(f"bench: wine {exe} {' '.join(args)} exited {proc.returncode}")
        return out

    def checked_stamp(self, run, name):
        value = self.stamp(name)
        if value is None or not run["start"] <= value <= run["end"]:
            raise SystemExit(f"bench: stamp {name} missing or outside the run; the engine's "
                             "clock and this one disagree")
        return value

    # --- the measurements -----------------------------------------------------------------

    def warm_up(self):
        """First runs start the prefix's services in the persistent server; not measured."""
        for _ in range(2):
            self.run(self.o.pkg, "launcher.exe")
            self.run(self.o.pkg, "minimal_launcher.exe")

    def ratio(self):
        """hyperfine rounds of a few runs of both commands, their order swapped every round,
        so that the two alternate all through the run and share every change in the load."""
        launcher, minimal = "wine launcher.exe", "wine minimal_launcher.exe"
        rounds = []
        for r in range(self.o.rounds):
            order = [launcher, minimal] if r % 2 == 0 else [minimal, launcher]
            with tempfile.NamedTemporaryFile(suffix=".json") as f:
                done = subprocess.run(["hyperfine", "-N", "--style", "none", "--runs",
                                       str(self.o.runs), "--export-json", f.name, *order],
                                      cwd=self.o.pkg, env=self.env, capture_output=True,
                                      text=True)
                if done.returncode != 0:
                    raise SystemExit(f"bench: hyperfine failed: {done.stderr[-800:]}")
                with open(f.name) as j:
                    results = json.load(j)["results"]
            rounds.append({res["command"]: res["times"] for res in results})
        return [(r[launcher], r[minimal]) for r in rounds]

    def once_runs(self):
        """The bench engine exits at once: engine exit to launcher exit with no drain, for
        launcher.exe (traced, to count its polls) and the minimal launcher, alternately."""
        launcher, minimal = [], []
        env = {"BENCH_STAMP_FILE": "C:\\temp\\engine.stamp"}
        for _ in range(self.o.once_runs):
            r = self.run(self.o.stamp_pkg, "launcher.exe", ["LOG"], env, watch="engine.stamp")
            r["latency_ns"] = r["end"] - self.checked_stamp(r, "engine.stamp")
            r["polls"] = self.polls()
            launcher.append(r)
            m = self.run(self.o.stamp_pkg, "minimal_launcher.exe", [], env)
            m["latency_ns"] = m["end"] - self.checked_stamp(m, "engine.stamp")
            minimal.append(m)
        return launcher, minimal

    def drain_runs(self, copy_ms_list):
        """The bench engine starts a copy living copy_ms and exits: the launcher drains."""
        runs = []
        for copy_ms in copy_ms_list:
            env = {"BENCH_COPY_MS": str(copy_ms), "BENCH_STAMP_FILE": "C:\\temp\\spawner.stamp",
                   "BENCH_COPY_STAMP_FILE": "C:\\temp\\copy.stamp"}
            r = self.run(self.o.stamp_pkg, "launcher.exe", ["LOG"], env, watch="spawner.stamp")
            spawner = self.checked_stamp(r, "spawner.stamp")
            copy = self.checked_stamp(r, "copy.stamp")
            r["polls"] = self.polls()
            r["latency_ns"] = r["end"] - copy
            r["period_ns"] = (r["end"] - spawner) / r["polls"]
            r["copy_ms"] = copy_ms
            runs.append(r)
        return runs

    def wait_cpu(self, exe, args):
        """CPU time while the test engine sleeps 5 s: sampled 0.25 s and 4.75 s after the
        engine's record file appears, the engine's first act."""
        env = {"BV_TEST_SLEEP_MS": "5000", "BV_TEST_RECORD": "C:\\temp\\engine.txt"}
        r = self.run(self.o.pkg, exe, args, env, window=("engine.txt", 0.25, 4.75))
        if r["window_cpu_ns"] is None:
            raise SystemExit(f"bench: {exe} ended inside the 5 s wait window")
        return r


# --- the table ------------------------------------------------------------------------------

def ms(ns):
    return ns / 1e6


def fmt_ms(value_ms, digits=1):
    return f"{value_ms:.{digits}f} ms"


def verdict(ok):
    return "yes" if ok else "**no**"


def host_rows(path):
    rows = []
    with open(path) as f:
        for line in f:
            route, count, entries, polls, ns, ns_entry, bare_ns, heap, answer = line.split("\t")
            rows.append(dict(route=route, count=int(count), entries=int(entries),
                             polls=int(polls), ns=float(ns), ns_entry=float(ns_entry),
                             bare_ns=float(bare_ns), heap=int(heap), answer=int(answer)))
    return rows


def wine_version():
    done = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    return done.stdout.strip() or "(unknown version)"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--prefix", required=True)
    p.add_argument("--pkg", required=True, help="package folder with the test engine")
    p.add_argument("--stamp-pkg", required=True, help="package folder with the bench engine")
    p.add_argument("--launcher", required=True, help="the launcher.exe whose size is taken")
    p.add_argument("--minimal", required=True, help="the minimal launcher, for its size")
    p.add_argument("--host-tsv", required=True)
    p.add_argument("--rounds", type=int, default=40)
    p.add_argument("--runs", type=int, default=2)
    p.add_argument("--once-runs", type=int, default=10)
    p.add_argument("--short-drains", type=int, default=24)
    p.add_argument("--long-drains", type=int, default=2)
    o = p.parse_args()
    b = Bench(o)
    t0 = time.monotonic()

    size = os.path.getsize(o.launcher)
    minimal_size = os.path.getsize(o.minimal)

    log("bench: warming up the prefix")
    b.warm_up()
    log(f"bench: run time ratio, {o.rounds} hyperfine rounds of {o.runs} runs per command")
    rounds = b.ratio()
    log("bench: engine exits at once, launcher and minimal launcher alternately")
    once_l, once_m = b.once_runs()
    log("bench: drain runs (an engine copy keeps the launcher polling)")
    # Copy lifetimes spread over more than one poll interval, so that the copy's end falls at
    # every point of the poll cycle.
    short = b.drain_runs([300 + 3 * i for i in range(o.short_drains)])
    long = b.drain_runs([5000] * o.long_drains)
    log("bench: CPU time while the engine runs 5 s")
    wait_l = b.wait_cpu("launcher.exe", ["LOG"])
    wait_m = b.wait_cpu("minimal_launcher.exe", [])
    hosts = host_rows(o.host_tsv)

    # Ratio of the run times, and its spread: the rounds resampled (bootstrap).
    l_times = [t for lt, _ in rounds for t in lt]
    m_times = [t for _, mt in rounds for t in mt]
    mean_l, mean_m = statistics.mean(l_times), statistics.mean(m_times)
    med_l, med_m = statistics.median(l_times), statistics.median(m_times)
    ratio_mean, ratio_median = mean_l / mean_m, med_l / med_m
    rng = random.Random(1)
    boot = []
    for _ in range(2000):
        pick = [rounds[rng.randrange(len(rounds))] for _ in rounds]
        boot.append(sum(sum(lt) for lt, _ in pick) / sum(sum(mt) for _, mt in pick))
    boot.sort()
    ci_lo, ci_hi = boot[int(0.025 * len(boot))], boot[int(0.975 * len(boot)) - 1]
    pair = sorted(statistics.mean(lt) / statistics.mean(mt) for lt, mt in rounds)
    q1, q3 = pair[len(pair) // 4], pair[(3 * len(pair)) // 4]

    # Poll interval and drain latency.
    period = statistics.median(r["period_ns"] for r in long)
    drains = short + long
    lat = sorted(r["latency_ns"] for r in drains)
    lat_med, lat_max = statistics.median(lat), lat[-1]
    lat_p90 = lat[min(len(lat) - 1, int(0.9 * len(lat)))]
    once_lat_l = statistics.median(r["latency_ns"] for r in once_l)
    once_lat_m = statistics.median(r["latency_ns"] for r in once_m)

    # CPU per poll: from the engine's (spawner's) last act to the launcher's exit, the drain
    # run less the run without copies, over the polls that the drain run made more.
    tails = [r["cpu_ns"] - r["cpu_at_watch"] for r in once_l if r["cpu_at_watch"] is not None]
    tail_cpu = statistics.median(tails)
    tail_polls = statistics.median(r["polls"] for r in once_l)
    per_poll = [(r["cpu_ns"] - r["cpu_at_watch"] - tail_cpu) / (r["polls"] - tail_polls)
                for r in long if r["cpu_at_watch"] is not None]
    cpu_per_poll = statistics.median(per_poll)
    long_polls = statistics.median(r["polls"] for r in long)
    long_drain_cpu = statistics.median(r["cpu_ns"] - r["cpu_at_watch"] for r in long)
    long_drain_s = statistics.median((r["end"] - r["start"]) for r in long) / 1e9

    rows = []
    rows.append(("launcher.exe size", f"{size:,} bytes ({size / 1024:.1f} KiB); minimal "
                 f"launcher {minimal_size:,} bytes", "≤ 20,480 bytes (20 KiB)",
                 verdict(size <= 20480)))
    rows.append(("Run time, launcher ÷ minimal launcher (engine exits at once)",
                 f"**{ratio_mean:.3f}** (ratio of means: {mean_l * 1e3:.1f} ms ± "
                 f"{statistics.stdev(l_times) * 1e3:.1f} vs {mean_m * 1e3:.1f} ms ± "
                 f"{statistics.stdev(m_times) * 1e3:.1f}), 95% interval {ci_lo:.3f}–{ci_hi:.3f}; "
                 f"ratio of medians {ratio_median:.3f} ({med_l * 1e3:.1f} vs {med_m * 1e3:.1f} "
                 f"ms); per-round ratios, middle half {q1:.3f}–{q3:.3f}; {len(rounds)} "
                 f"alternating rounds × {o.runs} runs of each",
                 "≤ 1.15", verdict(ratio_mean <= 1.15)))
    rows.append(("Poll interval in the drain loop (5 ms sleep + one enumeration + trace line)",
                 f"{ms(period):.2f} ms (5 s drains, {long_polls:.0f} polls each)", "—", ""))
    rows.append(("Drain latency: engine copy's exit → launcher's exit",
                 f"median {fmt_ms(ms(lat_med))} ({lat_med / period:.2f} polls), 90th pct "
                 f"{fmt_ms(ms(lat_p90))}, max {fmt_ms(ms(lat_max))} ({lat_max / period:.2f} "
                 f"polls); {len(lat)} runs",
                 f"≤ 2 polls ({fmt_ms(2 * ms(period))})", verdict(lat_max <= 2 * period)))
    rows.append(("Same with no copy (engine exits at once): launcher vs minimal launcher",
                 f"median {fmt_ms(ms(once_lat_l))} vs {fmt_ms(ms(once_lat_m))}; "
                 f"{len(once_l)} runs each", "—", ""))
    wl, wm = wait_l["window_cpu_ns"], wait_m["window_cpu_ns"]
    rows.append(("Launcher CPU while the engine runs 5 s",
                 f"{ms(wl):.3f} ms in {wait_l['window_s']:.1f} s of the engine's run (minimal "
                 f"launcher: {ms(wm):.3f} ms)", "≈ 0 (under 1 ms)", verdict(ms(wl) < 1.0)))
    rows.append(("Launcher CPU per drain poll",
                 f"{ms(cpu_per_poll):.3f} ms per poll ({ms(long_drain_cpu):.0f} ms over a "
                 f"{long_drain_s:.1f} s run of {long_polls:.0f} polls; {ms(cpu_per_poll) * 1e3 / ms(period):.0f}"
                 f" µs of CPU per ms of drain)", "—", ""))
    for h in hosts:
        route = "Toolhelp" if h["route"] == "toolhelp" else "PSAPI"
        walked = (f"{h['entries']:,} walked (1,024-id limit)" if h["entries"] != h["count"]
                  else f"{h['entries']:,} walked")
        rows.append((f"Host poll cost, {route}, {h['count']:,} processes",
                     f"{h['ns'] / 1e3:,.1f} µs per poll, {h['ns_entry']:,.0f} ns per process "
                     f"({walked}; stand-in alone {h['bare_ns'] / 1e3:,.1f} µs); heap blocks "
                     f"during {h['polls']:,} polls: {h['heap']}",
                     "0 heap blocks", verdict(h["heap"] == 0 and h["answer"] == 0)))

    print("| Figure | Measured | Goal | Met |")
    print("|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    load = os.getloadavg()
    short_ms = [r["copy_ms"] for r in short]
    notes = [
        f"Wine {wine_version()}, one prefix made for this run (`wineboot -i`) with a persistent "
        "`wineserver -p` on it all through, so every run starts against a live server and its "
        "services; WINEDEBUG=-all, DISPLAY unset. Each program runs as `wine <exe>` in the "
        "package folder (launcher.exe, minimal_launcher.exe, data.tag, bv_setup.exe), which "
        "becomes its own Linux process. A run time holds the Wine start of both the launcher and "
        f"the engine. Load average at the end: {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} "
        f"on {os.cpu_count()} cores.",
        "Run time ratio: `hyperfine -N` with both commands in each round, their order swapped "
        "every round; the test engine (tests/engine) exits at once. Ratio of the means of all "
        "runs; the 95% interval resamples the rounds (bootstrap). The minimal launcher "
        "(bench/minimal_launcher.cpp) only starts bv_setup.exe hidden, waits, sleeps 5 ms and "
        "takes one Toolhelp snapshot.",
        "Drain latency: bv_setup.exe is the bench engine (bench/stamp_engine.cpp); it starts a "
        f"copy that lives {min(short_ms)}–{max(short_ms)} ms (or 5 s) and exits. The copy's last "
        "act before ExitProcess stamps GetSystemTimePreciseAsFileTime; the launcher's exit is "
        "the moment os.wait4 returns for its process, on the same real-time clock. So the figure "
        "also holds the copy's process teardown in Wine, the launcher's own exit and the "
        "waker's scheduling: an upper bound. The launcher runs with LOG, and its trace counts "
        "the polls; poll interval = (launcher exit − the first engine's stamp) ÷ polls. The "
        "no-copy row is the floor any launcher pays after the engine ends (the minimal one "
        "only sleeps 5 ms and takes one snapshot then).",
        "CPU while the engine runs: the launcher's CPU time as the kernel counts it "
        "(/proc/<pid>/task/*/schedstat, ns), sampled 0.25 s and 4.75 s after the test engine's "
        "first act (its BV_TEST_RECORD file; BV_TEST_SLEEP_MS=5000).",
        "CPU per drain poll: the launcher's CPU time from the moment the first engine's stamp "
        "appears (schedstat) to its exit (os.wait4: utime + stime), less the same span of the "
        f"runs without a copy ({ms(tail_cpu):.1f} ms for {tail_polls:.0f} poll and the exit), "
        "over the polls the 5 s drain made more.",
        "Host poll cost: build/bench-host/poll_cost (product and stand-in sources, -O2, no "
        "sanitizers). No bv_setup.exe in the table, so each poll walks all of it, as the last "
        "poll of a drain does; each process has 3 modules. Thread CPU time, median of 9 batches, "
        "the product's batches alternating with batches of the same walk done straight on the "
        "stand-in (\"stand-in alone\"). The stand-in copies its table into every snapshot and "
        "counts every call by name, and the Toolhelp route asks IsDBCSLeadByte about every "
        "byte of each name: these figures show how a poll grows with the table and that it "
        "allocates nothing, not what a poll costs on Windows. Heap blocks: malloc and realloc "
        "calls of the product during the timed polls.",
    ]
    print("Notes:")
    for i, n in enumerate(notes, 1):
        print(f"{i}. {n}")
    print()
    print(f"Wine measurements took {time.monotonic() - t0:.0f} s.")


if __name__ == "__main__":
    main()

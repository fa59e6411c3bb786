"""The Wine half of the bench, called by bench/run.sh with a prepared prefix. The measure_*
functions run launcher.exe (and the minimal launcher) under Wine and return their figures as
plain dicts, reporting progress on stderr only; render() turns the figures, with the host poll
cost that run.sh measured before, into one markdown table. bench/README.md tells how each
figure is measured.

Every program runs as `wine <exe>`, which becomes the program's own Linux process: os.wait4
gives its CPU time and /proc/<pid>/task/*/schedstat its CPU time so far. Wine starts processes
with a double fork, so the engine is never counted in the launcher's CPU time. The bench
engine's stamps and time.time_ns() read the same real-time clock; a stamp outside its run
stops the bench."""
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
    print(f"[{time.monotonic() - T0:5.0f} s] bench: {msg}", file=sys.stderr, flush=True)


def ms(ns):
    return ns / 1e6


class Wine:
    """Runs programs in the bench's prefix, one at a time, and reads what they leave in its
    C:\\temp: the engine's stamps and the launcher's trace."""

    def __init__(self, prefix):
        self.temp = os.path.join(prefix, "drive_c", "temp")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("BV_TEST", "BENCH_")) and k != "DISPLAY"}
        self.env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    @staticmethod
    def cpu_ns(pid):
        """CPU time of the running process so far, all its threads; None once it is gone."""
        try:
            total = 0
            for tid in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                    total += int(f.read().split()[0])
            return total
        except (FileNotFoundError, ProcessLookupError):
            return None

    def stamp(self, name):
        """The engine's stamp as Unix ns, or None while it is not (fully) written."""
        try:
            with open(os.path.join(self.temp, name), "rb") as f:
                text = f.read()
        except FileNotFoundError:
            return None
        return (int(text) - FILETIME_UNIX_EPOCH) * 100 if text.endswith(b"\r\n") else None

    def checked_stamp(self, run, name):
        value = self.stamp(name)
        if value is None or not run["start"] <= value <= run["end"]:
            raise SystemExit(f"bench: stamp {name} missing or outside the run; the engine's "
                             "clock and this one disagree")
        return value

    def polls(self):
        with open(os.path.join(self.temp, "launcher.log"), "rb") as f:
            lines = f.read().decode("latin-1").split("\r\n")
        return sum(1 for line in lines if line.startswith(POLL_LINE))

    def run(self, folder, exe, args=(), engine_env=None, watch=None, window=None):
        """Runs `wine exe` in a package folder and returns start, end (ns), cpu_ns, and:
        watch, a stamp file: cpu_at_watch, the CPU time when it appears; window, (marker
        file, from_s, to_s): window_cpu_ns, the CPU time from from_s to to_s after it
        appears, None when the process ended before."""
        for name in ("launcher.log", "engine.stamp", "spawner.stamp", "copy.stamp",
                     "engine.txt"):
            try:
                os.remove(os.path.join(self.temp, name))
            except FileNotFoundError:
                pass
        out = {"start": time.time_ns()}
        proc = subprocess.Popen(["wine", exe, *args], cwd=folder,
                                env=dict(self.env, **(engine_env or {})),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        if watch is not None:
            while self.stamp(watch) is None and time.monotonic() < deadline:
                time.sleep(0.0005)
            out["cpu_at_watch"] = self.cpu_ns(proc.pid)
        if window is not None:
            marker, t_from, t_to = window
            while (not os.path.exists(os.path.join(self.temp, marker))
                   and time.monotonic() < deadline):
                time.sleep(0.001)
            seen = time.monotonic()
            time.sleep(t_from)
            a = self.cpu_ns(proc.pid)
            time.sleep(max(0.0, seen + t_to - time.monotonic()))
            b = self.cpu_ns(proc.pid)
            out["window_cpu_ns"] = None if a is None or b is None else b - a
        _, status, usage = os.wait4(proc.pid, 0)
        out["end"] = time.time_ns()
        out["cpu_ns"] = round((usage.ru_utime + usage.ru_stime) * 1e9)
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            raise SystemExit(f"bench: wine {exe} {' '.join(args)} exited {code}")
        return out


# --- measuring ----------------------------------------------------------------------------

def warm_up(w, pkg):
    """The first runs start the prefix's services in the persistent server; not measured."""
    log("warming up the prefix")
    for _ in range(2):
        w.run(pkg, "launcher.exe")
        w.run(pkg, "minimal_launcher.exe")


def measure_ratio(w, pkg, rounds, runs):
    """Run time of launcher.exe against the minimal launcher, the test engine exiting at
    once: hyperfine rounds of both commands, their order swapped every round."""
    log(f"run time ratio, {rounds} hyperfine rounds of {runs} runs per command")
    launcher, minimal = "wine launcher.exe", "wine minimal_launcher.exe"
    pairs = []  # per round: (launcher's times, minimal launcher's times), in s
    for r in range(rounds):
        order = [launcher, minimal] if r % 2 == 0 else [minimal, launcher]
        with tempfile.NamedTemporaryFile(suffix=".json") as f:
            done = subprocess.run(["hyperfine", "-N", "--style", "none", "--runs", str(runs),
                                   "--export-json", f.name, *order],
                                  cwd=pkg, env=w.env, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"bench: hyperfine failed: {done.stderr[-800:]}")
            times = {res["command"]: res["times"] for res in json.load(f)["results"]}
        pairs.append((times[launcher], times[minimal]))

    l_all = [t for lt, _ in pairs for t in lt]
    m_all = [t for _, mt in pairs for t in mt]
    # The spread of the ratio of means: the rounds resampled (bootstrap).
    rng = random.Random(1)
    boot = sorted(sum(sum(lt) for lt, _ in pick) / sum(sum(mt) for _, mt in pick)
                  for pick in ([rng.choice(pairs) for _ in pairs] for _ in range(2000)))
    per_round = sorted(statistics.mean(lt) / statistics.mean(mt) for lt, mt in pairs)
    n = len(per_round)
    return {
        "mean_ms": (statistics.mean(l_all) * 1e3, statistics.mean(m_all) * 1e3),
        "stdev_ms": (statistics.stdev(l_all) * 1e3, statistics.stdev(m_all) * 1e3),
        "median_ms": (statistics.median(l_all) * 1e3, statistics.median(m_all) * 1e3),
        "of_means": statistics.mean(l_all) / statistics.mean(m_all),
        "of_medians": statistics.median(l_all) / statistics.median(m_all),
        "interval95": (boot[int(0.025 * len(boot))], boot[int(0.975 * len(boot)) - 1]),
        "middle_half": (per_round[n // 4], per_round[(3 * n) // 4]),
        "rounds": rounds, "runs": runs,
    }


def measure_no_copy(w, pkg, count):
    """The bench engine exits at once, starting no copy: engine's exit to the launcher's
    exit, for launcher.exe (traced) and the minimal launcher alternately, and the launcher's
    CPU time and polls over that span."""
    log("engine exits at once, launcher and minimal launcher alternately")
    env = {"BENCH_STAMP_FILE": "C:\\temp\\engine.stamp"}
    lat_l, lat_m, tail_cpu, tail_polls = [], [], [], []
    for _ in range(count):
        r = w.run(pkg, "launcher.exe", ["LOG"], env, watch="engine.stamp")
        lat_l.append(r["end"] - w.checked_stamp(r, "engine.stamp"))
        tail_polls.append(w.polls())
        if r["cpu_at_watch"] is not None:
            tail_cpu.append(r["cpu_ns"] - r["cpu_at_watch"])
        m = w.run(pkg, "minimal_launcher.exe", [], env)
        lat_m.append(m["end"] - w.checked_stamp(m, "engine.stamp"))
    return {"latency_ms": (ms(statistics.median(lat_l)), ms(statistics.median(lat_m))),
            "tail_cpu_ms": ms(statistics.median(tail_cpu)),
            "tail_polls": statistics.median(tail_polls), "runs": count}


def drain_run(w, pkg, copy_ms):
    """One run where the bench engine starts a copy living copy_ms and exits at once."""
    env = {"BENCH_COPY_MS": str(copy_ms), "BENCH_STAMP_FILE": "C:\\temp\\spawner.stamp",
           "BENCH_COPY_STAMP_FILE": "C:\\temp\\copy.stamp"}
    r = w.run(pkg, "launcher.exe", ["LOG"], env, watch="spawner.stamp")
    r["polls"] = w.polls()
    r["latency_ns"] = r["end"] - w.checked_stamp(r, "copy.stamp")
    r["period_ns"] = (r["end"] - w.checked_stamp(r, "spawner.stamp")) / r["polls"]
    return r


def measure_drains(w, pkg, short_count, long_count, no_copy):
    """Drains: copies living 300 ms and up, 3 ms apart, so that their ends fall all over the
    poll cycle, and copies living 5 s for the poll interval and the CPU time per poll, the
    latter less the tail of the runs without a copy (no_copy, from measure_no_copy)."""
    log("drain runs (an engine copy keeps the launcher polling)")
    short = [drain_run(w, pkg, 300 + 3 * i) for i in range(short_count)]
    long = [drain_run(w, pkg, 5000) for _ in range(long_count)]
    period = statistics.median(r["period_ns"] for r in long)
    lat = sorted(r["latency_ns"] for r in short + long)
    med, p90 = statistics.median(lat), lat[min(len(lat) - 1, int(0.9 * len(lat)))]
    measured = [r for r in long if r["cpu_at_watch"] is not None]
    per_poll = [(ms(r["cpu_ns"] - r["cpu_at_watch"]) - no_copy["tail_cpu_ms"])
                / (r["polls"] - no_copy["tail_polls"]) for r in measured]
    return {
        "period_ms": ms(period),
        "polls_5s": statistics.median(r["polls"] for r in long),
        "latency_ms": {"median": ms(med), "p90": ms(p90), "max": ms(lat[-1])},
        "latency_polls": {"median": med / period, "max": lat[-1] / period},
        "runs": len(lat),
        "cpu_per_poll_ms": statistics.median(per_poll),
        "drain_cpu_ms": ms(statistics.median(r["cpu_ns"] - r["cpu_at_watch"]
                                             for r in measured)),
        "drain_s": statistics.median(r["end"] - r["start"] for r in long) / 1e9,
    }


def measure_wait_cpu(w, pkg, window=(0.25, 4.75)):
    """CPU time while the test engine sleeps 5 s, from window[0] to window[1] s after its
    record file, its first act, appears: launcher.exe (traced) and the minimal launcher."""
    log("CPU time while the engine runs 5 s")
    env = {"BV_TEST": "rec:C:\\temp\\engine.txt;sleep:5000"}
    out = {"window_s": window[1] - window[0]}
    for key, exe, args in (("launcher_ms", "launcher.exe", ["LOG"]),
                           ("minimal_ms", "minimal_launcher.exe", [])):
        r = w.run(pkg, exe, args, env, window=("engine.txt", *window))
        if r["window_cpu_ns"] is None:
            raise SystemExit(f"bench: {exe} ended inside the 5 s wait window")
        out[key] = ms(r["window_cpu_ns"])
    return out


def read_host(path):
    """poll_cost's lines: route, processes, walked, polls, ns per poll, ns per process walked,
    ns per poll of the stand-in alone, heap blocks, answer."""
    rows = []
    with open(path) as f:
        for line in f:
            route, *numbers = line.split("\t")
            count, walked, polls, ns, ns_each, bare_ns, heap, answer = map(float, numbers)
            rows.append({"route": route, "count": int(count), "walked": int(walked),
                         "polls": int(polls), "us": ns / 1e3, "ns_each": ns_each,
                         "bare_us": bare_ns / 1e3, "heap": int(heap), "answer": int(answer)})
    return rows


# --- rendering ----------------------------------------------------------------------------

def render(f):
    """The markdown table of the figures: one row each, remarks in the measured cell."""
    def met(ok):
        return "yes" if ok else "**no**"

    rt, nc, dr, wt = f["ratio"], f["no_copy"], f["drains"], f["wait"]
    (mean_l, mean_m), (sd_l, sd_m) = rt["mean_ms"], rt["stdev_ms"]
    (med_l, med_m), (lo, hi), (q1, q3) = rt["median_ms"], rt["interval95"], rt["middle_half"]
    lat, period = dr["latency_ms"], dr["period_ms"]
    rows = [
        ("launcher.exe size", f"{f['size']:,} bytes ({f['size'] / 1024:.1f} KiB); minimal "
         f"launcher {f['minimal_size']:,} bytes", "≤ 20,480 bytes (20 KiB)",
         met(f["size"] <= 20480)),
        ("Run time, launcher ÷ minimal launcher (engine exits at once)",
         f"**{rt['of_means']:.3f}** (means {mean_l:.1f} ± {sd_l:.1f} vs {mean_m:.1f} ± "
         f"{sd_m:.1f} ms), 95% interval {lo:.3f}–{hi:.3f}; of medians {rt['of_medians']:.3f} "
         f"({med_l:.1f} vs {med_m:.1f} ms); per-round middle half {q1:.3f}–{q3:.3f}; "
         f"{rt['rounds']} rounds × {rt['runs']} runs", "≤ 1.15", met(rt["of_means"] <= 1.15)),
        ("Poll interval in the drain loop", f"{period:.2f} ms (5 s drains, "
         f"{dr['polls_5s']:.0f} polls each)", "—", ""),
        ("Drain latency: engine copy's exit → launcher's exit",
         f"median {lat['median']:.1f} ms ({dr['latency_polls']['median']:.2f} polls), 90th pct "
         f"{lat['p90']:.1f} ms, max {lat['max']:.1f} ms ({dr['latency_polls']['max']:.2f} "
         f"polls); {dr['runs']} runs", f"≤ 2 polls ({2 * period:.1f} ms)",
         met(lat["max"] <= 2 * period)),
        ("Same with no copy: launcher vs minimal launcher", f"median {nc['latency_ms'][0]:.1f} "
         f"vs {nc['latency_ms'][1]:.1f} ms; {nc['runs']} runs each", "—", ""),
        ("Launcher CPU while the engine runs 5 s", f"{wt['launcher_ms']:.3f} ms in "
         f"{wt['window_s']:.1f} s (minimal launcher {wt['minimal_ms']:.3f} ms)",
         "≈ 0 (under 1 ms)", met(wt["launcher_ms"] < 1.0)),
        ("Launcher CPU per drain poll", f"{dr['cpu_per_poll_ms']:.3f} ms ("
         f"{dr['drain_cpu_ms']:.0f} ms over a {dr['drain_s']:.1f} s run of {dr['polls_5s']:.0f} "
         f"polls, {dr['cpu_per_poll_ms'] * 1e3 / period:.0f} µs per ms of drain; less "
         f"{nc['tail_cpu_ms']:.1f} ms for {nc['tail_polls']:.0f} poll and the exit)", "—", ""),
    ]
    for h in f["host"]:
        limit = " (1,024-id limit)" if h["walked"] != h["count"] else ""
        rows.append((f"Host poll cost, {'Toolhelp' if h['route'] == 'toolhelp' else 'PSAPI'}, "
                     f"{h['count']:,} processes",
                     f"{h['us']:,.1f} µs per poll, {h['ns_each']:,.0f} ns per process "
                     f"({h['walked']:,} walked{limit}; stand-in alone {h['bare_us']:,.1f} µs); "
                     f"heap blocks during {h['polls']:,} polls: {h['heap']}",
                     "0 heap blocks", met(h["heap"] == 0 and h["answer"] == 0)))
    lines = ["| Figure | Measured | Goal | Met |", "|---|---|---|---|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    load = " / ".join(f"{x:.2f}" for x in f["load"])
    lines += ["", f"{f['wine']}; load average {load} on {f['cores']} cores at the end; Wine "
              f"measurements {f['wine_s']:.0f} s."]
    return "\n".join(lines)


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

    w = Wine(o.prefix)
    started = time.monotonic()
    warm_up(w, o.pkg)
    f = {"size": os.path.getsize(o.launcher), "minimal_size": os.path.getsize(o.minimal)}
    f["ratio"] = measure_ratio(w, o.pkg, o.rounds, o.runs)
    f["no_copy"] = measure_no_copy(w, o.stamp_pkg, o.once_runs)
    f["drains"] = measure_drains(w, o.stamp_pkg, o.short_drains, o.long_drains, f["no_copy"])
    f["wait"] = measure_wait_cpu(w, o.pkg)
    f["host"] = read_host(o.host_tsv)
    f["wine_s"] = time.monotonic() - started
    f["wine"] = subprocess.run(["wine", "--version"], capture_output=True,
                               text=True).stdout.strip() or "wine (unknown version)"
    f["load"], f["cores"] = os.getloadavg(), os.cpu_count()
    print(render(f))


if __name__ == "__main__":
    main()

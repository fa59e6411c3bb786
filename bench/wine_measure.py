"""The Wine half of the bench, called by bench/run.sh with a prepared prefix. The measure_*
functions run launcher.exe (and the programs it is measured against: the minimal launcher, the
two pollers, sha256sum) under Wine or beside it and return their figures as plain dicts,
reporting progress on stderr only; render() turns the figures, with the host poll cost that
run.sh measured before, into one markdown table. bench/README.md tells how each figure is
measured.

Every program runs as `wine <exe>`, which becomes the program's own Linux process: os.wait4
gives its CPU time and /proc/<pid>/task/*/schedstat its CPU time so far. Wine starts processes
with a double fork, so the engine is never counted in the launcher's CPU time. The bench
engine's stamps and time.time_ns() read the same real-time clock; a stamp outside its run
stops the bench."""
import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

FILETIME_UNIX_EPOCH = 116444736000000000  # 100 ns ticks from 1601 to 1970
# What the trace says of the engine check, by whether the launcher is stamped.
VERIFIED = "Engine verified: its SHA-256 is the one stamped"
NOT_STAMPED = "Engine not verified: no hash stamped"
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

    def trace(self):
        """The launcher's trace (run with LOG) as a list of lines."""
        with open(os.path.join(self.temp, "launcher.log"), "rb") as f:
            return f.read().decode("latin-1").split("\r\n")

    def wine_tool(self, *args):
        """Runs one of Wine's own programs (reg, cmd) and returns its output."""
        done = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace")
        return done.returncode, done.stdout

    def set_version(self, version):
        """The Windows version the prefix reports to the programs started from now on:
        the Version value under HKCU\\Software\\Wine, which Wine reads for every program it
        starts, or none, Wine's default, where version is None. (`winecfg -v nt40` is refused
        in a 64-bit prefix, where winecfg offers no version before XP.) Returns the version
        that `cmd /c ver` then reports."""
        if version is None:
            self.wine_tool("reg", "delete", "HKCU\\Software\\Wine", "/v", "Version", "/f")
        else:
            rc, _ = self.wine_tool("reg", "add", "HKCU\\Software\\Wine", "/v", "Version",
                                   "/d", version, "/f")
            if rc != 0:
                raise SystemExit(f"bench: could not set the prefix's version to {version}")
        _, out = self.wine_tool("cmd", "/c", "ver")
        found = re.search(r"Windows (\d+\.\d+\.\d+)", out)
        if found is None:
            raise SystemExit(f"bench: `cmd /c ver` told no version: {out!r}")
        return found.group(1)

    def libraries_loaded(self, folder, exe, args=(), engine_env=None):
        """Runs `wine exe` once with Wine's loaddll trace and returns the file names (lower
        case) of the DLLs loaded, once per load, in every process of the run."""
        env = dict(self.env, **(engine_env or {}), WINEDEBUG="+loaddll")
        done = subprocess.run(["wine", exe, *args], cwd=folder, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, errors="replace")
        return [m.group(1).lower().rsplit("\\", 1)[-1] for m in
                re.finditer(r'loaddll:\w+ Loaded L"([^"]+)"', done.stderr)]

    def run(self, folder, exe, args=(), engine_env=None, watch=None, window=None, code=0):
        """Runs `wine exe` in a package folder and returns start, end (ns), cpu_ns, and:
        watch, a stamp file: cpu_at_watch, the CPU time when it appears, read at watch_seen
        (ns); window, (marker file, from_s, to_s): window_cpu_ns, the CPU time from from_s to
        to_s after it appears, None when the process ended before. The program must exit with
        code."""
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
            out["watch_seen"] = time.time_ns()
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
        got = os.waitstatus_to_exitcode(status)
        if got != code:
            raise SystemExit(f"bench: wine {exe} {' '.join(args)} exited {got}, not {code}")
        return out


# --- measuring ----------------------------------------------------------------------------

def warm_up(w, pkg):
    """The first runs start the prefix's services in the persistent server; not measured."""
    log("warming up the prefix")
    for _ in range(2):
        for exe in ("launcher.exe", "unstamped_launcher.exe", "minimal_launcher.exe"):
            w.run(pkg, exe)


def ratio_figures(rounds, exe, base="minimal"):
    """The run time of exe against base from rounds of {command: (times, cpu)}: ratios of the
    means (with a bootstrap 95% interval, the rounds resampled) and of the medians, the middle
    half of the single rounds' ratios, and each one's mean CPU time (user + system) per run."""
    l_all = [t for r in rounds for t in r[exe][0]]
    m_all = [t for r in rounds for t in r[base][0]]
    rng = random.Random(1)
    boot = sorted(sum(sum(r[exe][0]) for r in pick) / sum(sum(r[base][0]) for r in pick)
                  for pick in ([rng.choice(rounds) for _ in rounds] for _ in range(2000)))
    per_round = sorted(statistics.mean(r[exe][0]) / statistics.mean(r[base][0])
                       for r in rounds)
    n = len(per_round)
    return {
        "mean_ms": (statistics.mean(l_all) * 1e3, statistics.mean(m_all) * 1e3),
        "stdev_ms": (statistics.stdev(l_all) * 1e3, statistics.stdev(m_all) * 1e3),
        "median_ms": (statistics.median(l_all) * 1e3, statistics.median(m_all) * 1e3),
        "cpu_ms": tuple(statistics.mean(r[key][1] for r in rounds) * 1e3 for key in (exe, base)),
        "of_means": statistics.mean(l_all) / statistics.mean(m_all),
        "of_medians": statistics.median(l_all) / statistics.median(m_all),
        "interval95": (boot[int(0.025 * len(boot))], boot[int(0.975 * len(boot)) - 1]),
        "middle_half": (per_round[n // 4], per_round[(3 * n) // 4]),
        "rounds": len(rounds),
    }


def measure_ratio(w, pkg, rounds, runs):
    """Run time of launcher.exe (stamped) and of unstamped_launcher.exe against the minimal
    launcher, the test engine exiting at once: hyperfine rounds of the three commands, their
    order turned by one every round."""
    log(f"run time ratio, {rounds} hyperfine rounds of {runs} runs per command")
    commands = {"stamped": "wine launcher.exe", "unstamped": "wine unstamped_launcher.exe",
                "minimal": "wine minimal_launcher.exe"}
    keys = list(commands)
    measured = []  # per round: {key: (times in s, mean user + system CPU in s)}
    for r in range(rounds):
        order = [commands[k] for k in keys[r % 3:] + keys[:r % 3]]
        with tempfile.NamedTemporaryFile(suffix=".json") as f:
            done = subprocess.run(["hyperfine", "-N", "--style", "none", "--runs", str(runs),
                                   "--export-json", f.name, *order],
                                  cwd=pkg, env=w.env, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"bench: hyperfine failed: {done.stderr[-800:]}")
            results = {res["command"]: res for res in json.load(f)["results"]}
        measured.append({k: (results[c]["times"], results[c]["user"] + results[c]["system"])
                         for k, c in commands.items()})
    return {"stamped": ratio_figures(measured, "stamped"),
            "unstamped": ratio_figures(measured, "unstamped"), "runs": runs}


ROUTE_EXIT_CODE = 7  # the bench engine's, which every program must pass on
# The launcher's first scan after its engine comes 5 ms after the engine's exit (one Sleep(5)):
# a CPU reading later than this after the engine's stamp might miss it, and is taken again.
WATCH_LAG_MAX_NS = 4_000_000


def route_run(w, pkg, exe, copy_ms, tries=3):
    """One run where the bench engine starts a copy living copy_ms and exits at once: the
    program's CPU time from the first engine's stamp to its own exit (the wait), and the time
    from the copy's stamp to its exit (the end). A run whose CPU reading came later than
    WATCH_LAG_MAX_NS after the stamp is run again, up to tries runs in all."""
    env = {"BENCH_COPY_MS": str(copy_ms), "BENCH_STAMP_FILE": "C:\\temp\\spawner.stamp",
           "BENCH_COPY_STAMP_FILE": "C:\\temp\\copy.stamp",
           "BENCH_EXIT_CODE": str(ROUTE_EXIT_CODE)}
    for attempt in range(1, tries + 1):
        r = w.run(pkg, exe, [], env, watch="spawner.stamp", code=ROUTE_EXIT_CODE)
        lag = r["watch_seen"] - w.checked_stamp(r, "spawner.stamp")
        if r["cpu_at_watch"] is None:
            raise SystemExit(f"bench: {exe} ended before its engine's copy")
        if lag <= WATCH_LAG_MAX_NS:
            break
        log(f"{exe}: CPU read {ms(lag):.1f} ms after the engine's stamp; run again")
    else:
        raise SystemExit(f"bench: {tries} runs of {exe} in a row read its CPU time too late "
                         "after the engine's stamp: the machine is too busy")
    return {"wait_cpu_ns": r["cpu_ns"] - r["cpu_at_watch"],
            "end_ns": r["end"] - w.checked_stamp(r, "copy.stamp"), "lag_ns": lag,
            "again": attempt - 1}


def measure_route(w, pkg, name, version, poller, psapi_loads, rounds, copy_ms=3000):
    """One route of the wait: the prefix set to version (None: Wine's default), a check of
    the route the launcher takes there (psapi.dll loads in a traced run whose engine exits at
    once: psapi_loads, 0 on the Toolhelp route), then rounds of one run of launcher.exe and one
    of the poller, their order swapped every round."""
    log(f"{name} route: the prefix at {version or 'its default version'}")
    reported = w.set_version(version)
    loads = w.libraries_loaded(pkg, "launcher.exe", ["LOG"]).count("psapi.dll")
    if loads != psapi_loads:
        raise SystemExit(f"bench: launcher.exe loaded psapi.dll {loads} times at Windows "
                         f"{reported}, not {psapi_loads}: not the {name} route")
    log(f"{name} route: {rounds} rounds of launcher.exe and {poller}, an engine copy living "
        f"{copy_ms} ms")
    runs = {"launcher.exe": [], poller: []}
    for r in range(rounds):
        for exe in (["launcher.exe", poller] if r % 2 == 0 else [poller, "launcher.exe"]):
            runs[exe].append(route_run(w, pkg, exe, copy_ms))
    med = {exe: {key: statistics.median(x[key] for x in rs) for key in ("wait_cpu_ns", "end_ns")}
           for exe, rs in runs.items()}
    lau, pol = med["launcher.exe"], med[poller]
    return {"name": name, "setting": version or "Wine's default", "version": reported,
            "psapi_loads": loads, "poller": poller, "rounds": rounds, "copy_s": copy_ms / 1000,
            "wait_cpu_ms": (ms(lau["wait_cpu_ns"]), ms(pol["wait_cpu_ns"])),
            "cpu_ratio": lau["wait_cpu_ns"] / pol["wait_cpu_ns"],
            "end_ms": (ms(lau["end_ns"]), ms(pol["end_ns"])),
            "end_max_ms": (ms(max(x["end_ns"] for x in runs["launcher.exe"])),
                           ms(max(x["end_ns"] for x in runs[poller]))),
            "lag_max_ms": ms(max(x["lag_ns"] for rs in runs.values() for x in rs)),
            "again": sum(x["again"] for rs in runs.values() for x in rs)}


def check_verdict(w, pkg, exe, expected):
    """Runs exe with LOG once and returns its trace's line on the engine check, which must be
    the one expected."""
    w.run(pkg, exe, ["LOG"])
    lines = [line for line in w.trace() if line.startswith("Engine ")]
    if lines != [expected]:
        raise SystemExit(f"bench: {exe} in {pkg} traced {lines}, not {expected!r}")
    return lines[0]


def measure_nt4_check(w, pkg):
    """At NT 4 (set by the caller): what the stamped launcher of the ratio's package makes of
    its engine. Before Vista the launcher asks CryptoAPI, and Wine's does not ask the version; on
    a real NT 4 there is no SHA-256."""
    w.run(pkg, "launcher.exe", ["LOG"])
    return [line for line in w.trace() if line.startswith("Engine ")]


def timed(argv, cwd, env):
    """Wall time (ns) of one program from its start to the return of its wait."""
    start = time.monotonic_ns()
    done = subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    took = time.monotonic_ns() - start
    if done.returncode != 0:
        raise SystemExit(f"bench: {' '.join(argv)} exited {done.returncode}")
    return took


def measure_engine_check(w, pkg, rounds):
    """The engine check of a 50 MB engine: the stamped launcher against the same launcher
    unstamped, both starting that engine (the test engine, which exits at once), and sha256sum
    of the same file, in rounds of one run of each, their order turned every round; the page
    cache warmed first."""
    engine = os.path.join(pkg, "bv_setup.exe")
    size = os.path.getsize(engine)
    log(f"engine check: {size / 2**20:.0f} MB engine, {rounds} rounds of stamped launcher, "
        "unstamped launcher, sha256sum")
    check_verdict(w, pkg, "stamped_launcher.exe", VERIFIED)
    check_verdict(w, pkg, "launcher.exe", NOT_STAMPED)
    commands = {"stamped": ["wine", "stamped_launcher.exe"], "unstamped": ["wine", "launcher.exe"],
                "sha256sum": ["sha256sum", engine]}
    for argv in commands.values():  # warm: the page cache, and the prefix for both launchers
        timed(argv, pkg, w.env)
    times = {key: [] for key in commands}
    keys = list(commands)
    for r in range(rounds):
        for key in keys[r % 3:] + keys[:r % 3]:
            times[key].append(timed(commands[key], pkg, w.env))
    med = {key: statistics.median(t) for key, t in times.items()}
    added = med["stamped"] - med["unstamped"]
    per_round = sorted((s - u) / h for s, u, h in
                       zip(times["stamped"], times["unstamped"], times["sha256sum"]))
    n = len(per_round)
    return {"size": size, "rounds": rounds,
            "median_ms": {key: ms(v) for key, v in med.items()},
            "added_ms": ms(added), "ratio": added / med["sha256sum"],
            "middle_half": (per_round[n // 4], per_round[(3 * n) // 4])}


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

    def ratio_cell(rt, runs):
        (mean_l, mean_m), (sd_l, sd_m) = rt["mean_ms"], rt["stdev_ms"]
        (med_l, med_m), (lo, hi), (q1, q3) = rt["median_ms"], rt["interval95"], rt["middle_half"]
        return (f"**{rt['of_means']:.3f}** (means {mean_l:.1f} ± {sd_l:.1f} vs {mean_m:.1f} ± "
                f"{sd_m:.1f} ms), 95% interval {lo:.3f}–{hi:.3f}; of medians "
                f"{rt['of_medians']:.3f} ({med_l:.1f} vs {med_m:.1f} ms); per-round middle half "
                f"{q1:.3f}–{q3:.3f}; CPU {rt['cpu_ms'][0]:.1f} vs {rt['cpu_ms'][1]:.1f} ms a "
                f"run; {rt['rounds']} rounds × {runs} runs")

    rt, wt, ck = f["ratio"], f["wait"], f["check"]
    rows = [
        ("launcher.exe size", f"{f['size']:,} bytes ({f['size'] / 1024:.1f} KiB); minimal "
         f"launcher {f['minimal_size']:,} bytes", "≤ 32,768 bytes (32 KiB)",
         met(f["size"] <= 32768)),
        ("Run time, launcher (stamped, engine checked) ÷ minimal launcher (engine exits at once)",
         ratio_cell(rt["stamped"], rt["runs"]), "≤ 1.15",
         met(rt["stamped"]["of_means"] <= 1.15)),
        ("Same, the launcher unstamped (no check), in the same rounds",
         ratio_cell(rt["unstamped"], rt["runs"]), "—", ""),
        ("Launcher CPU while the engine runs 5 s", f"{wt['launcher_ms']:.3f} ms in "
         f"{wt['window_s']:.1f} s (minimal launcher {wt['minimal_ms']:.3f} ms)",
         "≈ 0 (under 1 ms)", met(wt["launcher_ms"] < 1.0)),
    ]
    for rs in f["routes"]:
        (cpu_l, cpu_p), (end_l, end_p), (max_l, max_p) = (rs["wait_cpu_ms"], rs["end_ms"],
                                                          rs["end_max_ms"])
        where = (f"prefix at {rs['setting']}: Windows {rs['version']}, launcher loaded "
                 f"psapi.dll {rs['psapi_loads']}× in a traced run; {rs['rounds']} runs each, copy living {rs['copy_s']:.0f} s")
        rows.append((f"{rs['name']} route: wait CPU, launcher ÷ {rs['poller']}",
                     f"**{rs['cpu_ratio']:.4f}** (medians {cpu_l:.2f} vs {cpu_p:.2f} ms, first "
                     f"engine's exit → program's exit; CPU read at most {rs['lag_max_ms']:.1f} "
                     f"ms after the stamp, {rs['again']} runs taken again); {where}", "≤ 0.05",
                     met(rs["cpu_ratio"] <= 0.05)))
        rows.append((f"{rs['name']} route: copy's exit → program's exit, launcher vs "
                     f"{rs['poller']}",
                     f"medians **{end_l:.1f}** vs {end_p:.1f} ms ({end_l - end_p:+.1f} ms); max "
                     f"{max_l:.1f} vs {max_p:.1f} ms", "launcher ≤ poller + 30 ms",
                     met(end_l <= end_p + 30)))
    rows.append(("Stamped launcher of the ratio's package at NT 4", "; ".join(f["nt4_check"]),
                 "—", ""))
    m = ck["median_ms"]
    small = rt["stamped"]["median_ms"][0] - rt["unstamped"]["median_ms"][0]
    rows.append((f"Engine check of a {ck['size'] / 2**20:.0f} MB engine: added time ÷ sha256sum",
                 f"**{ck['ratio']:.2f}** (stamped {m['stamped']:.1f} − unstamped "
                 f"{m['unstamped']:.1f} = {ck['added_ms']:.1f} ms added, sha256sum "
                 f"{m['sha256sum']:.1f} ms; medians); per-round middle half "
                 f"{ck['middle_half'][0]:.2f}–{ck['middle_half'][1]:.2f}; {ck['rounds']} rounds; "
                 f"the check of the 82 KB engine adds {small:.1f} ms (medians of the ratio's "
                 "rounds), the start of CNG included", "≤ 1.5", met(ck["ratio"] <= 1.5)))
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
    load = [" / ".join(f"{x:.2f}" for x in f[key]) for key in ("load_start", "load")]
    lines += ["", f"{f['wine']}; load average {load[0]} on {f['cores']} cores at the start of "
              f"the Wine measurements, {load[1]} at their end; Wine measurements "
              f"{f['wine_s']:.0f} s."]
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--prefix", required=True)
    p.add_argument("--pkg", required=True, help="package folder with the test engine")
    p.add_argument("--stamp-pkg", required=True,
                   help="package folder with the bench engine and the pollers")
    p.add_argument("--big-pkg", required=True,
                   help="package folder with the 50 MB engine and the stamped launcher")
    p.add_argument("--launcher", required=True, help="the launcher.exe whose size is taken")
    p.add_argument("--minimal", required=True, help="the minimal launcher, for its size")
    p.add_argument("--host-tsv", required=True)
    p.add_argument("--rounds", type=int, default=40)
    p.add_argument("--runs", type=int, default=2)
    p.add_argument("--route-rounds", type=int, default=5)
    p.add_argument("--check-rounds", type=int, default=12)
    o = p.parse_args()

    w = Wine(o.prefix)
    started = time.monotonic()
    load_start = os.getloadavg()
    warm_up(w, o.pkg)
    f = {"size": os.path.getsize(o.launcher), "minimal_size": os.path.getsize(o.minimal)}
    check_verdict(w, o.pkg, "launcher.exe", VERIFIED)
    check_verdict(w, o.pkg, "unstamped_launcher.exe", NOT_STAMPED)
    f["ratio"] = measure_ratio(w, o.pkg, o.rounds, o.runs)
    f["wait"] = measure_wait_cpu(w, o.pkg)
    f["check"] = measure_engine_check(w, o.big_pkg, o.check_rounds)
    try:
        f["routes"] = [measure_route(w, o.stamp_pkg, "Toolhelp", None, "toolhelp_poller.exe",
                                     0, o.route_rounds),
                       measure_route(w, o.stamp_pkg, "NT 4", "nt40", "nt4_poller.exe", 1,
                                     o.route_rounds)]
        f["nt4_check"] = measure_nt4_check(w, o.pkg)
    finally:
        w.set_version(None)
    f["host"] = read_host(o.host_tsv)
    f["wine_s"] = time.monotonic() - started
    f["wine"] = subprocess.run(["wine", "--version"], capture_output=True,
                               text=True).stdout.strip() or "wine (unknown version)"
    f["load_start"], f["load"], f["cores"] = load_start, os.getloadavg(), os.cpu_count()
    print(render(f))


if __name__ == "__main__":
    main()

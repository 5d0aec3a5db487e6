#!/usr/bin/env python3
"""Writes docs/benchmarks.md from the results files the benchmark scripts leave.

  report.py [--results DIR] [--out FILE] [--base FILE] [--only NAME]...

DIR (default build-bench/results) holds run.json (bench/run.sh), gnome.json, wayland.json,
wine.json and arrangement.json. Each present file replaces its sections of BASE (default: the committed
docs/benchmarks.md); the rest of BASE, the notes written by hand among them, stays. --only
takes just those results. A quick run's results (VELMORA_BENCH_QUICK=1) never go into
docs/benchmarks.md: they are too few samples to stand for anything.
"""
import argparse
import json
import math
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC = os.path.join(ROOT, "docs", "benchmarks.md")


# ---- Statistics -----------------------------------------------------------------------------
def percentile(values, q):
    """Linear interpolation between the closest ranks (as bench/Percentile.h); NaN for none."""
    v = sorted(values)
    if not v:
        return math.nan
    pos = q * (len(v) - 1)
    lo = int(math.floor(pos))
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (pos - lo)


def median(values):
    v = sorted(values)
    m = len(v)
    return v[(m - 1) // 2] if m % 2 else (v[m // 2 - 1] + v[m // 2]) / 2


def rank(values, q):
    """The sample at a rank: p50 = v[(n + 1) / 2], p90 = v[(n - 1) * 0.9 + 1] (1-based)."""
    v = sorted(values)
    return v[int((len(v) + 1) * 0.5) - 1] if q == 0.5 else v[int((len(v) - 1) * 0.9)]


def f(fmt, v):
    return fmt % v


def r(fmt, v):
    """v as printed with fmt, read back: a figure formatted twice rounds as the reader sees it."""
    return float(fmt % v)


# ---- velmora_xwatch restore series ------------------------------------------------------------
class Restore:
    def __init__(self, series):
        self.switches = series["switches"]
        self.timeout = series["timeout_ms"]
        ms = [s["restore_ms"] for s in self.switches if s["restore_ms"] is not None]
        self.ms = ms
        self.n = len(ms)
        self.timeouts = len(self.switches) - len(ms)
        self.unexpected = series["unexpected"]
        self.p50, self.p90, self.p10 = (percentile(ms, q) for q in (0.5, 0.9, 0.1))
        self.max = max(ms) if ms else math.nan
        self.min = min(ms) if ms else math.nan

    def __getitem__(self, key):
        return f("%.2f", getattr(self, key)) if key not in ("n", "timeouts", "unexpected") else str(getattr(self, key))

    def launch_p50(self):
        # Read as they are shown, two decimals.
        return f("%.1f", percentile([r("%.2f", s["launch_ms"]) for s in self.switches if s["restore_ms"] is not None], 0.5))

    def text(self):
        lines = ["# switch  foreign-mode  xrandr-start-to-switch-ms  restore-ms"]
        for s in self.switches:
            if s["restore_ms"] is None:
                lines.append("%3d  %-16s %8.2f  timeout(>%.0f ms)" % (s["switch"], s["foreign_mode"], s["launch_ms"], self.timeout))
            else:
                lines.append("%3d  %-16s %8.2f  %8.2f" % (s["switch"], s["foreign_mode"], s["launch_ms"], s["restore_ms"]))
        lines.append("RESULT n=%d timeouts=%d unexpected=%d p50=%.2f p90=%.2f max=%.2f min=%.2f p10=%.2f"
                     % (self.n, self.timeouts, self.unexpected, self.p50, self.p90, self.max, self.min, self.p10))
        return lines


def details(summary, lines):
    return ["<details><summary>%s</summary>" % summary, "", "```"] + lines + ["```", "</details>", ""]


# ---- bench/run.sh --------------------------------------------------------------------------------
def fmt_ms(ms):
    return f("%.3f", ms) if ms < 1 else f("%.2f", ms) if ms < 100 else f("%.1f", ms)


class Figure:
    def __init__(self, d):
        self.d = d
        self.failed = "failed" in d
        if not self.failed:
            ms, runs = d["ms"], d["runs"]
            per = len(ms) // runs
            self.run_medians = [percentile(ms[i * per:(i + 1) * per], 0.5) for i in range(runs)]
            # As the program printed them (four decimals) before any reader saw them.
            self.median, self.p10, self.p90 = (r("%.4f", percentile(ms, q)) for q in (0.5, 0.1, 0.9))
            self.rt = d["round_trips"]

    def row(self):
        d = self.d
        if self.failed:
            return "| %s | – | failed: %s | | | | |" % (d["what"], d["failed"])
        lo, hi = self.rt
        rt = "–" if hi < 0 else str(lo) if lo == hi else "%d–%d" % (lo, hi)
        ms = d["ms"]
        return "| %s | %d × %d | %s | %s–%s | %s | %s–%s | %s |" % (
            d["what"], d["runs"], len(ms) // max(1, d["runs"]), fmt_ms(percentile(ms, 0.5)),
            fmt_ms(percentile(ms, 0.1)), fmt_ms(percentile(ms, 0.9)), fmt_ms(max(ms)),
            fmt_ms(min(self.run_medians)), fmt_ms(max(self.run_medians)), rt)


def figures_table(series):
    figs = [Figure(d) for d in series["figures"]]
    lines = ["| figure | runs × calls | median ms | p10–p90 ms | max ms | run medians ms (min–max) | X round trips per call |",
             "|---|---|---|---|---|---|---|"]
    return lines + [x.row() for x in figs], {x.d["key"]: x for x in figs}


def cpu_stats(rows, hz):
    """Of samples "time ticks ns x-ticks x-ns": % over the whole run from ticks and from run time,
    median / min / max of each window's %, the X server's %, the ticks counted."""
    t = [x[0] for x in rows]
    dt = t[-1] - t[0]
    w = sorted((rows[i][2] - rows[i - 1][2]) / ((t[i] - t[i - 1]) * 1e9) * 100 for i in range(1, len(rows)))
    raw = {
        "stat": (rows[-1][1] - rows[0][1]) / hz / dt * 100,
        "ns": (rows[-1][2] - rows[0][2]) / (dt * 1e9) * 100,
        "med": median(w), "min": w[0], "max": w[-1],
        "x": (rows[-1][4] - rows[0][4]) / (dt * 1e9) * 100,
    }
    s = {k: r("%.4f", v) for k, v in raw.items()}
    s["ticks"] = f("%.0f", rows[-1][1] - rows[0][1])
    return s


def pct(v):
    return f("%.3f", v)


def mb(kb):
    return f("%.1f", kb * 1024 / 1e6)


def verdict(ok):
    return "met" if ok else "**missed**"


def run_part(res, quick):
    v, s = res["values"], res["series"]
    hz = int(v["clk_tck"])
    out = []
    p = out.append
    secs = int(v["seconds"])
    output, locked = v["output"], v["locked_mode"]
    cpu_seconds, cpu_window, startup_runs = v["cpu_seconds"], v["cpu_window"], v["startup_runs"]
    restore = {k: Restore(s[k]) for k in s if k.startswith("restore-")}
    inproc_lines, inproc = figures_table(s["inprocess"])
    placement = v["placement"] == "1"
    cpu = {k: cpu_stats(s["cpu-" + k], hz) for k in ("locked", "unlocked", "tray", "hold1", "hold3")}
    hold_ratio = f("%.2f", cpu["hold3"]["ns"] / cpu["hold1"]["ns"])
    starts = s["startup"]
    mapped = [x["mapped_ms"] for x in starts]
    rss = [x["rss_kb"] for x in starts]
    m = {k: r("%.2f", percentile(mapped, q)) for k, q in (("med", 0.5), ("p10", 0.1), ("p90", 0.9))}
    m.update(min=min(mapped), max=max(mapped))
    k = {k: r("%.2f", percentile(rss, q)) for k, q in (("med", 0.5), ("p10", 0.1), ("p90", 0.9))}
    k.update(min=min(rss), max=max(rss))
    mapf = {x: f("%.2f", y) for x, y in m.items()}
    rss_cpu = {x: s["cpu-%s-rss" % x][0][0] for x in ("locked", "unlocked", "tray")}

    def spread(key):
        return "p10–p90 %.3f–%.3f" % (inproc[key].p10, inproc[key].p90)

    def restore_row(label, interval, what, limit, strict):
        x = restore["restore-%s-%s" % (label, interval)]
        extra = "" if x.timeouts == 0 else ", %d of the switches not restored in time" % x.timeouts
        p50 = float(x["p50"])
        ok = p50 < limit if strict else p50 <= limit
        return "| restore p50, %s, %s ms | %s %d ms | %s ms (p90 %s, max %s; %s switches%s) | %s |" % (
            what, interval, "<" if strict else "≤", limit, x["p50"], x["p90"], x["max"], x["n"], extra, verdict(ok))

    busy, steal, total = (int(v["machine_" + x]) for x in ("busy", "steal", "total"))
    p("# Benchmarks")
    p("")
    p("Written by `bench/run.sh` on %s in %d min %d s." % (v["date"], secs // 60, secs % 60))
    p("Every figure up to \"Commands\" is what that run measured; run the script again to refresh them.")
    p("The sections after it name the runs they come from.")
    if quick:
        p("")
        p("**A quick run (VELMORA_BENCH_QUICK=1): too few samples to stand for anything.**")
    p("")
    p("## Machine and programs")
    p("")
    p("| | |")
    p("|---|---|")
    p("| CPU | %s, `nproc` = %s |" % (v["cpu_model"], v["nproc"]))
    p("| memory | %.1f GiB |" % (int(v["mem_kb"]) / 1048576))
    p("| system | Debian %s, Linux %s |" % (v["debian"], v["kernel"]))
    p("| Qt | %s, %s |" % (v["qt"], v["gxx"]))
    p("| X server | %s, dummy video driver (`scripts/xorg-dummy.conf`), output %s, tray host trayer, no window manager |" % (v["xorg"], output))
    changed = "; uncommitted changes outside bench/ and docs/: " + v["changed"] if v["changed"] else ""
    p("| \"after\" | working tree at %s (event-triggered restore), RelWithDebInfo%s |" % (v["head"], changed))
    p("| \"before\" | %s (poll only), from `git archive`, RelWithDebInfo |" % v["before"])
    p("| load meanwhile | all CPUs busy %.1f %% of the time during the measurements (this benchmark and anything else on the machine), stolen by the hypervisor %.1f %%; load average %s at the start, %s at the end |"
      % (busy / total * 100, steal / total * 100, v["load_start"], v["load_end"]))
    p("")
    p("## Figures against the targets")
    p("")
    p("| figure | target | measured | |")
    p("|---|---|---|---|")
    p(restore_row("before", 1000, "poll only (before)", 530, False))
    p(restore_row("before", 100, "poll only (before)", 80, False))
    p(restore_row("head", 1000, "event restore (after)", 50, True))
    p(restore_row("head", 100, "event restore (after)", 80, False))
    ta, tb = inproc["tick_after_idle"].median, inproc["tick_idle"].median
    p("| one `Deamon` tick (mode in place) | < 0.5 ms | %s ms after 100 ms idle (%s); %s ms back to back (%s) | %s |"
      % (pct(ta), spread("tick_after_idle"), pct(tb), spread("tick_idle"), verdict(ta < 0.5 and tb < 0.5)))

    def cpu_row(label, what, target, limit):
        c = cpu[label]
        return "| %s | %s | %s %% over %s s (per %s s: median %s, %s–%s); /proc/PID/stat: %s ticks = %s %% | %s |" % (
            what, target, pct(c["ns"]), cpu_seconds, cpu_window, pct(c["med"]), pct(c["min"]), pct(c["max"]),
            c["ticks"], pct(c["stat"]), verdict(c["ns"] < limit))
    p(cpu_row("locked", "CPU while locked (`-d`, nothing happens)", "< 0.05 % of a core", 0.05))
    p(cpu_row("unlocked", "CPU while unlocked (window shown)", "≈ 0 (taken as < 0.005 %, a tenth of the locked budget)", 0.005))
    p(cpu_row("tray", "CPU while unlocked, in the tray (window hidden)", "≈ 0 (taken as < 0.005 %)", 0.005))
    p("| CPU holding three monitors / holding one (`-d`, at once, same interval) | ≤ 1.2× | %s× (%s %% / %s %% over %s s) | %s |"
      % (hold_ratio, pct(cpu["hold3"]["ns"]), pct(cpu["hold1"]["ns"]), cpu_seconds, verdict(float(hold_ratio) <= 1.2)))
    p("| start to main window mapped | < 300 ms | %s ms (p10–p90 %s–%s, max %s; %s starts) | %s |"
      % (mapf["med"], mapf["p10"], mapf["p90"], mapf["max"], startup_runs, verdict(m["med"] < 300)))
    p("| RSS after start (window shown) | < 40 MB | %s MB (min–max %s–%s; %s starts); with `-d`: %s MB | %s |"
      % (mb(k["med"]), mb(k["min"]), mb(k["max"]), startup_runs, mb(rss_cpu["locked"]), verdict(float(mb(k["max"])) < 40)))
    table = inproc["table_2000"].median
    p("| filling the table with 2,000 modes | < 100 ms | %s ms (%s) | %s |" % (pct(table), spread("table_2000"), verdict(table < 100)))
    p("")
    p("MB = 10⁶ bytes. Spreads: p10–p90 over all calls or switches; for CPU, the %s s windows." % cpu_window)
    p("")
    p("## Restore latency, measured from outside")
    p("")
    p("The program runs as a user would start it at log-on (`velmora -d`, fresh home, the mode in")
    p("use `%s` locked; for 100 ms, `[Deamon] msec=100` written to" % locked)
    p("`~/.config/Orvanne/Velmora.conf` before the start). `bench/velmora_xwatch restore` then")
    p("runs `xrandr --output %s --mode M` (M in turn: %s) and listens to" % (output, v["foreign_modes"].replace(",", ", ")))
    p("RandR CRTC-change events on its own connection: t0 = the event that takes the locked mode")
    p("off the CRTC, t1 = the event that puts it back; latency = t1 − t0 on the listener's clock.")
    p("Between switches it waits one interval + 50 ms + k·0.618 (mod 1) of an interval, so every")
    p("switch is a fresh event for the one-restore-per-interval limit and the switches fall evenly")
    p("over the phase of the poll timer.")
    p("")
    p("| program | interval | switches | p50 ms | p90 ms | max ms | p10–p90 ms | min ms | not restored | xrandr start → switch, ms (p50) |")
    p("|---|---|---|---|---|---|---|---|---|---|")
    for label in ("before", "head"):
        for interval in (1000, 100):
            x = restore["restore-%s-%d" % (label, interval)]
            name = "before (poll only)" if label == "before" else "after (event restore)"
            p("| %s | %d ms | %s | %s | %s | %s | %s–%s | %s | %s | %s |" % (
                name, interval, x["n"], x["p50"], x["p90"], x["max"], x["p10"], x["p90"], x["min"], x["timeouts"], x.launch_p50()))
    p("")
    for label in ("before", "head"):
        for interval in (1000, 100):
            out.extend(details("every switch: %s, %d ms" % (label, interval), restore["restore-%s-%d" % (label, interval)].text()))
    p("## In-process costs")
    p("")
    p("`bench/velmora_bench`: the program's own classes, each call timed on its own (steady clock),")
    p("after a few untimed warm-up calls; X round trips counted by `X11DisplayBackend::takeRoundTrips()`.")
    p("Widgets on the offscreen platform; the display layer on the X server above. The program's debug")
    p("lines are written to a file, as they are in the program.")
    p("")
    out.extend(inproc_lines)
    p("")
    if placement:
        same_lines, same = figures_table(s["ticks-same-core"])
        other_lines, other = figures_table(s["ticks-other-core"])
        p("### The same calls with this thread and the X server pinned")
        p("")
        p("Both on CPU 0:")
        p("")
        out.extend(same_lines)
        p("")
        p("The X server on CPU 0, the benchmark on CPU 1:")
        p("")
        out.extend(other_lines)
        p("")
        rt = inproc["current_index"].rt[0]
        p("Per X round trip (`currentIndex()` makes %d): %.0f µs on one core," % (rt, same["current_index"].median * 1000 / rt))
        p("%.0f µs across cores. Unpinned, the scheduler picks either." % (other["current_index"].median * 1000 / rt))
        p("")
    p("## CPU time and memory")
    p("")
    p("The program started with a fresh home at the seeded 1000 ms interval, nothing else happening")
    p("on the display; sampled %s s from 3 s after the start. CPU %% = run time / wall time" % cpu_seconds)
    p("(100 % = one core); run time from every thread's `/proc/PID/task/*/schedstat` (ns) and from")
    p("`/proc/PID/stat` utime+stime (%d ms ticks, too coarse for these amounts)." % (1000 // hz))
    p("")
    p("| state | CPU %% (schedstat) | per %s s: median (min–max) | CPU %% (stat) | X server CPU %% meanwhile | VmRSS 2 s after start |" % cpu_window)
    p("|---|---|---|---|---|---|")
    for label, what in (("locked", "locked (`-d`)"), ("unlocked", "unlocked (window shown)"), ("tray", "unlocked, in the tray")):
        c = cpu[label]
        p("| %s | %s | %s (%s–%s) | %s | %s | %s MB |" % (what, pct(c["ns"]), pct(c["med"]), pct(c["min"]), pct(c["max"]),
                                                       pct(c["stat"]), pct(c["x"]), mb(rss_cpu[label])))
    p("")
    p("Run time by thread over the %s s (`velmora` is the GUI thread, `QThread` the lock" % cpu_seconds)
    p("thread that runs `Deamon`); \"on CPU\" counts how often the thread was put on a CPU.")
    p("")
    p("| state | thread | run time ms | % of a core | on CPU per second |")
    p("|---|---|---|---|---|")

    def thread_deltas(label):
        start = {str(t[0]): t for t in s["threads-%s-start" % label]}
        for t in s["threads-%s-end" % label]:
            s0 = start.get(str(t[0]), [0, 0, 0])
            yield str(t[3]), t[1] - s0[1], t[2] - s0[2]
    secs_cpu = int(cpu_seconds)
    for label in ("locked", "unlocked", "tray"):
        for name, d, o in thread_deltas(label):
            if d > 0:
                p("| %s | %s | %.2f | %.4f | %.1f |" % (label, name, d / 1e6, d / (secs_cpu * 1e9) * 100, o / secs_cpu))
    p("")
    p("## Start to window")
    p("")
    p("`bench/velmora_xwatch startup`: from just before the program is started (no `-d`) to the")
    p("MapNotify of its main window (WM_CLASS velmora, ≥ 300 px wide) on the root window; VmRSS 1 s")
    p("later; then SIGTERM. One warm-up start (not counted), then %s starts with the same home." % startup_runs)
    p("")
    p("| | median | p10–p90 | min–max |")
    p("|---|---|---|---|")
    p("| start → window mapped | %s ms | %s–%s ms | %s–%s ms |" % (mapf["med"], mapf["p10"], mapf["p90"], mapf["min"], mapf["max"]))
    p("| VmRSS | %s MB | %s–%s MB | %s–%s MB |" % (mb(k["med"]), mb(k["p10"]), mb(k["p90"]), mb(k["min"]), mb(k["max"])))
    p("")
    p("## Several monitors")
    p("")
    p("DUMMY1 and DUMMY2 switched on beside %s (`xrandr --addmode` of %s and the foreign modes," % (output, locked))
    p("`--right-of`), all three at %s, %s primary. The program holds %s as its own (the" % (locked, output, output))
    p("mode in use at its start) and the others through the store: `[Monitors]` groups written into")
    p("`~/.config/Orvanne/Velmora.conf` of its fresh home before the start (the four values, Identity empty:")
    p("the dummy driver publishes no EDID, so the key is the connector; Connector, Name, Locked=true). It")
    p("was checked to hold them: a tick line with the held mode in place for each. Seeded 1000 ms interval.")
    p("Measured %s → %s (load average at the start and the end of this part); the" % (v["load_multi_start"], v["load_multi_end"]))
    p("machine was shared with other work meanwhile (see \"load meanwhile\" above).")
    p("")
    p("Restore latency, one program holding %s and DUMMY1: first only %s switched, then both in one" % (output, output))
    p("`xrandr --output %s --mode M --output DUMMY1 --mode M` (one series after the other, the same" % output)
    p("switches and pauses as above). For two, t0 = the first CRTC change that takes a locked mode off")
    p("either output, t1 = the change after which both have it again.")
    p("")
    p("| switched at once | switches | p50 ms | p90 ms | max ms | p10–p90 ms | min ms | not restored |")
    p("|---|---|---|---|---|---|---|---|")
    names = {"one": output, "two": output + " and DUMMY1"}
    for kk in ("one", "two"):
        x = restore["restore-multi-" + kk]
        p("| %s | %s | %s | %s | %s | %s–%s | %s | %s |" % (names[kk], x["n"], x["p50"], x["p90"], x["max"], x["p10"], x["p90"], x["min"], x["timeouts"]))
    p("")
    for kk in ("one", "two"):
        out.extend(details("every switch: " + names[kk], restore["restore-multi-" + kk].text()))
    p("CPU: two programs (`-d`, fresh homes) running at the same time, one holding %s only, the other" % output)
    p("%s, DUMMY1 and DUMMY2, with the same three outputs on; both sampled over the same %s s, as in" % (output, cpu_seconds))
    p("\"CPU time and memory\" above.")
    p("")
    p("| holds | CPU %% (schedstat) | per %s s: median (min–max) | CPU %% (stat) |" % cpu_window)
    p("|---|---|---|---|")
    for label, what in (("hold1", "one (%s)" % output), ("hold3", "three (%s, DUMMY1, DUMMY2)" % output)):
        c = cpu[label]
        p("| %s | %s | %s (%s–%s) | %s |" % (what, pct(c["ns"]), pct(c["med"]), pct(c["min"]), pct(c["max"]), pct(c["stat"])))
    p("| three / one | %s× | | |" % hold_ratio)
    p("")
    p("The X server meanwhile (both programs' requests): %s %% of a core." % pct(cpu["hold1"]["x"]))
    p("")
    p("## Notes")
    p("")

    def share(label, name):
        mine = every = 0
        for n, d, _ in thread_deltas(label):
            every += d
            mine += d if n == name else 0
        return f("%.0f", mine / every * 100 if every > 0 else 0)
    rb, rh = restore["restore-before-1000"], restore["restore-head-1000"]
    p("- Poll only, a foreign switch waits for the next tick, which can fall anywhere in the interval:")
    p("  p50 ≈ interval / 2 plus the restoring tick (%s ms median in-process). With the" % pct(inproc["tick_restore"].median))
    p("  restore on the display's announcement the tick runs at once: p50 at 1000 ms went from")
    p("  %s ms (before) to %s ms (after)." % (rb["p50"], rh["p50"]))
    p("- One tick makes %d X round trip(s); its time is mostly waiting" % inproc["tick_idle"].rt[0])
    if placement:
        p("  for the X server. A round trip costs %.1f times as much when the calling thread"
          % (other["current_index"].median / same["current_index"].median))
        p("  and the server run on different cores as on one (pinned runs above). Unpinned, a figure lands on")
        p("  either side, which is why medians differ between runs of the script.")
    else:
        p("  for the X server.")
    p("- While locked, the lock thread (`QThread`) has %s %% of the run time, the GUI thread" % share("locked", "QThread"))
    p("  (`velmora`) %s %%; with the window in the tray the GUI thread has no timer of its own." % share("locked", "velmora"))
    p("- While unlocked with the window shown, the GUI thread has %s %% of the run time: its one" % share("unlocked", "velmora"))
    p("  repeating timer is the label refresh every 3 s (%d X round trip(s) each), which runs only while the window" % inproc["update_info"].rt[0])
    p("  is on screen. In the tray, unlocked, the program used %s %% of a core." % pct(cpu["tray"]["ns"]))
    p("")
    p("## Commands")
    p("")
    p("```sh")
    p("bench/run.sh")
    p("# which ran:")
    out.extend(s["commands"])
    p("```")
    return "\n".join(out) + "\n"


# ---- bench/gnome.sh and bench/wayland.sh ----------------------------------------------------------
def cpu_ticks(rows, seconds, hz):
    """% of a core from clock ticks over the nominal interval, per process, two decimals."""
    return [f("%.2f", (x[2] - x[1]) * 100 / hz / seconds) for x in rows]


def cpu_runtime(rows, seconds):
    return [f("%.3f", (x[4] - x[3]) / (seconds * 1e7)) for x in rows]


def gnome_section(res):
    v, s = res["values"], res["series"]
    hz, secs = int(v["clk_tck"]), int(v["cpu_seconds"])

    def summary(rows):
        ms = [x[3] for x in rows if x[3] >= 0]
        if not ms:
            return "n=0"
        return "n=%d p50 %.1f ms, p90 %.1f ms, max %.1f ms" % (len(ms), rank(ms, 0.5), rank(ms, 0.9), max(ms))
    rows = []
    for host in ("x11", "nested"):
        idle = cpu_ticks(s[host + "-cpu-idle"], secs, hz)[0]
        cv = cpu_ticks(s[host + "-cpu-velmora"], secs, hz)
        cr = cpu_ticks(s[host + "-cpu-reference"], secs, hz)
        rows.append("| %s | Velmora, GNOME backend | %s | %s %% | %s %% (idle %s %%) |" % (host, summary(s[host + "-velmora"]), cv[0], cv[1], idle))
        if host + "-auto" in s:
            rows.append("| %s | Velmora, chosen automatically: RandR | %s | | |" % (host, summary(s[host + "-auto"])))
        rows.append("| %s | reference holder, 20 ms poll | %s | %s %% | %s %% (idle %s %%) |" % (host, summary(s[host + "-reference"]), cr[0], cr[1], idle))
    return "\n".join([
        "## GNOME (Mutter's DisplayConfig)",
        "",
        "Written by `bench/gnome.sh` on %s, %s cores shared with other work," % (v["date"], v["nproc"]),
        "mutter %s. Hosts as in the tests: Mutter as the window manager" % v["mutter"],
        "of the headless X server (x11), and nested as a Wayland compositor with two fake monitors (nested;",
        "Velmora a Wayland client there, DISPLAY at XWayland). A foreign switch is an ApplyMonitorsConfig",
        "from another client; the restore is timed from its reply until MonitorsChanged shows the locked",
        "mode again (%s switches per row, 1.2 s of quiet before each: Velmora restores on an" % v["switches"],
        "announcement at most once per poll interval, 1 s here). CPU over %s s, locked" % secs,
        "and idle, in % of one core; Mutter's idle figure is with nothing attached.",
        "",
        "| host | holder | restore after a foreign switch | CPU holder | CPU Mutter |",
        "|---|---|---|---|---|",
    ] + rows + [
        "",
        "Raw series: `%s/*.txt` (n, foreign mode, foreign apply ms, restore ms)." % v["raw"],
    ]) + "\n"


def wayland_section(res):
    v, s = res["values"], res["series"]
    hz, secs, switches = int(v["clk_tck"]), int(v["cpu_seconds"]), int(v["switches"])
    interval, locked = v["interval"], v["locked"]

    def summary(name):
        rows = s[name] or []
        ms = [x[3] for x in rows if x[3] >= 0]
        text = "p50 %.1f ms, p90 %.1f ms, max %.1f ms;" % (rank(ms, 0.5), rank(ms, 0.9), max(ms)) if ms else ""
        text += " %d of %d switches restored within 5 s" % (len(ms), switches)
        if len(rows) < switches:
            err = s[name + "-err"] or [""]
            text += " (the series ended after %d: %s)" % (len(rows), err[-1] if err else "")
        return text
    idle = cpu_ticks(s["cpu-idle"], secs, hz)[0]
    cv = cpu_ticks(s["cpu-velmora"], secs, hz)
    cr = cpu_ticks(s["cpu-reference"], secs, hz)
    one, three = cpu_runtime(s["cpu-multi"], secs)
    ratio = "%.2f×" % (float(three) / float(one)) if float(one) > 0 else "–"
    return "\n".join([
        "## wlroots (phoc)",
        "",
        "Written by `bench/wayland.sh` on %s, %s cores shared with other" % (v["date"], v["nproc"]),
        "work (load average %s before, %s after), phoc %s" % (v["load_start"], v["load_end"], v["phoc"]),
        "on wlroots %s, headless as in the tests (HEADLESS-1 at 0,0, HEADLESS-2" % v["wlroots"],
        "at 1280,0, 1280x720 at 60 Hz). A foreign switch is a zwlr_output_manager_v1 configuration from",
        "another client that puts HEADLESS-1 into a custom mode (%s, in turn); the" % v["foreign"].replace(",", " and "),
        "restore is timed from the return of that client's apply (its `succeeded` and one round trip",
        "after it) until the manager's `done` shows %s again (%d switches per row, 1.2 s of" % (locked, switches),
        "quiet before each: Velmora restores on an announcement at",
        "most once per poll interval, %s ms here). Velmora runs with `-d` as a Wayland client of phoc" % interval,
        "and chooses its wlroots backend itself. CPU over %d s, locked and idle, in %% of one core;" % secs,
        "phoc's idle figure is with nothing attached.",
        "",
        "| holder | restore after a foreign switch | CPU holder | CPU phoc |",
        "|---|---|---|---|",
        "| Velmora, wlroots backend, %s ms poll | %s | %s %% | %s %% (idle %s %%) |" % (interval, summary("velmora"), cv[0], cv[1], idle),
        "| reference holder, 20 ms poll | %s | %s %% | %s %% (idle %s %%) |" % (summary("reference"), cr[0], cr[1], idle),
        "",
        "Several monitors, in the same run (phoc had a third headless output, HEADLESS-3, throughout); the other heads",
        "held through the store (`Monitors/<key>` groups written by `velmora_wlrwatch store` with",
        "app/MonitorSettings, each head in its mode at the start; checked held by a tick line each). One",
        "Velmora holding HEADLESS-1 and HEADLESS-2: first HEADLESS-1 switched, then both in one configuration,",
        "the restore lasting until both are in %s again (%d switches each, one series after the" % (locked, switches),
        "other). CPU: one Velmora holding HEADLESS-1 and another holding HEADLESS-1..3, running at the same",
        "time, over the same %d s, %s ms poll; run time of every thread from `/proc/PID/task/*/schedstat`." % (secs, interval),
        "",
        "| switched at once | restore after a foreign switch |",
        "|---|---|",
        "| HEADLESS-1 | %s |" % summary("multi-one"),
        "| HEADLESS-1 and HEADLESS-2 | %s |" % summary("multi-two"),
        "",
        "| holds | CPU |",
        "|---|---|",
        "| one head | %s %% |" % one,
        "| three heads | %s %% |" % three,
        "| three / one | %s |" % ratio,
        "",
        "Raw series: `%s/velmora.txt`, `reference.txt`, `multi-one.txt` and `multi-two.txt`" % v["raw"],
        "(n, foreign mode, foreign apply ms, restore ms; -1: not restored within 5 s).",
    ]) + "\n"


# ---- bench/wine.sh ---------------------------------------------------------------------------------
def wine_section(res):
    v, s = res["values"], res["series"]
    output, locked = v["output"], v["locked_mode"]
    restore = {k: Restore(s[k]) for k in s if k.startswith("restore-")}

    def starts(kind, key):
        vals = [x[key] for x in s["startup-" + kind]]
        return median(vals), min(vals), max(vals)

    def mapped(kind):
        return "%.1f (%.1f–%.1f)" % starts(kind, "mapped_ms")

    def rss_start(kind):
        return "%.1f MB" % (r("%.1f", starts(kind, "rss_kb")[0]) / 1024)

    def mbk(kind):
        return "%.1f MB" % (s["rss-" + kind][0][0] / 1024)

    def cpu(rows):
        """Program, wineserver, Xorg: % of a core over the measured wall time."""
        return [f("%.3f", (x[4] - x[3]) / x[5] * 100) for x in rows]
    cl, _, xl = cpu(s["cpu-linux"])
    cw, ww, xw = cpu(s["cpu-windows"])

    def restored(x):
        return "%s / %s / %s; %s restored, %s not" % (x["p50"], x["p90"], x["max"], x["n"], x["timeouts"])
    out = [
        "## Windows under Wine",
        "",
        "`bench/wine.sh`, %s, on the test X server (Xorg, dummy driver) with a" % v["date"],
        "tray host: the Linux program (RandR) and the Windows program (%s.zip, unpacked) under" % v["folder"],
        "Wine %s in a fresh prefix, one after the other. Load average before/after: %s / %s." % (v["wine"], v["load_start"], v["load_end"]),
        "",
        "| | Linux (X11) | Windows under Wine |",
        "|---|---|---|",
        "| start → main window mapped, ms: median (min–max), %s starts | %s | %s |" % (v["startup_runs"], mapped("linux"), mapped("windows")),
        "| VmRSS 2 s after the start | %s | %s |" % (rss_start("linux"), rss_start("windows")),
        "| VmRSS while locked | %s | %s |" % (mbk("linux"), mbk("windows")),
        "| CPU while locked (`-d`, nothing happens), %% of a core over %s s | %s (Xorg meanwhile %s) | %s, wineserver %s (Xorg meanwhile %s) |"
        % (v["cpu_seconds"], cl, xl, cw, ww, xw),
        "| restore latency after another program's switch, ms: p50 / p90 / max (%s switches, %s ms interval) | %s | %s |"
        % (v["switches"], v["interval"], restored(restore["restore-linux"]), restored(restore["restore-windows"])),
        "",
        "The other program: `xrandr --output DUMMY0 --mode M` for Linux; for Windows",
        "`tst_win32display.exe push W H 32 F` under the same Wine (`bench/wine-switch.sh`), since a switch",
        "made outside Wine reaches no Windows program. Latency is from the CRTC change that left the",
        "locked mode to the one that brought it back, seen by `velmora_xwatch` through RandR events.",
        "Under Wine each display call of the program goes through wineserver, whose CPU is shown",
        "beside it; Wine's own start (its DLLs, the prefix) is part of the start-up figure. Under Wine",
        "a running program sees another one's switch only through the size and depth that",
        "WM_DISPLAYCHANGE announces: a switch to the locked size at another refresh rate (1024x768_75)",
        "goes unseen there (README, Windows).",
        "",
        "Per-switch figures:",
        "",
        "```",
    ] + restore["restore-windows"].text() + [
        "```",
        "",
        "### Several monitors",
        "",
        "The Windows program only, as \"Several monitors\" of `bench/run.sh` does it on X11: DUMMY1 and DUMMY2",
        "switched on beside %s (`xrandr --addmode` of %s and the foreign modes, `--right-of`)," % (output, locked),
        "all three at %s, %s primary, and wineserver started anew so that Wine lists them as" % (locked, output),
        "`\\\\.\\DISPLAY1`..3. The program holds %s as its own (the mode in use at its `-d` start) and the" % output,
        "others through the store: `Monitors\\DISPLAYn` keys written with `wine reg add` before the start",
        "(the four values, Identity empty: the dummy driver publishes no EDID; Connector, Name,",
        "Locked=true), checked to hold them (a tick line with the held mode in place for each).",
        "Load average at the start and the end of this part: %s → %s." % (v["load_multi_start"], v["load_multi_end"]),
        "",
        "Restore latency, the program holding %s and DUMMY1: first only %s switched, then both in one" % (output, output),
        "apply of the other program (`tst_win32display.exe on \\\\.\\DISPLAY1,\\\\.\\DISPLAY2 push W H 32 F`, one",
        "ChangeDisplaySettingsExW per device). For two, t0 = the first CRTC change that takes the locked mode off",
        "either output, t1 = the change after which both have it again.",
        "",
        "| switched at once | switches | p50 ms | p90 ms | max ms | min ms | not restored |",
        "|---|---|---|---|---|---|---|",
    ]
    names = {"one": output, "two": output + " and DUMMY1"}
    for k in ("one", "two"):
        x = restore["restore-multi-" + k]
        out.append("| %s | %s | %s | %s | %s | %s | %s |" % (names[k], x["n"], x["p50"], x["p90"], x["max"], x["min"], x["timeouts"]))
    out += [
        "",
        "CPU while holding one (%s) and three (%s, DUMMY1, DUMMY2) monitors with the same three outputs" % (output, output),
        "on, %s s each, one run after the other (a second instance in the same prefix hands over to" % v["cpu_seconds"],
        "the first, so they cannot run at once as on X11), nothing switched meanwhile:",
        "",
        "| holds | program, % of a core | wineserver meanwhile | program + wineserver | Xorg meanwhile |",
        "|---|---|---|---|---|",
    ]
    hold = {}
    for k in ("one", "three"):
        p, w, x = (float(y) for y in cpu(s["cpu-hold-" + k]))
        hold[k] = (p, w)
        out.append("| %s | %.3f | %.3f | %.3f | %.3f |" % (k, p, w, p + w, x))
    (p1, w1), (p3, w3) = hold["one"], hold["three"]
    out.append("| three / one | %.2f× | | %.2f× | |" % (p3 / p1, (p3 + w3) / (p1 + w1)))
    out.append("")
    for k in ("one", "two"):
        out.extend(details("every switch: " + names[k], restore["restore-multi-" + k].text()))
    return "\n".join(out).rstrip("\n") + "\n"


# ---- bench/arrangement.sh ----------------------------------------------------------------------
def arrangement_section(res):
    v, s = res["values"], res["series"]
    settle, switches, secs = int(v["settle_ms"]), int(v["switches"]), int(v["cpu_seconds"])
    hosts = {"x11": "X11 (Xorg, dummy driver)", "phoc": "phoc", "mutter": "nested Mutter", "kwin": "KWin (virtual)"}

    def pcts(ms):
        return [percentile(ms, q) for q in (0.1, 0.5, 0.9)] + [max(ms), min(ms)]

    restores = [
        ("x11", "swap", "DUMMY0 and DUMMY1 swap places", "arrangement"),
        ("x11", "primary", "DUMMY1 made primary", "arrangement"),
        ("x11", "mode-arranged", "DUMMY1 to 800x600 (held by the arrangement only)", "arrangement"),
        ("x11", "mode", "DUMMY0 to 800x600 (the mode-locked primary)", "mode lock"),
        ("phoc", "swap", "HEADLESS-1 and HEADLESS-2 swap places", "arrangement"),
        ("phoc", "mode-arranged", "HEADLESS-2 to 1024x768 (held by the arrangement only)", "arrangement"),
        ("phoc", "mode", "HEADLESS-1 to 1024x768 (the mode-locked one)", "mode lock"),
    ]
    rows, p50 = [], {}
    for host, kind, what, by in restores:
        got = s.get("%s-restore-%s" % (host, kind)) or []
        ms = [x[2] for x in got if x[2] >= 0]
        unseen = sum(1 for x in got if x[3] == 0)
        if not ms:
            err = (s.get("%s-restore-%s-err" % (host, kind)) or ["no samples"])[-1:]
            rows.append("| %s | %s | %s | 0 of %d | – | – | – | – | %s |" % (hosts[host], what, by, switches, err[0]))
            continue
        p10, m50, p90, mx, mn = pcts(ms)
        p50[(host, kind)] = m50
        rows.append("| %s | %s | %s | %d of %d | %.1f | %.1f–%.1f | %.1f | %.1f | %s |" % (
            hosts[host], what, by, len(ms), len(got), m50, p10, p90, mx, mn,
            "%d of %d restored before the first read" % (unseen, len(got)) if unseen else ""))

    def cpu(host):
        rows_ = s.get(host + "-cpu")
        if not rows_:
            return None
        one, three, server = ((x[4] - x[3]) / x[5] * 100 for x in rows_)
        return one, three, server
    cpu_rows = []
    for host in ("x11", "phoc"):
        c = cpu(host)
        if c:
            ratio = c[1] / c[0] if c[0] > 0 else math.nan
            cpu_rows.append("| %s | %.3f %% | %.3f %% | %.2f× | %s | %.2f %% |" % (
                hosts[host], c[0], c[1], ratio, verdict(ratio <= 1.1), c[2]))

    settle_rows, widest = [], {}
    for host in ("x11", "phoc", "mutter", "kwin"):
        by_change = {}
        for x in s.get(host + "-settle") or []:
            by_change.setdefault(" ".join(str(w) for w in x[7:]), []).append(x)
        for change, xs in by_change.items():
            spread = [x[3] - x[2] for x in xs]
            lspread = [x[6] - x[5] for x in xs if x[4] > 0]
            counts = sorted(x[1] for x in xs)
            widest[host] = max([widest.get(host, 0)] + spread)
            settle_rows.append("| %s | `%s` | %d | %s | %.1f | %.1f / %.1f | %s |" % (
                hosts[host], change.replace("|", "\\|"), len(xs),
                "%d" % counts[0] if counts[0] == counts[-1] else "%d–%d" % (counts[0], counts[-1]),
                percentile([x[2] for x in xs], 0.5), percentile(spread, 0.5), max(spread),
                "%.1f / %.1f" % (percentile(lspread, 0.5), max(lspread)) if lspread else "–"))
    late = [p50[(h, k)] - p50[(h, "mode")] for h, k, _, by in restores if by == "arrangement" and (h, k) in p50 and (h, "mode") in p50]
    out = [
        "## Arrangements",
        "",
        "Written by `bench/arrangement.sh` on %s in %d min %d s, %s cores shared with other work" % (
            v["date"], int(v["seconds"]) // 60, int(v["seconds"]) % 60, v["nproc"]),
        "(load average %s before, %s after), working tree at %s, RelWithDebInfo; %s, phoc %s," % (
            v["load_start"], v["load_end"], v["head"], v["xorg"], v["phoc"]),
        "mutter %s, KWin %s. The program waits for the display to be still for %d ms (`Deamon::SettleMs`)" % (
            v["mutter"], v["kwin"], settle),
        "before it puts an arrangement back, in one apply; a locked mode comes back on the announcement.",
        "",
        "### Restore latency",
        "",
        "One `velmora -d` per host (fresh home, seeded 1000 ms interval: the primary's mode locked), with the",
        "arrangement of the three monitors on screen held through `velmoractl hold --arrangement`. Another",
        "program (`xrandr`, `wlr-randr`) then changes it %d times per row; before each change the layout is back" % switches,
        "and nothing has been announced for %s ms (more than the 2 intervals + SettleMs within which" % v["pause_ms"],
        "a change counts as undoing the last restore: three of those in a row and the program gives up).",
        "`bench/velmora_layoutwatch restore`, on a connection of its own through the program's display layer,",
        "reads the layout (every output's state, mode, place, rotation, scale, primary) after each",
        "announcement: t0 = the first announcement after the change, t1 = the end of the first read that",
        "shows the held layout again; latency = t1 − t0. The watcher's reads (a few round trips) add",
        "about a millisecond; \"restored before the first read\": the held layout was back by the first read.",
        "The program printed \"hold: putting back the arrangement\" %s times on X11 and %s times on phoc." % (
            v["x11_putback"], v["phoc_putback"]),
        "",
        "| host | change | put back by | restored | p50 ms | p10–p90 ms | max ms | min ms | |",
        "|---|---|---|---|---|---|---|---|---|",
    ] + rows + [
        "",
        "The arrangement comes back %s ms after the mode would (p50 against p50, per host and change;" % (
            ", ".join("%.0f" % d for d in late) if late else "–"),
        "SettleMs = %d)." % settle,
        "",
        "### CPU while holding an arrangement",
        "",
        "Two `velmora -d` at the same time on the same host, fresh homes, seeded 1000 ms interval: one",
        "holding the primary's mode only, the other that and the arrangement of the three monitors.",
        "Nothing changes meanwhile; run time of every thread from `/proc/PID/task/*/schedstat` over the",
        "same %d s of wall time, in %% of one core. Target: the arrangement at most 1.1× the mode lock." % secs,
        "",
        "| host | mode lock only | mode lock + arrangement of three | ratio | ≤ 1.1× | host server meanwhile (both) |",
        "|---|---|---|---|---|---|",
    ] + cpu_rows + [
        "",
        "### How long one change's announcements last",
        "",
        "Nothing of Velmora runs. `bench/velmora_layoutwatch settle` makes a change (another program's",
        "command, or for Mutter, which has no command-line tool here, an ApplyMonitorsConfig on the",
        "watcher's own connection), stamps every announcement the program's display layer passes on",
        "(RandR notifications on X11, `done` of the output manager on phoc and KWin, `MonitorsChanged`",
        "on Mutter) until %s ms pass without one, and reads the layout after each. Spread = last − first" % v["quiet_ms"],
        "announcement of one change; layout spread = the same over the announcements after which the",
        "layout read had changed. Each change and the one undoing it %s times. Times in ms." % v["bursts"],
        "",
        "| host | change | times | announcements each | first after the change, p50 | spread p50 / max | layout spread p50 / max |",
        "|---|---|---|---|---|---|---|",
    ] + settle_rows + [
        "",
        "Widest burst (first to last announcement of one change): %s; SettleMs is %d ms (at most 500" % (
            ", ".join("%s %.1f ms" % (hosts[h], w) for h, w in widest.items()) or "–", settle),
        "allowed). These hosts are headless: a change here is one program's one request, and none of them",
        "can show a real hotplug, after which a desktop's own service (GNOME's stored monitors.xml, KDE's",
        "KScreen) may answer with a layout change of its own; that one falls inside the wait only when it",
        "comes within SettleMs of the last announcement before it.",
        "",
        "Raw series: `%s/*.txt`." % v["raw"],
    ]
    return "\n".join(out) + "\n"


# ---- Putting the file together ----------------------------------------------------------------------
def chunks(text):
    """The run's part (up to the first "## " heading after "## Commands"), then each "## " section."""
    lines = text.rstrip("\n").split("\n")
    parts, cur, seen_commands = [], [], False
    for line in lines:
        if line.startswith("## "):
            if seen_commands or not parts and cur and not cur[0].startswith("# "):
                parts.append(cur)
                cur = []
            if line.startswith("## Commands"):
                seen_commands = True
        cur.append(line)
    parts.append(cur)
    return ["\n".join(p).rstrip("\n") + "\n" for p in parts if p]


def merge(base, made):
    parts = chunks(base) if base.strip() else []
    head = {"run": "# Benchmarks", "gnome": "## GNOME", "wayland": "## wlroots", "wine": "## Windows under Wine",
            "arrangement": "## Arrangements"}
    for name in ("run", "gnome", "wayland", "wine", "arrangement"):
        if name not in made:
            continue
        at = [i for i, p in enumerate(parts) if p.startswith(head[name])]
        if at:
            parts[at[0]] = made[name]
        elif name == "run":
            parts.insert(0, made[name])
        elif name == "wayland" and any(p.startswith(head["wine"]) for p in parts):
            parts.insert([i for i, p in enumerate(parts) if p.startswith(head["wine"])][0], made[name])
        else:
            parts.append(made[name])
    return "\n".join(parts)


MAKERS = {"run": run_part, "gnome": gnome_section, "wayland": wayland_section, "wine": wine_section,
          "arrangement": arrangement_section}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--results", default=os.path.join(ROOT, "build-bench", "results"))
    ap.add_argument("--out", default=DOC)
    ap.add_argument("--base", default=DOC)
    ap.add_argument("--only", action="append", choices=sorted(MAKERS))
    a = ap.parse_args()
    to_doc = os.path.abspath(a.out) == os.path.abspath(DOC)
    made = {}
    for name in a.only or sorted(MAKERS):
        path = os.path.join(a.results, name + ".json")
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8") as fh:
            res = json.load(fh)
        quick = res["values"].get("quick") == "1"
        if quick and to_doc:
            print("report: %s is a quick run; docs/benchmarks.md keeps its section" % path, file=sys.stderr)
            continue
        made[name] = run_part(res, quick) if name == "run" else MAKERS[name](res)
    base = ""
    if os.path.exists(a.base):
        with open(a.base, encoding="utf-8") as fh:
            base = fh.read()
    text = merge(base, made)
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "w", encoding="utf-8") as fh:
        fh.write(text)
    print("report: wrote %s (%s)" % (a.out, ", ".join(sorted(made)) or "nothing new"), file=sys.stderr)


if __name__ == "__main__":
    main()

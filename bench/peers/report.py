"""Markdown tables and PNG plots from a results file of driver.py.

    python report.py results/DATE.json     (rewrites DATE.md and the plots)
"""

import json
import os
import sys

MIB = 1024.0 * 1024.0


def _run(entry, engine, threads, fusion=False, mode="statevector"):
    """The engine's run in that setting; of several (qsim's fusion sizes), the fastest."""
    runs = [r for r in entry["runs"]
            if r["engine"] == engine and r["threads"] == threads and r["fusion"] == fusion and r["mode"] == mode]
    return min(runs, key=lambda r: r["median"]) if runs else None


def _name(r):
    """A run's engine and setting, qsim's fusion size included."""
    if not r["fusion"]:
        return r["engine"]
    return "%s+fusion%s" % (r["engine"], " %d" % r["fused_size"] if r.get("fused_size") else "")


def _peers(results):
    return results["settings"]["peers"]


def _threads(results):
    return results["settings"]["threads"]


def _pass(results, n, threads):
    b = results["bandwidth"].get("%d/%d" % (n, threads))
    return b["median"] if b else None


def _fusing(results, engine):
    """Whether the engine's "fusion off" setting still fuses, as the fusion
    probe found: True, False, or None when its probe failed or is missing.
    Results from before the probe: only qsim, which always fuses."""
    probe = results.get("fusion_probe")
    if not probe:
        return engine == "qsim"
    return probe["engines"].get(engine, {}).get("fusing")


def fusion_off(results, engine):
    """Whether the engine's "fusion off" setting really applies gate by gate."""
    return _fusing(results, engine) is False


def fuses_anyway(results, engine):
    """Whether the engine's "fusion off" setting still fuses."""
    return _fusing(results, engine) is True


def _unfused_label(results, peer):
    """The name of a peer's fusion-off figures, as the fusion probe found them."""
    if fusion_off(results, peer):
        return peer
    return "%s least-fused" % peer if fuses_anyway(results, peer) else "%s (fusion not probed)" % peer


def _fastest(runs):
    runs = [r for r in runs if r]
    return min(runs, key=lambda r: r["median"]) if runs else None


def fastest_fused(results, entry, threads):
    """The fastest peer run that fuses: fusion on, or a fusion-off setting that the probe found fusing."""
    return _fastest([_run(entry, p, threads, True) for p in _peers(results)] +
                    [_run(entry, p, threads, False) for p in _peers(results) if fuses_anyway(results, p)])


def speed_table(results, threads):
    peers = _peers(results)
    head = ["circuit", "gates", "kovra s", "kovra+fusion s", "kovra MiB", "per gate / pass"]
    for p in peers:
        head += ["%s s" % _unfused_label(results, p), "ratio", "%s+fusion s" % p, "ratio", "%s MiB" % p]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for e in results["circuits"]:
        k = _run(e, "kovra", threads)
        if k is None:
            continue
        one_pass = _pass(results, e["n"], threads)
        per_gate = "%.2f" % (k["median"] / e["gates"] / one_pass) if one_pass else "-"
        kf = _run(e, "kovra", threads, True)
        row = [e["name"], str(e["gates"]), "%.4f" % k["median"], "%.4f" % kf["median"] if kf else "-",
               "%.0f" % k["peak_mib"], per_gate]
        for p in peers:
            for fusion in (False, True):
                r = _run(e, p, threads, fusion)
                row += ["%.4f" % r["median"], "**%.2f**" % (k["median"] / r["median"])] if r else ["-", "-"]
            r = _run(e, p, threads, False)
            row.append("%.0f" % r["peak_mib"] if r else "-")
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def summary_table(results):
    """Kovra against the fastest peer whose fusion the probe found really off,
    the engines that always fuse (qsim) at their least fusion, and the
    fastest peer with fusion on."""
    unfused = [p for p in _peers(results) if fusion_off(results, p)]
    always = [p for p in _peers(results) if fuses_anyway(results, p)]
    head = ["circuit", "threads", "kovra s", "fastest without fusion (probe: off)", "ratio",
            "%s, least fusion (fusion always on)" % ("/".join(always) or "engines that always fuse"), "ratio",
            "fastest with fusion", "ratio", "kovra per gate / pass", "kovra fused s",
            "kovra fused / fastest fused peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for e in results["circuits"]:
        for t in _threads(results):
            k = _run(e, "kovra", t)
            if k is None:
                continue
            row = [e["name"], str(t), "%.4f" % k["median"]]
            fused_peer = _fastest([_run(e, p, t, True) for p in _peers(results)])
            for r in (_fastest([_run(e, p, t, False) for p in unfused]),
                      _fastest([_run(e, p, t, False) for p in always]), fused_peer):
                row += ["%s %.4f" % (_name(r), r["median"]), "**%.2f**" % (k["median"] / r["median"])] if r \
                    else ["-", "-"]
            one_pass = _pass(results, e["n"], t)
            row.append("%.2f" % (k["median"] / e["gates"] / one_pass) if one_pass else "-")
            kf = _run(e, "kovra", t, True)
            row.append("%.4f" % kf["median"] if kf else "-")
            row.append("**%.2f** (%s)" % (kf["median"] / fused_peer["median"], _name(fused_peer))
                       if kf and fused_peer else "-")
            lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def fusion_probe_text(results):
    probe = results.get("fusion_probe")
    if not probe:
        return "Not measured."
    out = ["On %d qubits: one H on every qubit, alone and followed by %d Rx of varying angles on qubit 0; one "
           "thread, pinned; median of %d runs each. One in-place pass at %d qubits on one thread: %.5f s. An "
           "engine that applies every rotation pays a good share of a pass for each; below %.2g pass per "
           "added rotation it has fused them away, and its \"fusion off\" figures count as fused."
           % (probe["n"], probe["rotations"], probe["reps"], probe["n"], probe["pass_s"], probe["fusing_below"]),
           "", "| engine | setting | H only s | with rotations s | extra per rotation s | per rotation / pass "
           "| fusion |", "|---|---|---|---|---|---|---|"]
    for engine, p in probe["engines"].items():
        if "error" in p:
            out.append("| %s | %s | failed | - | - | - | unknown |" % (engine, p.get("setting")))
            continue
        out.append("| %s | %s | %.4f | %.4f | %.2e | %.3f | %s |" % (
            engine, p["setting"], p["base_s"], p["rotations_s"], p["per_rotation_s"], p["per_rotation_passes"],
            "**fusing**" if p["fusing"] else "off"))
    return "\n".join(out)


def blocking_text(results):
    entries = [e for e in results["circuits"] if "blocking" in e]
    if not entries:
        return "Not measured (blocking_bench was not built)."
    out = ["blocking_bench runs kovra's engine alone (no graph reading or translation) on one pinned CPU, "
           "median of 3: every gate as its own pass over the state, and the cache-blocked engine, which goes "
           "over memory `passes` times for all the gates. The fused peer is the fastest peer run at one thread "
           "that fuses (fusion on, or a least-fused setting that the probe found fusing), timed as a whole call.",
           "", "The fused run is the engine's default fusion (%s: matrices on up to 4 positions, rows of up to 4 "
           "entries unless a part is wider): its matrices and gates left alone, its passes, and its time." % "4x4",
           "", "| circuit | gates | passes over memory | gate by gate s | blocked s | gate by gate / blocked "
           "| fused: steps (matrices) | fused passes | fused s | fastest fused peer, 1 thread | kovra blocked / peer "
           "| kovra fused / peer |", "|---|---|---|---|---|---|---|---|---|---|---|"]
    for e in entries:
        b = e["blocking"]
        if "error" in b:
            out.append("| %s | %d | failed: %s | - | - | - | - | - | - | - | - |" % (
                e["name"], e["gates"], b["error"].replace("|", "/").replace("\n", " ")[:200]))
            continue
        peer = fastest_fused(results, e, 1)
        fused = next(iter(b.get("fused", {}).values()), None)
        out.append("| %s | %d | %d | %.3g | %.3g | %.2f | %s | %s | %s | %s | %s | %s |" % (
            e["name"], b["gates"], b["passes"], b["gate_by_gate_s"], b["blocked_s"],
            b["gate_by_gate_s"] / b["blocked_s"] if b["blocked_s"] else float("nan"),
            "%d (%d)" % (fused["steps"], fused["matrices"]) if fused else "-",
            "%d" % fused["passes"] if fused else "-", "%.3g" % fused["s"] if fused else "-",
            "%s%s %.3g" % (_name(peer), "" if peer["fusion"] else " least-fused", peer["median"])
            if peer else "-", "**%.2f**" % (b["blocked_s"] / peer["median"]) if peer else "-",
            "**%.2f**" % (fused["s"] / peer["median"]) if peer and fused else "-"))
    return "\n".join(out)


def bandwidth_table(results):
    lines = ["| n | state MiB | " + " | ".join("pass %dt s" % t for t in _threads(results)) + " |",
             "|---|---|" + "---|" * len(_threads(results))]
    ns = sorted({int(k.split("/")[0]) for k in results["bandwidth"]})
    for n in ns:
        row = [str(n), "%.0f" % ((1 << n) * 16 / MIB)]
        for t in _threads(results):
            v = _pass(results, n, t)
            row.append("%.5f" % v if v else "-")
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def branching_table(results):
    lines = ["| circuit | n | measurements k | kovra peak over baseline MiB | 2^k state vectors MiB "
             "| with history, (k+1)·2^k vectors MiB | Aer per-shot s (shots) |",
             "|---|---|---|---|---|---|---|"]
    for e in results["circuits"]:
        if not e["measurements"]:
            continue
        n, k = e["n"], e["measurements"]
        r = _run(e, "kovra", max(_threads(results)))
        state = (1 << n) * 16 / MIB
        shots = _run(e, "aer", max(_threads(results)), False, "shots")
        lines.append("| %s | %d | %d | %.0f | %.0f | %.0f | %s |" % (
            e["name"], n, k, r["peak_mib"] - r["baseline_mib"], (1 << k) * state, (k + 1) * (1 << k) * state,
            "%.4f (%d)" % (shots["median"], results["settings"]["shots"]) if shots else "-"))
    return "\n".join(lines)


def agreement_table(results):
    keys = sorted({k for e in results["circuits"] for k in e["agreement"]})
    lines = ["| circuit | " + " | ".join(keys) + " |", "|---|" + "---|" * len(keys)]
    for e in results["circuits"]:
        lines.append("| %s | " % e["name"] + " | ".join("%.1e" % e["agreement"].get(k, float("nan"))
                                                     for k in keys) + " |")
    return "\n".join(lines)


def translation_text(results):
    t = results.get("translation")
    if not t or t.get("share") is None:
        return "Not measured (translate_bench was not built)."
    return ("Reading the graph and translating it (20 qubits, 500 gates): %.3f ms of a %.1f ms simulation "
            "of the same graph, %.2f%%." % (t["translate_ms"], t["simulate_ms"], 100 * t["share"]))


def _runs_text(results):
    s = results["settings"]
    largest = max((e["n"] for e in results["circuits"]), default=0)
    if largest <= s.get("full_max_n", 99):
        return "Each time is the median of %d runs " % s["reps"]
    return "Each time is the median of %d runs (%d above %d qubits, where the peers run only at %d threads) " % (
        s["reps"], s.get("big_reps", s["reps"]), s.get("full_max_n", 99), max(s["threads"]))


def markdown(results):
    m = results["machine"]
    s = results["settings"]
    out = ["# kovra against Qiskit Aer, Qulacs and qsim (%s)" % results["date"], "",
           "Machine: %s, %s CPUs; load average (1, 5, 15 min) before the run %s, after it %s. Peers: %s." % (
               m.get("cpu"), m.get("cpus"), ", ".join("%.2f" % x for x in m.get("load_before", [])),
               ", ".join("%.2f" % x for x in m.get("load_after", [])) or "-", m.get("versions")),
           _runs_text(results) +
           "in a fresh process; ratio = kovra's time / the peer's at the same "
           "thread count (below 1: kovra is faster). MiB = peak resident memory of the process. "
           "\"per gate / pass\" = kovra's time per gate over one in-place pass of a state-sized vector "
           "(below 1: fewer passes over memory than gates). Kovra's time is the whole BasicSimulator.execute "
           "(graph reading, translation, simulation, probabilities of qubit 0); \"kovra\" is its exact run "
           "(\"fusion\": False), \"kovra fused\" its run with gate fusion (\"fusion\": True); one-thread runs "
           "of every engine are pinned to one CPU. qsim with fusion runs at max_fused_gate_size 2, 3 and 4 and "
           "its fastest counts (the size is named). "
           "Circuits with mid-circuit measurements (teleportation chains, user circuits) run on the peers with "
           "the measurements deferred (a gate conditioned on a measured bit becomes controlled by the measured "
           "qubit), which yields the same probabilities; Aer's per-shot runs with real measurements and "
           "conditions are listed under branching. User circuits (--circuit) lose their terminal measurements "
           "first, which leaves the probabilities over all qubits as they are. "
           "\"Without fusion\" counts only engines whose fusion-off setting the fusion probe found applying "
           "every gate: qsim always fuses (its least-fused setting, max_fused_gate_size 1, still merges the "
           "gates on one qubit), so its figures without \"+fusion\" are labelled least-fused and stand in a "
           "column of their own. qsim computes in single precision. Above %d qubits "
           "Aer and Qulacs run with their fusion on only." % s.get("slow_max_n", 99),
           ""]
    out += ["## Summary", "", summary_table(results), ""]
    for t in _threads(results):
        out += ["## %d thread%s" % (t, "" if t == 1 else "s"), "", speed_table(results, t), ""]
    out += ["## Fusion probe", "", fusion_probe_text(results), ""]
    out += ["## In-place pass (memory-bandwidth limit)", "", bandwidth_table(results), "",
            "## Cache blocking against fusion", "", blocking_text(results), "",
            "## Branching memory (mid-circuit measurements)", "", branching_table(results), "",
            "## Graph reading and translation", "", translation_text(results), "",
            "## Agreement with kovra (max |p - p_kovra| over all basis states)", "", agreement_table(results), ""]
    return "\n".join(out)


COLOURS = {("kovra", 1): "#d62728", ("kovra", 2): "#8c0000", ("aer", 1): "#9ecae1", ("aer", 2): "#1f77b4",
           ("qulacs", 1): "#a1d99b", ("qulacs", 2): "#2ca02c", ("qsim", 1): "#fdae6b", ("qsim", 2): "#e6550d"}


def plots(results, out_dir, tag):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    written = []
    for family in ("random", "qft"):
        entries = sorted((e for e in results["circuits"] if e["family"] == family), key=lambda e: e["n"])
        if len(entries) < 2:
            continue
        fig, ax = plt.subplots(figsize=(8, 5.5))
        lines = [("kovra", False), ("kovra", True)] + [(p, f) for p in _peers(results) for f in (False, True)]
        for engine, fusion in lines:
            for t in _threads(results):
                xs, ys = [], []
                for e in entries:
                    r = _run(e, engine, t, fusion)
                    if r:
                        xs.append(e["n"])
                        ys.append(r["median"])
                if xs:
                    label = "%s %dt" % ("%s+fusion" % engine if fusion else
                                        engine if engine == "kovra" else _unfused_label(results, engine), t)
                    # Colour: engine and thread count; dashes: fusion on.
                    ax.plot(xs, ys, marker="o" if t == 1 else "s", linestyle="--" if fusion else "-",
                            color=COLOURS.get((engine, t), None),
                            linewidth=2.8 if engine == "kovra" else 1.2, label=label)
        for t in _threads(results):
            points = [(e["n"], _pass(results, e["n"], t) * e["gates"]) for e in entries if _pass(results, e["n"], t)]
            if points:
                xs, ys = zip(*points)
                ax.plot(xs, ys, color="grey", linestyle=":", label="one in-place pass per gate %dt" % t)
        ax.set_yscale("log")
        ax.set_xlabel("qubits")
        ax.set_ylabel("seconds (median)")
        ax.set_title("%s circuits%s" % (family, " (depth %d)" % results["settings"]["depth"] if family == "random" else ""))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, ncol=2)
        path = os.path.join(out_dir, "%s-%s.png" % (tag, family))
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written


if __name__ == "__main__":
    path = sys.argv[1]
    with open(path) as f:
        res = json.load(f)
    base = os.path.splitext(path)[0]
    with open(base + ".md", "w") as f:
        f.write(markdown(res))
    print(plots(res, os.path.dirname(path), os.path.basename(base)))

"""Markdown tables and PNG plots from a results file of driver.py.

    python report.py results/DATE.json     (rewrites DATE.md and the plots)
"""

import json
import os
import sys

MIB = 1024.0 * 1024.0


def _run(entry, engine, threads, fusion=False, mode="statevector"):
    for r in entry["runs"]:
        if r["engine"] == engine and r["threads"] == threads and r["fusion"] == fusion and r["mode"] == mode:
            return r
    return None


def _peers(results):
    return results["settings"]["peers"]


def _threads(results):
    return results["settings"]["threads"]


def _pass(results, n, threads):
    b = results["bandwidth"].get("%d/%d" % (n, threads))
    return b["median"] if b else None


def speed_table(results, threads):
    peers = _peers(results)
    head = ["circuit", "gates", "kovra s", "kovra MiB", "per gate / pass"]
    for p in peers:
        head += ["%s s" % p, "ratio", "%s+fusion s" % p, "ratio", "%s MiB" % p]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for e in results["circuits"]:
        k = _run(e, "kovra", threads)
        if k is None:
            continue
        one_pass = _pass(results, e["n"], threads)
        per_gate = "%.2f" % (k["median"] / e["gates"] / one_pass) if one_pass else "-"
        row = [e["name"], str(e["gates"]), "%.4f" % k["median"], "%.0f" % k["peak_mib"], per_gate]
        for p in peers:
            for fusion in (False, True):
                r = _run(e, p, threads, fusion)
                row += ["%.4f" % r["median"], "**%.2f**" % (k["median"] / r["median"])] if r else ["-", "-"]
            r = _run(e, p, threads, False)
            row.append("%.0f" % r["peak_mib"] if r else "-")
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def summary_table(results):
    """Kovra against the fastest peer without fusion (Aer, Qulacs), qsim with its smallest fusion
    (it has no way to turn fusion off), and the fastest peer with fusion on."""
    lines = ["| circuit | threads | kovra s | fastest without fusion | ratio | qsim, fused gates of 1 qubit | ratio "
             "| fastest with fusion | ratio | kovra per gate / pass |", "|---|---|---|---|---|---|---|---|---|---|"]

    def best(entry, t, fusion, names):
        runs = [r for r in (_run(entry, p, t, fusion) for p in names) if r]
        return min(runs, key=lambda r: r["median"]) if runs else None

    for e in results["circuits"]:
        for t in _threads(results):
            k = _run(e, "kovra", t)
            if k is None:
                continue
            row = [e["name"], str(t), "%.4f" % k["median"]]
            unfused = [p for p in _peers(results) if p != "qsim"]
            for r in (best(e, t, False, unfused), best(e, t, False, ["qsim"]), best(e, t, True, _peers(results))):
                row += ["%s %.4f" % (r["engine"], r["median"]), "**%.2f**" % (k["median"] / r["median"])] if r \
                    else ["-", "-"]
            one_pass = _pass(results, e["n"], t)
            row.append("%.2f" % (k["median"] / e["gates"] / one_pass) if one_pass else "-")
            lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


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
        if e["family"] != "teleport":
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


def markdown(results):
    m = results["machine"]
    s = results["settings"]
    out = ["# kovra against Qiskit Aer, Qulacs and qsim (%s)" % results["date"], "",
           "Machine: %s, %s CPUs; load average (1, 5, 15 min) before the run %s, after it %s. Peers: %s." % (
               m.get("cpu"), m.get("cpus"), ", ".join("%.2f" % x for x in m.get("load_before", [])),
               ", ".join("%.2f" % x for x in m.get("load_after", [])) or "-", m.get("versions")),
           "Each time is the median of %d runs (%d above %d qubits, where the peers run only at %d threads) "
           "in a fresh process; ratio = kovra's time / the peer's at the same "
           "thread count (below 1: kovra is faster). MiB = peak resident memory of the process. "
           "\"per gate / pass\" = kovra's time per gate over one in-place pass of a state-sized vector "
           "(below 1: fewer passes over memory than gates). Kovra's time is the whole BasicSimulator.execute "
           "(graph reading, translation, simulation, probabilities of qubit 0); one-thread runs of every "
           "engine are pinned to one CPU. "
           "Teleportation chains run on the peers with the measurements deferred (a gate conditioned on a "
           "measured bit becomes controlled by the measured qubit), which yields the same probabilities; "
           "Aer's per-shot runs with real measurements and conditions are listed under branching. "
           "qsim computes in single precision; its \"fusion off\" is max_fused_gate_size 1. Above %d qubits "
           "Aer and Qulacs run with their fusion on only." % (
               s["reps"], s.get("big_reps", s["reps"]), s.get("full_max_n", 99), max(s["threads"]),
               s.get("slow_max_n", 99)),
           ""]
    out += ["## Summary", "", summary_table(results), ""]
    for t in _threads(results):
        out += ["## %d thread%s" % (t, "" if t == 1 else "s"), "", speed_table(results, t), ""]
    out += ["## In-place pass (memory-bandwidth limit)", "", bandwidth_table(results), "",
            "## Branching memory (mid-circuit measurements)", "", branching_table(results), "",
            "## Graph reading and translation", "", translation_text(results), "",
            "## Agreement with kovra (max |p - p_kovra| over all basis states)", "", agreement_table(results), ""]
    return "\n".join(out)


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
        lines = [("kovra", False)] + [(p, f) for p in _peers(results) for f in (False, True)]
        for engine, fusion in lines:
            for t in _threads(results):
                xs, ys = [], []
                for e in entries:
                    r = _run(e, engine, t, fusion)
                    if r:
                        xs.append(e["n"])
                        ys.append(r["median"])
                if xs:
                    label = "%s%s %dt" % (engine, "+fusion" if fusion else "", t)
                    ax.plot(xs, ys, marker="o", linestyle="--" if fusion else "-",
                            linewidth=2.5 if engine == "kovra" else 1.2, label=label)
        for t in _threads(results):
            xs = [e["n"] for e in entries if _pass(results, e["n"], t)]
            ys = [_pass(results, n, t) * e["gates"] for n, e in zip(xs, [e for e in entries if _pass(results, e["n"], t)])]
            if xs:
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

"""PNG plots of a result's distribution that stay readable at any size.

The picture has a fixed size: the most probable outcomes (at most
``MAX_BARS``) as bars with the rest summed as "other", and, past
``MARGINALS_FROM`` qubits, a second panel with each qubit's probability of
reading 1. The axes say which qubits the keys list and in which order.
"""

import os

import numpy as np

MAX_BARS = 32
MARGINALS_FROM = 11  # more than 10 qubits
FIGURE_INCHES = (11.0, 6.5)
FIGURE_WITH_MARGINALS_INCHES = (11.0, 10.0)
DPI = 110


class PlotError(OSError):
    """The plot cannot be written where it was asked for."""


def prepare_destination(path):
    """Checks, before any run, that a PNG can be written at `path`: creates
    its missing folders, opens the file for writing and imports matplotlib.
    Returns the path the plot will be written to (a name without an
    extension gets ".png", as matplotlib would add it). Raises PlotError
    saying why not."""
    if os.path.isdir(path):
        raise PlotError(f"cannot write the plot to '{path}': it is a folder")
    extension = os.path.splitext(path)[1]
    if not extension:
        path += ".png"
        if os.path.isdir(path):
            raise PlotError(f"cannot write the plot to '{path}': it is a folder")
    elif extension.lower() != ".png":
        raise PlotError(f"cannot write the plot to '{path}': plots are PNG pictures, "
                        f"give a file name ending in .png, not {extension}")
    folder = os.path.dirname(os.path.abspath(path))
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise PlotError(f"cannot create the folder of the plot '{path}': {error.strerror or error}") from None
    # Opening the file is the one test that holds whoever runs this (root
    # passes every permission check) and whatever the name (too long, a
    # read-only file system). Appending leaves an existing file as it is.
    existed = os.path.exists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as error:
        raise PlotError(f"cannot write the plot to '{path}': {error.strerror or error}") from None
    if not existed:
        os.remove(path)  # a run that fails leaves no empty picture behind
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise PlotError("--plot needs matplotlib: pip install kovra_backends[plot]") from None
    return path


def describe_bits(labels, kind="qubit"):
    """'qubits 0-3, 7 (qubit 0 leftmost)' for the labels in key order;
    names (of classical bits) are listed, a long list shortened."""
    if not labels:
        return f"no {kind}s"
    plural = kind + ("s" if len(labels) > 1 else "")
    if all(isinstance(label, int) for label in labels):
        ranges, start = [], 0
        for k in range(1, len(labels) + 1):
            if k == len(labels) or labels[k] != labels[k - 1] + 1:
                first, last = labels[start], labels[k - 1]
                ranges.append(str(first) if first == last else f"{first}-{last}")
                start = k
        listed = ", ".join(ranges)
    else:
        names = [str(label) for label in labels]
        listed = ", ".join(names if len(names) <= 8 else names[:3] + ["..."] + names[-3:])
    return f"{plural} {listed} ({kind} {labels[0]} leftmost)"


def top_outcomes(probabilities, limit=MAX_BARS):
    """Indices of the `limit` most probable outcomes, most probable first
    (ties in index order), and the probability of all the others."""
    positive = np.flatnonzero(probabilities > 0)
    chosen = positive
    if len(positive) > limit:
        # A partial selection (no full sort of 2^20 entries); among equal
        # probabilities at the cut the smaller outcomes are kept.
        values = probabilities[positive]
        cut = np.partition(values, len(values) - limit)[len(values) - limit]
        above = positive[values > cut]
        chosen = np.concatenate([above, positive[values == cut][: limit - len(above)]])
    chosen = chosen[np.lexsort((chosen, -probabilities[chosen]))]
    other = float(probabilities.sum() - probabilities[chosen].sum())
    return chosen, max(other, 0.0)


def marginals(probabilities, width):
    """Each key position's probability of a 1, leftmost position first."""
    total = probabilities.sum() or 1.0
    return np.array([probabilities.reshape(2 ** j, 2, -1)[:, 1, :].sum() / total for j in range(width)])


def write(path, probabilities, counts, labels, title, kind="qubit", reverse=False):
    """Writes the PNG. `probabilities` is indexed by outcome (the key read in
    binary), `counts` maps keys to the counts shown above the bars, and
    `labels` names the key's positions from the left as shown: with
    `reverse` the keys are shown reversed (highest bit first, as Qiskit
    writes them) and `labels` are given in that order."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    probabilities = np.asarray(probabilities, dtype=float)
    width = len(labels)
    chosen, other = top_outcomes(probabilities)
    keys = [format(int(k), f"0{width}b") if width else "(none)" for k in chosen]
    heights = [float(probabilities[k]) for k in chosen]
    shown = [counts.get(key, 0) for key in keys]
    if reverse:
        keys = [key[::-1] for key in keys]
    colours = ["#3b6ea8"] * len(keys)
    if other > 1e-12:
        keys.append("other")
        heights.append(other)
        shown.append(sum(counts.values()) - sum(shown))
        colours.append("#b0b0b0")

    with_marginals = width >= MARGINALS_FROM
    size = FIGURE_WITH_MARGINALS_INCHES if with_marginals else FIGURE_INCHES
    fig, axes = plt.subplots(2 if with_marginals else 1, 1, figsize=size, squeeze=False,
                             gridspec_kw={"height_ratios": [3, 2]} if with_marginals else None)
    ax = axes[0][0]
    positions = np.arange(len(keys))
    # The scale is the outcomes' own: an "other" bar far taller than them
    # is cut at the top and labelled with its probability.
    top = 1.15 * max(heights[: len(chosen)] + [1e-12])
    bars = ax.bar(positions, [min(h, top) for h in heights], color=colours)
    for x, (bar, height, count) in enumerate(zip(bars, heights, shown)):
        if height <= top:
            ax.annotate(str(count), (x, height), ha="center", va="bottom", fontsize=7)
            continue
        bar.set_hatch("//")
        ax.annotate(f"{keys[x]}: p={height:.3f}, {count} counts", (x + 0.4, top),
                    ha="right", va="top", fontsize=8, bbox={"fc": "white", "ec": "#808080", "alpha": 0.9})
    ax.set_xticks(positions)
    ax.set_xticklabels(keys, rotation=90 if width > 4 or len(keys) > 12 else 0,
                       fontsize=8 if width <= 16 else 6, family="monospace")
    ax.set_xlim(-0.6, max(len(keys), 8) - 0.4)
    ax.set_ylim(0, 1.1 * top)
    ax.set_ylabel("probability")
    hidden = int(np.count_nonzero(probabilities > 0)) - len(chosen)
    rest = f"; 'other' sums the {hidden} less probable outcomes" if hidden > 0 else ""
    ax.set_xlabel(f"outcome: {describe_bits(labels, kind)}; the {len(chosen)} most probable{rest}",
                  fontsize=9)
    ax.set_title(title, fontsize=10)

    if with_marginals:
        low = axes[1][0]
        ones = marginals(probabilities, width)
        low.bar(np.arange(width), ones[::-1] if reverse else ones, color="#6a9a4a")
        low.set_xticks(np.arange(width))
        low.set_xticklabels([str(label) for label in labels], fontsize=7, rotation=90 if width > 24 else 0)
        low.set_ylim(0, 1.05)
        low.set_xlabel(f"{kind} (key position, leftmost first)", fontsize=9)
        low.set_ylabel(f"P({kind} reads 1)")
        low.set_title(f"marginal probability of each {kind}", fontsize=10)

    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)

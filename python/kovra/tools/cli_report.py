"""What the command line prints of a result: the most probable outcomes
and the counts, as text or as one JSON document written as it goes.

Nothing is built that is not printed. The probabilities are read off the
result's dense vector (at most 2^20 entries: wider keys are drawn as shots
instead), never its dict of keys, and each value is the one that dict would
hold, to the last bit. Only the outcomes shown become Python strings.
"""

import heapq
import json

import numpy as np

from . import plot

# Outcomes a JSON document is written in: one write per block, not per key.
JSON_BLOCK = 4096


def probability_values(result, kind, floor):
    """The result's probabilities indexed by outcome, each what
    `result.probabilities` holds for its key and 0 for an outcome it has
    no key for. `kind` says how the result holds them: "keyed" (keyed by
    classical bits or set from a device: the vector is made from the keys)
    or "distribution" (keyed by every qubit: the run's own vector, whose
    keys leave out values of `floor` or less and whose greatest key takes
    up what the whole distribution falls short of 1)."""
    dense = np.array(result.probability_array(), dtype=np.float64)
    if kind == "keyed":
        return dense
    kept = np.abs(dense) > floor
    dense[~kept] = 0.0
    if kept.any():
        # The run sums its vector in index order, one after another: so
        # does cumsum (np.sum pairs, rounding otherwise).
        shortfall = 1.0 - float(np.cumsum(result.probability_array())[-1])
        if abs(shortfall) > floor:
            last = int(np.flatnonzero(kept)[-1])
            dense[last] = dense[last] + shortfall
    return dense


def reversed_order(values, width):
    """`values` reordered so that index k is the outcome whose key, read
    backwards, is k: the order of keys written highest bit first."""
    if width == 0:
        return values
    index = np.arange(len(values), dtype=np.int64)
    flipped = np.zeros_like(index)
    for bit in range(width):
        flipped |= ((index >> bit) & 1) << (width - 1 - bit)
    return values[flipped]


class Outcomes:
    """The outcomes of a vector of probabilities in key order, and which of
    them are shown: the `top` most probable (None: all). Entry k's key is
    k in binary, `width` digits, or `keys[k]` where the vector holds only
    the keyed outcomes."""

    def __init__(self, values, width, top, keys=None):
        self.values, self.width, self.keys = values, width, keys
        self.total = int(np.count_nonzero(values))
        if top is None or self.total <= top:
            self.shown = np.flatnonzero(values)
            self.left_out, self.left_out_mass = 0, 0.0
        else:
            self.shown, _ = plot.top_outcomes(values, top)
            rest = values.copy()
            rest[self.shown] = 0.0
            self.left_out, self.left_out_mass = self.total - len(self.shown), float(rest.sum())

    @classmethod
    def from_keys(cls, table, reverse, top):
        """The outcomes of a dict of keys: the few a register of many bits
        reads, or a device's."""
        keys = sorted(table, key=lambda key: key[::-1]) if reverse else list(table)
        values = np.fromiter((table[key] for key in keys), dtype=np.float64, count=len(keys))
        return cls(values, 0, top, [key[::-1] for key in keys] if reverse else keys)

    def key(self, index):
        """The bit string of outcome `index`, in the printed key order."""
        if self.keys is not None:
            return self.keys[index]
        return format(int(index), f"0{self.width}b") if self.width else ""

    def shown_in_key_order(self):
        """(key, value) of each outcome shown, in blocks, ascending keys."""
        shown = np.sort(self.shown)
        for start in range(0, len(shown), JSON_BLOCK):
            block = shown[start:start + JSON_BLOCK]
            yield list(zip(self._keys_of(block), self.values[block].tolist()))

    def _keys_of(self, block):
        """The keys of a block of outcomes, made as one array of digits
        rather than a format call each."""
        if self.keys is not None or not self.width:
            return [self.key(k) for k in block]
        shifts = np.arange(self.width - 1, -1, -1, dtype=np.int64)
        digits = ((block[:, None] >> shifts) & 1).astype(np.uint8) + ord("0")
        return np.ascontiguousarray(digits).view(f"S{self.width}").ravel().astype(str).tolist()


class Counts:
    """Counts keyed as printed, and which are shown: the `top` largest
    (None: all), ties in key order."""

    def __init__(self, counts, reverse, top):
        if reverse:
            counts = {key[::-1]: n for key, n in sorted(counts.items(), key=lambda kv: kv[0][::-1])}
        self.counts = counts
        self.total = len(counts)
        if top is None or self.total <= top:
            self.shown = list(counts.items())
        else:
            # nlargest is stable: equal counts keep the keys' order.
            self.shown = heapq.nlargest(top, counts.items(), key=lambda kv: kv[1])
        self.left_out = self.total - len(self.shown)
        self.left_out_shots = sum(counts.values()) - sum(n for _, n in self.shown)


def write_text(out, header, outcomes, counts, counts_title):
    """The report as text: a header line, then the probabilities (when the
    run formed them) and the counts, each cut to the outcomes shown."""
    out.write(header + "\n")
    if outcomes is not None:
        if outcomes.left_out:
            out.write(f"probabilities (the {len(outcomes.shown)} most probable of {outcomes.total} "
                      "outcomes, most probable first):\n")
        else:
            out.write("probabilities:\n")
        for k in outcomes.shown:
            out.write(f"  {outcomes.key(k) or '(none)'}  {outcomes.values[k]:.10f}\n")
        if outcomes.left_out:
            out.write(f"  ... {_more(outcomes.left_out)}, probability {outcomes.left_out_mass:.10f} "
                      "in all (--top to see more)\n")
    if counts.left_out:
        counts_title += f", the {len(counts.shown)} largest of {counts.total} outcomes"
    out.write(f"counts ({counts_title}):\n")
    for key, n in counts.shown:
        out.write(f"  {key or '(none)'}  {n}\n")
    if counts.left_out:
        out.write(f"  ... {_more(counts.left_out)}, {counts.left_out_shots} shots in all\n")


def _more(count):
    return f"{count} more outcome" + ("" if count == 1 else "s")


def write_json(out, head, outcomes, counts, tail, limited):
    """One JSON document: the fields of `head`, the probabilities (when
    the run formed them) and counts of the outcomes shown, then `tail`'s.
    Written block by block as it goes, so a wide distribution is never one
    string. With `limited` (--top given) each section says what it left
    out."""
    out.write("{\n")
    for name, value in head.items():
        out.write(f" {json.dumps(name)}: {json.dumps(value)},\n")
    if outcomes is not None:
        _write_mapping(out, "probabilities", outcomes.shown_in_key_order())
        if limited:
            out.write(' "probabilities_left_out": ' + json.dumps(
                {"outcomes": outcomes.left_out, "probability": outcomes.left_out_mass}) + ",\n")
    shown = sorted(counts.shown) if counts.left_out else counts.shown
    _write_mapping(out, "counts", (shown[k:k + JSON_BLOCK] for k in range(0, len(shown), JSON_BLOCK)))
    if limited:
        out.write(' "counts_left_out": ' + json.dumps(
            {"outcomes": counts.left_out, "shots": counts.left_out_shots}) + ",\n")
    out.write(",\n".join(f" {json.dumps(name)}: {json.dumps(value)}" for name, value in tail.items()))
    out.write("\n}\n")


def _write_mapping(out, name, blocks):
    out.write(f" {json.dumps(name)}: {{")
    separator = "\n"
    for block in blocks:
        # Keys are bit strings (or a device's, the same) and the values
        # finite numbers: repr is json's own spelling of a float.
        out.write(separator + ",\n".join(f'  "{key}": {value!r}' for key, value in block))
        separator = ",\n"
    out.write("\n },\n" if separator != "\n" else "},\n")

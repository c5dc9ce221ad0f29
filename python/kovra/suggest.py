"""The refusal of a name that is not one of a known set (an option, a
key), with the known name it was likely meant to be: a misspelt option
otherwise passes unnoticed and the default runs in its place."""

# A name this many edits from a known one, for each this many characters of
# it, reads as a slip ("shot", "seed_simulater"); further off, the caller
# meant something else and is shown every name. The module's configuration
# keys are refused by the same rule.
CHARACTERS_PER_EDIT = 3


def edit_distance(a, b):
    """The fewest insertions, deletions, substitutions and swaps of
    neighbouring characters that turn `a` into `b`."""
    before, previous = None, list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        current = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                current[j] = min(current[j], before[j - 2] + 1)
        before, previous = previous, current
    return previous[-1]


def closest(given, known):
    """The first of `known` nearest `given`, when near enough to be a slip;
    None otherwise."""
    text = given if isinstance(given, str) else ""
    best, found = max(1, len(text) // CHARACTERS_PER_EDIT) + 1, None
    for name in known:
        distance = edit_distance(text, name)
        if distance < best:
            best, found = distance, name
    return found


def unknown_name(given, known, what):
    """The message refusing `given`, which is not `what` ("a KovraBackend
    option")."""
    match = closest(given, known)
    if match is not None:
        return f"{given!r} is not {what}; did you mean {match!r}?"
    return f"{given!r} is not {what}; the names are " + ", ".join(repr(k) for k in sorted(known))

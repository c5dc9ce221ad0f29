"""The code blocks of README.md and docs/*.md run as shown.

The rule: a page's ```python blocks run in order in one namespace, in one
fresh interpreter (a later block may use what an earlier one made, as a
reader going down the page would). A ```bash block must run `python -m
kovra` on files that ship in examples/. A block that needs what a test run
has not (a device, MPI ranks, a cluster) is marked by the line right
before it:

    <!-- docs-test: skip (needs an NMR device) -->

and is skipped with that reason. Tracebacks name the page and its line."""

import glob
import json
import os
import re
import sys

import pytest

from script_runs import ROOT, kovra_command, run

_FENCE = re.compile(r"^```(\w*)\s*$")
_SKIP = re.compile(r"^<!--\s*docs-test:\s*skip\s*\((.+)\)\s*-->$")
_PAGES = ["README.md"] + sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))


def blocks(page):
    """(language, first line number of the code, code, skip reason or None)
    of each fenced block of `page`."""
    found, lines = [], open(os.path.join(ROOT, page), encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        opening = _FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
        before = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
        marked = _SKIP.match(before)
        found.append((opening.group(1), i + 2, "\n".join(lines[i + 1:end]), marked and marked.group(1)))
        i = end + 1
    return found


def _cases(language):
    return [page for page in _PAGES if any(b[0] == language for b in blocks(page))]


def _runnable(page, language):
    chosen = [b for b in blocks(page) if b[0] == language]
    runnable = [b for b in chosen if b[3] is None]
    if not runnable:
        pytest.skip("; ".join(sorted({b[3] for b in chosen})))
    return runnable


# Runs each block compiled under the page's name and line, so a traceback
# points into the page.
_RUNNER = """
import json, sys
scope = {"__name__": "__main__"}
for page, line, code in json.load(sys.stdin):
    exec(compile("\\n" * (line - 1) + code, page, "exec"), scope)
"""


@pytest.mark.parametrize("page", _cases("python"))
def test_the_python_blocks_of_a_page_run_in_order(page):
    program = [(page, line, code) for _, line, code, _ in _runnable(page, "python")]
    run([sys.executable, "-c", _RUNNER], stdin=json.dumps(program))


@pytest.mark.parametrize("page", _cases("bash"))
def test_the_shell_blocks_of_a_page_run_the_shipped_examples(page):
    for _, line, code, _ in _runnable(page, "bash"):
        commands = [text for text in code.split("\n") if text.strip() and not text.lstrip().startswith("#")]
        for text in commands:
            argv = kovra_command(text)
            assert argv is not None and any(w.startswith("examples/") for w in argv), (
                f"{page}:{line}: {text!r} is no `python -m kovra` command on a file in examples/; "
                "mark the block <!-- docs-test: skip (why) --> or make it one")
            run(argv)

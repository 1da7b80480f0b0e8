"""The worked examples of docs/ run as written.

Every ```python block of a document runs, in document order, in one namespace
per document; a ```text block right after it (blank lines between allowed) is
what the block prints, and a block without one prints nothing. So the
documents cannot drift from the code."""
import contextlib
import io
import linecache
import os
import re
import textwrap
import traceback

import pytest

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")
FENCE = re.compile(r"^```(\w*)\s*$")


def fenced_blocks(lines):
    """(kind, first line number of the content, content lines) of every fenced block;
    every fence names its language."""
    blocks, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m or not m.group(1):
            assert not m, f"line {i + 1}: a fence without a language"
            i += 1
            continue
        start, i = i + 1, i + 1
        while i < len(lines) and not FENCE.match(lines[i]):
            i += 1
        assert i < len(lines), f"line {start}: the block is never closed"
        blocks.append((m.group(1), start + 1, lines[start:i]))
        i += 1
    return blocks


def examples(lines):
    """(line, code, expected output) of every python block."""
    out = []
    blocks = fenced_blocks(lines)
    for n, (kind, line, content) in enumerate(blocks):
        if kind == "text":
            prev = blocks[n - 1] if n else None
            assert prev and prev[0] == "python", f"line {line}: an output block without a python block before it"
            continue
        if kind != "python":
            continue
        expected = None
        if n + 1 < len(blocks) and blocks[n + 1][0] == "text":
            between = lines[line - 1 + len(content) + 1:blocks[n + 1][1] - 2]
            if not any(s.strip() for s in between):
                expected = "\n".join(blocks[n + 1][2])
        out.append((line, "\n".join(content), expected))
    return out


def normalised(text):
    return "\n".join(s.rstrip() for s in text.strip("\n").splitlines())


@pytest.mark.parametrize("name", ["kernel-language.md", "builder.md"])
def test_examples_print_what_the_document_shows(name):
    with open(os.path.join(DOCS, name), encoding="utf-8") as f:
        lines = f.read().splitlines()
    cases = examples(lines)
    assert cases, f"{name} holds no python example"
    # The code stands at its own line numbers in a copy of the document whose
    # other lines are blank; registered with linecache, inspect.getsource finds
    # the kernels defined in the examples.
    filename = f"<docs/{name}>"
    shadow = [""] * len(lines)
    for line, code, _ in cases:
        for k, text in enumerate(code.splitlines()):
            shadow[line - 1 + k] = text
    linecache.cache[filename] = (0, None, [s + "\n" for s in shadow], filename)
    namespace = {"__name__": "docs_" + re.sub(r"\W", "_", name)}
    try:
        for line, code, expected in cases:
            printed = io.StringIO()
            try:
                with contextlib.redirect_stdout(printed):
                    exec(compile("\n" * (line - 1) + code, filename, "exec"), namespace)
            except Exception:
                pytest.fail(f"{name}, the example at line {line} raised:\n{traceback.format_exc()}")
            want = normalised(expected or "")
            got = normalised(printed.getvalue())
            assert got == want, (f"{name}, the example at line {line} printed:\n{textwrap.indent(got, '    ')}\n"
                                 f"while the document shows:\n{textwrap.indent(want, '    ')}")
    finally:
        linecache.cache.pop(filename, None)

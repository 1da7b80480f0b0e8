"""The front-end's memos keyed on everything their answers depend on: code
running in the middle of a walk or a copy, a node class whose _fields change,
a tree reached by a weak reference, a parse nested in another, and a source
whose linecache entry or file changes each give what the literal steps give,
and never crash the interpreter."""
import ast
import itertools
import linecache
import os
import weakref

import pytest

from crashcheck import run_isolated
from test_kernel_memo import step_aside

_files = itertools.count()


def test_a_field_name_whose_hash_edits_the_node():
    """_fields names of a str subclass whose __hash__ renames the node while
    its other field is looked up: the node evaluates as the literal road
    evaluates it, and a later `abc` of its own is still `abc`. (In a child:
    the rename frees the name the walk had read.)"""
    out = run_isolated("""
        import ast
        import astor
        from tarvok.zelvo import kernel as km

        edits = []

        class Field(str):
            def __hash__(self):
                if self == "ctx":
                    while edits:
                        edits.pop().id = "yy"
                return str.__hash__(self)

        names = {"abc": 1, "yy": 2}

        def renamed_node():
            node = ast.Name(id="".join(["a", "bc"]), ctx=ast.Load())
            edits.append(node)
            return node

        fields = ast.Name._fields
        ast.Name._fields = (Field("id"), Field("ctx"))
        k = km.Kernel()
        first = k._kernel_eval(renamed_node(), [names])
        literal = eval(astor.to_source(renamed_node()), {}, dict(names))
        edits.clear()
        ast.Name._fields = fields
        later = [k._kernel_eval(ast.parse("abc", mode="eval").body, [names]) for _ in range(3)]
        print(first == literal, later)
    """)
    assert out.split("\n")[0] == "True [1, 1, 1]"


def test_fields_reordered_on_a_node_class(km, monkeypatch):
    """After BinOp._fields is reversed, `b - a` walks to the values `a - b`
    walked to before: its code is still its own."""
    k = km.Kernel()
    names = [{"a": 10, "b": 3}]
    assert k._kernel_eval(ast.parse("a - b", mode="eval").body, names) == 7
    monkeypatch.setattr(ast.BinOp, "_fields", ("right", "op", "left"))
    for _ in range(3):
        assert k._kernel_eval(ast.parse("b - a", mode="eval").body, names) == -7
        assert k._kernel_eval(ast.parse("a - b", mode="eval").body, names) == 7


def test_a_tree_parsed_while_fields_leave_a_field_out(km, monkeypatch):
    """A tree parsed while BinOp._fields leaves `left` out: the tree the
    memo keeps of it shares no node with the one handed out, so an edit of
    that one reaches no later parse of the text."""
    source = "def f():\n    zv.wait(4e-8 * 2)\n"
    with monkeypatch.context() as patch:
        patch.setattr(ast.BinOp, "_fields", ("op", "right"))
        k = km.Kernel(src=source)
    k.top_node.body[0].body[0].value.args[0].left.value = 9.0
    assert ast.dump(km.Kernel(src=source).top_node) == ast.dump(ast.parse(source))


@pytest.mark.parametrize("road", ["memos", "literal"])
def test_the_last_tree_reached_by_a_weak_reference(road, km, library, monkeypatch):
    """A weak reference to a node of the tree one parse lowered, which no
    reference count shows: code running during the next parse edits that
    node, and the parse still lowers the tree of its source."""
    if road == "literal":
        step_aside(km, monkeypatch)
    refs = []

    def edit():
        for ref in refs:
            node = ref()
            if node is not None:
                node.value = 8e-8
        return km.IRNop()
    library(edit)
    k = km.Kernel(src="def f():\n    zv.edit()\n    zv.wait(4e-8)\n")
    k.parse()
    refs.append(weakref.ref(k.top_node.body[0].body[1].value.args[0]))
    for _ in range(2):
        k.parse()
        assert k.instruction_list[1].width == 4e-8


def test_a_list_shortened_while_the_node_is_copied():
    """A finalizer, run by a collection while an evaluated node is copied for
    its text, shortens a list of the node: the node evaluates as one state
    of it. (In a child: the copy would read past the list's end.)"""
    out = run_isolated("""
        import ast
        import gc
        from tarvok.zelvo import kernel as km

        class Shorten:
            def __init__(self, items):
                self.items = items
                self.me = self  # a cycle: only the collector frees it

            def __del__(self):
                del self.items[5:]

        k = km.Kernel()
        old = gc.get_threshold()
        seen = []
        try:
            for threshold in range(1, 40):
                values = [float(i) + threshold / 1000 for i in range(60)]
                node = ast.parse(repr(values), mode="eval").body
                gc.collect()
                Shorten(node.elts)
                gc.set_threshold(threshold)
                got = k._kernel_eval(node, [])
                gc.set_threshold(*old)
                seen.append(got in (values, values[:5]))
        finally:
            gc.set_threshold(*old)
        print(all(seen))
    """)
    assert out.split("\n")[0] == "True"


def test_a_parse_started_while_a_tree_is_copied():
    """A collection during the copy of a remembered tree runs a callback that
    parses other, new sources: both parses get their own trees. (In a child:
    a record shared by the two would be written past its end.)"""
    out = run_isolated("""
        import gc
        import itertools
        from tarvok.zelvo import kernel as km

        body = "".join(f"    zv.wait({4e-9 * (i + 1)!r})\\n" for i in range(30))
        widths = [4e-9 * (i + 1) for i in range(30)]
        count = itertools.count(1)
        budget = 0
        nested = []

        def parse_another(phase, info):
            global budget
            if phase == "start" and budget > 0:
                budget -= 1
                n = next(count)
                k = km.Kernel(src=f"def g():\\n    zv.wait({n}e-9)\\n")
                nested.append(k.top_node.body[0].body[0].value.args[0].value == float(f"{n}e-9"))

        gc.callbacks.append(parse_another)
        old = gc.get_threshold()
        seen = []
        try:
            # Each threshold lets the collection start at another allocation
            # of the copy; the outer text is remembered first, with the
            # collector off.
            for threshold in range(1, 40):
                gc.disable()
                source = f"def f{threshold}():\\n" + body
                km.Kernel(src=source)
                budget = 20
                gc.enable()
                gc.set_threshold(threshold)
                k = km.form_kernel(source)
                gc.set_threshold(*old)
                budget = 0
                seen.append([i.width for i in k.instruction_list] == widths)
        finally:
            gc.set_threshold(*old)
            gc.callbacks.remove(parse_another)
        print(all(seen), len(nested) > 0 and all(nested))
    """)
    assert out.split("\n")[0] == "True True"


# ---- the source of a kernel function ------------------------------------------------

def _cache_text(filename, width):
    text = f"@kernel\ndef pulse():\n    zv.wait({width})\n"
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    return text


def _pseudo_file(tmp_path):
    """A file linecache alone knows, as an interactive session makes one."""
    filename = f"<test_kernel_memo_sound {next(_files)}>"
    return filename, _cache_text(filename, "4e-8")


def _real_file(tmp_path):
    filename = str(tmp_path / f"pulse_{next(_files)}.py")
    text = "@kernel\ndef pulse():\n    zv.wait(4e-8)\n"
    with open(filename, "w") as f:
        f.write(text)
    return filename, text


def _replace_entry(filename):
    _cache_text(filename, "8e-8")


def _edit_lines(filename):
    linecache.cache[filename][2][2] = "    zv.wait(8e-8)\n"


def _rewrite_file(filename):
    with open(filename, "w") as f:
        f.write("@kernel\ndef pulse():\n    zv.wait(8e-8)  # rewritten\n")
    stat = os.stat(filename)
    os.utime(filename, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))


@pytest.mark.parametrize("make, change", [
    (_pseudo_file, _replace_entry),
    (_pseudo_file, _edit_lines),
    (_real_file, _rewrite_file),
], ids=["linecache entry replaced", "linecache lines edited", "file rewritten"])
@pytest.mark.parametrize("road", ["memos", "literal"])
def test_the_source_follows_linecache_and_the_file(make, change, road, km, tmp_path, monkeypatch):
    """A kernel function compiled again after the lines linecache holds for
    its file, or the file itself, changed: compiled from the new text, as
    inspect.getsource reads it."""
    if road == "literal":
        step_aside(km, monkeypatch)
    filename, text = make(tmp_path)
    try:
        scope = {"kernel": km.kernel}
        exec(compile(text, filename, "exec"), scope)
        pulse = scope["pulse"]
        for _ in range(3):
            assert pulse().instruction_list[0].width == 4e-8
        change(filename)
        for _ in range(2):
            assert pulse().instruction_list[0].width == 8e-8
    finally:
        linecache.cache.pop(filename, None)

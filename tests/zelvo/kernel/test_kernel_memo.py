"""What the front-end remembers between calls (a function's source per code
object, a source's syntax tree, an evaluated node's compiled code) changes no
result: a kernel compiled with the memos gives the instructions, program text
and errors that the literal steps give, which run when the module's ast,
inspect and astor are replaced by stand-ins holding the same functions. No
tree is shared or marked by a parse, and the memos stay bounded."""
import ast
import gc
import inspect
import itertools
import linecache
import textwrap
import types

import numpy as np
import pytest

from tarvok.zelvo._conveyor import conveyor
from tarvok.zelvo.kernel import kernel

_files = itertools.count()


def define(source, **namespace):
    """The kernel function a source text defines, from a file of its own that
    linecache knows (inspect.getsource reads it there)."""
    filename = f"<test_kernel_memo {next(_files)}>"
    text = textwrap.dedent(source).lstrip("\n")
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    scope = {"kernel": kernel, "np": np, **namespace}
    exec(compile(text, filename, "exec"), scope)
    return scope[text.split("def ", 1)[1].split("(", 1)[0]]


def step_aside(km, monkeypatch):
    """From here on the literal road: the three modules replaced by
    stand-ins, which the memos do not stand for."""
    for name in ("ast", "inspect", "astor"):
        monkeypatch.setattr(km, name, types.SimpleNamespace(**vars(getattr(km, name))))


def outcome(make):
    """Instructions and program text of a compile, or its error."""
    try:
        k = make()
        listing = [(type(i).__name__, i.line, str(i)) for i in k.instruction_list]
        return "compiled", listing, conveyor(k)[4]
    except Exception as e:  # noqa: BLE001 - the error is what is compared
        return "raised", type(e).__name__, str(e)


SWEEP = '''
@kernel
def sweep(amps: 'zv.Var' = None, width: 'zv.Var' = 1e-6):
    f0: zv.Frame = zv.frame(1.5e8, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.hanning(64))
    state: zv.Reg = 0
    amp: zv.Var = 0.0
    for amp in amps:
        zv.wait_trig()
        zv.play(f0, e0, amp * 0.5)
        state = zv.capture([1], width)
        zv.wait(width)
    while True:
        zv.wait_trig()
        if state == 1:
            zv.play(f0, e0, -0.0)
        else:
            zv.wait(1.6e-7)
'''

# (name, source, argument sets): each is compiled on both roads, for every
# argument set in turn.
CASES = [
    ("sweep", SWEEP, [dict(amps=[0.1, 0.2]), dict(amps=[0.3, 0.0, 1.0], width=2e-6), dict(amps=[0.5])]),
    ("failing call", '''
        @kernel
        def failing(n: 'zv.Var' = 1):
            f0: zv.Frame = zv.frame(1.5e8, 0.0, 0)
            zv.wait(missing * n)
        ''', [dict(n=1), dict(n=2)]),
    ("refused width", '''
        @kernel
        def refused(width: 'zv.Var' = 1e-6):
            zv.wait_trig()
            x = zv.capture([1], width)
        ''', [dict(width=1e-6), dict(width=1e-5)]),
    ("constants alike in value", '''
        @kernel
        def alike(a: 'zv.Var' = 1):
            f0: zv.Frame = zv.frame(1e8, 0.0, 0)
            e0: zv.Envelope = zv.envelope(np.hanning(32))
            zv.wait_trig()
            zv.wait(4e-8 * 1)
            zv.wait(4e-8 * 1.0)
            zv.wait(4e-8 * True)
            zv.play(f0, e0, 0.0)
            zv.play(f0, e0, -0.0)
        ''', [dict(a=1)]),
]


@pytest.mark.parametrize("name, source, sweeps", CASES, ids=[c[0] for c in CASES])
def test_memos_give_what_the_literal_steps_give(name, source, sweeps, km, monkeypatch):
    fn = define(source)
    remembered = [outcome(lambda: fn(**a)) for a in sweeps for _ in range(2)]
    step_aside(km, monkeypatch)
    literal = [outcome(lambda: fn(**a)) for a in sweeps for _ in range(2)]
    assert remembered == literal
    if name == "failing call":
        assert remembered[0][2].endswith("Function Parse Error, name 'missing' is not defined")


def test_a_hook_that_edits_the_call_copy(parse, library, km, monkeypatch):
    """A pre_call hook of the caller's own changes the evaluated call: its
    text is made anew from the changed call every time."""
    def scaled(width):
        return km.IRWait(width)

    def edit(kernel, call):
        call.args = [ast.BinOp(left=call.args[0], op=ast.Mult(), right=ast.Constant(value=kernel.factor))]

    library(scaled, pre_call=edit)
    source = "def f():\n    zv.scaled(4e-8)\n"

    def widths(road_factor):
        k = km.Kernel(src=source)
        k.factor = road_factor
        return [i.width for i in k.parse()]
    remembered = [widths(2), widths(3), widths(2)]
    assert remembered == [[8e-8], [pytest.approx(1.2e-7)], [8e-8]]
    step_aside(km, monkeypatch)
    assert [widths(2), widths(3), widths(2)] == remembered


def _replace_function(module, step, counted, monkeypatch):
    monkeypatch.setattr(module, step, counted)


def _replace_code(module, step, counted, monkeypatch):
    """The same function object with new code (as a reload in place or a
    patching tool leaves it), which finds `counted` in the function's own
    globals."""
    fn = getattr(module, step)
    monkeypatch.setitem(fn.__globals__, "_test_kernel_memo_counted", counted)

    def stand_in(*args, **kwargs):
        return _test_kernel_memo_counted(*args, **kwargs)  # noqa: F821 - found in fn's globals
    monkeypatch.setattr(fn, "__code__", stand_in.__code__)


@pytest.mark.parametrize("replace", [_replace_function, _replace_code], ids=["function", "code"])
@pytest.mark.parametrize("module, step", [("astor", "to_source"), ("ast", "parse"), ("inspect", "getsource")])
def test_a_step_replaced_after_a_compile_is_the_one_run(module, step, replace, km, monkeypatch):
    fn = define(SWEEP)
    fn(amps=[0.1])
    calls = []
    found = getattr(getattr(km, module), step)
    original = types.FunctionType(found.__code__, found.__globals__, step, found.__defaults__, found.__closure__)
    original.__kwdefaults__ = found.__kwdefaults__

    def counted(*args, **kwargs):
        calls.append(step)
        return original(*args, **kwargs)
    replace(getattr(km, module), step, counted, monkeypatch)
    fn(amps=[0.1])
    assert calls


def _pretty_source_doubling(to_source):
    """astor.to_source whose pretty_source default doubles a 4e-08 of the text."""
    def doubled(result):
        return "".join(result).replace("4e-08", "8e-08")
    return to_source.__defaults__[:3] + (doubled,) + to_source.__defaults__[4:]


# A step's defaults or keyword defaults replaced on the function object: the
# literal road runs with them.
@pytest.mark.parametrize("module, step, attribute, value", [
    ("ast", "parse", "__defaults__", lambda parse: ("<unknown>", "eval")),
    ("ast", "parse", "__kwdefaults__", lambda parse: {**parse.__kwdefaults__, "feature_version": (3, 4)}),
    ("astor", "to_source", "__defaults__", _pretty_source_doubling),
], ids=["parse mode", "parse feature version", "to_source pretty_source"])
def test_a_step_whose_defaults_are_replaced_runs_with_them(module, step, attribute, value, km, monkeypatch):
    source = "def f():\n    w: zv.Var = 1\n    zv.wait(4e-8)\n"
    before = outcome(lambda: km.form_kernel(source))
    fn = getattr(getattr(km, module), step)
    monkeypatch.setattr(fn, attribute, value(fn))
    remembered = outcome(lambda: km.form_kernel(source))
    step_aside(km, monkeypatch)
    assert remembered == outcome(lambda: km.form_kernel(source)) != before


def test_a_redefined_function_is_read_anew():
    """A new definition under the same file and name is a new code object,
    whose source is read again; the old function's source is read from what
    linecache holds now, as inspect.getsource reads it."""
    filename = f"<test_kernel_memo {next(_files)}>"

    def defined(width):
        text = f"@kernel\ndef pulse():\n    zv.wait_trig()\n    zv.wait({width})\n"
        linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
        scope = {"kernel": kernel}
        exec(compile(text, filename, "exec"), scope)
        return scope["pulse"]

    first = defined(4e-8)
    assert first().instruction_list[1].width == 4e-8
    second = defined(8e-8)
    assert second().instruction_list[1].width == 8e-8
    assert first().instruction_list[1].width == 8e-8
    assert "zv.wait(8e-08)" in inspect.getsource(first.__wrapped__)


def test_the_same_source_in_two_kernels():
    a, b = define(SWEEP), define(SWEEP)
    ka, kb = a(amps=[0.1]), b(amps=[0.7, 0.2])
    assert [i.amp for i in ka.instruction_list if type(i).__name__ == "IRPlayImm"][0] == pytest.approx(0.05 * 32767)
    assert len(kb.instruction_list) > len(ka.instruction_list)
    assert ka.top_node is not kb.top_node
    assert ast.dump(ka.top_node, include_attributes=True) == ast.dump(kb.top_node, include_attributes=True)


def test_a_parse_neither_shares_nor_marks_a_tree():
    fn = define(SWEEP)
    k = fn(amps=[0.1, 0.2])
    first = k.top_node
    k(amps=[0.3])
    assert k.top_node is not first
    fresh = ast.parse(k.top_src)
    for tree in (first, k.top_node):
        assert ast.dump(tree, include_attributes=True) == ast.dump(fresh, include_attributes=True)
        for node in ast.walk(tree):
            assert set(vars(node)) <= set(node._fields) | set(node._attributes), type(node).__name__
    # A change to a tree handed out reaches no later parse.
    k.top_node.body[0].body[0].value.args[0] = ast.Constant(value=9e9)
    k(amps=[0.3])
    assert k.instruction_list[0].freq == 1.5e8


def test_many_distinct_kernels_stay_bounded(km):
    """Thousands of sources compiled once each: the trees kept stop growing,
    each kernel still compiles from its own source."""
    def trees():
        gc.collect()
        return sum(1 for o in gc.get_objects() if type(o) is ast.Module)

    def compile_all(count):
        for n in range(count):
            width = 4e-9 * (n + 1)
            k = km.form_kernel(f"def f{n}():\n    zv.wait({width!r})\n")
            assert k.instruction_list[0].width == width
    compile_all(400)
    before = trees()
    compile_all(1200)
    assert trees() - before < 50


def test_source_of_code_objects_that_come_and_go():
    """More functions than the memo keeps, each defined, compiled and dropped:
    a code object at the address of a dropped one never takes its source."""
    for n in range(600):
        fn = define(f'''
            @kernel
            def pulse_{n}():
                zv.wait({4e-9 * (n + 1)!r})
            ''')
        assert fn().instruction_list[0].width == 4e-9 * (n + 1)
        del fn


def test_constants_equal_in_value_keep_codes_of_their_own(km):
    """1, 1.0 and True, 0.0 and -0.0 compare equal: each evaluation still
    runs the code of its own text."""
    k = km.Kernel()
    texts = ["repr(1)", "repr(True)", "repr(1.0)", "repr(-0.0)", "repr(0.0)", "repr(0j)", "repr(b'1')", "repr('1')",
             "repr(None)", "repr(...)", "repr([1, 1.0])", "repr([1.0, 1])"]
    for _ in range(2):
        for text in texts:
            assert k._kernel_eval(ast.parse(text, mode="eval").body, []) == eval(text)


# Pairs of constants whose hashes are equal (-1 and -2 hash alike, and so do
# 0 and 2**61 - 1) or whose texts differ only in kind: each keeps its own
# code however the two alternate.
@pytest.mark.parametrize("first, second", [
    (-1, -2), (0, 2**61 - 1), (0, 0.0), (1, True), ("a", b"a"), (0.0, -0.0), (0j, -0j),
])
def test_constants_alike_in_hash_or_value_keep_codes_of_their_own(first, second, km):
    k = km.Kernel()
    for _ in range(3):
        for value in (first, second):
            result = k._kernel_eval(ast.Expression(body=_constant(value)).body, [])
            assert type(result) is type(value) and repr(result) == repr(value)


def _reordered(node):
    for n in ast.walk(node):
        fields = dict(reversed(list(vars(n).items())))
        n.__dict__.clear()
        n.__dict__.update(fields)
    return node


def _without_kind(node):
    for c in ast.walk(node):
        if isinstance(c, ast.Constant):
            del c.kind
    return node


def _with_extra_node(node):
    node.note = ast.Name(id="unused", ctx=ast.Load())
    return node


def _marked(node):
    node._pp = 99
    return node


# Node dicts out of the parser's usual order, short of a field, with an
# attribute beyond the fields, or with astor's mark: evaluated as their
# literal text, and left exactly as they were.
@pytest.mark.parametrize("change", [_reordered, _without_kind, _with_extra_node, _marked])
def test_unusual_node_dicts_evaluate_as_their_text(change, km):
    k = km.Kernel()
    node = change(ast.parse("[x * 2.5, -x, f(x, 1)]", mode="eval").body)
    before = [(n, list(vars(n).items())) for n in ast.walk(node)]
    for _ in range(3):
        assert k._kernel_eval(node, [{"x": 2, "f": max}]) == [5.0, -2, 2]
    assert [(n, list(vars(n).items())) for n in ast.walk(node)] == before


def own_step(name, seen):
    """A mix-in whose step `name` of ast.NodeVisitor records its node."""
    def step(self, node):
        seen.append(type(node).__name__)
        return getattr(super(mixin, self), name)(node)
    mixin = type("Own" + name, (ast.NodeVisitor,), {name: step})
    return mixin


@pytest.mark.parametrize("step, expected", [
    ("visit", ["Module", "FunctionDef", "arguments", "Expr", "List", "Call", "Expr", "Call"]),
    ("generic_visit", ["List"]),
])
def test_a_visit_step_of_a_subclass_is_the_one_run(step, expected, km):
    seen = []
    kind = type("Own", (own_step(step, seen), km.Kernel), {})
    k = kind(src="def f():\n    [zv.wait_trig()]\n    zv.wait(4e-8)\n")
    k.parse()
    assert [type(i).__name__ for i in k.instruction_list] == ["NoneType", "IRWait"]
    assert [n for n in seen if n not in ("Load", "Attribute")] == expected


def test_a_visit_of_a_subclass_sees_a_register_loop_body(km):
    """The library's loop hook lowers the body through the kernel's own visit."""
    seen = []
    kind = type("Own", (own_step("visit", seen), km.Kernel), {})
    k = kind(src="def f():\n    r: zv.Reg = 0\n    for r in zv.repeat(2):\n        zv.wait(4e-8)\n")
    k.parse()
    assert [n for n in seen if n not in ("Load", "Attribute")][-4:] == ["For", "Call", "Expr", "Call"]


def _recording_visit(self, node):
    """ast.NodeVisitor.visit as written, recording its node first; run as
    the code of ast's own visit, so the list it records into is a global of
    ast's."""
    _tvk_visited.append(type(node).__name__)  # noqa: F821 - a global of ast while the test runs
    visitor = getattr(self, "visit_" + node.__class__.__name__, self.generic_visit)
    return visitor(node)


@pytest.mark.parametrize("source, expected", [
    ("def f():\n    zv.wait(4e-8)\n", ["Module", "FunctionDef", "arguments", "Expr", "Call"]),
    # the library's loop hook lowers the body through the kernel's visit
    ("def f():\n    r: zv.Reg = 0\n    for r in zv.repeat(2):\n        zv.wait(4e-8)\n",
     ["Module", "FunctionDef", "arguments", "AnnAssign", "Constant", "For", "Call", "Expr", "Call"]),
], ids=["body", "register loop body"])
def test_a_visit_whose_code_was_replaced_in_place_is_run(source, expected, km, monkeypatch):
    """ast.NodeVisitor.visit keeps its identity when its __code__ is replaced
    (an in-place reload does it): the code it has now is the one run."""
    seen = []
    monkeypatch.setattr(ast, "_tvk_visited", seen, raising=False)
    monkeypatch.setattr(ast.NodeVisitor.visit, "__code__", _recording_visit.__code__)
    k = km.Kernel(src=source)
    k.parse()
    assert "IRWait" in [type(i).__name__ for i in k.instruction_list]
    assert [n for n in seen if n not in ("Load", "Attribute", "Store", "Name")] == expected


def _visitor_on_instance(km, seen):
    k = km.Kernel(src=REPEATED)
    k.visit_Expr = lambda node: seen.append(node.lineno)
    return k


def _visitor_of_subclass(km, seen):
    kind = type("Own", (km.Kernel,), {"visit_Expr": lambda self, node: seen.append(node.lineno)})
    return kind(src=REPEATED)


REPEATED = "def f():\n    r: zv.Reg = 0\n    zv.wait(4e-8)\n    for r in zv.repeat(2):\n        zv.wait(4e-8)\n"


@pytest.mark.parametrize("make", [_visitor_on_instance, _visitor_of_subclass])
def test_a_visitor_of_the_instance_or_a_subclass_is_the_one_run(make, km):
    seen = []
    make(km, seen).parse()
    assert seen == [3, 5]


def _rename(stmt, i):
    stmt.value.func.attr = ("short", "long")[i % 2]


# Nodes made with every field, as the parser makes them, so that their code
# is remembered at all.
def _constant(value):
    return ast.Constant(value=value, kind=None)


def _replace_arg(stmt, i):
    stmt.value.args[0] = _constant(4e-8 * (i + 1))


def _change_constant(stmt, i):
    stmt.value.args[0].value = 4e-8 * (i + 1)


def _rebind_args(stmt, i):
    stmt.value.args = [_constant(8e-8 * (i + 1))]


def _append_arg(stmt, i):
    if i == 3:
        stmt.value.args.append(_constant(2))


def _swap_node_class(stmt, i):
    if i == 3:
        arg = stmt.value.args[0]
        arg.__class__ = ast.Name
        del arg.value, arg.kind
        arg.id, arg.ctx = "w", ast.Load()


def _change_operator(stmt, i):
    stmt.value.args[0] = ast.BinOp(left=ast.Name(id="w", ctx=ast.Load()),
                                   op=(ast.Mult(), ast.Add(), ast.Sub())[i % 3], right=_constant(2e-8))


def _swap_operator_class(stmt, i):
    if i == 0:
        stmt.value.args[0] = ast.BinOp(left=ast.Name(id="w", ctx=ast.Load()), op=ast.Mult(), right=_constant(2.0))
    if i == 3:
        stmt.value.args[0].op.__class__ = ast.Add


def _move(stmt, i):
    stmt.value.lineno = stmt.lineno = 10 + i


@pytest.mark.parametrize("hooked", [False, True], ids=["plain", "registered"])
@pytest.mark.parametrize("mutate", [_rename, _replace_arg, _change_constant, _rebind_args, _append_arg,
                                    _swap_node_class, _change_operator, _swap_operator_class, _move])
def test_a_tree_changed_between_evaluations_of_a_loop(mutate, hooked, library, km, monkeypatch):
    """A visitor of the caller's own changes the call as written between
    evaluations of it in one parse, later ones too (a list item, a field, a node's class, the
    callee): every evaluation runs the code of the call as it stands."""
    def short(width, times=1):
        return km.IRWait(width * times)

    def long(width, times=1):
        return km.IRWait(2 * width * times)
    for fn in (short, long):
        library(fn, **({"if_call": lambda *a: None} if hooked else {}))

    class Changing(km.Kernel):
        def visit_Expr(self, node):
            mutate(node, self.count)
            self.count += 1
            return super().visit_Expr(node)

    source = "def f(ws: 'zv.Var' = None):\n    w: zv.Var = 0.0\n    for w in ws:\n        zv.short(4e-8)\n"

    def compiled():
        def make():
            k = Changing(src=source, kwargs=dict(ws=[1e-8, 2e-8, 3e-8, 4e-8, 5e-8, 6e-8]))
            k.count = 0
            k.parse()
            return k
        return [outcome(make) for _ in range(2)]
    remembered = compiled()
    step_aside(km, monkeypatch)
    assert remembered == compiled()


def test_a_node_changed_between_two_evaluations(km):
    """The same node evaluated again after each kind of change to it or
    below it gives the value of the node as it stands."""
    k = km.Kernel()
    node = ast.parse("x * 2", mode="eval").body
    steps = [
        (lambda: None, 6),
        (lambda: setattr(node, "op", ast.Add()), 5),
        (lambda: setattr(node.op, "__class__", ast.Sub), 1),
        (lambda: setattr(node.right, "value", 5), -2),
        (lambda: setattr(node, "left", ast.Constant(value=10, kind=None)), 5),
        (lambda: setattr(node.op, "__class__", ast.Mult), 50),
        (lambda: setattr(node, "left", ast.List(elts=[ast.Constant(value=1, kind=None)], ctx=ast.Load())), [1] * 5),
        (lambda: node.left.elts.append(ast.Constant(value=2, kind=None)), [1, 2] * 5),
        (lambda: node.left.elts.__setitem__(0, ast.Name(id="x", ctx=ast.Load())), [3, 2] * 5),
    ]
    for change, expected in steps:
        change()
        for _ in range(3):
            assert k._kernel_eval(node, [{"x": 3}]) == expected


def _holds(tree):
    return [tree]


def _holds_statement(tree):
    return [tree.body[0].body[1]]


def _holds_a_dict(tree):
    return [vars(tree.body[0].body[1].value)]


def _holds_a_list(tree):
    return [tree.body[0].body[1].value.args]


def _changes_a_constant(tree):
    tree.body[0].body[1].value.args[0].value = 9e-8
    return []


def _changes_a_list(tree):
    tree.body[0].body.append(tree.body[0].body[1])
    return []


@pytest.mark.parametrize("touch", [_holds, _holds_statement, _holds_a_dict, _holds_a_list, _changes_a_constant,
                                   _changes_a_list])
def test_the_tree_before_a_parse_is_not_the_parse_tree(touch, km, monkeypatch):
    """Whatever part of the tree a kernel has before its parse is held or
    changed by a step of the caller's own in between, the parse works on a
    tree of its own, as a new parse of the source gives it, and the parts
    held are in no later tree."""
    held = []

    class Touching(km.Kernel):
        def clear(self):
            held.extend(touch(self.top_node))
            return super().clear()

    source = "def f():\n    zv.wait_trig()\n    zv.wait(4e-8)\n"

    def compiled():
        k = Touching(src=source)
        k.parse()
        k.parse()
        reached = {id(o) for node in ast.walk(k.top_node) for o in (node, vars(node), *vars(node).values())}
        assert not any(id(o) in reached for o in held)
        assert ast.dump(k.top_node, include_attributes=True) == ast.dump(ast.parse(source), include_attributes=True)
        return [(type(i).__name__, i.line, getattr(i, "width", None)) for i in k.instruction_list]
    remembered = compiled()
    step_aside(km, monkeypatch)
    assert remembered == compiled()
    assert remembered[1] == ("IRWait", 3, 4e-8)


@pytest.mark.parametrize("where", ["class", "subclass"])
def test_registry_lookups_of_the_caller_are_the_ones_asked(where, km, parse, monkeypatch):
    """has_func and get_func replaced on the library's class, or a subclass
    put in its place, decide which hooks a call runs."""
    from tarvok.zelvo._functions import KernelFunction
    seen = []
    entry = types.SimpleNamespace(pre_call=lambda kernel, call: seen.append(call.func.id))
    lookups = {"has_func": classmethod(lambda cls, name: name == "wait"),
               "get_func": classmethod(lambda cls, name: entry)}
    if where == "class":
        for name, lookup in lookups.items():
            monkeypatch.setattr(KernelFunction, name, lookup)
    else:
        monkeypatch.setattr(km, "KernelFunction", type("Registry", (KernelFunction,), lookups))
    k = parse("def f():\n    zv.wait_trig()\n    zv.wait(4e-8)\n    zv.wait(8e-8)\n")
    assert [i.width for i in k.instruction_list[1:]] == [4e-8, 8e-8]
    assert seen == ["wait", "wait"]

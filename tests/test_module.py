import ast
import re
import inspect
import io
import pathlib
import re
import subprocess
import sys
import sysconfig
import weakref

import pytest

import tavrinmoss
from tavrinmoss import Board, Move

REPO = pathlib.Path(__file__).resolve().parent.parent
PUBLIC = ["Board", "Move", "hello_world"]
# Module attributes beside __all__ (the stub-only check is in test_stub.py).
# Public stub names reachable as module attributes but kept out of __all__.
SQUARE_FUNCTIONS = {"square", "square_file", "square_rank", "square_name", "parse_square", "OpeningBook",
                    "Game", "Variation", "Score", "RelativeScore", "Engine", "EngineError"}


def run_child(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)


def board_state_type():
    # The type exists only once an argument has been checked against it.
    with pytest.raises(TypeError):
        Board()._restore(None)
    found = [c for c in object.__subclasses__() if c.__name__ == "BoardState"]
    assert len(found) == 1
    return found[0]


class TestNamespace:
    def test_surface(self):
        assert tavrinmoss.__all__ == PUBLIC
        assert type(tavrinmoss.__all__) is list
        assert tavrinmoss.__doc__ == ""
        assert not hasattr(tavrinmoss, "BoardState")
        assert [k for k in vars(tavrinmoss) if k in PUBLIC] == PUBLIC

    def test_reimport_returns_cached_module(self):
        saved = sys.modules.pop("tavrinmoss")
        try:
            for _ in range(2):
                again = __import__("tavrinmoss")
                assert again is saved
                assert again.Board is Board and again.Move is Move
                sys.modules.pop("tavrinmoss")
        finally:
            sys.modules["tavrinmoss"] = saved
        assert tavrinmoss.__all__ == PUBLIC


class TestHelloWorld:
    def test_writes_line_on_fd1(self):
        r = run_child(
            "import tavrinmoss, sys\n"
            "assert tavrinmoss.hello_world() is None\n"
        )
        assert r.returncode == 0, r.stderr
        assert r.stdout == b"Hello World!\n"

    def test_bypasses_sys_stdout_and_is_flushed(self):
        # The line must reach fd 1 before later raw writes, whatever sys.stdout is.
        r = run_child(
            "import io, os, sys, tavrinmoss\n"
            "buf = io.StringIO(); sys.stdout = buf\n"
            "tavrinmoss.hello_world()\n"
            "os.write(1, b'after\\n')\n"
            "assert buf.getvalue() == '', buf.getvalue()\n"
        )
        assert r.returncode == 0, r.stderr
        assert r.stdout == b"Hello World!\nafter\n"

    def test_write_failure_is_a_panic(self):
        r = run_child(
            "import os, tavrinmoss\n"
            "os.close(1)\n"
            "try:\n"
            "    tavrinmoss.hello_world()\n"
            "except BaseException as e:\n"
            "    os.write(2, ('CAUGHT ' + type(e).__name__ + ': ' + str(e)).encode())\n"
        )
        assert b"CAUGHT PanicException: failed printing to stdout: " in r.stderr

    def test_function_surface(self):
        f = tavrinmoss.hello_world
        assert f.__name__ == "hello_world"
        assert f.__module__ == "tavrinmoss"
        assert f.__text_signature__ == "()"
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            f(1)


class TestSignatures:
    def test_class_docs(self):
        assert Board.__text_signature__ == "(starting_fen=None)"
        assert Move.__text_signature__ == "(from_square, to_square, promotion=None)"
        assert not Board.__doc__ and not Move.__doc__
        assert list(inspect.signature(Board).parameters) == ["starting_fen"]
        assert list(inspect.signature(Move).parameters) == ["from_square", "to_square", "promotion"]

    @pytest.mark.parametrize("cls, name, sig", [
        (Board, "get_pieces", "($self, piece_type)"),
        (Board, "_is_attacked", "($self, square)"),
        (Board, "_reset_half_move_clock", "($self, from_mask, to_mask)"),
        (Board, "apply_move", "($self, mov)"),
        (Board, "_restore", "($self, board_state)"),
        (Board, "legal_moves", "($self)"),
        (Move, "uci", "($self)"),
    ])
    def test_method_text_signature(self, cls, name, sig):
        meth = getattr(cls, name)
        assert meth.__text_signature__ == sig
        assert not meth.__doc__
        inspect.signature(meth)


class TestTypeProperties:
    @pytest.mark.parametrize("make", [Board, lambda: Move(0, 8)])
    def test_identity_semantics_no_dict(self, make):
        a, b = make(), make()
        assert a == a and a != b and len({a, b}) == 2
        with pytest.raises(TypeError):
            a < b
        assert not hasattr(a, "__dict__")
        with pytest.raises(AttributeError):
            a.colour = "white"
        with pytest.raises(TypeError):
            weakref.ref(a)

    def test_not_subclassable(self):
        for base in (Board, Move, board_state_type()):
            with pytest.raises(TypeError):
                type("Sub", (base,), {})

    # Reassigning __new__ used to hand out a Board or BoardState whose
    # record was never built; the types are as immutable as CPython's own.
    @pytest.mark.parametrize("get_type", [
        lambda: Board, lambda: Move, board_state_type, lambda: type(Board().move_stack),
        lambda: type(Board("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1").outcome()),
        lambda: type(Board.read_pgn(io.StringIO(""))),
    ], ids=["Board", "Move", "BoardState", "MoveStack", "Outcome", "PgnReader"])
    def test_types_are_immutable(self, get_type):
        cls = get_type()
        new = cls.__new__
        with pytest.raises(TypeError, match="immutable type"):
            cls.__new__ = lambda c, *a: object.__new__(c)
        assert cls.__new__ is new
        with pytest.raises(TypeError, match="immutable type"):
            cls.extra = 1
        assert "extra" not in vars(cls)

    def test_board_state_has_no_constructor(self):
        with pytest.raises(TypeError, match="^No constructor defined for BoardState$"):
            board_state_type()()


def bad_move_panic():
    b = Board()
    with pytest.raises(BaseException) as e:
        b.apply_move(Move(64, 0))
    return b, e.value


class TestPanic:
    def test_exception_type(self):
        b, e = bad_move_panic()
        t = type(e)
        assert t.__name__ == "PanicException"
        assert t.__module__ == "pyo3_runtime"
        assert t.__bases__ == (BaseException,)
        assert not isinstance(e, Exception)
        assert "BaseException" in t.__doc__
        assert str(e) == "index out of bounds: the len is 64 but the index is 64"
        assert e.args == (str(e),)
        assert type(bad_move_panic()[1]) is t
        assert t not in vars(tavrinmoss).values()

    def test_borrow_released_after_panic(self):
        b, _ = bad_move_panic()
        b.turn = True
        assert b.get_pieces("P") == 0x00FF00000000FF00
        assert str(b) == str(Board())

    def test_except_exception_does_not_catch(self):
        r = run_child(
            "import tavrinmoss\n"
            "try:\n"
            "    tavrinmoss.Board().apply_move(tavrinmoss.Move(64, 0))\n"
            "except Exception:\n"
            "    print('swallowed')\n"
        )
        assert r.returncode != 0
        assert r.stdout == b""
        err = r.stderr.decode()
        assert "pyo3_runtime.PanicException: index out of bounds" in err
        # The diagnostic is written before the traceback.
        assert err.count("index out of bounds: the len is 64 but the index is 64") == 2
        assert err.index("panicked") < err.index("Traceback")
        # The source file is named from the project's root, never by the build machine's path.
        where = re.search(r"panicked at (\S+):\d+:\d+:", err).group(1)
        assert where.startswith("src/board/") and str(REPO) not in err, where


def stub_classes():
    tree = ast.parse((REPO / "src" / "tavrinmoss.pyi").read_text())
    # Private stub-only helpers (the outcome's type) stay out of the namespace.
    assert {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))
            and not n.name.startswith("_")} == set(PUBLIC) | SQUARE_FUNCTIONS
    def params(f):
        keyword_only = ["*"] + [a.arg for a in f.args.kwonlyargs] if f.args.kwonlyargs else []
        return [a.arg for a in f.args.args[1:]] + keyword_only

    return {c.name: {(i.name if isinstance(i, ast.FunctionDef) else i.target.id):
                     (params(i) if isinstance(i, ast.FunctionDef) else None)
                     for i in c.body if not isinstance(i, ast.Expr)}
            for c in tree.body if isinstance(c, ast.ClassDef) and not c.name.startswith("_")}


# Beside the module, and as the stub-only package that type checkers look for.
@pytest.mark.parametrize("path", ["tavrinmoss.pyi", "tavrinmoss-stubs/__init__.pyi"])
def test_installed_stub_is_the_shipped_one(path):
    installed = pathlib.Path(sysconfig.get_paths()["platlib"]) / path
    assert installed.read_text() == (REPO / "src" / "tavrinmoss.pyi").read_text()


@pytest.mark.parametrize("cls", [Board, Move])
def test_stub_matches_runtime(cls):
    stub = stub_classes()[cls.__name__]
    runtime = set(vars(cls)) - {"__doc__", "__module__", "__repr__", "__str__", "__sizeof__"}
    assert (runtime - set(stub), set(stub) - runtime) == (set(), set())
    for name, params in stub.items():
        sig = cls.__text_signature__ if name == "__new__" else getattr(vars(cls)[name], "__text_signature__", None)
        if params is None or sig is None:
            continue
        # The runtime's receiver is $self / $type; the stub's is self / cls.
        expected = [p.split("=")[0] for p in sig.strip("()").split(", ") if p and not p.startswith("$")]
        assert params == expected, name


def parameterised_callables():
    """Every callable of the module that takes parameters, bound."""
    for cls, instance in ((Board, Board()), (Move, Move(12, 28))):
        yield pytest.param(cls, f"{cls.__name__}.__new__", id=f"{cls.__name__}.__new__")
        for name, attr in vars(cls).items():
            sig = getattr(attr, "__text_signature__", None)
            if sig and name != "__new__" and sig not in ("($self)", "($self, /)"):
                yield pytest.param(getattr(instance, name), f"{cls.__name__}.{name}", id=f"{cls.__name__}.{name}")


def parser_table(call, text_names):
    """The parameter names and required count the argument parser holds for
    a callable, read from the errors it raises before any argument is used:
    too many arguments give the counts, and each name given both by position
    and by keyword is named back only if the parser's table has it there."""
    def message(*args, **kwargs):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        return str(info.value).split("() ", 1)[1]

    count = len(text_names)
    too_many = message(*[None] * (count + 1))
    counts = re.fullmatch(rf"takes (?:from (\d+) to )?(\d+) positional arguments? but {count + 1} were given",
                          too_many)
    assert counts, too_many
    total = int(counts[2])
    required = int(counts[1]) if counts[1] else total
    names = []
    for i, name in enumerate(text_names[:total]):
        said = message(*[None] * (i + 1), **{name: None})
        names.append(name if said == f"got multiple values for argument '{name}'" else said)
    return names + [None] * (total - len(names)), required


# The three descriptions of each callable: the parser's table (as its errors
# show it), the docstring's text signature, and the stub.
@pytest.mark.parametrize("call, qualname", list(parameterised_callables()))
def test_parser_table_text_signature_and_stub_agree(call, qualname):
    cls_name, name = qualname.split(".")
    params = list(inspect.signature(call).parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p.name for p in params if p.kind is p.KEYWORD_ONLY]
    text_names = [p.name for p in positional]
    text_required = sum(p.default is p.empty for p in positional)
    assert parser_table(call, text_names) == (text_names, text_required)

    stub = next(c for c in ast.parse((REPO / "src" / "tavrinmoss.pyi").read_text()).body
                if isinstance(c, ast.ClassDef) and c.name == cls_name)
    fn = next(f for f in stub.body if isinstance(f, ast.FunctionDef) and f.name == name)
    stub_args = fn.args.args[1:]
    assert [a.arg for a in stub_args] == text_names
    assert len(stub_args) - len(fn.args.defaults) == text_required
    assert [a.arg for a in fn.args.kwonlyargs] == keyword_only

import sys

import pytest

from tavrinmoss import Board, Move

OOR = "out of range integral type conversion attempted"

# (callable name, parameters, required count)
SIGNATURES = [
    ("Move.__new__", ["from_square", "to_square", "promotion"], 2),
    ("Move.from_uci", ["text"], 1),
    ("Board.__new__", ["starting_fen"], 0),
    ("Board.get_pieces", ["piece_type"], 1),
    ("Board.set_pieces_or", ["piece_type", "bitboard"], 2),
    ("Board.set_pieces_xor", ["piece_type", "bitboard"], 2),
    ("Board._is_attacked", ["square"], 1),
    ("Board._reset_half_move_clock", ["from_mask", "to_mask"], 2),
    ("Board._remove_castling_rights", ["id"], 1),
    ("Board.apply_move", ["mov"], 1),
    ("Board._restore", ["board_state"], 1),
    ("Board.perft", ["depth"], 1),
]


def resolve(qualname, board):
    cls, name = qualname.split(".")
    if name == "__new__":
        return Move if cls == "Move" else Board
    return getattr(Move if cls == "Move" else board, name)


def state(b):
    return (str(b), b.fen(), b.turn, len(b.move_stack))


@pytest.fixture
def board():
    return Board()


@pytest.mark.parametrize("qualname, params, required", SIGNATURES, ids=[s[0] for s in SIGNATURES])
class TestParse:
    def check(self, board, qualname, args, kwargs, message):
        before = state(board)
        with pytest.raises(TypeError) as e:
            resolve(qualname, board)(*args, **kwargs)
        assert str(e.value) == f"{qualname}() {message}"
        assert state(board) == before

    def test_too_many_positional(self, board, qualname, params, required):
        n, m = len(params), len(params) + 1
        span = str(n) if n == required else f"from {required} to {n}"
        msg = f"takes {span} positional arguments but {m} were given"
        self.check(board, qualname, [None] * m, {}, msg)
        # Counting comes before keyword checks.
        self.check(board, qualname, [None] * m, {"bogus": 1}, msg)

    def test_repeated_keyword(self, board, qualname, params, required):
        self.check(board, qualname, [None], {params[0]: None},
                   f"got multiple values for argument '{params[0]}'")

    def test_unexpected_keyword_before_missing(self, board, qualname, params, required):
        self.check(board, qualname, [], {"bogus": 1, "other": 2},
                   "got an unexpected keyword argument 'bogus'")

    def test_missing(self, board, qualname, params, required):
        if required == 0:
            pytest.skip("nothing is required")
        names = " and ".join(f"'{p}'" for p in params[:required])
        plural = "argument" if required == 1 else "arguments"
        self.check(board, qualname, [], {}, f"missing {required} required positional {plural}: {names}")
        if required == 2:
            self.check(board, qualname, [], {params[1]: 0},
                       f"missing 1 required positional argument: '{params[0]}'")
            self.check(board, qualname, [0], {},
                       f"missing 1 required positional argument: '{params[1]}'")


@pytest.mark.parametrize("call, expected", [
    (lambda b: b.set_pieces_or(bitboard=1 << 20, piece_type="N") or b.get_pieces("N"), 0x4200000000100042),
    (lambda b: b._reset_half_move_clock(to_mask=0, from_mask=1 << 12), True),
    (lambda b: Board(starting_fen="8/8/8/8/8/8/8/K6k w - - 0 1").get_pieces("k"), 0x81),
    (lambda b: Move(to_square=28, from_square=12).uci(), "e2e4"),
])
def test_keyword_passing(board, call, expected):
    assert call(board) == expected


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Holder:
    class Inner:
        pass


class MyTypeError(TypeError):
    pass


def caused():
    exc = TypeError("boom")
    exc.__cause__ = KeyError("why")
    return exc


def raising(make):
    class Raises:
        def __index__(self):
            raise make()
    return Raises()


INNER = Holder.Inner()
BIG = 2**70

# (method, args, exception, exact message or None when the interpreter's own)
FAILURES = [
    ("get_pieces", (7,), TypeError, "argument 'piece_type': 'int' object cannot be converted to 'PyString'"),
    ("get_pieces", (b"P",), TypeError, "argument 'piece_type': 'bytes' object cannot be converted to 'PyString'"),
    ("get_pieces", (INNER,), TypeError, "argument 'piece_type': 'Holder.Inner' object cannot be converted to 'PyString'"),
    ("get_pieces", ("PP",), ValueError, "expected a string of length 1"),
    ("_remove_castling_rights", ("KQ",), ValueError, "expected a string of length 1"),
    ("set_pieces_or", ("P", -1), OverflowError, None),
    ("set_pieces_or", ("P", 2**64), OverflowError, None),
    ("set_pieces_or", ("P", Index(-1)), OverflowError, None),
    ("set_pieces_xor", ("P", 1.0), TypeError, "argument 'bitboard': 'float' object cannot be interpreted as an integer"),
    ("set_pieces_or", (7, -1), TypeError, "argument 'piece_type': 'int' object cannot be converted to 'PyString'"),
    ("set_pieces_or", ("", "x"), ValueError, "expected a string of length 1"),
    ("set_pieces_or", ("P", raising(caused)), TypeError, "argument 'bitboard': boom"),
    ("set_pieces_or", ("P", raising(lambda: MyTypeError("sub"))), MyTypeError, "sub"),
    ("_reset_half_move_clock", (0, -1), OverflowError, None),
    ("_reset_half_move_clock", (0, "x"), TypeError, "argument 'to_mask': 'str' object cannot be interpreted as an integer"),
    ("_is_attacked", (256,), OverflowError, OOR),
    ("_is_attacked", (Index(1000),), OverflowError, OOR),
    ("_is_attacked", (BIG,), OverflowError, None),
    ("_is_attacked", ("1",), TypeError, "argument 'square': 'str' object cannot be interpreted as an integer"),
    ("apply_move", ("e2e4",), TypeError, "argument 'mov': 'str' object cannot be converted to 'Move'"),
    ("_restore", (None,), TypeError, "argument 'board_state': 'NoneType' object cannot be converted to 'BoardState'"),
    ("_restore", (5,), TypeError, "argument 'board_state': 'int' object cannot be converted to 'BoardState'"),
    ("_restore", (Move(0, 1),), TypeError, "argument 'board_state': 'Move' object cannot be converted to 'BoardState'"),
    ("Board", (5,), TypeError, "argument 'starting_fen': 'int' object cannot be converted to 'PyString'"),
    ("Board", ("\ud800",), UnicodeEncodeError, None),
    ("get_pieces", ("\ud800",), UnicodeEncodeError, None),
    ("Move", (52, 60, "\udc00"), UnicodeEncodeError, None),
    ("Move", (4294967296, 0), OverflowError, OOR),
    ("Move", (0, 2**64 - 1), OverflowError, OOR),
    ("Move", (2**64, 0), OverflowError, None),
    ("Move", (1.5, -1), TypeError, "argument 'from_square': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name, args, exc, message", FAILURES,
                         ids=[f"{f[0]}-{i}" for i, f in enumerate(FAILURES)])
def test_conversion_failure(board, name, args, exc, message):
    target = {"Board": Board, "Move": Move}.get(name) or getattr(board, name)
    before = state(board)
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(3):
        with pytest.raises(exc) as e:
            target(*args)
        assert type(e.value) is exc
        if message is not None:
            assert str(e.value) == message
        else:
            assert not str(e.value).startswith("argument ")
    if message == "argument 'bitboard': boom":
        assert isinstance(e.value.__cause__, KeyError)
    del e
    assert [sys.getrefcount(a) for a in args] == counts
    assert state(board) == before
    assert board.get_pieces("w") == 65535


# The same words on 32-bit and 64-bit targets: none of these may depend on
# the width of the C long.
LONG_OVERFLOW = "Python int too large to convert to C long"


@pytest.mark.parametrize("call, value, message", [
    (lambda b, v: b._is_attacked(v), 2**31, OOR),
    (lambda b, v: b._is_attacked(v), -2**31 - 1, OOR),
    (lambda b, v: b._is_attacked(v), 2**32, OOR),
    (lambda b, v: b._is_attacked(Index(v)), 2**32, OOR),
    (lambda b, v: b._is_attacked(v), 2**63 - 1, OOR),
    (lambda b, v: b._is_attacked(v), 2**63, LONG_OVERFLOW),
    (lambda b, v: b._is_attacked(v), -2**63 - 1, LONG_OVERFLOW),
    (lambda b, v: b._is_attacked(Index(v)), 2**63, LONG_OVERFLOW),
    (lambda b, v: Move(v, 0), 2**32, OOR),
    (lambda b, v: Move(0, v), 2**63, OOR),
    (lambda b, v: Move(v, 0), 2**64, "int too big to convert"),
    (lambda b, v: Move(v, 0), -2**31, "can't convert negative int to unsigned"),
    (lambda b, v: b.set_pieces_or("P", v), 2**64, "int too big to convert"),
    (lambda b, v: b._reset_half_move_clock(v, 0), -1, "can't convert negative int to unsigned"),
], ids=["attacked-2**31", "attacked--2**31-1", "attacked-2**32", "attacked-index-2**32", "attacked-2**63-1",
        "attacked-2**63", "attacked--2**63-1", "attacked-index-2**63", "move-2**32", "move-2**63", "move-2**64",
        "move--2**31", "bitboard-2**64", "mask--1"])
def test_integer_limits_do_not_depend_on_the_platform(board, call, value, message):
    with pytest.raises(OverflowError) as e:
        call(board, value)
    assert str(e.value) == message


@pytest.mark.parametrize("call, expected", [
    (lambda b: b._is_attacked(Index(45)), True),
    (lambda b: b.set_pieces_xor("P", 2**64 - 1) or b.get_pieces("P"), 0xFF00FFFFFFFF00FF),
    (lambda b: b.set_pieces_or("Q", Index(1 << 40)) or b.get_pieces("Q"), 0x0800010000000008),
    (lambda b: b.get_pieces(type("S", (str,), {})("k")), 0x1000000000000010),
    (lambda b: b.set_pieces_or("R", type("I", (int,), {})(1 << 30)) or b.get_pieces("R"), 0x8100000040000081),
])
def test_conversion_accepts(board, call, expected):
    assert call(board) == expected


@pytest.mark.parametrize("value, tname", [(1, "int"), (None, "NoneType"), ("", "str")])
def test_turn_setter_is_strict(board, value, tname):
    with pytest.raises(TypeError) as e:
        board.turn = value
    assert str(e.value) == f"argument 'turn': '{tname}' object cannot be converted to 'PyBool'"
    assert board.turn is True
    board.turn = False
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del board.turn
    assert board.turn is False


def calls_back(action):
    class Evil:
        def __index__(self):
            action()
            return 1
    return Evil()


def calls_back_as_colour(action):
    """A stand-in for numpy's bool, whose truth slot the colour converter calls."""
    class bool_:
        __module__ = "numpy"

        def __bool__(self):
            action()
            return True
    return bool_()


# The argument's __index__ runs while the board is borrowed for the call.
@pytest.mark.parametrize("outer, inner, message", [
    (lambda b, x: b.set_pieces_or("P", x), lambda b: b.get_pieces("P"), "Already mutably borrowed"),
    (lambda b, x: b.set_pieces_or("P", x), lambda b: setattr(b, "turn", True), "Already borrowed"),
    (lambda b, x: b.set_pieces_xor("P", x), lambda b: str(b), "Already mutably borrowed"),
    (lambda b, x: b._is_attacked(x), lambda b: b.turn, "Already mutably borrowed"),
    (lambda b, x: b._reset_half_move_clock(x, 0), lambda b: b.set_pieces_or("P", 1), "Already borrowed"),
    (lambda b, x: b._reset_half_move_clock(0, x), lambda b: b.legal_moves(), "Already borrowed"),
    (lambda b, x: b._is_attacked(x), lambda b: b.move_stack, "Already mutably borrowed"),
    # Queries that peek without a borrow still hold one while converting.
    (lambda b, x: b.piece_at(x), lambda b: b.pop(), "Already borrowed"),
    (lambda b, x: b.attackers(True, x), lambda b: b.pop(), "Already borrowed"),
    (lambda b, x: b.is_attacked_by(True, x), lambda b: b.pop(), "Already borrowed"),
    (lambda b, x: b.is_pinned(True, x), lambda b: b.pop(), "Already borrowed"),
])
def test_reentrant_borrow_refused(board, outer, inner, message):
    board.apply_uci("b1c3")  # something to pop
    before = state(board)
    evil = calls_back(lambda: inner(board))
    count = sys.getrefcount(evil)
    with pytest.raises(RuntimeError) as e:
        outer(board, evil)
    assert str(e.value) == message
    del e
    assert sys.getrefcount(evil) == count
    assert state(board) == before
    board.turn = False
    assert board.get_pieces("P") == 0x00FF00000000FF00 and board.piece_at(18) == "N"


def test_nested_shared_and_setter_conversion_allowed(board):
    assert board._reset_half_move_clock(calls_back(lambda: board.get_pieces("P")), 0) is False
    # A setter converts its value before it borrows the object.
    m = Move(12, 28)
    m.to_square = calls_back(lambda: m.uci())
    assert m.to_square == 1


def test_noargs_methods_refuse_arguments(board):
    with pytest.raises(TypeError, match=r"^Board.legal_moves\(\) takes no arguments \(1 given\)$"):
        board.legal_moves(1)


@pytest.mark.parametrize("query", [lambda b, c: b.king(c), lambda b, c: b.attackers(c, 1),
                                   lambda b, c: b.is_pinned(c, 1)])
def test_colour_conversion_holds_the_borrow(board, query):
    board.apply_uci("b1c3")
    before = state(board)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        query(board, calls_back_as_colour(board.pop))
    assert state(board) == before


# numpy's booleans pass for bool, through their truth slot; its integers do
# not, nor does anything else merely truthy.
def test_numpy_booleans_convert_as_bools(board):
    np = pytest.importorskip("numpy")
    assert board.king(np.bool_(True)) == 4 and board.king(np.False_) == 60
    assert board.attackers(np.True_, 21) == board.attackers(True, 21) != 0
    assert board.outcome(claim_draw=np.bool_(True)) is None
    board.turn = np.bool_(False)
    assert board.turn is False
    for bad in (np.int64(1), np.float64(1.0), np.array([True]), 1):
        with pytest.raises(TypeError, match="^argument 'color'"):
            board.king(bad)
    assert board.turn is False


def zero_parameter_methods():
    owners = [("Board", Board()), ("Move", Move(12, 28)), ("MoveStack", Board().move_stack)]
    for cls, obj in owners:
        for name in dir(type(obj)):
            sig = getattr(getattr(type(obj), name), "__text_signature__", None)
            if sig == "($self)":
                yield pytest.param(cls, obj, name, id=f"{cls}.{name}")


# The messages of a method without parameters are the interpreter's own, as a
# built-in of the same shape gives them, however the method is reached.
@pytest.mark.parametrize(("cls", "obj", "name"), list(zero_parameter_methods()))
def test_zero_parameter_methods_refuse_arguments_in_the_interpreters_words(cls, obj, name):
    def message(call):
        with pytest.raises(TypeError) as info:
            call()
        return str(info.value).replace("list.copy", f"{cls}.{name}")

    bound, unbound = getattr(obj, name), getattr(type(obj), name)
    assert message(lambda: bound(1)) == message(lambda: [].copy(1))
    assert message(lambda: bound(1, 2)) == message(lambda: [].copy(1, 2))
    assert message(lambda: bound(x=1)) == message(lambda: [].copy(x=1))
    assert message(lambda: unbound(obj, 1)) == message(lambda: list.copy([], 1))
    assert message(lambda: unbound()) == message(lambda: list.copy())

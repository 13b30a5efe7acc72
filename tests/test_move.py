import pytest

from tavrinmoss import Board, Move

OOR = "out of range integral type conversion attempted"


@pytest.mark.parametrize("args, kwargs, fields, text", [
    ((12, 28), {}, (12, 28, None), "e2e4"),
    ((), {"to_square": 28, "from_square": 12}, (12, 28, None), "e2e4"),
    ((52, 60, "q"), {}, (52, 60, "q"), "e7e8q"),
    ((52,), {"to_square": 60, "promotion": "n"}, (52, 60, "n"), "e7e8n"),
    ((0, 63), {}, (0, 63, None), "a1h8"),
    ((8, 0, "Q"), {}, (8, 0, "Q"), "a2a1Q"),
    ((0, 1, "\U0001F600"), {}, (0, 1, "\U0001F600"), "a1b1\U0001F600"),
    ((64, 0), {}, (64, 0, None), "a9a1"),
    ((255, 256), {}, (255, 256, None), "h32a1"),
    ((4294967295, 0), {}, (4294967295, 0, None), "h32a1"),
    ((70, 319), {}, (70, 319, None), "g9h8"),
])
def test_construction_and_text(args, kwargs, fields, text):
    m = Move(*args, **kwargs)
    assert (m.from_square, m.to_square, m.promotion) == fields
    assert m.uci() == str(m) == repr(m) == text
    assert type(m.uci()) is str


@pytest.mark.parametrize("args, exc, message", [
    ((0,), TypeError, "Move.__new__() missing 1 required positional argument: 'to_square'"),
    ((4294967296, 0), OverflowError, OOR),
    ((0, 2**40), OverflowError, OOR),
    ((-1, 0), OverflowError, None),
    ((0, 1, ""), ValueError, "expected a string of length 1"),
    ((0, 1, 5), TypeError, "argument 'promotion': 'int' object cannot be converted to 'PyString'"),
    ((1.5, 0), TypeError, "argument 'from_square': 'float' object cannot be interpreted as an integer"),
    ((0, "1"), TypeError, "argument 'to_square': 'str' object cannot be interpreted as an integer"),
])
def test_construction_errors(args, exc, message):
    with pytest.raises(exc) as e:
        Move(*args)
    assert type(e.value) is exc
    if message is None:
        assert not str(e.value).startswith("argument ")
    else:
        assert str(e.value) == message


class TestAttributes:
    @pytest.mark.parametrize("name, value, text", [
        ("from_square", 8, "a2e4"),
        ("to_square", 36, "e2e5"),
        ("to_square", 4294967295, "e2h32"),
        ("promotion", "n", "e2e4n"),
        ("promotion", None, "e2e4"),
    ])
    def test_set(self, name, value, text):
        m = Move(12, 28, "b" if name == "promotion" and value is None else None)
        setattr(m, name, value)
        assert getattr(m, name) == value
        assert m.uci() == str(m) == repr(m) == text

    @pytest.mark.parametrize("name, value, exc, message", [
        ("from_square", -1, OverflowError, None),
        ("from_square", 2**32, OverflowError, OOR),
        ("to_square", 2**64, OverflowError, None),
        ("to_square", "x", TypeError, "argument 'to_square': 'str' object cannot be interpreted as an integer"),
        ("promotion", "qq", ValueError, "expected a string of length 1"),
        ("promotion", 5, TypeError, "argument 'promotion': 'int' object cannot be converted to 'PyString'"),
    ])
    def test_set_failure_keeps_value(self, name, value, exc, message):
        m = Move(12, 28, "q")
        with pytest.raises(exc) as e:
            setattr(m, name, value)
        assert type(e.value) is exc
        if message is None:
            assert not str(e.value).startswith("argument ")
        else:
            assert str(e.value) == message
        assert (m.from_square, m.to_square, m.promotion) == (12, 28, "q")

    @pytest.mark.parametrize("name", ["from_square", "to_square", "promotion"])
    def test_delete_refused(self, name):
        m = Move(12, 28, "q")
        with pytest.raises(AttributeError) as e:
            delattr(m, name)
        assert str(e.value) == "can't delete attribute"
        assert m.uci() == "e2e4q"


class TestIndependence:
    def test_generated_moves_are_new_objects(self):
        b = Board()
        first, second = b.legal_moves(), b.legal_moves()
        assert [m.uci() for m in first] == [m.uci() for m in second]
        assert all(a is not c for a, c in zip(first, second))
        before = [m.uci() for m in first]
        for m in first:
            m.to_square = 63
            m.promotion = "q"
        assert [m.uci() for m in b.legal_moves()] == before
        assert b.move_stack == [] and str(b) == str(Board())

    def test_history_holds_copies(self):
        b = Board()
        m = Move(12, 28)
        b.apply_move(m)
        m.to_square = 20
        assert b.move_stack[0].uci() == "e2e4"
        stacked = b.move_stack[0]
        stacked.from_square = 0
        assert b.move_stack[0].uci() == "e2e4"
        assert b.move_stack[0] is not b.move_stack[0]
        popped = b.pop()
        assert popped.uci() == "e2e4" and popped is not m
        assert b.move_stack == []


class TestFromUci:
    @pytest.mark.parametrize("text, fields", [
        ("e2e4", (12, 28, None)),
        ("a1h8", (0, 63, None)),
        ("h8a1", (63, 0, None)),
        ("e1g1", (4, 6, None)),
        ("e7e8q", (52, 60, "q")),
        ("a2a1r", (8, 0, "r")),
        ("b7c8n", (49, 58, "n")),
        ("h2h1b", (15, 7, "b")),
    ])
    def test_valid(self, text, fields):
        m = Move.from_uci(text)
        assert type(m) is Move
        assert (m.from_square, m.to_square, m.promotion) == fields
        assert m.uci() == text
        assert Move(12, 28).from_uci(text).uci() == text
        assert Move.from_uci(text) is not m

    @pytest.mark.parametrize("text", [
        "", "e2", "e2e", "e2e4 ", " e2e4", "e2-e4", "e2e4qq", "e2e9", "i2e4", "e0e4",
        "a9a1", "h32a1", "e7e8k", "e7e8p", "e7e8x", "0000", "E2E4", "e2e4\x00", "\u0117" "2e4",
    ])
    def test_invalid(self, text):
        with pytest.raises(ValueError) as e:
            Move.from_uci(text)
        assert repr(text) in str(e.value)

    def test_wrong_type(self):
        with pytest.raises(TypeError) as e:
            Move.from_uci(b"e2e4")
        assert str(e.value) == "argument 'text': 'bytes' object cannot be converted to 'PyString'"

    def test_plays_on_board(self):
        b = Board()
        for text in ["e2e4", "e7e5", "g1f3"]:
            b.apply_move(Move.from_uci(text))
        assert [m.uci() for m in b.move_stack] == ["e2e4", "e7e5", "g1f3"]
        assert b.turn is False

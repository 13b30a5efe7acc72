import copy

import pytest

from helpers import panic_message
from tavrinmoss import Board, Move

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
EMPTY = "8/8/8/8/8/8/8/8 w - - 0 1"
LETTERS = "PRNBQKWA"
START_BITBOARDS = {
    "P": 0x00FF00000000FF00,
    "R": 0x8100000000000081,
    "N": 0x4200000000000042,
    "B": 0x2400000000000024,
    "Q": 0x0800000000000008,
    "K": 0x1000000000000010,
    "W": 0x000000000000FFFF,
    "A": 0xFFFF00000000FFFF,
}
START_LINES = [
    "r n b q k b n r",
    "p p p p p p p p",
    *[". . . . . . . ."] * 4,
    "P P P P P P P P",
    "R N B Q K B N R",
]



def bitboards(b):
    return {c: b.get_pieces(c) for c in LETTERS}


def snapshot(b):
    return (
        bitboards(b), b.turn, b.fen(), b.half_move_clock, b.full_move_number,
        b.castling_rights, b.en_passant_square, b.starting_fen,
        [m.uci() for m in b.move_stack],
    )


class TestFenFailures:
    @pytest.mark.parametrize("text, message", [
        ("8/8/8/8/8/8/8/8 w - -", "Invalid starting fen; got 8/8/8/8/8/8/8/8 w - -, with 4 parts"),
        ("8/8/8/8/8/8/8/8 w - - 0", "Invalid starting fen; got 8/8/8/8/8/8/8/8 w - - 0, with 5 parts"),
        ("", "Invalid starting fen; got , with 1 parts"),
        ("ppppppppp/8/8/8/8/8/8/8 w - - 0 1", "index out of bounds: the len is 64 but the index is 64"),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1", "Invalid piece type"),
        # the square is checked before the letter
        ("9X/8/8/8/8/8/8/8 w - - 0 1", "index out of bounds: the len is 64 but the index is 65"),
        ("8/8/8/8/8/8/8/8 w - e 0 1", "index out of bounds: the len is 1 but the index is 1"),
        ("8/8/8/8/8/8/8/8 w - \u00e9 0 1", "index out of bounds: the len is 1 but the index is 1"),
        ("8/8/8/8/8/8/8/8 w -  0 1", "index out of bounds: the len is 0 but the index is 1"),
    ])
    def test_refused(self, text, message):
        assert panic_message(Board, text) == message


class TestFenLenient:
    def test_default_is_start(self):
        for b in (Board(), Board(None), Board(starting_fen=None)):
            assert bitboards(b) == START_BITBOARDS
            assert str(b).split("\n") == START_LINES
            assert (b.turn, b.castling_rights, b.en_passant_square) == (True, "KQkq", None)
            assert (b.half_move_clock, b.full_move_number, b.starting_fen) == (0, 1, START)
            assert b.move_stack == []

    @pytest.mark.parametrize("text", [START + " extra", START + " ", START + " a b c"])
    def test_extra_fields_ignored(self, text):
        b = Board(text)
        assert bitboards(b) == START_BITBOARDS
        assert b.starting_fen == text
        assert b.fen() == START

    def test_two_spaces_shift_fields(self):
        b = Board("8/8/8/8/8/8/8/8  w - - 0")
        assert b.turn is False
        assert b.castling_rights == "w"
        assert b.en_passant_square is None
        assert (b.half_move_clock, b.full_move_number) == (0, 0)

    def test_kings_and_fields(self):
        b = Board("4k3/8/8/8/8/8/8/4K3 b - e3 12 40")
        assert b.get_pieces("K") == (1 << 60) | (1 << 4)
        assert b.get_pieces("W") == 1 << 4
        assert (b.turn, b.castling_rights, b.en_passant_square) == (False, None, 20)
        assert (b.half_move_clock, b.full_move_number) == (12, 40)

    def test_ninth_pawn_wraps_to_a8(self):
        b = Board("8/ppppppppp/8/8/8/8/8/8 w - - 0 1")
        assert b.get_pieces("p") == (0xFF << 48) | (1 << 56)
        assert b.get_pieces("A") & ~b.get_pieces("W") == b.get_pieces("p")

    def test_trailing_slash_leaves_board_empty(self):
        b = Board("8/8/8/8/8/8/8/8/ w - - 0 1")
        assert set(bitboards(b).values()) == {0}

    def test_two_letters_on_one_square_are_ored(self):
        # "/" steps back 16 and the digits forward 15, so "N" lands on a8 again
        b = Board("P/96N/8/8/8/8/8/8 w - - 0 1")
        assert b.get_pieces("P") == b.get_pieces("N") == b.get_pieces("W") == 1 << 56
        assert str(b).split("\n")[0] == "N . . . . . . ."

    @pytest.mark.parametrize("field, value", [
        ("0", 0), ("+5", 5), ("007", 7), ("-5", 0), ("abc", 0), ("1\n", 0), ("+", 0),
        ("4294967295", 4294967295), ("4294967296", 0), ("99999999999999999999", 0),
    ])
    def test_counters(self, field, value):
        b = Board(f"8/8/8/8/8/8/8/8 w - - {field} {field}")
        assert (b.half_move_clock, b.full_move_number) == (value, value)

    @pytest.mark.parametrize("field, value", [
        ("-", None), ("KQkq", "KQkq"), ("xyz", "xyz"), ("Kk", "Kk"),
    ])
    def test_castling_field_kept_as_written(self, field, value):
        assert Board(f"8/8/8/8/8/8/8/8 w {field} - 0 1").castling_rights == value

    @pytest.mark.parametrize("field, value", [
        ("e3", 20), ("d6", 43), ("h3x", 23), ("E3", 16), ("h9", 71), ("e0", 252), ("ex", 252),
        ("a1", 0), ("-", None),
    ])
    def test_en_passant(self, field, value):
        assert Board(f"8/8/8/8/8/8/8/8 w - {field} 0 1").en_passant_square == value

    @pytest.mark.parametrize("field, turn", [("w", True), ("b", False), ("W", False), ("white", False)])
    def test_side_to_move(self, field, turn):
        assert Board(f"8/8/8/8/8/8/8/8 {field} - - 0 1").turn is turn


class TestPieces:
    @pytest.mark.parametrize("letter, kind", [(c, c.upper()) for c in "pPrRnNbBqQkKwWaA"])
    def test_case_selects_no_colour(self, letter, kind):
        assert Board().get_pieces(letter) == START_BITBOARDS[kind]

    def test_get_unknown_letter(self):
        b = Board()
        assert panic_message(b.get_pieces, "x") == "Invalid piece type: x"
        for bad in ("", "PP"):
            with pytest.raises(ValueError, match="^expected a string of length 1$"):
                b.get_pieces(bad)
        assert bitboards(b) == START_BITBOARDS

    def test_or_adds_kind_and_colour(self):
        b = Board()
        b.set_pieces_or("Q", 1 << 27)
        assert b.get_pieces("Q") == START_BITBOARDS["Q"] | 1 << 27
        assert b.get_pieces("W") == 65535 | 1 << 27
        assert str(b).split("\n")[4] == ". . . Q . . . ."

    def test_or_onto_occupied_square_overlaps(self):
        b = Board()
        b.set_pieces_or("q", 1)
        for letter in "RQW":
            assert b.get_pieces(letter) & 1
        assert b.get_pieces("A") & ~b.get_pieces("W") & 1 == 0  # a1 is in both colours
        assert str(b).split("\n")[7] == "q N B Q K B N R"

    def test_xor_flips_kind_only(self):
        b = Board()
        b.set_pieces_xor("P", 256)
        assert b.get_pieces("P") == START_BITBOARDS["P"] & ~256
        assert b.get_pieces("W") == 65535
        assert str(b).split("\n")[6] == ". P P P P P P P"
        b.set_pieces_xor("P", 256)
        assert bitboards(b) == START_BITBOARDS

    @pytest.mark.parametrize("method", ["set_pieces_or", "set_pieces_xor"])
    @pytest.mark.parametrize("letter", ["W", "a", "x", "w", "A"])
    @pytest.mark.parametrize("mask", [0, 1])
    def test_non_piece_letter_refused(self, method, letter, mask):
        b = Board()
        assert panic_message(getattr(b, method), letter, mask) == "Invalid piece type"
        assert bitboards(b) == START_BITBOARDS

    @pytest.mark.parametrize("method", ["set_pieces_or", "set_pieces_xor"])
    def test_zero_mask_changes_nothing(self, method):
        b = Board()
        getattr(b, method)("p", 0)
        assert bitboards(b) == START_BITBOARDS


class TestRendering:
    def test_empty(self):
        assert str(Board(EMPTY)) == "\n".join([". . . . . . . ."] * 8)

    def test_repr_equals_str(self):
        b = Board()
        assert repr(b) == str(b) == "\n".join(START_LINES)

    @pytest.mark.parametrize("ops, line, expected", [
        ([("set_pieces_or", "N", 1)], 7, "N N B Q K B N R"),        # later kind wins
        ([("set_pieces_or", "k", 1 << 60)], 0, "r n b q k b n r"),
        ([("set_pieces_or", "P", 1 << 63)], 0, "r n b q k b n r"),  # black letter wins
        ([("set_pieces_xor", "p", 1 << 27)], 4, ". . . . . . . ."),  # kind without colour
        ([("set_pieces_or", "Q", 1 << 27), ("set_pieces_xor", "Q", 1 << 27)], 4, ". . . . . . . ."),
    ])
    def test_overlaps(self, ops, line, expected):
        b = Board()
        for method, letter, mask in ops:
            getattr(b, method)(letter, mask)
        text = str(b)
        assert len(text) == 127
        assert text.split("\n")[line] == expected


class TestTurn:
    def test_set_keeps_position(self):
        b = Board("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1")
        before = bitboards(b)
        assert b.turn is False
        b.turn = True
        assert b.turn is True
        assert bitboards(b) == before
        assert b.en_passant_square == 20

    def test_delete_and_bad_type(self):
        b = Board()
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del b.turn
        with pytest.raises(TypeError, match="^argument 'turn': 'int' object cannot be converted to 'PyBool'$"):
            b.turn = 1
        assert b.turn is True


class TestSetBoard:
    def test_fresh_board_unchanged(self):
        b = Board("4k3/8/8/8/8/8/8/4K3 b Kq e3 12 40")
        before = snapshot(b)
        assert b.set_board() is None
        assert snapshot(b) == before

    def test_after_moves_restores_fen_position(self):
        b = Board()
        for f, t in [(12, 28), (52, 36), (6, 21), (57, 42)]:
            b.apply_move(Move(f, t))
        b.set_board()
        assert bitboards(b) == START_BITBOARDS
        assert b.fen() == START
        assert [m.uci() for m in b.move_stack] == ["e2e4", "e7e5", "g1f3", "b8c6"]

    def test_clears_fields_the_text_leaves_absent(self):
        b = Board("4k3/8/8/8/8/8/8/4K3 w - - 3 9")
        b.set_pieces_or("Q", 1 << 27)
        b.turn = False
        b.set_board()
        assert b.fen() == "4k3/8/8/8/8/8/8/4K3 w - - 3 9"
        b.apply_move(Move(4, 12))
        b.set_board()
        assert (b.castling_rights, b.en_passant_square, b.turn) == (None, None, True)


ROUND_TRIP = [
    START,
    EMPTY,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 b - - 17 63",
    "4k3/8/8/8/8/8/8/4K3 w Kq d6 4294967295 1",
]


class TestFen:
    @pytest.mark.parametrize("text", ROUND_TRIP)
    def test_round_trip(self, text):
        b = Board(text)
        assert b.fen() == text
        again = Board(b.fen())
        assert again.fen() == text and bitboards(again) == bitboards(b)

    def test_round_trip_after_moves(self):
        b = Board()
        for f, t in [(12, 28), (52, 36), (6, 21)]:
            b.apply_move(Move(f, t))
            again = Board(b.fen())
            assert (again.fen(), bitboards(again)) == (b.fen(), bitboards(b))
        assert b.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2"

    @pytest.mark.parametrize("text, expected", [
        ("4k3/8/8/8/8/8/8/4K3 w  - 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),   # empty rights
        ("4k3/8/8/8/8/8/8/4K3 w - h9 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),  # 71
        ("4k3/8/8/8/8/8/8/4K3 w - e0 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"),  # 252
        ("4k3/8/8/8/8/8/8/4K3 b - E3 +5 007", "4k3/8/8/8/8/8/8/4K3 b - a3 5 7"),
    ])
    def test_normalised(self, text, expected):
        assert Board(text).fen() == expected


class TestReadOnly:
    @pytest.mark.parametrize("name, value", [
        ("half_move_clock", 3), ("full_move_number", 3), ("castling_rights", "K"),
        ("en_passant_square", 20), ("starting_fen", EMPTY), ("move_stack", []),
    ])
    def test_assignment_refused(self, name, value):
        b = Board()
        before = snapshot(b)
        with pytest.raises(AttributeError):
            setattr(b, name, value)
        with pytest.raises(AttributeError):
            delattr(b, name)
        assert snapshot(b) == before

    def test_move_stack_is_a_new_list_of_new_moves(self):
        b = Board()
        m = Move(12, 28)
        b.apply_move(m)
        m.to_square = 20
        first, second = b.move_stack, b.move_stack
        assert first is not second and first[0] is not second[0]
        first.clear()
        assert [x.uci() for x in b.move_stack] == ["e2e4"]


class TestCopy:
    @pytest.mark.parametrize("make", [
        lambda b: b.copy(), copy.copy, copy.deepcopy,
    ], ids=["copy", "copy.copy", "copy.deepcopy"])
    def test_independent(self, make):
        b = Board("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
        b.apply_move(Move(4, 6))
        c = make(b)
        assert type(c) is Board and c is not b
        assert snapshot(c) == snapshot(b)
        before = snapshot(b)
        c.apply_move(Move(60, 62))
        c.set_pieces_or("Q", 1 << 27)
        assert snapshot(b) == before
        assert c.pop().uci() == "e8g8"
        b.pop()
        assert b.castling_rights == "KQkq"
        assert c.castling_rights == "kq"
        assert c.pop().uci() == "e1g1" and c.castling_rights == "KQkq"

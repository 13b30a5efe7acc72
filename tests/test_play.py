import random

import pytest

from helpers import panic_message, played
from tavrinmoss import Board, Move

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"
UNWRAP = "called `Option::unwrap()` on a `None` value"


def state(b):
    return (
        {c: b.get_pieces(c) for c in "PRNBQKWA"}, b.turn, b.fen(), b.half_move_clock,
        b.full_move_number, b.castling_rights, b.en_passant_square, b.starting_fen,
        [(m.from_square, m.to_square, m.promotion) for m in b.move_stack],
    )



def bit(*squares):
    return sum(1 << s for s in squares)


class TestApply:
    def test_double_pushes_and_counters(self):
        b = played(START, (12, 28))
        assert b.get_pieces("P") & b.get_pieces("W") == 0xEF00 | bit(28)
        assert (b.en_passant_square, b.half_move_clock, b.full_move_number, b.turn) == (20, 0, 1, False)
        assert len(b.move_stack) == 1
        b.apply_move(Move(52, 36))
        assert (b.en_passant_square, b.full_move_number, b.turn) == (44, 2, True)

    def test_quiet_moves_count_and_capture_resets(self):
        b = played("4k3/8/8/8/8/8/1p6/R3K3 w - - 10 7", (0, 8))
        assert (b.half_move_clock, b.full_move_number, b.en_passant_square) == (11, 7, None)
        b.apply_move(Move(60, 52))
        assert (b.half_move_clock, b.full_move_number) == (12, 8)
        b.apply_move(Move(8, 9))  # rook takes the pawn on b2
        assert b.half_move_clock == 0
        assert (b.get_pieces("P"), b.get_pieces("R"), b.get_pieces("A") & ~b.get_pieces("W")) == (0, bit(9), bit(52))

    def test_capture_by_same_kind(self):
        b = played("4k3/8/8/8/8/8/8/R3K2r w - - 0 1", (0, 7))
        assert b.get_pieces("R") == bit(7)
        assert b.get_pieces("W") == bit(4, 7)
        assert b.get_pieces("A") == bit(4, 7, 60)

    @pytest.mark.parametrize("fen, moves, pawns, white", [
        # white takes en passant on d6, the d5 pawn goes
        ("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1", [(51, 35), (36, 43)], bit(43), bit(4, 43)),
        # black takes en passant on e3
        ("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1", [(12, 28), (27, 20)], bit(20), bit(4)),
        # c4xd5 after the double push is an ordinary capture
        ("4k3/3p4/8/8/2P5/8/8/4K3 b - - 0 1", [(51, 35), (26, 35)], bit(35), bit(4, 35)),
    ])
    def test_en_passant(self, fen, moves, pawns, white):
        b = played(fen, *moves)
        assert b.get_pieces("P") == pawns
        assert b.get_pieces("W") == white
        assert b.get_pieces("A") == white | bit(60) | (pawns & ~white)
        assert (b.half_move_clock, b.en_passant_square) == (0, None)

    def test_en_passant_square_lasts_one_move(self):
        b = played("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1", (51, 35), (4, 5))
        assert b.en_passant_square is None
        b.apply_move(Move(60, 59))
        b.apply_move(Move(36, 43))  # no longer en passant: d5 stays
        assert b.get_pieces("P") == bit(35, 43)

    @pytest.mark.parametrize("letter", "qrbn")
    def test_promotion(self, letter):
        b = played("k7/4P3/8/8/8/8/8/K7 w - - 5 1", Move(52, 60, letter))
        assert b.get_pieces("P") == 0
        assert b.get_pieces(letter) == bit(60)
        assert b.get_pieces("W") == bit(0, 60)
        assert b.half_move_clock == 0 and b.turn is False

    @pytest.mark.parametrize("victim, letter", [("r", "q"), ("q", "q"), ("n", "r"), ("b", "b")])
    def test_promotion_with_capture(self, victim, letter):
        b = played(f"k2{victim}4/4P3/8/8/8/8/8/K7 w - - 0 1", Move(52, 59, letter))
        assert b.get_pieces(letter) == bit(59)
        if victim != letter:
            assert b.get_pieces(victim) == 0
        assert b.get_pieces("P") == 0
        assert b.get_pieces("W") == bit(0, 59)
        assert b.get_pieces("A") == bit(0, 59, 56)


class TestApplyFailures:
    @pytest.mark.parametrize("move, message", [
        (Move(16, 24), "Could not find the piece to move for a3a4"),
        (Move(64, 0), "index out of bounds: the len is 64 but the index is 64"),
        (Move(12, 200), "index out of bounds: the len is 64 but the index is 200"),
        (Move(52, 60, "Q"), "Panic in the disco!!! (promotion issue) for e7e8Q"),
        (Move(52, 60, "x"), "Panic in the disco!!! (promotion issue) for e7e8x"),
        (Move(52, 59, "k"), "Panic in the disco!!! (promotion issue) for e7d8k"),
    ])
    def test_position_unchanged_and_history_pushed(self, move, message):
        b = Board("3rk3/4P3/8/8/8/8/8/4K3 w - - 7 3") if move.promotion else Board()
        before = state(b)
        assert panic_message(b.apply_move, move) == message
        after = state(b)
        assert after[:-1] == before[:-1]
        assert after[-1] == [(move.from_square, move.to_square, move.promotion)]
        back = b.pop()
        assert (back.from_square, back.to_square, back.promotion) == after[-1][0]
        assert state(b) == before


    # A failed move stays in the history with squares off the board; the
    # repetition rules read it as the null move it was, where they used to
    # shift by its square number (a2 and b2 for 72 and 73 on x86) and stop.
    @pytest.mark.parametrize("move", [Move(72, 73), Move(200, 201), Move(255, 250)])
    def test_repetition_rules_read_past_a_failed_move(self, move):
        b = played(START, *(Move.from_uci(u) for u in ["g1f3", "g8f6", "f3g1", "f6g8"] * 2))
        panic_message(b.apply_move, move)
        assert b.can_claim_threefold_repetition() and b.is_repetition(3) and b.can_claim_draw()


class TestCastling:
    @pytest.mark.parametrize("move, king, rooks, rights", [
        ((4, 6), 6, bit(0, 5, 56, 63), "kq"),
        ((4, 2), 2, bit(3, 7, 56, 63), "kq"),
        ((60, 62), 62, bit(0, 7, 56, 61), "KQ"),
        ((60, 58), 58, bit(0, 7, 59, 63), "KQ"),
    ])
    def test_castling_moves_rook_and_keeps_other_side(self, move, king, rooks, rights):
        b = Board(CASTLE)
        b.turn = move[0] == 4
        b.apply_move(Move(*move))
        assert b.get_pieces("K") & bit(king)
        assert b.get_pieces("R") == rooks
        assert b.get_pieces("A") == rooks | b.get_pieces("K")
        assert b.castling_rights == rights

    def test_castle_then_pop(self):
        b = played(CASTLE, (4, 6))
        assert b.castling_rights == "kq"
        assert b.pop().uci() == "e1g1"
        assert b.fen() == CASTLE

    @pytest.mark.parametrize("fen, move, rights", [
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", (4, 12), "kq"),   # one-step king move
        ("r3k2r/8/8/8/8/8/8/R3K2R w kq - 0 1", (4, 12), "kq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", (60, 52), "KQ"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1", (4, 5), ""),
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", (7, 6), "Qkq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", (0, 1), "Kkq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", (56, 57), "KQk"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", (63, 62), "KQq"),
        ("r3k2r/8/8/8/R7/8/8/4K2R w Qkq - 0 1", (24, 25), "Qkq"),  # a4 is no corner
        ("r3k2r/7R/8/8/8/8/8/R3K3 w KQkq - 0 1", (55, 54), "KQkq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1", (7, 6), ""),
        # captures on a corner take that corner's letter
        ("r3k2r/8/8/8/8/8/1B6/R3K2R w KQkq - 0 1", (9, 63), "KQq"),
        ("r3k2r/6B1/8/8/8/8/8/R3K2R w KQkq - 0 1", (54, 63), "KQq"),
        ("r3k2r/1B6/8/8/8/8/8/R3K2R w KQkq - 0 1", (49, 56), "KQk"),
        ("r3k2r/8/8/8/8/8/1b6/R3K2R b KQkq - 0 1", (9, 0), "Kkq"),
        ("r3k2r/8/8/8/8/8/6b1/R3K2R b KQkq - 0 1", (14, 7), "Qkq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", (7, 63), "Qq"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", (7, 63), None),
        ("r3k2r/8/8/8/8/8/8/R3K2R w xyz - 0 1", (4, 6), "xyz"),
    ])
    def test_rights_after_move(self, fen, move, rights):
        b = played(fen, move)
        assert b.castling_rights == rights
        if rights == "":
            assert " - - " in b.fen()

    @pytest.mark.parametrize("fen, move, rooks, white, black", [
        # no rook at all: the king moves alone
        ("4k3/8/8/8/8/8/8/4K3 w K - 0 1", (4, 6), 0, bit(6), bit(60)),
        ("4k3/8/8/8/8/8/8/4K3 w Q - 0 1", (4, 2), 0, bit(2), bit(60)),
        ("4k3/8/8/8/8/8/8/4K3 b k - 0 1", (60, 62), 0, bit(4), bit(62)),
        # a black rook on h1 is not white's rook
        ("4k3/8/8/8/8/8/8/4K2r w K - 0 1", (4, 6), bit(7), bit(6), bit(60, 7)),
        # "K" survived a rook that stands on f1, not h1: f1 must not vanish
        ("4k3/8/8/8/8/8/8/R3KR2 w KQ - 0 1", (4, 6), bit(0, 5), bit(0, 5, 6), bit(60)),
    ])
    def test_castling_without_rook_on_corner(self, fen, move, rooks, white, black):
        b = played(fen, move)
        assert b.get_pieces("R") == rooks
        assert b.get_pieces("K") == bit(move[1], 60 if move[0] == 4 else 4)
        assert b.get_pieces("W") == white
        assert b.get_pieces("A") & ~b.get_pieces("W") == black

    def test_two_square_king_move_without_rights_moves_alone(self):
        b = played("4k3/8/8/8/8/8/8/4K2R w - - 0 1", (4, 6))
        assert (b.get_pieces("R"), b.get_pieces("W")) == (bit(7), bit(6, 7))


class TestHelpers:
    @pytest.mark.parametrize("rights, turn, expected", [
        ("KQkq", True, True), ("KQkq", False, True), ("kq", True, False), ("kq", False, True),
        ("Q", True, True), ("K", False, False), ("xyz", True, False), ("", True, False),
        ("-", True, False),
    ])
    def test_check_castling_rights(self, rights, turn, expected):
        fen = f"8/8/8/8/8/8/8/8 {'w' if turn else 'b'} {rights} - 0 1"
        assert Board(fen)._check_castling_rights() is expected

    @pytest.mark.parametrize("rights, turn, id, expected", [
        ("KQkq", "w", "a", None), ("-", "w", "a", None), ("KQkq", "w", "k", "Qkq"),
        ("KQkq", "b", "k", "KQq"), ("KQkq", "w", "q", "Kkq"), ("KQkq", "b", "q", "KQk"),
        ("QQkQ", "w", "q", "k"), ("K", "w", "k", ""), ("kq", "w", "k", "kq"),
    ])
    def test_remove_castling_rights(self, rights, turn, id, expected):
        b = Board(f"8/8/8/8/8/8/8/8 {turn} {rights} - 0 1")
        assert b._remove_castling_rights(id) is None
        assert b.castling_rights == expected

    @pytest.mark.parametrize("rights, id, message", [
        ("KQkq", "x", "Invalid castling rights"), ("KQkq", "K", "Invalid castling rights"),
        ("-", "k", UNWRAP), ("-", "q", UNWRAP),
    ])
    def test_remove_castling_rights_refused(self, rights, id, message):
        b = Board(f"8/8/8/8/8/8/8/8 w {rights} - 0 1")
        assert panic_message(b._remove_castling_rights, id) == message
        assert b.castling_rights == (None if rights == "-" else rights)

    @pytest.mark.parametrize("turn, from_mask, to_mask, expected", [
        (True, 1 << 12, 1 << 28, True), (True, 1 << 6, 1 << 21, False),
        (True, 0, 1 << 60, True), (True, 0, 1 << 4, False),
        (False, 1 << 12, 0, False), (False, 1 << 52, 0, True), (False, 0, 1 << 4, True),
        (True, (1 << 64) - 1, 0, True), (True, 0, 0, False),
    ])
    def test_reset_half_move_clock(self, turn, from_mask, to_mask, expected):
        b = Board()
        b.turn = turn
        before = b.fen()
        assert b._reset_half_move_clock(from_mask, to_mask) is expected
        assert b.fen() == before


class TestUndo:
    def test_pop_empty(self):
        b = Board()
        assert panic_message(b.pop) == UNWRAP
        assert b.fen() == START and b.move_stack == []

    def test_pop_returns_new_move(self):
        b = Board()
        m = Move(12, 28)
        b.apply_move(m)
        m.from_square = 0  # the board keeps its own copy
        back = b.pop()
        assert back is not m
        assert (back.from_square, back.to_square, back.promotion) == (12, 28, None)
        assert state(b) == state(Board())

    def test_pop_restores_promotion_and_rights(self):
        b = Board("r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 3 9")
        before = state(b)
        b.apply_move(Move(49, 56, "n"))
        assert b.castling_rights == "KQk"
        assert b.pop().uci() == "b7a8n"
        assert state(b) == before

    def test_restore_refuses_other_objects(self):
        b = Board()
        for bad in (5, None, b, Move(1, 2)):
            with pytest.raises(TypeError, match="^argument 'board_state': .* cannot be converted to 'BoardState'$"):
                b._restore(bad)
        assert state(b) == state(Board())


RANDOM_FENS = [
    START,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "4k3/1P6/8/8/8/8/6p1/4K3 b - - 0 40",
]


def candidate_moves(b):
    return b.legal_moves() or b.pseudo_legal_moves()


@pytest.mark.parametrize("fen", RANDOM_FENS)
@pytest.mark.parametrize("seed", [1, 2])
def test_random_game_restores_every_field(fen, seed):
    rng = random.Random(seed)
    b = Board(fen)
    start = state(b)
    history = [start]
    played_ucis = []
    for _ in range(60):
        moves = candidate_moves(b)
        if not moves:
            break
        before = history[-1]
        # trial every few moves: each apply/pop pair must be invisible
        for m in rng.sample(moves, min(4, len(moves))):
            b.apply_move(m)
            assert len(b.move_stack) == len(before[-1]) + 1
            back = b.pop()
            assert back.uci() == m.uci()
            assert state(b) == before
        m = rng.choice(moves)
        b.apply_move(m)
        played_ucis.append(m.uci())
        assert Board(b.fen()).fen() == b.fen()
        history.append(state(b))
    assert [m.uci() for m in b.move_stack] == played_ucis
    while played_ucis:
        assert b.pop().uci() == played_ucis.pop()
        history.pop()
        assert state(b) == history[-1]
    assert state(b) == start
    assert panic_message(b.pop) == UNWRAP

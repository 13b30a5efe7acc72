"""The history a board keeps: the move_stack view, ply and peek, and pickling."""

import collections.abc
import concurrent.futures
import copy
import os
import pickle
import random
import sys

import chess
import pytest

from helpers import record
from tavrinmoss import Board, Move

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
SHUFFLE = ["g1f3", "g8f6", "f3g1", "f6g8"]


def played(fen=None, ucis=("e2e4", "e7e5", "g1f3", "b8c6", "f1b5")):
    b = Board(fen)
    for u in ucis:
        b.apply_uci(u)
    return b



class TestMoveStackView:
    def test_sequence_protocol(self):
        b = played()
        ms = b.move_stack
        ucis = ["e2e4", "e7e5", "g1f3", "b8c6", "f1b5"]
        assert len(ms) == 5 and bool(ms) and not Board().move_stack
        assert [m.uci() for m in ms] == ucis
        assert [ms[i].uci() for i in range(-5, 5)] == ucis * 2
        assert [m.uci() for m in ms[1:4]] == ucis[1:4] and [m.uci() for m in ms[::-2]] == ucis[::-2]
        assert [m.uci() for m in reversed(ms)] == ucis[::-1]
        assert repr(ms) == "[" + ", ".join(ucis) + "]"
        for bad in (5, -6, 2**70):
            with pytest.raises(IndexError):
                ms[bad]
        with pytest.raises(TypeError):
            ms["0"]

    def test_a_view_keeps_the_moves_it_was_made_with(self):
        b = played()
        before = b.move_stack
        b.pop()
        b.pop()
        b.apply_uci("d7d6")
        after = b.move_stack
        assert [m.uci() for m in before] == ["e2e4", "e7e5", "g1f3", "b8c6", "f1b5"]
        assert [m.uci() for m in after] == ["e2e4", "e7e5", "g1f3", "d7d6"]
        b.apply_uci("d2d4")
        assert len(after) == 4

    def test_many_views_survive_pops_in_any_order(self):
        b = played()
        views = []
        for _ in range(5):
            views.append(b.move_stack)
            b.pop()
        del views[2]
        assert [len(v) for v in views] == [5, 4, 2, 1]
        assert [v[-1].uci() for v in views] == ["f1b5", "b8c6", "e7e5", "e2e4"]

    def test_equality_is_the_lists(self):
        b = Board()
        assert b.move_stack == [] and b.move_stack == b.move_stack
        b.apply_uci("e2e4")
        assert b.move_stack != [] and b.move_stack != b.move_stack  # moves compare by identity
        assert b.move_stack != ()

    def test_list_features_and_copies(self):
        b = played()
        view = b.move_stack
        assert isinstance(view, collections.abc.Sequence)
        for as_list in (view.copy(), copy.copy(view), pickle.loads(pickle.dumps(view)), view[:]):
            assert type(as_list) is list and [m.uci() for m in as_list] == [m.uci() for m in view]
        assert view.count(view[0]) == 0  # every item is a new Move
        with pytest.raises(ValueError):
            view.index(view[0])

    def test_popping_a_long_game_costs_constant_work_per_step(self):
        b = Board()
        for i in range(20_000):
            b.apply_move(Move.from_uci(SHUFFLE[i % 4]))
        # Allocation counts, not seconds: asking a long history for its length
        # or truth must not make a Move per entry.
        before = sys.getallocatedblocks()
        view = b.move_stack
        assert len(view) == 20_000 and view and view[-1].uci() == "f6g8"
        assert sys.getallocatedblocks() - before < 50
        del view
        pops = 0
        while b.move_stack:
            b.pop()
            pops += 1
        assert pops == 20_000 and b.fen() == Board().fen() and b.ply() == 0


    def test_views_against_lists_through_random_pops_and_pushes(self):
        # Every view must go on showing the list taken when it was made,
        # however the board, and other views, change afterwards.
        rng = random.Random(19)
        b, views = Board(), []
        for _ in range(3000):
            op = rng.random()
            if op < 0.45 and b.legal_moves():
                b.apply_move(rng.choice(b.legal_moves()))
            elif op < 0.75 and b.move_stack:
                b.pop()
            elif op < 0.9:
                views.append((b.move_stack, [m.uci() for m in b.move_stack]))
            elif op < 0.95 and views:
                views.pop(rng.randrange(len(views)))
            elif views:
                view, _ = views[rng.randrange(len(views))]
                view.clear()
            for view, shown in views[-3:]:
                assert len(view) in (0, len(shown)) and [m.uci() for m in view] in ([], shown)
        for view, shown in views:
            assert [m.uci() for m in view] in ([], shown)

    @pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")
    def test_pops_cost_the_views_nothing(self):
        # Each of 200 views of a long game used to get its own copy of the
        # history at the first pop; now they share one whatever happens.
        def resident_bytes():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        b = Board()
        for i in range(40_000):
            b.apply_move(Move.from_uci(SHUFFLE[i % 4]))
        views = [b.move_stack for _ in range(200)]
        before = resident_bytes()
        for _ in range(4):
            b.pop()
        b.apply_uci("g1f3")
        assert resident_bytes() - before < 20 * 2**20  # 200 copies: over 100 MB
        assert all(len(v) == 40_000 and v[-1].uci() == "f6g8" for v in views)


class TestPlyAndPeek:
    def test_ply_counts_moves_since_the_starting_fen(self):
        b = played(KIWIPETE, ["e1g1", "e8c8"])
        assert b.ply() == 2 and b.peek().uci() == "e8c8"
        assert b.peek() is not b.peek()
        b.pop()
        assert b.ply() == 1 and b.peek().uci() == "e1g1"

    def test_peek_on_an_empty_history(self):
        b = Board(KIWIPETE)
        with pytest.raises(IndexError):
            b.peek()
        assert b.ply() == 0 and b.fen() == KIWIPETE


class TestPickle:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("fen, ucis", [
        (None, ["e2e4", "d7d5", "e4d5", "g8f6"]),
        (KIWIPETE, ["e1g1", "h3g2", "d5e6", "g2h1q"]),
        ("8/8/8/8/8/8/8/8 w - - 0 1", []),
    ])
    def test_round_trip_keeps_everything(self, protocol, fen, ucis):
        b = Board(fen)
        for u in ucis:
            b.apply_move(Move.from_uci(u))
        b.turn = b.turn  # the setter is part of the record too
        c = pickle.loads(pickle.dumps(b, protocol))
        assert type(c) is Board and record(c) == record(b)
        while c.move_stack:
            c.pop()
            b.pop()
            assert record(c) == record(b)

    def test_contrived_boards_survive_too(self):
        b = Board("k7/8/8/8/8/8/8/K7 w Kq - 7 9")
        b.set_pieces_or("Q", 0xFF00)
        b.set_pieces_xor("p", 0x1)
        b.apply_move(Move(9, 17))
        c = pickle.loads(pickle.dumps(b))
        assert record(c) == record(b) and str(c) == str(b)
        assert (c.get_pieces("a"), c.get_pieces("w")) == (b.get_pieces("a"), b.get_pieces("w"))
        c.pop()
        b.pop()
        assert record(c) == record(b)

    @pytest.mark.parametrize("make", [copy.copy, copy.deepcopy, Board.copy])
    def test_copies_are_independent(self, make):
        b = played()
        c = make(b)
        assert record(c) == record(b)
        c.pop()
        assert len(b.move_stack) == 5

    def test_move_round_trip(self):
        for m in (Move(12, 28), Move(52, 60, "q"), Move(2**32 - 1, 0)):
            for p in range(pickle.HIGHEST_PROTOCOL + 1):
                back = pickle.loads(pickle.dumps(m, p))
                assert (back.from_square, back.to_square, back.promotion) == (m.from_square, m.to_square,
                                                                             m.promotion)
        assert copy.copy(Move(1, 2)).uci() == "b1c1"

    @pytest.mark.parametrize("state", [b"", b"TMB1", b"junk" * 10, "text", None])
    def test_foreign_state_is_refused_and_changes_nothing(self, state):
        b = played()
        good = pickle.dumps(b)
        view = b.move_stack
        before = record(b)
        with pytest.raises((ValueError, TypeError)):
            b.__setstate__(state)
        assert record(b) == before and len(view) == 5
        # Every truncation of a real state is refused as well.
        for cut in range(0, len(b.__reduce__()[2]), 7):
            with pytest.raises(ValueError):
                Board().__setstate__(b.__reduce__()[2][:cut])
        assert record(pickle.loads(good)) == before

    def test_state_is_checked_not_trusted(self):
        b = played()
        state = bytearray(b.__reduce__()[2])
        fen = len(b.starting_fen.encode())
        # The stored placement decides the key, whatever else the bytes say.
        c = Board()
        c.__setstate__(bytes(state))
        assert c.zobrist_hash() == b.zobrist_hash()
        # A text no Python str could hold is refused.
        bad = bytes(state[:4]) + (2).to_bytes(4, "little") + b"\xff\xfe" + bytes(state[8 + fen:])
        with pytest.raises(ValueError):
            Board().__setstate__(bad)

    @pytest.mark.parametrize("square", [72, 100, 200, 247])
    def test_impossible_en_passant_square_refused(self, square):
        # A board holds 0 to 63 from moves, and up to 71 or from 248 up from
        # the lenient reader's "i9" or "a0"; any other made generators panic.
        b = played(ucis=["e2e4"])
        state = bytearray(b.__reduce__()[2])
        # The starting text, eight bitboards, the two counters and "KQkq"; then
        # the en passant flag and square.
        at = 8 + len(b.starting_fen) + 64 + 8 + 1 + 4 + 4
        assert state[at:at + 2] == bytes([1, 20])
        state[at + 1] = square
        view = b.move_stack
        before = record(b)
        with pytest.raises(ValueError, match="^the bytes are not a pickled Board$"):
            b.__setstate__(bytes(state))
        assert record(b) == before and len(view) == 1
        for possible in (0, 63, 71, 248, 255):
            state[at + 1] = possible
            Board().__setstate__(bytes(state))

    def test_impossible_en_passant_square_in_the_history_refused(self):
        b = played(ucis=["e2e4", "e7e5"])  # the entry for e7e5 holds the square e3
        state = bytearray(b.__reduce__()[2])
        at = state.rindex(bytes([1, 20]))
        state[at + 1] = 200
        with pytest.raises(ValueError):
            Board().__setstate__(bytes(state))

    @pytest.mark.parametrize("fen", ["garbage", "8/8/8/8/8/8/8/8 w - -", "x7/8/8/8/8/8/8/8 w - - 0 1",
                                     "8P/8/8/8/8/8/8/8 w - - 0 1"])
    def test_starting_text_the_reader_refuses_is_refused(self, fen):
        with pytest.raises(BaseException) as refused:
            Board(fen)
        assert type(refused.value).__name__ == "PanicException"
        b = Board("8/8/8/8/8/8/8/8 w - - 0 1")
        state = b.__reduce__()[2]
        n = int.from_bytes(state[4:8], "little")
        forged = state[:4] + len(fen.encode()).to_bytes(4, "little") + fen.encode() + state[8 + n:]
        c = played()
        before = record(c)
        with pytest.raises(ValueError, match="^the bytes are not a pickled Board$"):
            c.__setstate__(forged)
        assert record(c) == before
        # The lenient reader's texts, odd as some are, travel unchanged.
        for odd in ("8/8/8/8/8/8/8/8 w XYZ a0 0 1", "8/8/8/8/8/8/8/8 w - i9 x y"):
            assert pickle.loads(pickle.dumps(Board(odd))).starting_fen == odd

    def test_setstate_keeps_live_views(self):
        b = played()
        view = b.move_stack
        b.__setstate__(Board().__reduce__()[2])
        assert len(view) == 5 and view[0].uci() == "e2e4" and not b.move_stack


def _finish(board):
    """Runs in a worker process: plays on from the board it was sent."""
    board.apply_uci(board.legal_moves()[0].uci())
    return board, board.zobrist_hash()


def test_boards_travel_through_a_process_pool():
    boards = [played(), played(KIWIPETE, ["e1g1"]), Board()]
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(_finish, boards))
    for sent, (back, key) in zip(boards, results):
        assert back.zobrist_hash() == key
        assert len(back.move_stack) == len(sent.move_stack) + 1
        back.pop()
        assert record(back) == record(sent)


class TestFromFen:
    def test_reads_fen_and_epd(self):
        assert Board.from_fen(KIWIPETE).fen() == KIWIPETE
        epd = Board.from_fen("  " + "   ".join(KIWIPETE.split()[:4]) + "  ")
        assert epd.fen() == KIWIPETE and epd.starting_fen == KIWIPETE
        assert Board.from_fen("8/8/8/8/8/8/8/8 b - - 5").fen() == "8/8/8/8/8/8/8/8 b - - 5 1"
        assert Board.from_fen(chess.STARTING_FEN).starting_fen == Board().starting_fen

    @pytest.mark.parametrize("fen, field", [
        ("", "fields"),
        ("8/8/8/8/8/8/8/8 w -", "fields"),
        ("8/8/8/8/8/8/8/8 w - - 0 1 extra", "fields"),
        ("8/8/8/8/8/8/8 w - -", "placement"),
        ("8/8/8/8/8/8/8/8/8 w - -", "placement"),
        ("8/8/8/8/8/8/8/7 w - -", "placement"),
        ("8/8/8/8/8/8/8/9 w - -", "placement"),
        ("8/8/8/8/8/8/8/44 w - -", "placement"),
        ("8/8/8/8/8/8/8/k7K w - -", "placement"),
        ("8/8/8/8/8/8/8/x7 w - -", "placement"),
        ("8/8/8/8/8/8/8/\u212a7 w - -", "placement"),
        ("8/8/8/8/8/8/8/8 W - -", "side to move"),
        ("8/8/8/8/8/8/8/8 white - -", "side to move"),
        ("8/8/8/8/8/8/8/8 w KK -", "castling"),
        ("8/8/8/8/8/8/8/8 w A -", "castling"),
        ("8/8/8/8/8/8/8/8 w \u212a -", "castling"),
        ("8/8/8/8/8/8/8/8 w -- -", "castling"),
        ("8/8/8/8/8/8/8/8 w - e4", "en passant"),
        ("8/8/8/8/8/8/8/8 w - i3", "en passant"),
        ("8/8/8/8/8/8/8/8 w - e33", "en passant"),
        ("8/8/8/8/8/8/8/8 w - - x 1", "half-move clock"),
        ("8/8/8/8/8/8/8/8 w - - -1 1", "half-move clock"),
        ("8/8/8/8/8/8/8/8 w - - +1 1", "half-move clock"),
        ("8/8/8/8/8/8/8/8 w - - 0 4294967296", "full-move number"),
    ])
    def test_each_faulty_field_is_named(self, fen, field):
        with pytest.raises(ValueError) as info:
            Board.from_fen(fen)
        assert field in str(info.value) and repr(fen)[1:-1] in str(info.value)
        assert type(info.value) is ValueError

    def test_lenient_constructor_is_unchanged(self):
        assert Board("8/8/8/8/8/8/8/8 w KK - 0 1").castling_rights == "KK"


class TestIsValid:
    @pytest.mark.parametrize("fen", [
        chess.STARTING_FEN,
        KIWIPETE,
        "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6 0 3",
        "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
        "4k3/8/8/8/8/8/8/4K3 b - - 0 1",
        # A check uncovered by the double step.
        "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1",
    ])
    def test_valid(self, fen):
        assert Board(fen).is_valid() and chess.Board(fen).is_valid()

    @pytest.mark.parametrize("fen", [
        "8/8/8/8/8/8/8/8 w - - 0 1",
        "4k3/8/8/8/8/8/8/8 w - - 0 1",
        "4k3/8/8/8/8/8/8/3KK3 w - - 0 1",
        "4k2P/8/8/8/8/8/8/4K3 w - - 0 1",
        "4k3/8/8/8/8/8/8/4K3 w K - 0 1",
        "4k3/8/8/8/8/8/8/R3K3 w K - 0 1",
        "4k3/8/8/8/8/8/8/4K3 w - e6 0 1",
        "4k3/8/8/4p3/8/8/8/4K3 w - e3 0 1",
        "4k3/4R3/8/8/8/8/8/4K3 w - - 0 1",
        "4k3/8/8/8/8/8/8/r3K2r w - - 0 1",
        "4k3/8/8/8/4r3/8/8/r3K2r w - - 0 1",
        "3qk3/pppppppp/8/8/8/8/PPPPPPPP/PPPPK3 w - - 0 1",
    ])
    def test_invalid_as_the_reference_library_says(self, fen):
        assert not Board(fen).is_valid() and not chess.Board(fen).is_valid()

    @pytest.mark.parametrize("fen", ["4k3/8/8/8/8/8/8/4K3 w X - 0 1", "4k3/8/8/8/8/8/8/4K3 w - z9 0 1"])
    def test_texts_no_fen_reader_would_accept(self, fen):
        assert not Board(fen).is_valid()

    def test_overlapping_piece_sets(self):
        b = Board("4k3/8/8/8/8/8/8/4K3 w - - 0 1")
        assert b.is_valid()
        b.set_pieces_or("n", 1 << 4)
        assert not b.is_valid()

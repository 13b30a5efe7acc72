"""Random programs over the Python API, checked against python-chess while
the board stays a chess position, and against the board's own contracts
(round trips, failed calls that change nothing) once the setters have made
it something else."""

import pickle

import chess
import chess.polyglot
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from helpers import record
from tavrinmoss import Board, Move

STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 2",
]
LETTERS = "PRNBQKprnbqk"



def is_panic(error):
    return type(error).__name__ == "PanicException"


class BoardMachine(RuleBasedStateMachine):
    @initialize(fen=st.sampled_from(STARTS))
    def start(self, fen):
        self.board = Board(fen)
        # python-chess follows while the board is a chess position; the
        # setters end that.
        self.model = chess.Board(fen)

    def legal(self):
        try:
            return self.board.legal_moves()
        except BaseException as e:
            assert is_panic(e)
            return []

    @rule(data=st.data())
    def play_legal_move(self, data):
        moves = self.legal()
        if not moves:
            return
        move = data.draw(st.sampled_from(moves))
        # apply_uci judges by the rules of chess, which a board the setters
        # made (two kings, a square in two colours) may not follow.
        if self.model and data.draw(st.booleans()):
            assert self.board.apply_uci(move.uci()).uci() == move.uci()
        else:
            self.board.apply_move(move)
        if self.model:
            self.model.push_uci(move.uci())

    @precondition(lambda self: self.board.ply() > 0)
    @rule()
    def pop(self):
        played = self.board.peek().uci()
        assert self.board.pop().uci() == played
        if self.model:
            assert self.model.pop().uci() == played

    @rule()
    def copy_is_independent(self):
        before = record(self.board)
        twin = self.board.copy()
        assert record(twin) == before
        for m in self.legal()[:1]:
            twin.apply_move(m)
        twin.turn = not twin.turn
        assert record(self.board) == before

    @rule(letter=st.sampled_from(LETTERS), mask=st.integers(0, 2**64 - 1), xor=st.booleans())
    def set_pieces(self, letter, mask, xor):
        (self.board.set_pieces_xor if xor else self.board.set_pieces_or)(letter, mask)
        self.model = None

    @rule()
    def flip_turn(self):
        # The side not to move may now stand in check: no game position.
        self.board.turn = not self.board.turn
        self.model = None

    @rule(data=st.data())
    def failed_calls_change_nothing(self, data):
        before = record(self.board)
        call = data.draw(st.sampled_from(["perft", "apply_uci", "set_pieces_or", "remove_rights"]))
        try:
            if call == "perft":
                self.board.perft(data.draw(st.integers(257, 2**32 - 1)))
            elif call == "apply_uci":
                self.board.apply_uci(data.draw(st.sampled_from(["e9e4", "", "a1a1", "e2e4qq", "h8h1"])))
            elif call == "set_pieces_or":
                self.board.set_pieces_or("Z", data.draw(st.integers(0, 2**64 - 1)))
            else:
                self.board._remove_castling_rights("x")
        except ValueError:
            pass
        except BaseException as e:
            assert is_panic(e)
        else:
            # Only h8h1 can be legal (a rook on h8, the file clear).
            assert call == "apply_uci"
            self.board.pop()
        assert record(self.board) == before

    @rule(square=st.integers(0, 255))
    def failed_move_is_pushed_and_popped(self, square):
        before = record(self.board)
        try:
            self.board.apply_move(Move(square, 64))
        except BaseException as e:
            assert is_panic(e)
        assert record(self.board)[:-1] == before[:-1]
        self.board.pop()
        assert record(self.board) == before

    @invariant()
    def agrees_with_python_chess(self):
        if not self.model:
            return
        b, m = self.board, self.model
        assert b.fen() == m.fen(en_passant="fen")
        assert sorted(x.uci() for x in b.legal_moves()) == sorted(x.uci() for x in m.legal_moves)
        assert b.is_check() == m.is_check()
        assert b.zobrist_hash() == chess.polyglot.zobrist_hash(m)
        assert b.can_claim_threefold_repetition() == m.can_claim_threefold_repetition()
        outcome = b.outcome()
        expected = m.outcome()
        assert (outcome and (outcome.termination, outcome.winner)) == (
            expected and (expected.termination.name.lower(), expected.winner))

    @invariant()
    def round_trips(self):
        b = self.board
        twin = pickle.loads(pickle.dumps(b))
        assert record(twin) == record(b)
        assert b.ply() == len(b.move_stack)
        if self.model:
            assert Board(b.fen()).fen() == b.fen()


BoardMachine.TestCase.settings = settings(
    max_examples=40, stateful_step_count=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
TestBoardMachine = BoardMachine.TestCase

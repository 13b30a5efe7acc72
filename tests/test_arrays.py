"""Positions and moves for learning: piece planes, bitboards and the 8x8x73 policy encoding,
against references written here from their definitions, python-chess placing the pieces and
listing the legal moves."""

import random
import subprocess
import sys
import textwrap

import chess
import pytest

from helpers import POSITIONS
from tavrinmoss import Board, Move

try:
    import numpy as np
except ImportError:  # the armhf test root has no numpy: its array calls are tested elsewhere
    np = None
needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

KINDS = [chess.PAWN, chess.KNIGHT, chess.BISHOP, chess.ROOK, chess.QUEEN, chess.KING]
QUEEN_DIRECTIONS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]
KNIGHT_STEPS = [(2, 1), (1, 2), (-1, 2), (-2, 1), (-2, -1), (-1, -2), (1, -2), (2, -1)]
UNDERPROMOTIONS = [chess.KNIGHT, chess.BISHOP, chess.ROOK]


def random_positions(count, seed=17):
    """FENs from seeded random games started at the fixed positions, 0 to 80 plies in."""
    rng = random.Random(seed)
    fens = []
    while len(fens) < count:
        board = chess.Board(POSITIONS[len(fens) % len(POSITIONS)])
        for _ in range(rng.randrange(81)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        fens.append(board.fen())
    return fens


ALL = POSITIONS + random_positions(2000)


def reference_bitboards(oracle):
    return tuple(int(oracle.pieces_mask(kind, color)) for color in (chess.WHITE, chess.BLACK) for kind in KINDS)


def reference_planes(oracle, perspective):
    planes = np.zeros((12, 8, 8), np.uint8)
    black_view = perspective and oracle.turn == chess.BLACK
    for square, piece in oracle.piece_map().items():
        first = piece.color == (chess.BLACK if black_view else chess.WHITE)
        rank = chess.square_rank(square)
        planes[(0 if first else 6) + KINDS.index(piece.piece_type),
               7 - rank if black_view else rank, chess.square_file(square)] = 1
    return planes


def reference_index(move, turn):
    src, dst = move.from_square, move.to_square
    if turn == chess.BLACK:
        src, dst = src ^ 56, dst ^ 56
    dr, df = dst // 8 - src // 8, dst % 8 - src % 8
    if move.promotion in UNDERPROMOTIONS:
        plane = 64 + 3 * UNDERPROMOTIONS.index(move.promotion) + df + 1
    elif (dr, df) in KNIGHT_STEPS:
        plane = 56 + KNIGHT_STEPS.index((dr, df))
    else:
        distance = max(abs(dr), abs(df))
        plane = 7 * QUEEN_DIRECTIONS.index((dr // distance, df // distance)) + distance - 1
    return 73 * src + plane


def ours_and_oracle(fens):
    for fen in fens:
        yield Board(fen), chess.Board(fen)


@needs_numpy
@pytest.mark.parametrize("perspective", [False, True])
def test_planes_and_bitboards_equal_the_references(perspective):
    out = np.full((12, 8, 8), 7, np.uint8)
    for ours, oracle in ours_and_oracle(ALL):
        want = reference_planes(oracle, perspective)
        got = ours.planes(perspective)
        assert got.dtype == np.uint8 and got.shape == (12, 8, 8) and got.flags.c_contiguous and got.flags.writeable
        assert np.array_equal(got, want), (oracle.fen(), perspective)
        assert ours.planes(perspective, out) is out and np.array_equal(out, want)
        assert ours.bitboards() == reference_bitboards(oracle)


def test_policy_encoding_equals_the_reference():
    for ours, oracle in ours_and_oracle(ALL):
        for move in oracle.legal_moves:
            ours_move = Move.from_uci(move.uci())
            index = ours.move_index(ours_move)
            assert index == reference_index(move, oracle.turn), (oracle.fen(), move.uci())
            back = ours.move_from_index(index)
            assert (back.from_square, back.to_square, back.promotion) == \
                (ours_move.from_square, ours_move.to_square, ours_move.promotion), (oracle.fen(), move.uci())


@needs_numpy
def test_legal_move_mask_marks_exactly_the_legal_moves():
    for ours, oracle in ours_and_oracle(ALL):
        mask = ours.legal_move_mask()
        assert mask.dtype == np.bool_ and mask.shape == (4672,)
        want = np.zeros(4672, bool)
        want[[reference_index(m, oracle.turn) for m in oracle.legal_moves]] = True
        assert np.array_equal(mask, want), oracle.fen()


# Every index a fixed position has no legal move for, the index of another
# position's move included, is refused; so is an int outside the vector.
@pytest.mark.parametrize("fen", POSITIONS)
def test_move_from_index_refuses_every_other_index(fen):
    board, oracle = Board(fen), chess.Board(fen)
    legal = {reference_index(m, oracle.turn) for m in oracle.legal_moves}
    for index in set(range(4672)) - legal:
        with pytest.raises(ValueError, match=f"no legal move has index {index} "):
            board.move_from_index(index)
    assert board.fen() == oracle.fen()


@pytest.mark.parametrize("index, error", [(-1, ValueError), (4672, ValueError), (2 ** 70, ValueError),
                                          (-(2 ** 70), ValueError), ("1", TypeError), (1.0, TypeError)])
def test_move_from_index_argument(index, error):
    with pytest.raises(error, match="index"):
        Board().move_from_index(index)


@needs_numpy
def test_policy_calls_take_what_numpy_hands_out():
    board = Board()
    index = int(np.flatnonzero(board.legal_move_mask())[0])
    assert board.move_index(board.move_from_index(np.int64(index))) == index


KIWIPETE = POSITIONS[1]


@pytest.mark.parametrize("fen, uci, why", [
    (POSITIONS[0], "e2e5", "not a legal move"),        # no such step
    (POSITIONS[0], "e3e4", "not a legal move"),        # from an empty square
    (POSITIONS[0], "e7e5", "not a legal move"),        # the other side's move
    ("4k3/8/8/8/8/8/3r4/4K3 w - - 0 1", "e1d1", "not a legal move"),  # into check
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8", "not a legal move"),   # a promotion without its piece
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", Move(48, 56, "k"), "not a legal move"),
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", Move(48, 56, "Q"), "not a legal move"),  # legal ones are lower case
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", Move(48, 64, None), "not a legal move"),  # off the board
])
def test_move_index_refuses_moves_that_are_not_legal(fen, uci, why):
    board = Board(fen)
    with pytest.raises(ValueError, match=why):
        board.move_index(Move.from_uci(uci) if isinstance(uci, str) else uci)
    assert board.fen() == chess.Board(fen).fen()


def test_castling_as_king_takes_rook_is_the_kings_step():
    board = Board(KIWIPETE)
    assert board.move_index(Move.from_uci("e1h1")) == board.move_index(Move.from_uci("e1g1")) == 73 * 4 + 15
    assert board.move_index(Move.from_uci("e1a1")) == 73 * 4 + 7 * 6 + 1
    assert board.move_from_index(73 * 4 + 15).uci() == "e1g1"


# Black's moves are those of white on the mirrored board: its pawn's first
# step is north, and an underpromotion capturing towards the h-file is step +1.
@pytest.mark.parametrize("fen, uci, index", [
    (POSITIONS[0], "e2e4", 73 * 12 + 1),
    ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", "e7e5", 73 * 12 + 1),
    ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", "g8f6", 73 * 6 + 56 + 7),
    ("4k3/8/8/8/8/8/1p6/2N1K3 b - - 0 1", "b2c1r", 73 * 49 + 64 + 6 + 2),
    ("4k3/8/8/8/8/8/1p6/2N1K3 b - - 0 1", "b2c1q", 73 * 49 + 7 * 1),
])
def test_black_moves_are_mirrored(fen, uci, index):
    assert Board(fen).move_index(Move.from_uci(uci)) == index


@needs_numpy
def test_overlapping_sets_show_in_every_plane_that_claims_the_square():
    board = Board()
    board.set_pieces_or("N", 1 << 12)  # e2 now in the pawn and the knight set
    sets = board.bitboards()
    assert sets[0] & sets[1] == 1 << 12
    planes = board.planes()
    assert planes[0, 1, 4] == planes[1, 1, 4] == 1
    assert [sum(int(b) << i for i, b in enumerate(p.reshape(64))) for p in planes] == list(sets)


def planes_bytes():
    return memoryview(bytearray(768)).cast("B", (12, 8, 8))


OUT_CASES = {
    "float32": (lambda: np.zeros((12, 8, 8), np.float32), TypeError, "argument 'out'"),
    "int8": (lambda: np.zeros((12, 8, 8), np.int8), TypeError, "argument 'out'"),
    "bool": (lambda: np.zeros((12, 8, 8), bool), TypeError, "argument 'out'"),
    "flat": (lambda: np.zeros(768, np.uint8), ValueError, r"argument 'out': shape \(768,\)"),
    "planes of 64": (lambda: np.zeros((12, 64), np.uint8), ValueError, "argument 'out': shape"),
    "one plane short": (lambda: np.zeros((11, 8, 8), np.uint8), ValueError, "argument 'out': shape"),
    "strided": (lambda: np.zeros((12, 8, 16), np.uint8)[:, :, ::2], ValueError, "C-contiguous"),
    "fortran": (lambda: np.zeros((12, 8, 8), np.uint8, order="F"), ValueError, "C-contiguous"),
    "read-only": (lambda: _read_only(), ValueError, "read-only"),
    "bytes": (lambda: memoryview(bytes(768)).cast("B", (12, 8, 8)), ValueError, "read-only"),
    "list": (lambda: [0] * 768, TypeError, "argument 'out'"),
}


def _read_only():
    a = np.zeros((12, 8, 8), np.uint8)
    a.flags.writeable = False
    return a


@needs_numpy
@pytest.mark.parametrize("case", OUT_CASES)
def test_out_is_checked_before_it_is_written(case):
    make, error, message = OUT_CASES[case]
    out = make()
    before = memoryview(out).tobytes() if not isinstance(out, list) else None
    with pytest.raises(error, match=message):
        Board().planes(out=out)
    if before is not None:
        assert memoryview(out).tobytes() == before


def test_out_needs_no_numpy_and_is_returned_filled():
    out = planes_bytes()
    assert Board().planes(False, out) is out
    assert sum(out.tobytes()) == 32 and out[0, 1, 7] == out[11, 7, 4] == 1


# Without numpy the module imports and the calls that return no new array
# work; the others say what they need.
NO_NUMPY = textwrap.dedent("""
    import sys
    sys.modules["numpy"] = None
    import tavrinmoss
    board = tavrinmoss.Board()
    assert len(board.bitboards()) == 12 and board.move_index(board.legal_moves()[0]) >= 0
    board.planes(True, memoryview(bytearray(768)).cast("B", (12, 8, 8)))
    for call in (board.planes, board.legal_move_mask):
        try:
            call()
        except ImportError as e:
            assert e.name == "numpy" and "numpy" in str(e), e
            assert isinstance(e.__cause__, ImportError)
        else:
            raise AssertionError(call)
    print("ok")
""")


def test_array_calls_without_numpy_raise_import_error_naming_it():
    run = subprocess.run([sys.executable, "-c", NO_NUMPY], capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "ok\n", "")


def test_importing_the_module_does_not_import_numpy():
    run = subprocess.run([sys.executable, "-c", "import sys, tavrinmoss; print('numpy' in sys.modules)"],
                         capture_output=True, text=True)
    assert run.stdout == "False\n"


def test_invalid_position_refuses_the_mask_and_the_index():
    board = Board()
    board.set_pieces_xor("K", 1 << 4)  # no white king: no legal moves are defined
    with pytest.raises(ValueError, match="no legal moves are defined"):
        board.move_from_index(0)
    if np is not None:
        with pytest.raises(ValueError, match="no legal moves are defined"):
            board.legal_move_mask()


# An array given as `out` before any array was made here is read directly
# from then on: its checks must be those of the buffer export.
OUT_FIRST = textwrap.dedent("""
    import numpy as np
    from tavrinmoss import Board
    board = Board("8/8/8/8/8/8/8/4k2K b - - 0 1")
    ro = np.zeros((12, 8, 8), np.uint8)
    ro.flags.writeable = False
    for bad in (ro, np.zeros((12, 8, 8), np.int8), np.zeros((12, 8, 8), np.uint8).transpose(0, 2, 1)):
        try:
            board.planes(True, bad)
        except (TypeError, ValueError):
            pass
        else:
            raise AssertionError(bad)
    out = np.zeros((12, 8, 8), np.uint8)
    assert board.planes(True, out) is out and out[5, 7, 4] == out[11, 7, 7] == 1 and out.sum() == 2
    assert np.array_equal(board.planes(True), out)
    print("ok")
""")


@needs_numpy
def test_out_before_any_array_was_made():
    run = subprocess.run([sys.executable, "-c", OUT_FIRST], capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "ok\n", "")

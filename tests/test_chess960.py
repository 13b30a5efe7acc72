"""Chess960: the 960 starts, castling by its rules, its FEN forms and notation, against python-chess."""

import copy
import io
import pickle
import random
from pathlib import Path

import pytest

from helpers import sampled
from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402
import chess.polyglot  # noqa: E402

HERE = Path(__file__).parent
STANDARD = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def read_starts():
    starts = []
    for line in (HERE / "chess960_starts.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            n, xfen, shredder, *counts = (f.strip() for f in line.split(";"))
            starts.append((int(n), xfen, shredder, [int(c) for c in counts]))
    assert [s[0] for s in starts] == list(range(960))
    return starts


def read_positions():
    cases = []
    for line in (HERE / "chess960_perft.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            fen, depth, nodes = (f.strip() for f in line.split(";"))
            cases.append((fen, int(depth), int(nodes)))
    return cases


STARTS = read_starts()
POSITIONS = read_positions()
POSITION_FENS = list(dict.fromkeys(fen for fen, _, _ in POSITIONS))


def oracle_fen(oracle, shredder=False):
    # Our FEN names the en passant square after every double step.
    return oracle.fen(shredder=shredder, en_passant="fen")


def castling_field(fen):
    return fen.split()[2]


def ucis(moves):
    return sorted(m.uci() for m in moves)


# ---------------------------------------------------------------- perft

# Depth 4 on all 960 takes about a second: no sample is needed.
@pytest.mark.parametrize("n, xfen, shredder, counts", STARTS, ids=[f"n{s[0]}" for s in STARTS])
def test_start_perft(n, xfen, shredder, counts):
    board = Board.from_chess960_pos(n)
    assert [board.perft(depth) for depth in (1, 2, 3, 4)] == counts
    assert board.fen() == xfen and len(board.move_stack) == 0
    # Read from the Shredder-FEN the same tree grows.
    assert Board.from_fen(shredder, chess960=True).perft(3) == counts[2]


@pytest.mark.parametrize("fen, depth, nodes", POSITIONS, ids=[f"{i}-d{c[1]}" for i, c in enumerate(POSITIONS)])
def test_position_perft(fen, depth, nodes):
    board = Board.from_fen(fen, chess960=True)
    assert board.perft(depth) == nodes
    assert board.fen() == chess.Board(fen, chess960=True).fen(en_passant="fen")


def test_positions_are_valid():
    for fen in POSITION_FENS:
        assert chess.Board(fen, chess960=True).is_valid(), fen


# ---------------------------------------------------------------- starts and FEN texts

def test_every_start():
    for n, xfen, shredder, counts in STARTS:
        board = Board.from_chess960_pos(n)
        assert board.chess960 is True, n
        assert board.fen() == xfen == chess.Board.from_chess960_pos(n).fen(), n
        assert board.fen(shredder=True) == shredder, n
        assert board.castling_rights == castling_field(xfen), n
        assert board.zobrist_hash() == chess.polyglot.zobrist_hash(chess.Board(xfen, chess960=True)), n
        assert len(board.legal_moves()) == counts[0], n
        for text in (xfen, shredder):
            again = Board.from_fen(text, chess960=True)
            assert (again.fen(), again.fen(shredder=True), again.chess960) == (xfen, shredder, True), (n, text)


def test_standard_start_in_chess960_mode():
    board = Board.from_chess960_pos(518)
    assert board.fen() == STANDARD and board.fen(shredder=True) == STANDARD.replace("KQkq", "HAha")
    # Castling is king takes rook there too: e1g1 is not among the moves.
    board = Board.from_fen("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", chess960=True)
    assert ucis(board._castling_moves()) == ["e1a1", "e1h1"]
    assert "e1g1" not in ucis(board.legal_moves()) and not board.is_legal(Move.from_uci("e1g1"))


# UCI texts of king moves along the back rank, castling in both forms among
# them: python-chess reads e1g1 and e1c1 as castling even in Chess960 mode
# when the king stands on e1, and nothing else.
@pytest.mark.parametrize("fen", POSITION_FENS + [
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1",
    "1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w KQkq - 0 1",
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w - - 0 1",
])
def test_uci_texts(fen):
    for m in king_sample(chess.Board(fen, chess960=True)):
        oracle = chess.Board(fen, chess960=True)
        board = Board.from_fen(fen, chess960=True)
        try:
            expected = oracle.push_uci(m.uci()).uci()
        except ValueError:
            with pytest.raises(ValueError, match=m.uci()):
                board.apply_uci(m.uci())
            assert board.fen() == chess.Board(fen, chess960=True).fen(en_passant="fen")
            continue
        assert board.apply_uci(m.uci()).uci() == expected, m.uci()
        assert board.fen(shredder=True) == oracle_fen(oracle, True), m.uci()


@pytest.mark.parametrize("n", [-1, 960, 10**6])
def test_start_number_out_of_range(n):
    with pytest.raises(ValueError, match=str(n)):
        Board.from_chess960_pos(n)


@pytest.mark.parametrize("bad", ["518", 518.0, None])
def test_start_number_type(bad):
    with pytest.raises(TypeError):
        Board.from_chess960_pos(bad)


# Castling fields read in both notations, against python-chess: outer rooks
# as KQkq or their letters, inner rooks only by their letters, in any order.
@pytest.mark.parametrize("fen", [
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w KQkq - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w AHah - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w Hq - 0 1",
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w Ee - 0 1",
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w HAe - 0 1",
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w KQk - 0 1",
    "r1k1r2r/pppppppp/8/8/8/8/PPPPPPPP/R1K1R2R w EAea - 0 1",
    "r1k1r2r/pppppppp/8/8/8/8/PPPPPPPP/R1K1R2R w EQeq - 0 1",
    "rr2kr1r/pppppppp/8/8/8/8/PPPPPPPP/RR2KR1R w BFbf - 0 1",
    "rr2kr1r/pppppppp/8/8/8/8/PPPPPPPP/RR2KR1R w KQ - 0 1",
    "1r2kbr1/pp1p1ppp/8/2pPp3/8/8/PPP1PPPP/1R2KBR1 w GBgb e6 0 5",
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "4k3/8/8/8/8/8/8/rR2K2R w HB - 3 40",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w - - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R b ha - 0 1",
])
def test_castling_fields(fen):
    oracle = chess.Board(fen, chess960=True)
    assert oracle.is_valid()
    board = Board.from_fen(fen, chess960=True)
    assert board.fen() == oracle_fen(oracle)
    assert board.fen(shredder=True) == oracle_fen(oracle, shredder=True)
    assert board.castling_rights == castling_field(oracle.fen())
    assert board.zobrist_hash() == chess.polyglot.zobrist_hash(oracle)
    assert ucis(board.legal_moves()) == ucis(oracle.legal_moves)
    assert ucis(board._castling_moves()) == ucis(oracle.generate_castling_moves())


# A castling field that is no X-FEN or Shredder-FEN is refused, naming the field.
@pytest.mark.parametrize("fen", [
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w X - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w Hh1 - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAB - 0 1",
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w hH - 0 1",
])
def test_unreadable_castling_fields(fen):
    with pytest.raises(ValueError):
        chess.Board(fen, chess960=True)
    with pytest.raises(ValueError, match=fen.split()[2]):
        Board.from_fen(fen, chess960=True)


# A readable field the position cannot have is read as python-chess reads it,
# as a standard board reads "KQkq" without its rooks: is_valid() says no.
@pytest.mark.parametrize("fen", [
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w HEhe - 0 1",  # two rights on one side
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w Dd - 0 1",    # no rook on d1
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w BHbh - 0 1",      # the king's own file
    "1k5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w Kq - 0 1",        # no black rook left of the king
    "rk5r/pppppppp/8/8/8/8/PPPPPPPK/R6R w Ah - 0 1",        # the white king off its rank
])
def test_inconsistent_castling_fields(fen):
    oracle = chess.Board(fen, chess960=True)
    board = Board.from_fen(fen, chess960=True)
    assert board.is_valid() is oracle.is_valid() is False
    assert board.fen() == oracle_fen(oracle)
    assert board.fen(shredder=True) == oracle_fen(oracle, shredder=True)
    assert ucis(board.legal_moves()) == ucis(oracle.legal_moves)


# Standard boards keep every behaviour: a Chess960 field stays refused.
@pytest.mark.parametrize("fen", [
    "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1",
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w HAha - 0 1",
    "rk2r2r/pppppppp/8/8/8/8/PPPPPPPP/RK2R2R w Ee - 0 1",
])
def test_standard_board_refuses_chess960_fields(fen):
    with pytest.raises(ValueError):
        Board.from_fen(fen)
    with pytest.raises(ValueError):
        Board.from_fen(fen, chess960=False)


def test_standard_boards_stay_standard():
    board = Board.from_fen(STANDARD)
    assert board.chess960 is False and Board().chess960 is False and Board(STANDARD).chess960 is False
    assert "e1g1" in ucis(Board("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1").legal_moves())
    assert Board.from_fen(STANDARD, chess960=True).chess960 is True
    with pytest.raises(AttributeError):
        board.chess960 = True


# ---------------------------------------------------------------- castling moves one by one

def king_sample(oracle):
    """Every move of the king to another square of its back rank: castling
    as king takes rook, the two-square forms, and plain or impossible steps."""
    king = oracle.king(oracle.turn)
    rank = chess.square_rank(king)
    return [chess.Move(king, chess.square(f, rank)) for f in range(8) if chess.square(f, rank) != king]


@pytest.mark.parametrize("fen", POSITION_FENS)
def test_castling_moves(fen):
    oracle = chess.Board(fen, chess960=True)
    board = Board.from_fen(fen, chess960=True)
    assert ucis(board._castling_moves()) == ucis(oracle.generate_castling_moves())
    for m in king_sample(oracle):
        move = Move.from_uci(m.uci())
        assert board.is_legal(move) == oracle.is_legal(m), m.uci()
        assert board.is_castling(move) == oracle.is_castling(m), m.uci()
    for m in oracle.generate_castling_moves():
        san = oracle.san(m)
        assert board.san(Move.from_uci(m.uci())) == san
        assert board.parse_san(san).uci() == m.uci()
        assert board.parse_san(san.replace("O", "0")).uci() == m.uci()
        played = board.apply_uci(m.uci())
        oracle.push(m)
        assert played.uci() == m.uci()
        assert board.fen() == oracle_fen(oracle) and board.fen(shredder=True) == oracle_fen(oracle, True)
        assert board.zobrist_hash() == chess.polyglot.zobrist_hash(oracle)
        assert board.pop().uci() == m.uci()
        oracle.pop()
        assert board.fen() == oracle_fen(oracle)


# King moves, rook moves and rook captures take the rights python-chess takes.
@pytest.mark.parametrize("fen, line", [
    ("rk2r2r/ppppppp1/8/8/8/8/PPPPPPP1/RK2R2R w Ee - 0 1", "h1h5 h8h6 e1f1 e8f8"),
    ("1rk4r/ppp2ppp/8/3pp3/8/7q/PPPPPPP1/1RK4R w KQkq - 0 9", "a2a3 h3h1"),
    ("1rk4r/ppp2ppp/8/3pp3/8/7q/PPPPPPP1/1RK4R w KQkq - 0 9", "h1h3 g7g6 c1d1"),
    ("r1k1r2r/pppppppp/8/8/8/8/PPPPPPPP/R1K1R2R w EAea - 0 1", "c1e1 c8a8"),
    ("rkr5/ppp2ppp/8/3pp3/8/8/PPPPPPPP/RKR5 w KQkq - 0 6", "a2a3 c8d8 a1a2 d8c8"),
    ("r3k1r1/ppp1pppp/8/8/8/8/PPP1PPPP/3RK1R1 b kq - 0 1", "e8g8 d1d8 a8d8"),
])
def test_rights_after_moves(fen, line):
    oracle = chess.Board(fen, chess960=True)
    board = Board.from_fen(fen, chess960=True)
    for uci in line.split():
        board.apply_uci(uci)
        oracle.push_uci(uci)
        assert board.castling_rights == castling_field(oracle.fen()), uci
        assert board.fen(shredder=True) == oracle_fen(oracle, True), uci
        assert board.zobrist_hash() == chess.polyglot.zobrist_hash(oracle), uci
        assert ucis(board.legal_moves()) == ucis(oracle.legal_moves), uci


# A king that steps out and back has lost its rights: the first position is
# not repeated by the later ones.
def test_repetition_counts_castling_rights():
    fen = "rk5r/ppp2ppp/8/3pp3/8/8/PPPPPPPP/RK5R w KQkq - 0 1"
    board, oracle = Board.from_fen(fen, chess960=True), chess.Board(fen, chess960=True)
    for uci in ("b1c1 b8c8 c1b1 c8b8 " * 3).split():
        board.apply_uci(uci)
        oracle.push_uci(uci)
        for count in (2, 3):
            assert board.is_repetition(count) == oracle.is_repetition(count), (uci, count)
        assert board.can_claim_threefold_repetition() == oracle.can_claim_threefold_repetition()


# ---------------------------------------------------------------- random games

def game_start(game):
    return (game * 389 + 17) % 960


def weight(oracle, move):
    # Random play rarely castles; castling is what this suite is about.
    return 12 if oracle.is_castling(move) else 1


def play_game(game, plies=120, san_every=6):
    """Plays a seeded random game from a Chess960 start, checking every ply;
    SAN of every legal move every san_every plies (of castling at each)."""
    rng = random.Random(game)
    n = game_start(game)
    board, oracle = Board.from_chess960_pos(n), chess.Board.from_chess960_pos(n)
    history = []
    for ply in range(plies):
        where = f"start {n} after {' '.join(history) or 'no moves'}"
        legal = list(oracle.legal_moves)
        assert ucis(board.legal_moves()) == ucis(legal), where
        fen = oracle_fen(oracle)
        shredder = oracle.castling_shredder_fen()
        assert board.fen() == fen, where
        assert board.fen(shredder=True) == fen.replace(f" {castling_field(fen)} ", f" {shredder} ", 1), where
        assert board.castling_rights == castling_field(fen), where
        assert board.zobrist_hash() == chess.polyglot.zobrist_hash(oracle), where
        assert board.is_check() == oracle.is_check(), where
        outcome = oracle.outcome()
        got = board.outcome()
        assert (got and tuple(got)) == (outcome and (outcome.termination.name.lower(), outcome.winner)), where
        castling = list(oracle.generate_castling_moves())
        assert ucis(board._castling_moves()) == ucis(castling), where
        assert Board.from_fen(fen, chess960=True).fen(shredder=True) == board.fen(shredder=True), where
        for m in legal if ply % san_every == 0 else castling:
            assert board.san(Move.from_uci(m.uci())) == oracle.san(m), (m.uci(), where)
        if not legal or outcome:
            break
        move = rng.choices(legal, [weight(oracle, m) for m in legal])[0]
        uci = move.uci()
        assert board.is_castling(Move.from_uci(uci)) == oracle.is_castling(move), where
        # Each way in: UCI text, SAN text, and a Move played unchecked.
        way = ply % 3
        if way == 0:
            assert board.apply_uci(uci).uci() == uci, where
        elif way == 1:
            assert board.apply_san(oracle.san(move)).uci() == uci, where
        else:
            board.apply_move(Move.from_uci(uci))
        oracle.push(move)
        history.append(uci)
    # Undo finds every earlier position again.
    while history:
        oracle.pop()
        assert board.pop().uci() == history.pop()
        assert board.fen() == oracle_fen(oracle)
    assert board.chess960 is True


@pytest.mark.parametrize("game", range(200))
def test_random_games(game):
    play_game(game)


@pytest.mark.slow
@pytest.mark.parametrize("game", sampled(range(200, 1000), 100))
def test_random_games_long(game):
    play_game(game, plies=200, san_every=1)


# ---------------------------------------------------------------- copies, pickles, PGN

def midgame():
    board = Board.from_fen("1r2k2r/pppbqppp/2n2n2/8/8/2N2N2/PPPBQPPP/RK5R w KQkq - 4 8", chess960=True)
    board.apply_uci("c3d5")
    board.apply_uci("e8h8")
    return board


@pytest.mark.parametrize("how", [
    lambda b: b.copy(), copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
    ids=["copy", "copy.copy", "deepcopy", "pickle"])
def test_copies_keep_the_mode(how):
    board = midgame()
    other = how(board)
    assert other.chess960 is True
    assert other.fen(shredder=True) == board.fen(shredder=True)
    assert ucis(other.legal_moves()) == ucis(board.legal_moves())
    assert "b1h1" in ucis(other._castling_moves())
    assert other.pop().uci() == "e8h8" and other.pop().uci() == "c3d5"
    assert other.fen(shredder=True) == "1r2k2r/pppbqppp/2n2n2/8/8/2N2N2/PPPBQPPP/RK5R w HAhb - 4 8"
    standard = how(Board())
    assert standard.chess960 is False


def oracle_game(n, plies, seed):
    rng = random.Random(seed)
    oracle = chess.Board.from_chess960_pos(n)
    for _ in range(plies):
        legal = list(oracle.legal_moves)
        if not legal:
            break
        oracle.push(rng.choices(legal, [weight(oracle, m) for m in legal])[0])
    return oracle


@pytest.mark.parametrize("variant", ["Chess960", "chess 960", "Fischerandom", "fischer random"])
def test_read_pgn(variant):
    games = [oracle_game(n, 40, n) for n in (0, 518, 959, 314)]
    text = "\n\n".join(str(chess.pgn.Game.from_board(g)) for g in games).replace(
        '[Variant "Chess960"]', f'[Variant "{variant}"]') + "\n"
    read = list(Board.read_pgn(io.StringIO(text)))
    assert len(read) == len(games)
    for (headers, board), oracle in zip(read, games):
        assert headers["Variant"] == variant
        assert board.chess960 is True
        assert [m.uci() for m in board.move_stack] == [m.uci() for m in oracle.move_stack]
        assert board.fen(shredder=True) == oracle_fen(oracle, True)
        assert board.starting_fen == oracle.root().fen()


def test_read_samples():
    np = pytest.importorskip("numpy")
    games = [oracle_game(n, 60, n) for n in (0, 518, 959, 314, 77)]
    text = "\n\n".join(str(chess.pgn.Game.from_board(g)) for g in games) + "\n"
    batches = list(Board.read_samples(io.StringIO(text)))
    columns = {k: np.concatenate([b[k] for b in batches]) for k in batches[0]}
    row = 0
    for number, oracle in enumerate(games):
        walk = oracle.root()
        board = Board.from_fen(walk.fen(), chess960=True)
        for move in oracle.move_stack:
            assert columns["game"][row] == number
            assert list(columns["bitboards"][row]) == list(board.bitboards())
            assert list(columns["castling"][row]) == [walk.has_kingside_castling_rights(chess.WHITE),
                                                      walk.has_queenside_castling_rights(chess.WHITE),
                                                      walk.has_kingside_castling_rights(chess.BLACK),
                                                      walk.has_queenside_castling_rights(chess.BLACK)]
            assert columns["move_index"][row] == board.move_index(Move.from_uci(move.uci()))
            board.apply_uci(move.uci())
            walk.push(move)
            row += 1
    assert row == len(columns["game"])


def test_read_pgn_castling_game():
    # A game that castles on both sides, written by python-chess.
    oracle = chess.Board("1r2k2r/pppbqppp/2n2n2/8/8/2N2N2/PPPBQPPP/RK5R w KQkq - 4 8", chess960=True)
    for san in ["O-O-O", "O-O", "Rhe1", "Rfe8"]:
        oracle.push_san(san)
    text = str(chess.pgn.Game.from_board(oracle)) + "\n"
    assert '[Variant "Chess960"]' in text and "O-O-O" in text
    (headers, board), = Board.read_pgn(io.StringIO(text))
    assert board.chess960 is True
    assert [m.uci() for m in board.move_stack] == ["b1a1", "e8h8", "h1e1", "f8e8"]
    assert board.fen() == oracle_fen(oracle)


@pytest.mark.parametrize("n", [0, 314, 959])
def test_pgn_tags(n):
    oracle = oracle_game(n, 30, n)
    board = Board.from_chess960_pos(n)
    for m in oracle.move_stack:
        board.apply_uci(m.uci())
    text = board.pgn()
    assert text == chess.pgn.Game.from_board(oracle).accept(chess.pgn.StringExporter(columns=80))
    (headers, again), = Board.read_pgn(io.StringIO(text + "\n"))
    assert again.chess960 is True and again.fen() == board.fen()


def test_pgn_tags_of_the_standard_start():
    board = Board.from_chess960_pos(518)
    board.apply_uci("e2e4")
    text = board.pgn()
    assert '[Variant "Chess960"]' in text
    (headers, again), = Board.read_pgn(io.StringIO(text + "\n"))
    assert again.chess960 is True and again.fen() == board.fen()
    assert '[Variant' not in Board().pgn()


def test_apply_movetext():
    fen = "1r2k2r/pppbqppp/2n2n2/8/8/2N2N2/PPPBQPPP/RK5R w KQkq - 4 8"
    board = Board.from_fen(fen, chess960=True)
    assert board.apply_movetext("8. O-O-O O-O 9. Rhe1 Rfe8") == 4
    assert [m.uci() for m in board.move_stack] == ["b1a1", "e8h8", "h1e1", "f8e8"]
    before = board.fen()
    with pytest.raises(ValueError):
        board.apply_movetext("10. O-O")  # the rights are gone
    assert board.fen() == before

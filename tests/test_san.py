"""SAN out and in, numbered lines and whole movetexts, side by side with python-chess."""

import io
import random
import re
from pathlib import Path

import pytest

from helpers import sampled
from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402

GAMES_PGN = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "games.pgn"

# Starting points rich in what notation has to get right: like pieces that
# reach one square (file, rank or both to tell them apart, pins that make
# one of them not count), promotions with and without capture and check,
# en passant (one that would expose the king too), castling with check.
POSITIONS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "4k3/8/8/1N3N2/8/1N3N2/8/4K3 w - - 0 1",
    "4k3/8/8/8/1b6/8/3N1N2/4K3 w - - 0 1",
    "1k6/8/8/R6R/8/8/8/R3K2R w KQ - 0 1",
    "Q6Q/8/1k6/8/8/8/8/Q3K2Q w - - 0 1",
    "2n1k1n1/1P5P/8/3Q1Q2/8/3q1q2/1p5p/2N1K1N1 w - - 0 1",
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 0 1",
    "7k/PPPPPP2/8/8/8/8/pppppp2/7K b - - 0 1",
    "8/8/8/KPp4r/8/8/8/6k1 w - c6 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "6k1/5ppp/8/8/8/8/8/R3K2R w KQ - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
]


def test_positions_are_valid():
    assert all(chess.Board(fen).is_valid() for fen in POSITIONS)


def weight(oracle, move, san):
    """Biases random play toward the moves notation gets wrong most easily."""
    w = 1
    if move.promotion or oracle.is_en_passant(move) or oracle.is_castling(move):
        w += 8
    if re.fullmatch(r"[NBRQK][a-h1-8]{1,2}x?[a-h][1-8][+#]?", san):
        w += 8  # disambiguated
    if oracle.piece_type_at(move.from_square) == chess.PAWN or oracle.is_capture(move):
        w += 1
    return w


def check_every_move(ours, oracle, where):
    """san, lan and both read back, for every legal move; returns python-chess's SAN of each."""
    legal = list(oracle.legal_moves)
    assert sorted(m.uci() for m in ours.legal_moves()) == sorted(m.uci() for m in legal), where
    fen, plies = ours.fen(), len(ours.move_stack)
    sans = []
    for move in legal:
        m = Move.from_uci(move.uci())
        san, lan = oracle.san(move), oracle.lan(move)
        assert (ours.san(m), ours.lan(m)) == (san, lan), f"{where}: {move}"
        assert ours.parse_san(san).uci() == move.uci(), f"{where}: {san}"
        assert ours.parse_san(lan).uci() == oracle.parse_san(lan).uci(), f"{where}: {lan}"
        sans.append(san)
    assert (ours.fen(), len(ours.move_stack)) == (fen, plies)
    return legal, sans


def play_checked_game(fen, seed, max_plies):
    rng = random.Random(seed)
    ours, oracle = Board(fen), chess.Board(fen)
    for ply in range(max_plies):
        legal, sans = check_every_move(ours, oracle, f"{fen} after {oracle.move_stack}")
        if not legal:
            break
        i = rng.choices(range(len(legal)), [weight(oracle, m, s) for m, s in zip(legal, sans)])[0]
        assert ours.apply_san(sans[i]).uci() == legal[i].uci()
        oracle.push(legal[i])
    # The whole line in one call, from the start and from halfway.
    start, moves = Board(fen), [Move.from_uci(m.uci()) for m in oracle.move_stack]
    line = chess.Board(fen).variation_san(oracle.move_stack)
    assert start.variation_san(moves) == line
    assert start.apply_movetext(line) == len(moves)
    assert start.fen() == ours.fen()
    half, replay, split = Board(fen), chess.Board(fen), len(moves) // 2
    for m, move in zip(moves[:split], oracle.move_stack[:split]):
        half.apply_move(m)
        replay.push(move)
    assert half.variation_san(moves[split:]) == replay.variation_san(oracle.move_stack[split:])


@pytest.mark.parametrize("fen", POSITIONS)
def test_random_games(fen):
    play_checked_game(fen, 0, 30)


@pytest.mark.slow
@pytest.mark.parametrize("fen", POSITIONS)
@pytest.mark.parametrize("seed", sampled(range(1, 201), 20))
def test_random_games_long(fen, seed):
    play_checked_game(fen, seed, 40)


# ---------------------------------------------------------------- what parse_san accepts

def oracle_reading(oracle, text):
    # Annotation glyphs are read past here, where python-chess refuses them;
    # null moves are refused here, where python-chess has a null move.
    text = re.sub(r"[!?]{1,2}\Z", "", text)
    try:
        move = oracle.parse_san(text)
    except chess.InvalidMoveError:
        return "invalid"
    except chess.IllegalMoveError:
        return "illegal"
    except chess.AmbiguousMoveError:
        return "ambiguous"
    return move.uci() if move else "invalid"


def our_reading(ours, text):
    fen, plies = ours.fen(), len(ours.move_stack)
    try:
        return ours.parse_san(text).uci()
    except ValueError as e:
        reason = str(e).split()[0]
        assert reason in ("invalid", "illegal", "ambiguous") and repr(text) in str(e)
        return reason
    finally:
        assert (ours.fen(), len(ours.move_stack)) == (fen, plies)


JUNK = ["", " e4", "e4 ", "e", "e9", "i4", "e44", "Pe4", "pe4", "ne4", "N", "Nf3++", "N f3", "e4!!!",
        "e8=", "e8==Q", "--", "Z0", "0000", "@@@@", "N@f3", "e4,e5", "O-O-O-O", "o-o", "0-0-0-0",
        "Kg1", "Kxh1", "Ke1h1", "Kc1", "e1h1", "e1a1", "e1g1", "e1c1", "e8h8", "e8g8", "O-O!?", "0-0-0+"]


def variants(oracle, move, san):
    """Ways people write this move, right and wrong."""
    frm, to = chess.square_name(move.from_square), chess.square_name(move.to_square)
    piece = oracle.piece_at(move.from_square).symbol().upper()
    core = san.rstrip("+#")
    out = {core, core + "+", core + "#", core + "!", core + "?!", core + "+?", core + "#!!",
           frm + to, frm + "-" + to, frm + "x" + to, piece + to, piece + "x" + to, piece.lower() + to, to}
    if piece != "P":
        out |= {piece + frm + to, piece + frm + "x" + to, piece + frm[0] + to, piece + frm[1] + to,
                piece + frm + "-" + to, piece + frm[1] + "x" + to}
    else:
        out |= {frm[0] + to, frm[0] + "x" + to, frm[1] + to, "P" + frm + to}
    if move.promotion:
        letter = chess.piece_symbol(move.promotion)
        bare = core.split("=")[0]
        out |= {bare, bare + letter.upper(), bare + "=" + letter, bare + letter, bare + "=K", bare + "=P",
                frm + to + letter, frm + to + letter.upper(), frm + to + "=" + letter.upper(), frm + to + "k"}
    if oracle.is_castling(move):
        out |= {core.replace("O", "0"), "K" + to, piece + frm + to}
    return out


@pytest.mark.parametrize("fen", POSITIONS)
def test_parse_san_accepts_what_python_chess_accepts(fen):
    rng = random.Random(fen)
    ours, oracle = Board(fen), chess.Board(fen)
    for _ in range(12):
        legal = list(oracle.legal_moves)
        if not legal:
            break
        texts = set(JUNK)
        for move in legal:
            texts |= variants(oracle, move, oracle.san(move))
        for text in sorted(texts):
            assert our_reading(ours, text) == oracle_reading(oracle, text), f"{oracle.fen()}: {text!r}"
        move = rng.choice(legal)
        ours.apply_move(Move.from_uci(move.uci()))
        oracle.push(move)


@pytest.mark.parametrize("fen, text, reason", [
    ("4k3/8/8/1N3N2/8/1N3N2/8/4K3 w - - 0 1", "Nd4", "ambiguous"),
    ("4k3/8/8/1N3N2/8/1N3N2/8/4K3 w - - 0 1", "Nbd4", "ambiguous"),
    ("4k3/8/8/1N3N2/8/1N3N2/8/4K3 w - - 0 1", "N3d4", "ambiguous"),
    ("4k3/8/8/8/1b6/8/3N1N2/4K3 w - - 0 1", "Nde4", "illegal"),  # pinned
    ("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", "O-O", "illegal"),  # no right
    ("r3k2r/8/8/8/8/8/8/R3K1NR w KQkq - 0 1", "O-O", "illegal"),  # blocked
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "Kg1", "illegal"),  # castling is written as such
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a8", "illegal"),  # promotion unsaid
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8", "illegal"),
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a8=K", "illegal"),
    ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e4", "illegal"),
    ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e4e5e6", "invalid"),
    ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", "--", "invalid"),
])
def test_parse_san_refusals(fen, text, reason):
    board = Board(fen)
    board_before = board.fen()
    with pytest.raises(ValueError) as info:
        board.parse_san(text)
    assert str(info.value).startswith(f"{reason} san: {text!r}")
    with pytest.raises(ValueError):
        board.apply_san(text)
    assert board.fen() == board_before and not board.move_stack


def test_san_refuses_illegal_moves():
    board = Board()
    for uci in ["e2e5", "e7e5", "e1g1", "a1a1", "g1f3q"]:
        with pytest.raises(ValueError, match=f"illegal move {uci} in {re.escape(board.fen())}"):
            board.san(Move.from_uci(uci))
        with pytest.raises(ValueError, match=f"illegal move {uci}"):
            board.lan(Move.from_uci(uci))
    assert board.fen() == Board().fen()


def test_castling_written_as_king_takes_rook():
    board = Board("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    assert [board.san(Move.from_uci(u)) for u in ("e1h1", "e1a1")] == ["O-O", "O-O-O"]
    assert board.parse_san("e1h1").uci() == "e1g1"
    assert board.variation_san([Move.from_uci("e1a1"), Move.from_uci("e8h8")]) == "1. O-O-O O-O"


def test_variation_san_refuses_an_illegal_ply():
    board = Board()
    board.apply_san("e4")
    fen = board.fen()
    moves = [Move.from_uci(u) for u in ("e7e5", "g1f3", "g8f6", "f3e5", "f6e4", "e5e4")]
    with pytest.raises(ValueError, match="illegal move e5e4 at ply 6 of the variation"):
        board.variation_san(moves)
    assert board.fen() == fen
    assert [m.uci() for m in board.move_stack] == ["e2e4"]
    assert board.variation_san(moves[:5]) == "1...e5 2. Nf3 Nf6 3. Nxe5 Nxe4"
    assert board.variation_san([]) == ""
    with pytest.raises(TypeError):
        board.variation_san([Move.from_uci("e7e5"), "g1f3"])
    with pytest.raises(TypeError):
        board.variation_san(5)


# ---------------------------------------------------------------- movetexts

MOVETEXT = """1. e4 {a comment (with a parenthesis} e5 2.Nf3 Nc6 $1 ( 2... d6 ; not closed here )
% an escape line
3. d4 ) 3. Bb5!? 3... a6?! (3... Nf6 (3... f5 4. d3) 4. O-O) 4. Ba4 Nf6 5. O-O! Be7 6. Re1 b5
7. Bb3 d6 8. c3 O-O 9. h3 Nb8 10. d4 Nbd7 11. c4 c6 12. cxb5 axb5 13. Nc3 Bb7 14. Bg5 b4
15. Nb1 h6 16. Bh4 c5 17. dxe5 Nxe4 18. Bxe7 Qxe7 19. exd6 Qf6 20. Nbd2 Nxd6 21. Nc4 Nxc4
22. Bxc4 Nb6 23. Ne5 Rae8 24. Bxf7+ Rxf7 25. Nxf7 Rxe1+ 26. Qxe1 Kxf7 27. Qe3 Qg5
28. Qxg5 hxg5 29. b3 Ke6 30. a3 Kd6 31. axb4 cxb4 32. Ra5 Nd5 33. f3 Bc8 34. Kf2 Bf5
35. Ra7 g6 36. Ra6+ Kc5 37. Ke1 Nf4 38. g3 Nxh3 39. Kd2 Kb5 40. Rd6 Kc5 41. Ra6 Nf2
42. g4 Bd3 43. Re6 1/2-1/2"""


def test_movetext_syntax_reads_as_python_chess_reads_it():
    game = chess.pgn.read_game(io.StringIO(MOVETEXT))
    assert not game.errors
    board = Board()
    assert board.apply_movetext(MOVETEXT) == 85
    assert [m.uci() for m in board.move_stack] == [m.uci() for m in game.mainline_moves()]
    assert board.fen() == game.end().board().fen(en_passant="fen")


@pytest.mark.parametrize("text, plies", [
    ("", 0),
    ("*", 0),
    ("1-0", 0),
    ("{only a comment}", 0),
    ("1. e4 {unclosed comment 1... e5", 1),
    ("1. e4 e5 (1... c5 2. Nf3", 2),
    ("1.e4 1...e5 2.Nf3", 3),
    ("1. e4 e5) 2. Nf3}", 3),
    ("1. e4$1 e5$2(1... c5)2. Nf3{x}Nc6;y\n3. Bb5 *", 5),
    ("12. e4 12... e5", 2),
    ("1. e4 e5 1-0 2. Nf3", 3),
    ("1. e4+ e5!! 2. Nf3+?! Nc6#", 4),
    ("1. e4\r\n1... e5\r\n", 2),
])
def test_movetext_syntax(text, plies):
    board = Board()
    assert board.apply_movetext(text) == plies == len(board.move_stack)


@pytest.mark.parametrize("text, token, ply, reason", [
    ("1. e4 e5 2. Ke3", "Ke3", 3, "illegal"),
    ("1. e4 e5 2. Nc3 Nc6 3. Ne2", "Ne2", 5, "ambiguous"),
    ("1. e4 e5 2. Nz3", "Nz3", 3, "invalid"),
    ("1. e4 e5 +- 2. Nf3", "+-", 3, "invalid"),
    ("1. e4 e5 2. -- Nc6", "--", 3, "invalid"),
    ("1. e4 $ e5", "$", 2, "invalid"),
    ("1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# Ke7", "Ke7", 8, "illegal"),
    ("1. e4 e5 2. e4", "e4", 3, "illegal"),
    ("d5", "d5", 1, "illegal"),
])
def test_movetext_failure_takes_back_every_move(text, token, ply, reason):
    # Moves played before the call must survive the failure as they were.
    board = Board()
    board.apply_movetext("1. d4 d5 2. Nc3 Nc6 3. Nb1 Nb8")
    before = (board.fen(), [m.uci() for m in board.move_stack], board.zobrist_hash())
    with pytest.raises(ValueError) as info:
        board.apply_movetext(text)
    assert str(info.value).startswith(f"{reason} san: {token!r}")
    assert str(info.value).endswith(f", at ply {ply} of the movetext")
    assert (board.fen(), [m.uci() for m in board.move_stack], board.zobrist_hash()) == before
    for uci in reversed(before[1]):
        assert board.pop().uci() == uci


def read_games(limit=None):
    if not GAMES_PGN.exists():
        pytest.skip(f"{GAMES_PGN} is absent")
    text = GAMES_PGN.read_text()
    games = re.split(r"\n\n(?=\[)", text.strip())
    return games[:limit]


def check_games(games):
    for number, game_text in enumerate(games, 1):
        game = chess.pgn.read_game(io.StringIO(game_text))
        assert not game.errors
        movetext = game_text.split("\n\n", 1)[1]
        board = Board(game.headers.get("FEN"))
        expected = list(game.mainline_moves())
        assert board.apply_movetext(movetext) == len(expected), number
        assert board.fen() == game.end().board().fen(en_passant="fen"), number
        replay, oracle = Board(game.headers.get("FEN")), game.board()
        for ours, move in zip(board.move_stack, expected):
            assert ours.uci() == move.uci(), number
            assert replay.san(ours) == oracle.san(move), (number, oracle.fen(), move)
            replay.apply_move(ours)
            oracle.push(move)


def test_games_file_slice():
    check_games(read_games(100))


@pytest.mark.slow
def test_games_file():
    check_games(read_games())

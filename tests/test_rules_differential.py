"""Random games played side by side with python-chess: at every ply the game
rules (hash, validity, draws, outcome, legality, move predicates, piece and
attack queries) must agree, on the game's position and on texts near it, and
taking the game back must find every hash again."""

import random

import pytest

from helpers import POSITIONS
from tavrinmoss import Board, Move

chess = pytest.importorskip("chess")
polyglot = pytest.importorskip("chess.polyglot")

# Few pieces, castling rights, ready en passant captures, and clocks close to
# the fifty- and seventy-five-move marks: where draws and repetitions happen.
EXTRA = [
    "4k2r/8/8/8/8/8/8/R3K3 w Qk - 0 1",
    "r3k3/8/8/8/8/8/8/4K2R b Kq - 0 1",
    "4k3/8/8/8/1p1p4/8/P1P1P3/4K3 w - - 0 1",
    "8/8/4k3/8/8/3K4/6N1/8 w - - 0 1",
    "8/3b4/4k3/8/8/3K4/4B3/8 w - - 0 1",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 140 70",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 95 60",
    "4k3/8/8/8/8/8/8/R3K2R w KQ - 147 90",
]
ALL_POSITIONS = POSITIONS + EXTRA

LETTERS = "PNBRQKpnbrqk"
PROMOTIONS = [None] * 6 + list("qrbnkp")
# Castling both ways of writing it: the king's two-square step and the king
# taking its own rook.
CASTLING = [(4, 6), (4, 2), (60, 62), (60, 58), (4, 7), (4, 0), (60, 63), (60, 56)]
DRAW_PREDICATES = [
    "is_insufficient_material", "is_seventyfive_moves", "is_fivefold_repetition", "can_claim_fifty_moves",
    "can_claim_threefold_repetition",
]
PREDICATES = ["is_capture", "is_en_passant", "is_castling", "is_zeroing"]


def oracle_move(move):
    promotion = chess.PIECE_SYMBOLS.index(move.promotion) if move.promotion else None
    return chess.Move(move.from_square, move.to_square, promotion)


def our_move(move):
    return Move(move.from_square, move.to_square, chess.piece_symbol(move.promotion) if move.promotion else None)


def oracle_outcome(outcome):
    return outcome and (outcome.termination.name.lower(), outcome.winner)


def check_position(ours, oracle, where):
    """Hash, draws, outcome and every piece and attack query; returns the
    terminations the position has, with and without a claim, and the
    automatic draws an earlier termination hides."""
    assert ours.zobrist_hash() == polyglot.zobrist_hash(oracle), where()
    assert ours.is_valid() == oracle.is_valid(), where()
    # The oracle's claims replay the game: each is asked once.
    claims = {name: getattr(oracle, name)() for name in DRAW_PREDICATES}
    claims["can_claim_draw"] = claims["can_claim_fifty_moves"] or claims["can_claim_threefold_repetition"]
    for name, expected in claims.items():
        assert getattr(ours, name)() == expected, (name, where())
    for count in (2, 3, 4):
        assert ours.is_repetition(count) == oracle.is_repetition(count), (count, where())
    found = {name for name, predicate in (("fivefold_repetition", "is_fivefold_repetition"),
                                          ("seventyfive_moves", "is_seventyfive_moves")) if claims[predicate]}
    for claim in (False, True):
        expected = oracle.outcome(claim_draw=claim)
        got = ours.outcome(claim_draw=claim)
        assert (got and tuple(got)) == oracle_outcome(expected), (claim, where())
        assert ours.result(claim) == (expected.result() if expected else "*"), (claim, where())
        if got:
            assert (got.termination, got.winner) == oracle_outcome(expected)
            found.add(got.termination)

    assert ours.piece_map() == {s: p.symbol() for s, p in oracle.piece_map().items()}, where()
    for letter in LETTERS:
        piece = chess.Piece.from_symbol(letter)
        assert ours.pieces(letter) == int(oracle.pieces(piece.piece_type, piece.color)), (letter, where())
    assert ours.checkers() == int(oracle.checkers()), where()
    for color in (True, False):
        assert ours.king(color) == oracle.king(color), where()
        for square in range(64):
            attackers = int(oracle.attackers(color, square))
            assert ours.attackers(color, square) == attackers, (color, square, where())
            assert ours.is_attacked_by(color, square) == bool(attackers), (color, square, where())
            assert ours.is_pinned(color, square) == oracle.is_pinned(color, square), (color, square, where())
    for square in range(64):
        piece = oracle.piece_at(square)
        assert ours.piece_at(square) == (piece and piece.symbol()), (square, where())
    return found


def move_sample(ours, oracle, rng, legal):
    """Moves that are not legal, or only nearly: the specified pseudo-legal
    list, random squares and promotions, castling as king takes rook, legal
    moves with the promotion added or dropped, and the other side's moves."""
    sample = [oracle_move(m) for m in ours.pseudo_legal_moves()]
    own = list(chess.SquareSet(oracle.occupied_co[oracle.turn]))
    for _ in range(12):
        start = rng.choice(own) if own and rng.random() < 0.6 else rng.randrange(64)
        promotion = rng.choice(PROMOTIONS)
        sample.append(chess.Move(start, rng.randrange(64), promotion and chess.PIECE_SYMBOLS.index(promotion)))
    sample += [chess.Move(f, t) for f, t in CASTLING]
    for m in rng.sample(legal, min(4, len(legal))):
        sample.append(chess.Move(m.from_square, m.to_square, None if m.promotion else chess.QUEEN))
    oracle.turn = not oracle.turn
    theirs = list(oracle.generate_pseudo_legal_moves())
    oracle.turn = not oracle.turn
    sample += rng.sample(theirs, min(4, len(theirs)))
    return sample


def near_texts(oracle, rng, count):
    """Texts near a game's position, most of them impossible: a piece added,
    taken away or moved, the other side to move, other castling rights and
    en passant squares."""
    for _ in range(count):
        board = oracle.copy(stack=False)
        turn = "wb"[not board.turn]
        castling = board.castling_xfen()
        ep = chess.square_name(board.ep_square) if board.ep_square is not None else "-"
        for _ in range(rng.randint(1, 2)):
            kind = rng.randrange(6)
            occupied = list(chess.SquareSet(board.occupied))
            empty = list(chess.SquareSet(~board.occupied & chess.BB_ALL))
            if kind == 0 and occupied:
                board.remove_piece_at(rng.choice(occupied))
            elif kind == 1 and empty:
                board.set_piece_at(rng.choice(empty), chess.Piece.from_symbol(rng.choice(LETTERS)))
            elif kind == 2 and occupied and empty:
                board.set_piece_at(rng.choice(empty), board.remove_piece_at(rng.choice(occupied)))
            elif kind == 3:
                turn = "wb"[turn == "w"]
            elif kind == 4:
                castling = "".join(c for c in "KQkq" if rng.random() < 0.4) or "-"
            else:
                rank = rng.choice("36" * 4 + "12457")
                ep = rng.choice("abcdefgh") + rank if rng.random() < 0.8 else "-"
        yield f"{board.board_fen()} {turn} {castling} {ep} 0 1"


def check_validity(text):
    """Compares validity; returns the oracle's board when the position is
    valid (so that the rules are defined on it), else None."""
    try:
        oracle = chess.Board(text)
    except ValueError:
        return None
    # The oracle's reader drops a queen-side right when no rook of that colour
    # stands on its back rank at all (and then calls the position valid); it
    # keeps the king-side one, so what is read is what is judged.
    if any(right in text.split()[2] and not oracle.pieces(chess.ROOK, color) & rank
           for right, color, rank in (("Q", chess.WHITE, chess.BB_RANK_1), ("q", chess.BLACK, chess.BB_RANK_8))):
        return None
    try:
        ours = Board.from_fen(text)
    except ValueError as error:
        # The strict reader refuses an en passant square off ranks 3 and 6;
        # the lenient one reads it.
        assert "en passant" in str(error), text
        ours = Board(text)
    valid = oracle.is_valid()
    assert ours.is_valid() == valid, text
    return oracle if valid else None


def check_moves(ours, oracle, rng, legal, where):
    for m in legal:
        mine = our_move(m)
        assert ours.is_legal(mine) and ours.is_pseudo_legal(mine), (m.uci(), where())
        for name in PREDICATES:
            assert getattr(ours, name)(mine) == getattr(oracle, name)(m), (name, m.uci(), where())
        assert ours.gives_check(mine) == oracle.gives_check(m), (m.uci(), where())
    for m in move_sample(ours, oracle, rng, legal):
        mine = our_move(m)
        pseudo = oracle.is_pseudo_legal(m)
        assert ours.is_pseudo_legal(mine) == pseudo, (m.uci(), where())
        assert ours.is_legal(mine) == oracle.is_legal(m), (m.uci(), where())
        for name in PREDICATES:
            assert getattr(ours, name)(mine) == getattr(oracle, name)(m), (name, m.uci(), where())
        if pseudo:
            assert ours.gives_check(mine) == oracle.gives_check(m), (m.uci(), where())
        else:
            with pytest.raises(ValueError):
                ours.gives_check(mine)
    # Trial moves leave no trace.
    assert ours.fen() == oracle.fen(en_passant="fen"), where()
    assert len(ours.move_stack) == len(oracle.move_stack), where()


def check_near(oracle, rng):
    """Validity of a few texts near a game's position, and every rule on the
    first valid one: positions no random game reaches."""
    checked = False
    for text in near_texts(oracle, rng, 3):
        near = check_validity(text)
        if near and not checked:
            checked = True
            ours = Board(text)

            def where():
                return f"{text} (near a game's position)"

            check_position(ours, near, where)
            check_moves(ours, near, rng, list(near.legal_moves), where)


def choose(oracle, rng, style, legal):
    """The next move. "random" picks any; "quiet" avoids captures and pawn
    moves so the clock runs; "shuffle" also takes back its own last move, so
    that positions repeat."""
    if style == "shuffle" and len(oracle.move_stack) >= 2 and rng.random() < 0.9:
        last = oracle.move_stack[-2]
        back = chess.Move(last.to_square, last.from_square)
        if back in legal:
            return back
    if style != "random" and rng.random() < 0.97:
        quiet = [m for m in legal if not oracle.is_zeroing(m)]
        if quiet:
            return rng.choice(quiet)
    return rng.choice(legal)


def play(fen, seed, plies, style):
    """Plays and checks one game; returns the terminations it went through."""
    # The game's course has its own generator, so that the checks' samples
    # do not change which game a seed plays.
    rng, probe = random.Random(seed), random.Random(-seed - 1)
    ours, oracle = Board(fen), chess.Board(fen)
    history, hashes, found = [], [], set()

    def where():
        return f"{fen} after {' '.join(history) or 'no moves'} ({style}, seed {seed})"

    for ply in range(plies + 1):
        found |= check_position(ours, oracle, where)
        legal = list(oracle.legal_moves)
        check_moves(ours, oracle, probe, legal, where)
        check_near(oracle, probe)
        if not legal or ply == plies:
            break
        move = choose(oracle, rng, style, legal)
        hashes.append(ours.zobrist_hash())
        history.append(move.uci())
        if rng.random() < 0.5:
            assert ours.apply_uci(move.uci()).uci() == move.uci()
        else:
            ours.apply_move(our_move(move))
        oracle.push(move)
    # Undo restores each key as it was, without recomputing it.
    while history:
        oracle.pop()
        assert ours.pop().uci() == history.pop()
        assert ours.zobrist_hash() == hashes.pop() == polyglot.zobrist_hash(oracle), where()
    return found


def replay(fen, line):
    """Plays a fixed line, checking every position on the way."""
    rng = random.Random(0)
    ours, oracle = Board(fen), chess.Board(fen)
    played = []
    found = set()

    def where():
        return f"{fen} after {' '.join(played) or 'no moves'}"

    for uci in line.split() + [None]:
        found |= check_position(ours, oracle, where)
        check_moves(ours, oracle, rng, list(oracle.legal_moves), where)
        check_near(oracle, rng)
        if uci:
            ours.apply_uci(uci)
            oracle.push_uci(uci)
            played.append(uci)
    return found


SHUFFLE = "e1f1 e8f8 f1e1 f8e8 "
BLACK_SHUFFLE = "e8f8 e1f1 f8e8 f1e1 "
KNIGHTS = "g1f3 g8f6 f3g1 f6g8 "


# Lines where what a repetition compares matters: rights lost or kept, en
# passant that can or cannot be taken, and the draws' order of precedence.
@pytest.mark.parametrize(("fen", "line", "termination"), [
    (POSITIONS[0], KNIGHTS * 4, "fivefold_repetition"),
    (POSITIONS[0], "e2e4 e7e5 " + KNIGHTS * 2, "threefold_repetition"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", SHUFFLE * 3, "threefold_repetition"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1g1 h8g8 g1h1 g8h8 " * 3, "threefold_repetition"),
    ("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1", "e2e4 " + BLACK_SHUFFLE * 2, "threefold_repetition"),
    ("4k3/8/8/8/3p4/8/4P3/4K3 w - - 0 1", "e2e3 " + BLACK_SHUFFLE * 2, "threefold_repetition"),
    ("4k3/8/8/4pP2/8/8/8/4K3 w - e6 0 1", SHUFFLE * 2, "threefold_repetition"),
    ("4k3/8/8/4pP2/8/8/8/4K3 w - d6 0 1", SHUFFLE * 2, "threefold_repetition"),
    ("4k3/8/3n4/4P3/8/8/8/4K3 w - d6 0 1", SHUFFLE * 2, "threefold_repetition"),
    ("4k3/4r3/8/3pP3/8/8/8/4K3 w - d6 0 1", "e1d1 e8d8 d1e1 d8e8 " * 2, "threefold_repetition"),
    ("6k1/5ppp/8/8/8/8/8/R5K1 w - - 149 80", "a1a8", "checkmate"),
    ("6k1/5ppp/8/8/8/8/8/R5K1 w - - 99 80", "g1h1", "fifty_moves"),
    ("6k1/5ppp/8/8/8/8/8/R5K1 w - - 148 80", "g1h1 g8h8 h1g1 h8g8", "seventyfive_moves"),
    ("k7/2K5/1B6/8/8/8/8/8 b - - 0 1", "", "insufficient_material"),
    ("k7/2K5/1Q6/8/8/8/8/8 b - - 0 1", "", "stalemate"),
    ("4k3/8/8/8/8/8/8/4K2R w K - 130 80", "h1h2 e8d8 h2h1 d8e8 " * 5, "seventyfive_moves"),
], ids=range(1, 17))
def test_lines(fen, line, termination):
    assert termination in replay(fen, line)


STYLES = ["random", "quiet", "shuffle"]


@pytest.mark.parametrize("fen", ALL_POSITIONS, ids=range(1, len(ALL_POSITIONS) + 1))
def test_games(fen):
    index = ALL_POSITIONS.index(fen)
    play(fen, index, 24, STYLES[index % 3])


# Long enough for the automatic draws: these games must reach them.
@pytest.mark.parametrize(("fen", "style", "plies", "termination"), [
    (POSITIONS[0], "shuffle", 40, "fivefold_repetition"),
    (POSITIONS[1], "shuffle", 40, "fivefold_repetition"),
    (EXTRA[6], "quiet", 20, "seventyfive_moves"),
    (EXTRA[7], "quiet", 12, "fifty_moves"),
    ("4k3/8/8/8/8/8/8/R3K2R w KQ - 100 1", "quiet", 60, "seventyfive_moves"),
])
def test_games_reach_draws(fen, style, plies, termination):
    assert termination in play(fen, 7, plies, style)


# CI's sample plays the first four games from each position in each style;
# `make test-slow` all 64, where shuffling must reach a fivefold repetition.
@pytest.mark.slow
@pytest.mark.parametrize("fen", ALL_POSITIONS, ids=range(1, len(ALL_POSITIONS) + 1))
@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("seeds", [range(4), pytest.param(range(4, 64), marks=pytest.mark.full)],
                         ids=["sample", "rest"])
def test_games_long(fen, style, seeds):
    found = set()
    for seed in seeds:
        found |= play(fen, seed, 50 if style == "quiet" else 30, style)
    if style == "shuffle" and len(seeds) > 4:
        assert "fivefold_repetition" in found

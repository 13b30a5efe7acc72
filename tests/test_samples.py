"""Board.read_samples: every column against a python-chess walk of the same games."""

import io
import math
import random
import re

import pytest

from tavrinmoss import Board

np = pytest.importorskip("numpy")
chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402

from test_pgn import GAMES_PGN, corpus_text  # noqa: E402

DTYPES = {
    "game": "int32", "ply": "uint16", "bitboards": "uint64", "turn": "bool", "castling": "bool",
    "en_passant": "int8", "half_move_clock": "uint16", "move_from": "uint8", "move_to": "uint8",
    "promotion": "uint8", "move_index": "int16", "eval_cp": "int32", "eval_mate": "int16",
    "has_eval": "bool", "clock": "float32", "result": "int8", "white_elo": "int16", "black_elo": "int16",
}
WIDTHS = {"bitboards": 12, "castling": 4}

# The policy encoding, written from its definition.
DIRECTIONS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]
KNIGHT_STEPS = [(2, 1), (1, 2), (-1, 2), (-2, 1), (-2, -1), (-1, -2), (1, -2), (2, -1)]


def policy_index(move, turn):
    f, t = move.from_square, move.to_square
    if not turn:
        f, t = f ^ 56, t ^ 56
    dr, df = t // 8 - f // 8, t % 8 - f % 8
    if move.promotion and move.promotion != chess.QUEEN:
        return 73 * f + 64 + 3 * (move.promotion - chess.KNIGHT) + df + 1
    if (dr, df) in KNIGHT_STEPS:
        return 73 * f + 56 + KNIGHT_STEPS.index((dr, df))
    unit = ((dr > 0) - (dr < 0), (df > 0) - (df < 0))
    return 73 * f + 7 * DIRECTIONS.index(unit) + max(abs(dr), abs(df)) - 1


def elo(headers, name):
    value = headers.get(name, "")
    return int(value) if re.fullmatch("[0-9]+", value) and int(value) <= 32767 else 0


def oracle_rows(text):
    """The rows python-chess's reader gives for every game of `text`, column by column."""
    rows = {name: [] for name in DTYPES}
    handle = io.StringIO(text)
    number = -1
    while (game := chess.pgn.read_game(handle)) is not None:
        number += 1
        if game.errors:
            continue
        result = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}.get(game.headers.get("Result"), -2)
        board = game.board()
        for ply, node in enumerate(game.mainline()):
            move = node.move
            row = {
                "game": number, "ply": ply, "turn": board.turn,
                "bitboards": [board.pieces_mask(kind, color) for color in (chess.WHITE, chess.BLACK)
                              for kind in chess.PIECE_TYPES],
                "castling": [board.has_kingside_castling_rights(chess.WHITE),
                             board.has_queenside_castling_rights(chess.WHITE),
                             board.has_kingside_castling_rights(chess.BLACK),
                             board.has_queenside_castling_rights(chess.BLACK)],
                "en_passant": -1 if board.ep_square is None else board.ep_square,
                "half_move_clock": board.halfmove_clock,
                "move_from": move.from_square, "move_to": move.to_square, "promotion": move.promotion or 0,
                "move_index": policy_index(move, board.turn),
                "result": result, "white_elo": elo(game.headers, "WhiteElo"),
                "black_elo": elo(game.headers, "BlackElo"),
            }
            score = node.eval()
            white = score.white() if score is not None else None
            row["has_eval"] = white is not None
            row["eval_mate"] = white.mate() if white is not None and white.is_mate() else 0
            row["eval_cp"] = white.score() if white is not None and not white.is_mate() else 0
            clock = node.clock()
            row["clock"] = math.nan if clock is None else clock
            for name, value in row.items():
                rows[name].append(value)
            board.push(move)
    return {name: np.array(values, dtype=DTYPES[name]).reshape(-1, *([WIDTHS[name]] if name in WIDTHS else []))
            for name, values in rows.items()}


def joined(batches):
    batches = list(batches)
    assert batches, "no batch"
    return {name: np.concatenate([b[name] for b in batches]) for name in DTYPES}


def check_columns(ours, expected):
    for name in DTYPES:
        assert ours[name].dtype == np.dtype(DTYPES[name]), name
        assert ours[name].shape == expected[name].shape, name
        if name == "clock":
            assert np.array_equal(ours[name], expected[name], equal_nan=True), name
        else:
            mismatch = np.flatnonzero((ours[name] != expected[name]).reshape(len(ours[name]), -1).any(axis=1))
            assert mismatch.size == 0, (name, mismatch[:5], ours["game"][mismatch[:5]])


def test_corpus_slice_columns_equal_a_python_chess_walk():
    text = corpus_text(200)
    check_columns(joined(Board.read_samples(io.StringIO(text))), oracle_rows(text))


@pytest.mark.slow
def test_corpus_columns_equal_a_python_chess_walk():
    expected = oracle_rows(corpus_text())
    check_columns(joined(Board.read_samples(GAMES_PGN, threads=2)), expected)


# Comments as annotated games have them: several after one move, around
# variations, before the first move, mates, fractions of seconds, CRLF, and
# evaluations for both sides; and games from a FEN tag, with ratings.
CRAFTED = [
    '[Result "1-0"]\n[WhiteElo "2100"]\n[BlackElo "x12"]\n\n{game} 1. e4 {[%eval 0.17]} {[%clk 0:01:02.5]} e5 '
    '{ [%eval #-3] } 2. Nf3 (2. Nc3 {[%eval 9.99]}) {after} Nc6 ( ) {[%eval -1.5,20]} 3. Bb5 $1 '
    '{[%eval} {0.30]} a6 1-0\n',
    '[Result "0-1"]\n[FEN "r3k2r/8/8/8/3pP3/8/8/R3K2R b KQkq e3 0 30"]\n[SetUp "1"]\n[WhiteElo "99999"]\n\n'
    '30... dxe3 {[%eval #0]} 31. O-O {[%eval 0.291]\r\n[%clk 1:00:00]} O-O-O (31... Kd7 (31... Rb8)) '
    '{[%eval 12]} 0-1\n',
    '[FEN "1n5k/P1P5/8/8/8/8/1p4pK/5R2 w - - 0 1"]\n\n1. axb8=N b1=R 2. c8=B gxf1=N+ 3. Kg1 Rb3 4. Kxf1 *\n',
    # Comments of the usual shape, and ones that only start like it.
    '1. e4 { [%eval 0.17] [%clk 0:03:00] } e5 { [%eval 0.17] [%clk 0:03:00.5] } 2. Nf3 { [%eval 0.17,20] '
    '[%clk 0:02:59] } Nc6 { [%eval 1.5] [%clk 10:02:58] } 3. Bb5 {[%eval +0.30] [%clk 1:02:03]} a6 '
    '{ [%eval -0.17]  [%clk 0:03:00] } 4. Ba4 { [%eval -0.17] [%clk 0:3:00] [%clk 0:01:00] } Nf6 '
    '{ [%eval #-3] [%clk 0:02:57] } 5. O-O { [%eval 12345678901.00] [%clk 0:02:56] } Be7 '
    '{ [%eval 0.17] [%clk 0:02:55]x } *\n',
]


@pytest.mark.parametrize("text", CRAFTED)
def test_crafted_games_equal_a_python_chess_walk(text):
    check_columns(joined(Board.read_samples(io.StringIO(text))), oracle_rows(text))


def random_games(count, seed):
    """PGN text of games of random legal moves that pick castling, en passant and promotions whenever they can."""
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        board = chess.Board()
        while not board.is_game_over() and board.ply() < 250:
            moves = list(board.legal_moves)
            rare = [m for m in moves if board.is_castling(m) or board.is_en_passant(m) or m.promotion]
            board.push(rng.choice(rare or moves))
        games.append(str(chess.pgn.Game.from_board(board)))
    return "\n\n".join(games) + "\n"


@pytest.mark.parametrize("seed", range(3))
def test_random_games_equal_a_python_chess_walk(seed):
    text = random_games(40, seed)
    check_columns(joined(Board.read_samples(io.StringIO(text))), oracle_rows(text))


def test_moves_written_square_to_square_read_as_the_pgn_reader_reads_them():
    # The quick reader leaves such a game to the board at its first move of
    # that form: the rows come out the same, before it and after.
    text = "1. e4 e5 2. g1f3 Nc6 3. Bb5 a6 4. e1g1 Nf6 5. Re1 d6 *\n"
    check_columns(joined(Board.read_samples(io.StringIO(text))), oracle_rows(text))


def test_threads_give_the_batches_of_one_thread():
    text = corpus_text(400)
    one = list(Board.read_samples(io.StringIO(text), batch_positions=3000))
    for threads in (2, 3):
        many = list(Board.read_samples(io.StringIO(text), threads=threads, batch_positions=3000))
        assert len(many) == len(one)
        for a, b in zip(one, many):
            assert list(a) == list(b) == list(DTYPES)
            for name in DTYPES:
                assert np.array_equal(a[name], b[name], equal_nan=True), name


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_reused_buffers_carry_nothing_over(threads):
    # Blocks of games with and without comments, and a skipped game, over
    # several chunks: the buffers of handed-out parts are played into again,
    # so a column a row fails to write would show an earlier game's value.
    games = re.split(r"\n\n(?=\[)", corpus_text(300))
    for k in range(len(games)):
        if (k // 40) % 2:
            games[k] = re.sub(r"\{[^}]*\}", "", games[k])
    games[130] = games[130].replace("1. ", "1. Ke3 ", 1)
    text = "\n\n".join(games) + "\n"
    reader = Board.read_samples(io.StringIO(text), threads=threads, batch_positions=700)
    check_columns(joined(reader), oracle_rows(text))
    assert [number for number, _ in reader.skipped] == [130]


def test_column_memory_recycled_between_batches_and_readers_is_never_shared():
    # Batches' memory goes back to be reused once their arrays die, also for
    # the next reader: a column kept (or a view of one) must keep its values
    # while later batches are made, and a dropped batch scribbled over must
    # leave nothing in the next ones.
    text = corpus_text(300)
    expected = list(Board.read_samples(io.StringIO(text), batch_positions=900))
    for _ in range(2):
        kept, views = [], []
        for batch in Board.read_samples(io.StringIO(text), batch_positions=900):
            kept.append(batch["bitboards"])
            views.append(batch["move_index"][::2])
            for name in DTYPES:
                if name not in ("bitboards", "move_index"):
                    batch[name][...] = 1
            del batch
        assert len(kept) == len(expected) > 2
        for k, batch in enumerate(expected):
            assert np.array_equal(kept[k], batch["bitboards"])
            assert np.array_equal(views[k], batch["move_index"][::2])
    check_columns(joined(Board.read_samples(io.StringIO(text), batch_positions=900)), oracle_rows(text))


def test_a_short_last_batch_kept_holds_about_its_own_memory():
    # A view of each file's short last batch kept, as a loop carrying
    # leftovers over does: memory reused from full batches before it must not
    # stay pinned behind the few rows. Measured as glibc's bytes in use (the
    # sanitizer's allocator reports none, and the test passes there).
    ctypes = pytest.importorskip("ctypes")

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.mallinfo2.restype = MallInfo2
    except (OSError, AttributeError):
        pytest.skip("needs glibc's mallinfo2")

    def in_use():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    text = corpus_text(600)
    last = list(Board.read_samples(io.StringIO(text), batch_positions=11000))[-1]
    tail_bytes = sum(column.nbytes for column in last.values())
    assert len(last["game"]) < 11000 // 4
    del last
    kept, before = [], None
    for shard in range(25):
        for batch in Board.read_samples(io.StringIO(text), batch_positions=11000):
            pass
        kept.append({name: column[:5] for name, column in batch.items()})
        del batch
        if shard == 4:
            before = in_use()
    assert in_use() - before < 20 * tail_bytes * 3


@pytest.mark.parametrize("threads", [2, 3])
def test_a_reader_dropped_while_its_threads_play_is_freed(threads):
    text = corpus_text(200)
    first = next(Board.read_samples(io.StringIO(text), batch_positions=500))
    reader = Board.read_samples(io.StringIO(text), threads=threads, batch_positions=500)
    assert np.array_equal(next(reader)["move_index"], first["move_index"])
    del reader  # its threads still hold parts of the chunk after this batch's


@pytest.mark.parametrize("batch_positions", [1, 57, 1000, 10**6])
def test_batches_hold_whole_games_within_the_bound(batch_positions):
    text = corpus_text(60)
    batches = list(Board.read_samples(io.StringIO(text), batch_positions=batch_positions))
    lengths = [len(b["game"]) for b in batches]
    games = [b["game"] for b in batches]
    for batch, n in zip(batches, lengths):
        assert all(len(column) == n for column in batch.values())
    for batch, n in zip(games, lengths):
        assert n <= batch_positions or len(set(batch.tolist())) == 1
    for before, after in zip(games, games[1:]):
        assert before[-1] < after[0]  # no game split across two batches
        # Greedy: the next game would not have fitted.
        assert len(before) + np.count_nonzero(after == after[0]) > batch_positions
    assert np.array_equal(np.concatenate(games), joined(Board.read_samples(io.StringIO(text)))["game"])


def test_unplayable_games_are_skipped_and_counted():
    good = "1. e4 e5 2. Nf3 *\n"
    text = "\n".join([
        f'[Result "*"]\n\n{good}',
        '[Result "*"]\n\n1. e4 e5 2. Ke3 *\n',
        '[FEN "not a position"]\n\n1. e4 *\n',
        f'[Result "1-0"]\n\n{good}',
    ])
    reader = Board.read_samples(io.StringIO(text))
    batch = joined(reader)
    assert batch["game"].tolist() == [0, 0, 0, 3, 3, 3]
    assert batch["result"].tolist() == [-2] * 3 + [1] * 3
    assert [number for number, _ in reader.skipped] == [1, 2]
    assert "illegal san: 'Ke3'" in reader.skipped[0][1] and "at ply 3" in reader.skipped[0][1]
    assert reader.skipped[1][1].startswith('invalid FEN tag "not a position"')


def test_where_filters_by_headers_and_keeps_game_numbers():
    text = corpus_text(80)
    seen = []

    def white_won(headers):
        seen.append(headers["Site"])
        return headers["Result"] == "1-0"

    batch = joined(Board.read_samples(io.StringIO(text), where=white_won))
    expected = oracle_rows(text)
    keep = expected["result"] == 1
    assert len(seen) == 80
    for name in DTYPES:
        assert np.array_equal(batch[name], expected[name][keep], equal_nan=True), name


def test_where_errors_propagate_and_reading_goes_on():
    text = corpus_text(5)
    calls = []

    def flaky(headers):
        calls.append(1)
        if len(calls) == 2:
            raise KeyError("boom")
        return True

    reader = Board.read_samples(io.StringIO(text), where=flaky)
    with pytest.raises(KeyError):
        next(reader)
    games = sorted(set(joined(reader)["game"].tolist()))
    assert games == [0, 2, 3, 4]


@pytest.mark.parametrize("kwargs, error, text", [
    ({"threads": 0}, ValueError, "argument 'threads': 0 is outside 1..256"),
    ({"batch_positions": 0}, ValueError, "argument 'batch_positions'"),
    ({"threads": "2"}, TypeError, "threads"),
    ({"where": 3}, TypeError, "argument 'where': expected a callable or None"),
])
def test_bad_arguments_name_themselves(kwargs, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Board.read_samples(io.StringIO(""), **kwargs)


def test_options_are_keyword_only_and_sources_are_read_pgns():
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        Board.read_samples(io.StringIO(""), None)
    with pytest.raises(ValueError, match="reads as PGN text"):
        Board.read_samples("1. e4 e5\n")
    assert list(Board.read_samples(io.StringIO(""))) == []
    binary = list(Board.read_samples(io.BytesIO(b"1. e4 e5 *\n")))
    assert binary[0]["move_to"].tolist() == [28, 36]

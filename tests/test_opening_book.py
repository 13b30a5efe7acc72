"""OpeningBook against python-chess's chess.polyglot reader, on books built here."""
import os
import random
import struct

import pytest

from tavrinmoss import Board, Move, OpeningBook

chess = pytest.importorskip("chess")
polyglot = pytest.importorskip("chess.polyglot")

PROMOTION_FIELD = {None: 0, chess.KNIGHT: 1, chess.BISHOP: 2, chess.ROOK: 3, chess.QUEEN: 4}


def raw_move(move):
    """A move as a book stores it: castling as the king taking its rook."""
    return move.to_square | move.from_square << 6 | PROMOTION_FIELD[move.promotion] << 12


def write_book(path, entries):
    """Entries (key, raw move, weight, learn), sorted by key as a book is; ties keep their order."""
    entries = sorted(entries, key=lambda e: e[0])
    path.write_bytes(b"".join(struct.pack(">QHHI", *e) for e in entries))
    return path


def book_positions(rng, count=60):
    """Positions of seeded random games, with castling and promotions in reach."""
    fens = ["r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
            "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1", "4k3/1P6/8/8/8/8/6p1/4K3 b - - 0 1"]
    while len(fens) < count:
        board = chess.Board()
        for _ in range(rng.randrange(0, 40)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        fens.append(board.fen())
    return fens


def random_entries(rng, fen):
    """Legal moves at random weights (0 included), stored moves that are not legal, and a drop."""
    board = chess.Board(fen)
    key = polyglot.zobrist_hash(board)
    moves = list(board.legal_moves)
    rng.shuffle(moves)
    entries = []
    for move in moves[:rng.randrange(1, 8)]:
        if board.is_castling(move):
            move = board._to_chess960(move)
        entries.append((key, raw_move(move), rng.choice([0, 1, 1, 2, 7, 100, 65535]), rng.randrange(2**32)))
    entries.append((key, raw_move(chess.Move(chess.A1, chess.H8)), 3, 0))   # not legal here
    entries.append((key, chess.E4 | chess.E4 << 6 | 1 << 12, 3, 0))          # a drop
    return entries


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    rng = random.Random(21)
    fens = book_positions(rng)
    entries = [e for fen in fens for e in random_entries(rng, fen)]
    entries += [(rng.randrange(2**64), rng.randrange(2**15), 1, 0) for _ in range(500)]   # other positions
    return write_book(tmp_path_factory.mktemp("book") / "book.bin", entries), fens


def same(ours, oracle):
    return (ours.key, ours.raw_move, ours.weight, ours.learn, ours.move.uci()) == \
           (oracle.key, oracle.raw_move, oracle.weight, oracle.learn, oracle.move.uci())


@pytest.mark.parametrize("minimum_weight", [0, 1, 2, 100, -5, 2**70])
def test_find_all_matches_python_chess(book, minimum_weight):
    path, fens = book
    with OpeningBook(path) as ours, polyglot.open_reader(path) as oracle:
        assert len(ours) == len(oracle)
        for fen in fens:
            board = Board(fen)
            found = list(ours.find_all(board, minimum_weight=minimum_weight))
            expected = list(oracle.find_all(chess.Board(fen), minimum_weight=minimum_weight))
            assert len(found) == len(expected), fen
            assert all(same(a, b) for a, b in zip(found, expected)), fen
            assert board.fen() == fen and board.ply() == 0


def test_castling_comes_back_as_castling(book):
    path, _ = book
    with OpeningBook(path) as ours:
        for fen, king_moves in [("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", {"e1g1", "e1c1"}),
                                ("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", {"e8g8", "e8c8"})]:
            board = Board(fen)
            for entry in ours.find_all(board, minimum_weight=0):
                assert entry.move.uci() not in {"e1h1", "e1a1", "e8h8", "e8a8"}
                assert board.is_castling(entry.move) == (entry.move.uci() in king_moves)


def test_exclude_find_get_and_choices_match_python_chess(book):
    path, fens = book
    with OpeningBook(path) as ours, polyglot.open_reader(path) as oracle:
        for i, fen in enumerate(fens):
            board, theirs = Board(fen), chess.Board(fen)
            listed = [e.move for e in ours.find_all(board)]
            exclude = listed[:1] + [Move.from_uci("a1a2")]
            found = [e.move.uci() for e in ours.find_all(board, 1, exclude)]
            expected = [e.move.uci() for e in oracle.find_all(theirs, exclude_moves=[chess.Move.from_uci(m.uci()) for m in exclude])]
            assert found == expected
            try:
                expected = oracle.find(theirs)
            except IndexError:
                with pytest.raises(IndexError):
                    ours.find(board)
                assert ours.get(board) is None and ours.get(board, "none") == "none"
                continue
            assert same(ours.find(board), expected) and same(ours.get(board), expected)
            for seed in range(3):
                assert same(ours.choice(board, random=random.Random(seed)),
                            oracle.choice(theirs, random=random.Random(seed)))
                try:
                    weighted = oracle.weighted_choice(theirs, random=random.Random(seed))
                except IndexError:
                    with pytest.raises(IndexError):
                        ours.weighted_choice(board, random=random.Random(seed))
                else:
                    assert same(ours.weighted_choice(board, random=random.Random(seed)), weighted)
            random.seed(i)
            first = ours.choice(board).move.uci()
            random.seed(i)
            assert oracle.choice(theirs).move.uci() == first   # the random module's generator when none is given


def test_entry_is_a_named_tuple_like_python_chess(book):
    path, fens = book
    with OpeningBook(path) as ours:
        entry = ours.find(Board(fens[0]))
        key, raw, weight, learn, move = entry
        assert (key, raw, weight, learn, move.uci()) == (entry.key, entry.raw_move, entry.weight, entry.learn,
                                                           entry.move.uci())
        assert type(entry).__name__ == "BookEntry"


PGN_TEXT = b'[Event "Casual game"]\n[Site "?"]\n[White "?"]\n[Black "?"]\n\n1. e4 e5 2. Nf3 Nc6 *\n'


@pytest.mark.parametrize("content, message", [
    (b"\0" * 15, "not a multiple of 16"),
    (b"\0" * 33, "not a multiple of 16"),
    (PGN_TEXT[:64], "not in order"),
    (struct.pack(">QHHI", 2, 0, 1, 0) + struct.pack(">QHHI", 1, 0, 1, 0), "not in order"),
])
def test_files_that_are_not_books_are_value_errors(tmp_path, content, message):
    path = tmp_path / "x.bin"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        OpeningBook(path)


def test_empty_missing_closed_and_bad_arguments(tmp_path):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    book = OpeningBook(str(empty).encode())
    assert len(book) == 0 and list(book.find_all(Board())) == []
    with pytest.raises(IndexError):
        book.find(Board())
    with pytest.raises(IndexError):
        book.weighted_choice(Board())
    with pytest.raises(TypeError, match="board"):
        book.find_all(chess.Board())
    with pytest.raises(TypeError, match="exclude_moves"):
        book.find_all(Board(), exclude_moves=[chess.Move.from_uci("e2e4")])
    book.close()
    book.close()
    with pytest.raises(ValueError, match="closed"):
        book.find_all(Board())
    with pytest.raises(ValueError, match="closed"):
        len(book)
    with pytest.raises(FileNotFoundError):
        OpeningBook(tmp_path / "missing.bin")
    with pytest.raises(IsADirectoryError):
        OpeningBook(tmp_path)
    with pytest.raises(TypeError):
        OpeningBook(42)


def test_a_large_book_is_searched_in_place(tmp_path):
    """100,000 entries: every position's entries found, and the first and last keys too."""
    rng = random.Random(3)
    board = chess.Board()
    key = polyglot.zobrist_hash(board)
    entries = [(rng.randrange(2**64), 0, 1, 0) for _ in range(100_000)]
    entries += [(key, raw_move(chess.Move.from_uci(u)), w, 0) for u, w in [("e2e4", 5), ("d2d4", 9), ("g1f3", 1)]]
    entries += [(0, 0, 1, 0), (2**64 - 1, 0, 1, 0)]
    path = write_book(tmp_path / "big.bin", entries)
    assert os.path.getsize(path) == 16 * len(entries)
    with OpeningBook(path) as ours:
        assert [e.move.uci() for e in ours.find_all(Board())] == ["e2e4", "d2d4", "g1f3"]
        assert ours.find(Board()).move.uci() == "d2d4"


def test_a_key_instead_of_a_board_gives_moves_as_stored(book):
    path, fens = book
    with OpeningBook(path) as ours, polyglot.open_reader(path) as oracle:
        for fen in fens[:20]:
            key = polyglot.zobrist_hash(chess.Board(fen))
            assert key == Board(fen).zobrist_hash()
            for minimum_weight in (0, 2):
                expected = [e for e in oracle.find_all(key, minimum_weight=minimum_weight) if not e.move.drop]
                found = list(ours.find_all(key, minimum_weight))
                assert len(found) == len(expected)
                assert all(same(a, b) for a, b in zip(found, expected))   # castling as e1h1, illegal moves kept
        with pytest.raises(ValueError, match="key"):
            ours.find_all(-1)
        with pytest.raises(ValueError, match="key"):
            ours.find_all(2**64)
        with pytest.raises(TypeError, match="board"):
            ours.find_all(True)

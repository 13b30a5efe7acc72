import os
import random
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, Final, Literal, NamedTuple, TypeVar, final, overload

_T = TypeVar("_T")

_Termination = Literal[
    "checkmate", "stalemate", "insufficient_material", "seventyfive_moves",
    "fivefold_repetition", "fifty_moves", "threefold_repetition",
]

class _Outcome(NamedTuple):
    """How a game ended: a read-only pair, not in the module's namespace."""
    termination: _Termination
    winner: bool | None

class _MoveStack(Sequence[Move]):
    """The moves a board has played, oldest first: a read-only view, not in the module's namespace."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Move: ...
    @overload
    def __getitem__(self, index: slice) -> list[Move]: ...
    def __iter__(self) -> Iterator[Move]: ...
    def clear(self) -> None:
        """Empty this view; the board keeps its history."""
    def copy(self) -> list[Move]:
        """The moves as a new list of new Move objects."""
    def index(self, value: Any, start: int = 0, stop: int = ...) -> int:
        """The first index of value, as list.index (moves compare by identity)."""
    def count(self, value: Any) -> int:
        """How many times value occurs, as list.count (moves compare by identity)."""

__all__ = ["Board", "Move", "hello_world"]

def hello_world() -> None: ...

class _BookEntry(NamedTuple):
    """An opening book entry, as python-chess's chess.polyglot.Entry: a read-only tuple, not in the module's namespace."""
    key: int
    raw_move: int
    weight: int
    learn: int
    move: Move

@final
class OpeningBook:
    """A Polyglot opening book (.bin), read in place: the file is mapped and searched, never loaded whole.

    Beside __all__. OSError when the file cannot be read; ValueError when it is not a book (its size is not
    a multiple of 16, or its keys are out of order) and for any lookup once the book is closed.
    """
    def __new__(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> OpeningBook: ...
    def find_all(self, board: Board | int, minimum_weight: int = 1, exclude_moves: Iterable[Move] = ()) -> Iterator[_BookEntry]:
        """The entries for the board's position in the book's order: weight at least minimum_weight, castling (stored as the king taking its rook) as castling, moves in exclude_moves and moves not legal here left out.

        Every lookup also takes a Polyglot key (an int) for the board: the moves then come as stored, unchecked.
        """
    def find(self, board: Board | int, minimum_weight: int = 1, exclude_moves: Iterable[Move] = ()) -> _BookEntry:
        """The first entry of the highest weight; IndexError when there is none."""
    @overload
    def get(self, board: Board | int, default: None = None, minimum_weight: int = 1,
            exclude_moves: Iterable[Move] = ()) -> _BookEntry | None: ...
    @overload
    def get(self, board: Board | int, default: _T, minimum_weight: int = 1,
            exclude_moves: Iterable[Move] = ()) -> _BookEntry | _T:
        """As find(), but default when there is no entry."""
    def choice(self, board: Board | int, minimum_weight: int = 1, exclude_moves: Iterable[Move] = (), random: random.Random | None = None) -> _BookEntry:
        """An entry picked uniformly, drawing as python-chess draws from random (or the random module); IndexError when there is none."""
    def weighted_choice(self, board: Board | int, exclude_moves: Iterable[Move] = (), random: random.Random | None = None) -> _BookEntry:
        """An entry picked in proportion to its weight; IndexError when the weights sum to nothing."""
    def close(self) -> None:
        """Unmap the file; closing twice is harmless."""
    def __enter__(self) -> OpeningBook: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> bool: ...
    def __len__(self) -> int:
        """The number of entries in the book."""

# Squares by name, beside __all__: 0 is a1, 63 h8; a square, file or rank off
# the board, or a bad name, is a ValueError.
SQUARE_NAMES: Final[tuple[str, ...]]
"""The 64 square names, "a1", "b1", ... "h8", indexed by square."""
def square(file_index: int, rank_index: int) -> int:
    """The square on a file and a rank, each 0 to 7."""
def square_file(square: int) -> int:
    """The file of a square, 0 (the a-file) to 7."""
def square_rank(square: int) -> int:
    """The rank of a square, 0 (the first rank) to 7."""
def square_name(square: int) -> str:
    """The name of a square, "a1" to "h8"."""
def parse_square(name: str) -> int:
    """The square a name such as "e4" stands for."""

@final
class Move:
    to_square: int
    from_square: int
    promotion: str | None
    def __new__(cls, from_square: int, to_square: int, promotion: str | None = None) -> Move: ...
    def uci(self) -> str: ...
    @classmethod
    def from_uci(cls, text: str) -> Move: ...
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle a move as the constructor call that makes it again."""

@final
class Board:
    turn: bool
    @property
    def half_move_clock(self) -> int: ...
    @property
    def full_move_number(self) -> int: ...
    @property
    def castling_rights(self) -> str | None: ...
    @property
    def en_passant_square(self) -> int | None: ...
    @property
    def starting_fen(self) -> str: ...
    @property
    def chess960(self) -> bool:
        """Whether this is a Fischer random board (chosen when it is made; copies, pickles and read games keep it).

        On such a board castling is written and read in UCI as the king taking its own rook (e1h1), the
        legal lists give it that way, castling_rights shows the X-FEN castling field, and SAN is O-O / O-O-O.
        """
    @property
    def move_stack(self) -> _MoveStack:
        """The moves played, oldest first: a view whose every access costs O(1), each item a new Move."""
    def __new__(cls, starting_fen: str | None = None) -> Board: ...
    def set_board(self) -> None: ...
    def get_pieces(self, piece_type: str) -> int: ...
    def set_pieces_or(self, piece_type: str, bitboard: int) -> None: ...
    def set_pieces_xor(self, piece_type: str, bitboard: int) -> None: ...
    def pawn_moves(self) -> list[Move]: ...
    def knight_moves(self) -> list[Move]: ...
    def king_moves(self) -> list[Move]: ...
    def bishop_moves(self) -> list[Move]: ...
    def rook_moves(self) -> list[Move]: ...
    def queen_moves(self) -> list[Move]: ...
    def pseudo_legal_moves(self) -> list[Move]: ...
    def _is_attacked(self, square: int) -> bool: ...
    def is_check(self) -> bool: ...
    def _castling_moves(self) -> list[Move]: ...
    def legal_moves(self) -> list[Move]: ...
    def _reset_half_move_clock(self, from_mask: int, to_mask: int) -> bool: ...
    def _check_castling_rights(self) -> bool: ...
    def _remove_castling_rights(self, id: str) -> None: ...
    def apply_move(self, mov: Move) -> None: ...
    def is_checkmate(self) -> bool: ...
    def is_stalemate(self) -> bool: ...
    def is_game_over(self) -> bool: ...
    def _restore(self, board_state: Any) -> None: ...
    def pop(self) -> Move: ...
    def perft(self, depth: int) -> int:
        """Count the leaf nodes of the legal move tree; ValueError above depth 256, KeyboardInterrupt on Ctrl-C."""
    def fen(self, en_passant: Literal["legal", "fen", "xfen"] | None = "fen", *, shredder: bool = False) -> str:
        """The FEN text; en_passant: "fen" writes the square after every double step, "legal" only when a capture there is legal, "xfen" when a pawn of the side to move stands beside.

        shredder=True writes the castling field as Shredder-FEN (the rooks' file letters, "HAha"), from the
        rights that can still castle; a Fischer random board otherwise writes X-FEN.
        """
    def copy(self) -> Board: ...
    def __copy__(self) -> Board: ...
    def __deepcopy__(self, memo: Any) -> Board: ...
    # Game rules and queries. Squares are 0 (a1) to 63 (h8), colours bool
    # (True is white), pieces FEN letters; a bad square or letter is a ValueError.
    def piece_at(self, square: int) -> str | None:
        """The letter of the piece on a square, or None for an empty square."""
    def piece_map(self) -> dict[int, str]:
        """A dict from each occupied square to the letter of its piece."""
    def pieces(self, letter: str) -> int:
        """The bitboard of one coloured kind of piece ("P" white pawns, "k" the black king)."""
    def king(self, color: bool) -> int | None:
        """The square of the king of a colour, or None when it has none."""
    def checkers(self) -> int:
        """The bitboard of the pieces giving check to the side to move."""
    def attackers(self, color: bool, square: int) -> int:
        """The bitboard of the pieces of a colour that attack a square."""
    def is_attacked_by(self, color: bool, square: int) -> bool:
        """Whether some piece of a colour attacks a square."""
    def is_pinned(self, color: bool, square: int) -> bool:
        """Whether the square is pinned to the king of a colour by an enemy slider."""
    def is_legal(self, move: Move) -> bool:
        """Whether the move is legal here; "e1h1" counts as castling as "e1g1" does."""
    def is_pseudo_legal(self, move: Move) -> bool:
        """Whether the move is legal but for leaving its own king in check."""
    def apply_uci(self, text: str) -> Move:
        """Play a legal move given in UCI and return it; ValueError ("invalid", "illegal") leaves the board as it was."""
    def is_capture(self, move: Move) -> bool:
        """Whether the move captures a piece, en passant included."""
    def is_en_passant(self, move: Move) -> bool:
        """Whether the move is an en passant capture."""
    def is_castling(self, move: Move) -> bool:
        """Whether the move is a castling move."""
    def is_zeroing(self, move: Move) -> bool:
        """Whether the move resets the fifty-move clock: a capture or a pawn move."""
    def gives_check(self, move: Move) -> bool:
        """Whether the pseudo-legal move gives check; ValueError for any other move."""
    def zobrist_hash(self) -> int:
        """The Polyglot opening-book key of the position (kept up to date by every move)."""
    def is_insufficient_material(self) -> bool:
        """Whether neither side has the material to mate."""
    def is_seventyfive_moves(self) -> bool:
        """Whether 75 moves by each side passed without a capture or pawn move (and a move remains)."""
    def is_fivefold_repetition(self) -> bool:
        """Whether the position has occurred five times in this game."""
    def is_repetition(self, count: int = 3) -> bool:
        """Whether the position has occurred count times since the last irreversible move."""
    def can_claim_fifty_moves(self) -> bool:
        """Whether the side to move can claim a draw by the fifty-move rule, now or with its next move."""
    def can_claim_threefold_repetition(self) -> bool:
        """Whether the side to move can claim a threefold repetition, now or with its next move."""
    def can_claim_draw(self) -> bool:
        """Whether the side to move can claim a draw by fifty moves or threefold repetition."""
    def outcome(self, claim_draw: bool = False) -> _Outcome | None:
        """How the game ended (termination, winner), or None while it goes on."""
    def result(self, claim_draw: bool = False) -> str:
        """The game's result: "1-0", "0-1", "1/2-1/2", or "*" while it goes on."""
    @classmethod
    def from_fen(cls, text: str, *, chess960: bool = False) -> Board:
        """Read FEN or 4-field EPD text strictly (clocks default to "0 1"); ValueError names the faulty field.

        chess960=True makes a Fischer random board; its castling field may be X-FEN (KQkq for the outermost
        rooks, a file letter for an inner one) or Shredder-FEN (HAha). Without it, only "KQkq" letters are read.
        """
    @classmethod
    def from_chess960_pos(cls, n: int) -> Board:
        """The Fischer random start numbered n (0 to 959, Scharnagl numbering; 518 is the standard start).

        ValueError for a number outside 0..959.
        """
    def is_valid(self) -> bool:
        """Whether the position could stand in a game: kings, pawns, checks, castling rights and en passant agree."""
    def ply(self) -> int:
        """The number of moves played since the starting FEN (the length of move_stack)."""
    def peek(self) -> Move:
        """The last move played, as a new Move; IndexError when none was."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle the whole board: position, starting FEN, clocks, castling text and history."""
    def __setstate__(self, state: bytes) -> None:
        """Replace the whole board by a pickled one's state; ValueError for bytes no board wrote."""
    # Pictures.
    def unicode(self, invert_color: bool = False, borders: bool = False, empty_square: str = "⭘",
                orientation: bool = True) -> str:
        """The board as a grid of chess symbols, as python-chess's Board.unicode() lays it out."""
    def svg(
        self,
        size: int | None = 400,
        orientation: bool | None = True,
        arrows: Iterable[tuple[int, int] | tuple[int, int, str] | Any] | None = (),
        fill: dict[int, str] | None = None,
        squares: Iterable[int] | int | None = None,
        flipped: bool | None = False,
        lastmove: Move | None = ...,
        check: int | None = ...,
        coordinates: bool | None = True,
        colors: dict[str, str] | None = None,
    ) -> str:
        """An SVG diagram, size pixels square (ValueError unless size >= 1), with the last move and a checked king marked.

        The other options are python-chess's chess.svg.board's: arrows as (tail, head) or (tail, head, colour)
        (or python-chess Arrow objects; colour "green", "red", "yellow", "blue" or any colour), fill from square
        to colour, squares marked with a cross (a collection or a bitboard), flipped, lastmove and check (omitted:
        what the board shows; None: nothing), coordinates, and colors by python-chess's names ("square light",
        "square dark", "square light lastmove", "square dark lastmove", "margin", "coord", "arrow green", ...).
        Colours may carry alpha ("#rrggbbaa"); text that could reach outside the picture is a ValueError.
        """
    def _repr_svg_(self) -> str:
        """The diagram Jupyter and IPython draw for a board: svg() at 400 pixels."""
    # Notation, with the texts and the acceptance of the chess library Python
    # users know; a failure is a ValueError naming the move or text and the
    # reason ("invalid", "illegal", "ambiguous"), and leaves the board as it was.
    def san(self, move: Move) -> str:
        """The standard algebraic notation of a legal move here ("Nf3", "exd8=Q+", "O-O")."""
    def lan(self, move: Move) -> str:
        """The long algebraic notation of a legal move here ("Ng1-f3", "e7xd8=Q+", "O-O")."""
    def parse_san(self, text: str) -> Move:
        """The legal move a SAN text names here ("0-0", "e8Q", "Ngf3", "Nf3+!?" are read too)."""
    def apply_san(self, text: str) -> Move:
        """Play the move a SAN text names and return it."""
    def variation_san(self, moves: Iterable[Move]) -> str:
        """The numbered SAN line of moves played from here ("1. e4 e5 2. Nf3", "3...Nc6 4. Bb5")."""
    def apply_movetext(self, text: str) -> int:
        """Play the mainline of a PGN movetext and return the number of moves; on failure none stays played."""
    # Game records: a board is a game (its starting_fen and its history).
    @classmethod
    def read_pgn(
        cls,
        source: str | bytes | os.PathLike[str] | IO[str] | IO[bytes],
        errors: Literal["raise", "skip"] = "raise",
        where: Callable[[dict[str, str]], object] | None = None,
    ) -> Iterator[Game]:
        """Iterate over the games of a PGN file, read in large blocks, as Game values.

        A Game unpacks as the pair (tag pairs, board after the mainline). A path's content may be
        gzip, bzip2, xz or Zstandard (told by its first bytes; Zstandard needs the `zstandard`
        package). `where` is called with each game's tag pairs before any of its moves is read;
        a falsy answer skips the game unplayed (game numbers in errors still count it).
        A str holding PGN text rather than a path raises ValueError: pass io.StringIO(text).
        """
    @classmethod
    def read_headers(cls, source: str | bytes | os.PathLike[str] | IO[str] | IO[bytes]) -> Iterator[dict[str, str]]:
        """Iterate over the tag pairs of each game of a PGN file, playing no move (python-chess's read_headers)."""
    def pgn(self, headers: dict[str, str] | None = None) -> str:
        """The PGN text of this board's game: the roster tags, the moves in SAN from starting_fen, the result.

        A tag name python-chess refuses (empty, spaces, quotes, brackets, line breaks) or a value
        with a line break raises ValueError.
        """
    # Arrays for learning. The arrays are numpy.ndarray; numpy is imported by
    # the first call that returns one (ImportError naming numpy without it).
    def bitboards(self) -> tuple[int, int, int, int, int, int, int, int, int, int, int, int]:
        """The twelve piece sets: white P, N, B, R, Q, K, then black p, n, b, r, q, k (each a kind's set masked by
        a colour's, so overlapping sets of a malformed board count a square in each)."""
    def planes(self, perspective: bool = False, out: Any = None) -> Any:
        """The pieces as a uint8 numpy array of shape (12, 8, 8), [plane, rank, file], rank 0 the first rank, planes
        in bitboards() order. perspective=True with black to move: ranks mirrored (never files) and black's planes
        first. out: a writable C-contiguous uint8 buffer of that shape, filled and returned instead of a new array
        (TypeError for another item type or a non-buffer, ValueError for another shape, strides or a read-only one);
        numpy is not needed then."""
    def move_index(self, move: Move) -> int:
        """The index, 73 * from + plane, of a legal move in the 8x8x73 (4672-entry) policy encoding, seen from the
        side to move (for black every square s is mirrored to s ^ 56): planes 0-55 queen-like steps (queen
        promotions too), 7 * direction (N, NE, E, SE, S, SW, W, NW) + distance - 1; 56-63 knight jumps; 64-72
        promotions to a knight, bishop, rook, 64 + 3 * piece + file step + 1. Castling is the king's two-square
        step (king takes rook is accepted). ValueError for a move that is not legal here."""
    def move_from_index(self, index: int) -> Move:
        """The legal move whose move_index is index; ValueError where no legal move has it, or outside 0..4671."""
    def legal_move_mask(self) -> Any:
        """A numpy bool array of 4672 entries, True at the move_index of every legal move."""
    @classmethod
    def read_samples(
        cls,
        source: str | bytes | os.PathLike[str] | IO[str] | IO[bytes],
        *,
        where: Callable[[dict[str, str]], object] | None = None,
        threads: int = 1,
        batch_positions: int = 65536,
    ) -> _SampleReader:
        """Iterate over the positions of a PGN file's games as batches: dicts of numpy arrays of one length, one row
        per position before a mainline move, covering whole games in file order, at most batch_positions rows
        unless one game is longer. Columns: game (int32, from 0, counting skipped games), ply (uint16), bitboards
        ((n, 12) uint64, bitboards() order), turn (bool), castling ((n, 4) bool: K, Q, k, q), en_passant (int8:
        en_passant_square, set after every double step, or -1), half_move_clock (uint16), move_from, move_to
        (uint8), promotion (uint8: 0, or 2 knight .. 5 queen), move_index (int16), then from the comment after the
        move eval_cp (int32, white's view, 0 where absent or mate), eval_mate (int16, white's view, 0 for none),
        has_eval (bool), clock (float32 seconds, NaN where absent); result (int8: 1, 0, -1, or -2 unknown),
        white_elo, black_elo (int16, 0 where absent or not all digits). Source and where as read_pgn's; games
        whose moves cannot be played are passed over and listed in `skipped`. threads=k (1 to 256) plays k parts
        at once with the GIL released and gives the batches of threads=1. ValueError for threads or
        batch_positions below 1."""


@final
class _SampleReader(Iterator[dict[str, Any]]):
    """The batches of Board.read_samples."""
    @property
    def skipped(self) -> list[tuple[int, str]]:
        """The games passed over so far, as (game number, reason) pairs in file order."""
    def __next__(self) -> dict[str, Any]: ...


@final
class RelativeScore:
    """A score from one side's point of view: centipawns, mate in n, or a mate given.

    Ordered as python-chess orders its scores (being mated now < mated in 1 < ... < every
    centipawn score < ... < mate in 1 < a mate given); repr as python-chess's: "Cp(+17)",
    "Mate(-3)", "MateGiven". Negating changes the point of view.
    """
    def score(self, mate_score: int | None = None) -> int | None:
        """Centipawns; a mate score is None unless mate_score is given (mate in n: mate_score - n)."""
    def mate(self) -> int | None:
        """The moves to mate (negative when being mated, 0 once mated), or None for centipawns."""
    def is_mate(self) -> bool:
        """Whether this is a mate score."""
    def __neg__(self) -> RelativeScore: ...
    def __pos__(self) -> RelativeScore: ...
    def __abs__(self) -> RelativeScore: ...
    def __lt__(self, other: RelativeScore, /) -> bool: ...
    def __le__(self, other: RelativeScore, /) -> bool: ...
    def __gt__(self, other: RelativeScore, /) -> bool: ...
    def __ge__(self, other: RelativeScore, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Score:
    """An evaluation and the side whose point of view it takes (python-chess's PovScore).

    Reachable as tavrinmoss.Score (not in __all__). Scores are equal when white's view is equal.
    """
    @property
    def relative(self) -> RelativeScore:
        """The score from the point of view of `turn`."""
    @property
    def turn(self) -> bool:
        """The side whose point of view `relative` takes (True for white)."""
    def white(self) -> RelativeScore:
        """The score from white's point of view."""
    def black(self) -> RelativeScore:
        """The score from black's point of view."""
    def pov(self, color: bool) -> RelativeScore:
        """The score from the point of view of `color`."""
    def is_mate(self) -> bool:
        """Whether this is a mate score."""
    def __hash__(self) -> int: ...

@final
class Variation:
    """A line of play standing beside one move of a game, as an alternative to it.

    Annotations are per move of the line, as for Game; `variations[k]` holds the alternatives to
    the line's move k (always empty for k = 0: those are listed at the move this line replaces).
    """
    @property
    def moves(self) -> tuple[Move, ...]:
        """The moves of the line."""
    @property
    def turn(self) -> bool:
        """The side that plays the line's first move (True for white)."""
    @property
    def starting_comment(self) -> str:
        """The comment written before the line's first move ("" when none)."""
    @property
    def comments(self) -> tuple[str, ...]:
        """The comment after each move, as python-chess's node.comment gives it."""
    @property
    def nags(self) -> tuple[frozenset[int], ...]:
        """The NAGs of each move ($n and the glyphs !, ?, !!, ??, !?, ?!)."""
    @property
    def evals(self) -> tuple[Score | None, ...]:
        """Each move's [%eval ...] as a Score for the side to move after it, as node.eval()."""
    @property
    def clocks(self) -> tuple[float | None, ...]:
        """Each move's [%clk h:mm:ss] in seconds, as node.clock()."""
    @property
    def variations(self) -> tuple[tuple[Variation, ...], ...]:
        """The alternatives to each move of the line."""
    def __len__(self) -> int: ...

@final
class Game:
    """A game read from PGN: headers, the board after the mainline, and the annotations.

    Unpacks as the (headers, board) pair: `headers, board = game`, len(game) == 2, game[0],
    game[1]. Annotations are read from the game's movetext the first time one is asked for.
    Games pickle whole. Reachable as tavrinmoss.Game (not in __all__).
    """
    @property
    def headers(self) -> dict[str, str]:
        """The tag pairs in file order (only those the file has)."""
    @property
    def board(self) -> Board:
        """The board after the mainline, with the mainline as its history."""
    @property
    def comment(self) -> str:
        """The comment before the first move ("" when none)."""
    @property
    def comments(self) -> tuple[str, ...]:
        """The comment after each mainline move, as python-chess's node.comment gives it
        (several comments after one move joined by a space, line breaks kept, "" when none)."""
    @property
    def nags(self) -> tuple[frozenset[int], ...]:
        """The NAGs of each mainline move ($n and the glyphs !, ?, !!, ??, !?, ?! as 1-6)."""
    @property
    def evals(self) -> tuple[Score | None, ...]:
        """Each mainline move's [%eval ...] as a Score for the side to move after it, as node.eval()."""
    @property
    def clocks(self) -> tuple[float | None, ...]:
        """Each mainline move's [%clk h:mm:ss] in seconds (fractions allowed), as node.clock()."""
    @property
    def variations(self) -> tuple[tuple[Variation, ...], ...]:
        """The alternatives to each mainline move, as Variation values."""
    def pgn(self) -> str:
        """The game written back, comments, NAGs and variations included, as python-chess's
        StringExporter(columns=80) writes the same game; the headers as they stand now (a name
        python-chess refuses, or a value with a line break, raises ValueError)."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: Literal[0], /) -> dict[str, str]: ...
    @overload
    def __getitem__(self, index: Literal[1], /) -> Board: ...
    def __iter__(self) -> Iterator[Any]:
        """The headers, then the board: `headers, board = game`."""

# ---- the UCI engine client: Engine and EngineError are module attributes kept out of __all__.

class EngineError(RuntimeError):
    """An engine that died (the message names its exit status and its last lines on standard error), or
    one that wrote what the client cannot accept: an illegal or unreadable best move."""

class _PlayResult(NamedTuple):
    """What Engine.play() returns."""
    move: Move | None
    """The engine's move, legal on the board; None when the engine had none."""
    ponder: Move | None
    """The reply the engine expects, or None."""
    info: dict[str, Any]
    """The info dict of the search's best line."""

class _Analysis(Iterator[dict[str, Any]]):
    """The info dicts of a running search as the engine sends them; the iteration ends after the
    engine's best move (EngineError when that move is illegal). The engine serves nothing else
    until then."""
    def __iter__(self) -> _Analysis: ...
    def __next__(self) -> dict[str, Any]: ...
    def stop(self) -> None:
        """Stop the search: the engine's lines up to its best move are read and dropped, and the
        iteration ends."""
    def __enter__(self) -> _Analysis: ...
    def __exit__(self, *args: object) -> None:
        """Stop the search."""

@final
class Engine:
    """A chess engine spoken to over UCI, run as a child process.

    `command` is a path or an argument list. The constructor starts the engine (FileNotFoundError or
    PermissionError when it cannot), does the handshake (`uci`, `isready`) and applies `options`; an
    engine silent past `timeout` seconds (None: no limit) raises TimeoutError and is ended. The process
    never outlives the object: it ends on quit(), when the object is collected and at interpreter
    exit, and is killed when it ignores `quit`. One engine serves one call at a time: a second thread
    calling it meanwhile gets RuntimeError at once. Waits release the GIL."""
    id: dict[str, str]
    """What the engine said of itself: name, author."""
    options: dict[str, dict[str, Any]]
    """Every option the engine declared: name to a dict of type, default, min, max, choices."""
    def __new__(cls, command: str | os.PathLike[str] | bytes | Sequence[str | os.PathLike[str] | bytes], *,
                options: dict[str, bool | int | str | None] | None = None,
                timeout: float | None = 10.0) -> Engine: ...
    @overload
    def analyse(self, board: Board, /, *, depth: int | None = None, nodes: int | None = None,
                time: float | None = None, mate: int | None = None, multipv: None = None) -> dict[str, Any]:
        """Search the board's position within the limits given (at least one; time in seconds) and
        return the info dict of the best line: score (a Score for the side to move), pv (legal Moves),
        depth, seldepth, nodes, nps, time (seconds), multipv, and wdl (wins, draws, losses),
        hashfull, tbhits when sent. TypeError / ValueError for a bad limit before anything is sent;
        EngineError when the engine dies or sends an illegal best move; Ctrl-C stops the search and
        raises KeyboardInterrupt with the engine ready for the next call."""
    @overload
    def analyse(self, board: Board, /, *, depth: int | None = None, nodes: int | None = None,
                time: float | None = None, mate: int | None = None, multipv: int) -> list[dict[str, Any]]:
        """With multipv=k: a list of up to k info dicts, best line first."""
    def play(self, board: Board, /, *, time: float | None = None, depth: int | None = None,
             nodes: int | None = None, white_clock: float | None = None, black_clock: float | None = None,
             white_inc: float | None = None, black_inc: float | None = None) -> _PlayResult:
        """Ask the engine for a move within the limits given (clocks and increments in seconds)."""
    def analysis(self, board: Board, /, *, depth: int | None = None, nodes: int | None = None,
                 time: float | None = None, mate: int | None = None,
                 multipv: int | None = None) -> _Analysis:
        """Start a search (infinite without limits) and return an iterator over its info dicts."""
    def configure(self, options: dict[str, bool | int | str | None]) -> None:
        """Set options (None for a button) and wait until the engine is ready. ValueError names an
        option the engine did not declare; TimeoutError ends an engine silent past the timeout."""
    def quit(self) -> None:
        """End the engine and reap its process; calling it again does nothing."""
    def __enter__(self) -> Engine: ...
    def __exit__(self, *args: object) -> None:
        """Quit the engine."""


import os
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Final, Literal, NamedTuple, overload

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

__all__: Final[list[str]]

def hello_world() -> None: ...

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
    def fen(self) -> str: ...
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
    def from_fen(cls, text: str) -> Board:
        """Read FEN or 4-field EPD text strictly (clocks default to "0 1"); ValueError names the faulty field."""
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
    def svg(self, size: int = 400, orientation: bool = True) -> str:
        """An SVG diagram, size pixels square, with the last move and a checked king marked; ValueError unless size >= 1."""
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
        cls, source: str | bytes | os.PathLike[str] | IO[str] | IO[bytes], errors: Literal["raise", "skip"] = "raise"
    ) -> Iterator[tuple[dict[str, str], Board]]:
        """Iterate over the games of a PGN file, read in large blocks, as (tag pairs, board after the mainline)."""
    def pgn(self, headers: dict[str, str] | None = None) -> str:
        """The PGN text of this board's game: the roster tags, the moves in SAN from starting_fen, the result."""

#pragma once

// Polyglot opening books, read in place: the file is mapped, never copied,
// and a position's entries are found by binary search on the key.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "board.h"

namespace board {

// A book entry as stored: 16 bytes, big-endian.
struct BookEntry {
    std::uint64_t key;
    std::uint16_t raw_move;
    std::uint16_t weight;
    std::uint32_t learn;
};

// An entry found for a position, with its move as the board plays it.
struct BookMove {
    BookEntry entry;
    Move move;
};

// The system refused to open or map the file; `error_number` is errno.
class BookFileError : public std::runtime_error {
public:
    BookFileError(const std::string& what, int error_number)
        : std::runtime_error(what), error_number(error_number) {}
    int error_number;
};

class PolyglotBook {
public:
    static constexpr std::size_t ENTRY_SIZE = 16;

    // Maps the file at `path`. BookFileError when it cannot be read; Invalid
    // when its size is not a whole number of entries or its keys are out of
    // order where sampled (so a file that is not a book is refused at once).
    explicit PolyglotBook(const std::string& path);
    ~PolyglotBook();
    PolyglotBook(const PolyglotBook&) = delete;
    PolyglotBook& operator=(const PolyglotBook&) = delete;

    std::size_t size() const noexcept { return size_ / ENTRY_SIZE; }
    bool closed() const noexcept { return closed_; }
    void close() noexcept;
    BookEntry entry(std::size_t index) const noexcept;
    // The index of the first entry whose key is not below `key`.
    std::size_t lower_bound(std::uint64_t key) const noexcept;

    // The entries for the board's position in the book's order, as
    // python-chess finds them: weight at least `minimum_weight`, castling
    // (stored as the king taking its rook) played as castling, moves in
    // `exclude` and moves not legal here left out.
    std::vector<BookMove> find_all(Board& board, std::uint64_t minimum_weight,
                                   const std::vector<Move>& exclude) const;
    // The entries for a key, with no board to read them against: moves as
    // stored (castling as the king taking its rook), legal or not; entries
    // whose move no board can play (drops) are left out.
    std::vector<BookMove> find_all(std::uint64_t key, std::uint64_t minimum_weight,
                                   const std::vector<Move>& exclude) const;

private:
    // `board` null: find_all by key.
    std::vector<BookMove> find(std::uint64_t key, Board* board, std::uint64_t minimum_weight,
                               const std::vector<Move>& exclude) const;

    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    bool closed_ = false;
};

// The move a raw book move names, not yet read against a board: castling is
// the king's step onto its rook; a promotion field 1 to 4 is n, b, r, q.
// std::nullopt for what no board can play (a drop, a promotion to a king).
std::optional<Move> book_move(std::uint16_t raw_move);

}  // namespace board

#include "polyglot_book.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace board {

namespace {

std::uint64_t read_be(const unsigned char* p, int bytes) noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

std::string os_message(const std::string& path, int error_number) {
    char reason[256];
    return path + ": " + strerror_r(error_number, reason, sizeof reason);
}

// Closes a descriptor on every way out of the constructor.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Entries sampled to tell a book from another file: a book is sorted by
// key, and a file of text or a picture fails that within a few probes. The
// whole file is not checked, as that would read all of it.
constexpr std::size_t SAMPLED_RUN = 64;
constexpr std::size_t SAMPLED_PROBES = 64;

}  // namespace

PolyglotBook::PolyglotBook(const std::string& path) {
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) throw BookFileError(os_message(path, errno), errno);
    struct stat info;
    if (::fstat(file.fd, &info) < 0) throw BookFileError(os_message(path, errno), errno);
    if (!S_ISREG(info.st_mode)) throw BookFileError(os_message(path, EISDIR), EISDIR);
    const auto bytes = static_cast<std::size_t>(info.st_size);
    if (bytes % ENTRY_SIZE)
        throw Invalid("not a Polyglot opening book: " + path + " is " + std::to_string(bytes) +
                      " bytes long, not a multiple of 16");
    if (bytes) {
        void* mapped = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, file.fd, 0);
        if (mapped == MAP_FAILED) throw BookFileError(os_message(path, errno), errno);
        // Lookups jump about the file: reading ahead would only waste pages.
        ::madvise(mapped, bytes, MADV_RANDOM);
        data_ = static_cast<const unsigned char*>(mapped);
        size_ = bytes;
    }
    const std::size_t n = size();
    const auto key = [this](std::size_t i) { return read_be(data_ + i * ENTRY_SIZE, 8); };
    bool sorted = true;
    for (std::size_t i = 1; i < std::min(n, SAMPLED_RUN) && sorted; ++i) sorted = key(i - 1) <= key(i);
    for (std::size_t i = n > SAMPLED_RUN ? n - SAMPLED_RUN + 1 : n; i < n && sorted; ++i)
        sorted = key(i - 1) <= key(i);
    for (std::size_t p = 1; p <= SAMPLED_PROBES && n > 1 && sorted; ++p)
        sorted = key((n - 1) * (p - 1) / SAMPLED_PROBES) <= key((n - 1) * p / SAMPLED_PROBES);
    if (!sorted) {
        close();
        throw Invalid("not a Polyglot opening book: the keys of " + path + " are not in order");
    }
}

PolyglotBook::~PolyglotBook() { close(); }

void PolyglotBook::close() noexcept {
    if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
    closed_ = true;
}

BookEntry PolyglotBook::entry(std::size_t index) const noexcept {
    const unsigned char* p = data_ + index * ENTRY_SIZE;
    return {read_be(p, 8), static_cast<std::uint16_t>(read_be(p + 8, 2)),
            static_cast<std::uint16_t>(read_be(p + 10, 2)), static_cast<std::uint32_t>(read_be(p + 12, 4))};
}

std::size_t PolyglotBook::lower_bound(std::uint64_t key) const noexcept {
    std::size_t lo = 0, hi = size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (read_be(data_ + mid * ENTRY_SIZE, 8) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

std::optional<Move> book_move(std::uint16_t raw_move) {
    const auto to = static_cast<Square>(raw_move & 0x3F);
    const auto from = static_cast<Square>((raw_move >> 6) & 0x3F);
    const unsigned promotion = (raw_move >> 12) & 0x7;
    if (from == to || promotion > 4) return std::nullopt;
    if (!promotion) return Move(from, to);
    return Move(from, to, static_cast<char32_t>("nbrq"[promotion - 1]));
}

std::vector<BookMove> PolyglotBook::find_all(Board& board, std::uint64_t minimum_weight,
                                             const std::vector<Move>& exclude) const {
    return find(board.zobrist_hash(), &board, minimum_weight, exclude);
}

std::vector<BookMove> PolyglotBook::find_all(std::uint64_t key, std::uint64_t minimum_weight,
                                             const std::vector<Move>& exclude) const {
    return find(key, nullptr, minimum_weight, exclude);
}

std::vector<BookMove> PolyglotBook::find(std::uint64_t key, Board* board, std::uint64_t minimum_weight,
                                         const std::vector<Move>& exclude) const {
    std::vector<BookMove> out;
    for (std::size_t i = lower_bound(key); i < size(); ++i) {
        const BookEntry e = entry(i);
        if (e.key != key) break;
        if (e.weight < minimum_weight) continue;
        const auto raw = book_move(e.raw_move);
        if (!raw) continue;
        const Move move = board ? castling_alias(board->state(), *raw) : *raw;
        // Move.from_uci writes a promotion in capitals, the generator in
        // small letters: either names the same move here.
        const auto same = [&move](const Move& m) {
            const auto lower = [](std::optional<char32_t> p) -> std::optional<char32_t> {
                if (p && *p >= U'A' && *p <= U'Z') return *p - U'A' + U'a';
                return p;
            };
            return m.from_square == move.from_square && m.to_square == move.to_square &&
                   lower(m.promotion) == lower(move.promotion);
        };
        if (std::any_of(exclude.begin(), exclude.end(), same)) continue;
        if (board && !board->is_legal(move)) continue;
        out.push_back({e, move});
    }
    return out;
}

}  // namespace board

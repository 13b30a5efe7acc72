#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace board {

using Bitboard = std::uint64_t;
using Square = std::uint32_t;

// A violated assumption inside an engine operation. The binding turns it into
// the Python-visible panic exception; `where` feeds the stderr diagnostic.
class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// The two generic messages every caller of a table or an optional expects.
[[noreturn]] void panic_index(std::uint64_t len, std::uint64_t index,
                              std::source_location where = std::source_location::current());
[[noreturn]] void panic_unwrap_none(std::source_location where = std::source_location::current());

// Appends the UTF-8 form of one code point.
void append_utf8(std::string& out, char32_t c);
// Decodes the code point at byte i and moves i past it; a malformed byte
// decodes to U+FFFD, which is no letter, digit or separator.
char32_t next_code_point(std::string_view text, std::size_t& i);

template <typename Table>
constexpr auto checked(const Table& table, std::uint64_t index,
                       std::source_location where = std::source_location::current()) {
    if (index >= table.size()) panic_index(table.size(), index, where);
    return table[index];
}

}  // namespace board

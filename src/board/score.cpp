#include "score.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace board {

std::string SideScore::str() const {
    // Built by appends: g++ 12 warns falsely on chained string sums here.
    std::string out;
    if (kind != Kind::CP) out += '#';
    const std::int64_t v = kind == Kind::MATE ? value : kind == Kind::CP ? value : 0;
    if (v > 0 || kind == Kind::MATE_GIVEN) out += '+';
    if (v == 0 && kind == Kind::MATE) out += '-';
    out.append(std::to_string(v));
    return out;
}

std::string SideScore::repr() const {
    if (kind == Kind::MATE_GIVEN) return "MateGiven";
    std::string out(kind == Kind::CP ? "Cp(" : "Mate(");
    const std::string s = str();
    out.append(kind == Kind::CP ? std::string_view(s) : std::string_view(s).substr(1));
    out += ')';
    return out;
}

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
// What a command's name may be followed by: one white-space character.
constexpr bool is_command_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || (c >= '\x1c' && c <= '\x1f');
}

// The digits from `at`, at most `max` of them: how many, and their value
// (meaningful up to MAX_DIGITS of them). One pass: these run for every
// comment of every move a reader asks about.
struct Digits {
    std::size_t count = 0;
    std::int64_t value = 0;
};
Digits digits(std::string_view s, std::size_t at, std::size_t max) {
    std::uint64_t v = 0;
    std::size_t n = 0;
    for (; at + n < s.size() && n < max && is_digit(s[at + n]); ++n)
        v = v * 10 + static_cast<std::uint64_t>(s[at + n] - '0');
    return {n, static_cast<std::int64_t>(v)};
}

// Values too long for 64 bits are no command that can be read.
constexpr std::size_t MAX_DIGITS = 18;

// Digits with at most one point, as the nearest double, as Python's float()
// reads them. Up to 15 significant digits and 22 after the point, the
// quotient of two exact doubles is that double: IEEE division rounds once.
double decimal(std::string_view s) {
    static constexpr double POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::uint64_t mantissa = 0;
    std::size_t count = 0, after_point = 0;
    bool point = false;
    for (char c : s) {
        if (c == '.') {
            point = true;
            continue;
        }
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        after_point += point;
        if (++count > 15) break;
    }
    if (count <= 15 && after_point < std::size(POWERS)) return static_cast<double>(mantissa) / POWERS[after_point];
    double value = 0;
    // Out of range leaves `value` alone: a value too small is 0 and one too
    // large is infinite, as Python reads them. Only the latter has a digit
    // before the point other than 0.
    if (std::from_chars(s.data(), s.data() + s.size(), value).ec == std::errc::result_out_of_range)
        return s.substr(0, s.find('.')).find_first_not_of('0') == std::string_view::npos ? 0.0 : HUGE_VAL;
    return value;
}

// `hours` * 3600 + `minutes` * 60 (digits of any length) as the nearest
// double: the exact integer Python's int arithmetic makes, then converts.
double whole_seconds(std::string_view hours, std::string_view minutes) {
    std::vector<std::uint8_t> sum;  // decimal digits, the ones first
    const auto add_product = [&](std::string_view digits, unsigned factor) {
        unsigned carry = 0;
        for (std::size_t i = 0; i < digits.size() || carry; ++i) {
            if (i == sum.size()) sum.push_back(0);
            if (i < digits.size()) carry += static_cast<unsigned>(digits[digits.size() - 1 - i] - '0') * factor;
            carry += sum[i];
            sum[i] = static_cast<std::uint8_t>(carry % 10);
            carry /= 10;
        }
    };
    add_product(hours, 3600);
    add_product(minutes, 60);
    std::string text;
    for (auto d = sum.rbegin(); d != sum.rend(); ++d) text += static_cast<char>('0' + *d);
    return decimal(text);
}

// The first '[' in [p, end), or end. Comments are short and their
// commands stand near their start: a plain loop costs less here than a
// library search's setup.
const char* next_bracket(const char* p, const char* end) {
    while (p < end && *p != '[') ++p;
    return p;
}

// Whether `tag` (a literal) is written at p: compared at a size known when
// compiling, so no library call is made.
template <std::size_t N>
bool tag_at(const char* p, const char* end, const char (&tag)[N]) {
    return static_cast<std::size_t>(end - p) >= N - 1 && std::memcmp(p, tag, N - 1) == 0;
}

// The offset of the first `tag` in `s` at or after `from`, or npos.
template <std::size_t N>
std::size_t find_tag(std::string_view s, const char (&tag)[N], std::size_t from) {
    const char* const end = s.data() + s.size();
    for (const char* p = next_bracket(s.data() + from, end); p < end; p = next_bracket(p + 1, end))
        if (tag_at(p, end, tag)) return static_cast<std::size_t>(p - s.data());
    return std::string_view::npos;
}

// 8 bytes of text as one word, byte i in bits 8i to 8i + 7.
std::uint64_t word_at(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// `v` in each byte `mask` selects.
constexpr std::uint64_t in_bytes(std::uint64_t mask, std::uint8_t v) { return mask / 0xFF * v; }

// Whether the bytes of `w` that `mask` selects (0xFF each) are all ASCII
// digits. The high nibble is 3 and stays 3 when 6 is added: the adding
// cannot carry out of a byte that passed the first test.
constexpr bool digits_in(std::uint64_t w, std::uint64_t mask) {
    const std::uint64_t high = in_bytes(mask, 0xF0), three = in_bytes(mask, 0x30);
    return (w & high) == three && ((w + in_bytes(mask, 0x06)) & high) == three;
}

// The seconds of "h:mm:ss]" at the word `w`, when it is written so, else
// NOT_A_CLOCK.
constexpr std::uint32_t NOT_A_CLOCK = ~std::uint32_t{0};
constexpr std::uint32_t clock_word(std::uint64_t w) {
    constexpr std::uint64_t DIGITS = 0x00FFFF00FFFF00FF, SHAPE_MASK = 0xFF0000FF0000FF00;
    constexpr std::uint64_t SHAPE = 0x5D00003A00003A00;  // ':' at 1 and 4, ']' at 7
    if ((w & SHAPE_MASK) != SHAPE || !digits_in(w, DIGITS)) return NOT_A_CLOCK;
    // The digits' values, and each pair as tens and ones in its first byte:
    // no byte exceeds 99, so none carries into the next.
    const std::uint64_t d = (w & DIGITS) - in_bytes(DIGITS, '0');
    const std::uint64_t pairs = d * 10 + (d >> 8);
    return static_cast<std::uint32_t>((d & 0xFF) * 3600 + (pairs >> 16 & 0xFF) * 60 + (pairs >> 40 & 0xFF));
}
static_assert(clock_word(0x5D39353A39353A39) == 9 * 3600 + 59 * 60 + 59);  // "9:59:59]"
static_assert(clock_word(0x5D30363A30303A31) == 3600 + 60);                  // "1:00:60]", as written
static_assert(clock_word(0x5D303A3A30303A31) == NOT_A_CLOCK);               // "1:00::0]"

// The value of a clock command written "h:mm:ss]" or "hh:mm:ss]", as
// nearly every clock is, read at once; std::nullopt for any other text,
// which the general reader below then reads.
[[gnu::always_inline]] inline std::optional<double> plain_clock(std::string_view s) {
    // The tens of hours, then the shape of "h:mm:ss]".
    unsigned tens = 0;
    if (s.size() >= 9 && s[1] != ':') {
        if (!is_digit(s[0])) return std::nullopt;
        tens = static_cast<unsigned>(s[0] - '0') * 36000;
        s.remove_prefix(1);
    }
    if (s.size() < 8) return std::nullopt;
    const std::uint32_t seconds = clock_word(word_at(s.data()));
    if (seconds == NOT_A_CLOCK) return std::nullopt;
    return static_cast<double>(tens + seconds);
}

// The value of an eval command written as centipawns with two decimals,
// "-0.17]" or "3.05]" (no sign, "+" or "-", one to ten digits), as nearly
// every one is, read at once; std::nullopt for any other text, which
// eval_at then reads.
// `length`, when given, is told how much of `s` the value takes, its "]"
// left out.
[[gnu::always_inline]] inline std::optional<SideScore> plain_eval(std::string_view s, std::size_t* length = nullptr) {
    std::size_t p = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) ++p;
    std::int64_t whole = 0;
    const std::size_t first = p;
    while (p < s.size() && p - first < 10 && is_digit(s[p])) whole = whole * 10 + (s[p++] - '0');
    if (p == first || s.size() < p + 4 || s[p] != '.' || !is_digit(s[p + 1]) || !is_digit(s[p + 2]) || s[p + 3] != ']')
        return std::nullopt;
    const std::int64_t cp = whole * 100 + (s[p + 1] - '0') * 10 + (s[p + 2] - '0');
    if (length) *length = p + 3;
    return SideScore::cp(negative ? -cp : cp);
}

// The eval command whose value starts at `at`; std::nullopt when what stands
// there is not one.
std::optional<SideScore> eval_at(std::string_view s, std::size_t at) {
    std::optional<SideScore> value;
    std::size_t p = at;
    if (p < s.size() && s[p] == '#') {
        ++p;
        bool negative = false;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
        const Digits m = digits(s, p, MAX_DIGITS + 1);
        if (m.count == 0 || m.count > MAX_DIGITS) return std::nullopt;
        value = SideScore::mate(negative ? -m.value : m.value);
        p += m.count;
    } else {
        bool negative = false;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
        // Up to ten digits, then either a point and one or two digits, or an
        // optional bare point.
        const Digits whole = digits(s, p, 10);
        std::size_t q = p + whole.count;
        std::int64_t cp = whole.value * 100;
        if (q < s.size() && s[q] == '.') {
            const Digits frac = digits(s, q + 1, 2);
            if (frac.count == 0 && whole.count == 0) return std::nullopt;
            if (frac.count) cp += frac.value * (frac.count == 1 ? 10 : 1);
            q += 1 + frac.count;
        } else if (whole.count == 0) {
            return std::nullopt;
        }
        value = SideScore::cp(negative ? -cp : cp);
        p = q;
    }
    if (p < s.size() && s[p] == ',') {
        const std::size_t n = digits(s, p + 1, std::string_view::npos).count;
        if (n == 0) return std::nullopt;
        p += 1 + n;
    }
    if (p >= s.size() || s[p] != ']') return std::nullopt;
    return value;
}

constexpr char EVAL_TAG[] = "[%eval";
constexpr char CLOCK_TAG[] = "[%clk";

// An eval command's value as the score it gives. A mate in 0 is the side
// to move's, who has been mated; every other value is white's view.
[[gnu::always_inline]] inline Score seen_by(const SideScore& v, bool turn) {
    if (v.kind == SideScore::Kind::MATE && v.value == 0) return Score{v, turn};
    return Score{turn ? v : -v, turn};
}

// The eval command at `at`, where EVAL_TAG stands, if it is well formed.
std::optional<Score> eval_command(std::string_view comment, std::size_t at, bool turn) {
    const std::size_t p = at + std::size(EVAL_TAG) - 1;
    if (p >= comment.size() || !is_command_space(comment[p])) return std::nullopt;
    auto v = plain_eval(comment.substr(p + 1));
    if (!v) v = eval_at(comment, p + 1);
    if (!v) return std::nullopt;
    return seen_by(*v, turn);
}

// The clock command at `at`, where CLOCK_TAG stands, if it is well formed.
std::optional<double> clock_command(std::string_view comment, std::size_t at) {
    std::size_t p = at + std::size(CLOCK_TAG) - 1;
    if (p >= comment.size() || !is_command_space(comment[p])) return std::nullopt;
    ++p;
    if (const auto seconds = plain_clock(comment.substr(p))) return seconds;
    const Digits h = digits(comment, p, std::string_view::npos);
    if (h.count == 0 || p + h.count >= comment.size() || comment[p + h.count] != ':') return std::nullopt;
    const std::size_t m_at = p + h.count + 1;
    const Digits m = digits(comment, m_at, std::string_view::npos);
    if (m.count == 0 || m_at + m.count >= comment.size() || comment[m_at + m.count] != ':') return std::nullopt;
    const std::size_t s_at = m_at + m.count + 1;
    std::size_t s = digits(comment, s_at, std::string_view::npos).count;
    if (s == 0) return std::nullopt;
    if (s_at + s < comment.size() && comment[s_at + s] == '.')
        s += 1 + digits(comment, s_at + s + 1, std::string_view::npos).count;
    if (s_at + s >= comment.size() || comment[s_at + s] != ']') return std::nullopt;
    // The whole minutes in seconds as an exact integer, then the seconds as
    // the float reader reads them, added as a float: the sum rounds as it
    // does in Python. Hours beyond 64 bits of seconds are summed digit by
    // digit instead of overflowing.
    std::int64_t whole = 0, minutes = 0;
    if (h.count > MAX_DIGITS || m.count > MAX_DIGITS || __builtin_mul_overflow(h.value, 3600, &whole) ||
        __builtin_mul_overflow(m.value, 60, &minutes) || __builtin_add_overflow(whole, minutes, &whole))
        return whole_seconds(comment.substr(p, h.count), comment.substr(m_at, m.count)) +
               decimal(comment.substr(s_at, s));
    return static_cast<double>(whole) + decimal(comment.substr(s_at, s));
}

}  // namespace

std::optional<Score> parse_eval(std::string_view comment, bool turn) {
    for (std::size_t at = find_tag(comment, EVAL_TAG, 0); at != std::string_view::npos;
         at = find_tag(comment, EVAL_TAG, at + 1))
        if (const auto score = eval_command(comment, at, turn)) return score;
    return std::nullopt;
}

std::optional<double> parse_clock(std::string_view comment) {
    for (std::size_t at = find_tag(comment, CLOCK_TAG, 0); at != std::string_view::npos;
         at = find_tag(comment, CLOCK_TAG, at + 1))
        if (const auto seconds = clock_command(comment, at)) return seconds;
    return std::nullopt;
}

namespace {

// The comment of nearly every move of an annotated dump,
// "[%eval 0.17] [%clk 0:03:00]", "[%eval #-3] [%clk 0:03:00]" and the
// like, read straight through into `out`;
// false, `out` untouched, for anything else, which the general reading
// reads. Where both commands read here, they are the first of their kind,
// so the general reading would find them too. The eval is plain_eval's
// shape or a mate without a depth, the clock plain_clock's.
[[gnu::always_inline]] inline bool plain_commands(std::string_view c, bool turn, CommentCommands& out) {
    const char* p = c.data();
    const char* const end = p + c.size();
    // The shortest comment read here: "[%eval #1] [%clk 0:00:00]".
    constexpr std::ptrdiff_t SHORTEST = 25;
    if (c.size() < SHORTEST) return false;
    p += *p == ' ';
    if (end - p < SHORTEST || !tag_at(p, end, "[%eval ")) return false;
    p += 7;
    SideScore eval;
    if (*p == '#') {
        ++p;
        const bool negative = *p == '-';
        p += *p == '-' || *p == '+';
        const char* const first = p;
        std::int64_t moves = 0;
        while (p < end && is_digit(*p) && p - first < static_cast<std::ptrdiff_t>(MAX_DIGITS))
            moves = moves * 10 + (*p++ - '0');
        if (p == first) return false;
        eval = SideScore::mate(negative ? -moves : moves);
    } else {
        std::size_t length = 0;
        const auto cp = plain_eval(std::string_view(p, static_cast<std::size_t>(end - p)), &length);
        if (!cp) return false;
        eval = *cp;
        p += length;
    }
    if (end - p < 8 || word_at(p) != word_at("] [%clk ")) return false;
    p += 8;
    const auto clock = plain_clock(std::string_view(p, static_cast<std::size_t>(end - p)));
    if (!clock) return false;
    out.eval = seen_by(eval, turn);
    out.clock = *clock;
    return true;
}

// Every other comment: each '[' in turn, until both commands are found.
[[gnu::noinline]] CommentCommands general_commands(std::string_view comment, bool turn) {
    CommentCommands found;
    const char* const begin = comment.data();
    const char* const end = begin + comment.size();
    for (const char* p = next_bracket(begin, end); p < end; p = next_bracket(p + 1, end)) {
        const auto at = static_cast<std::size_t>(p - begin);
        // The next '[' is looked for after the tag's name, not inside it.
        if (!found.eval && tag_at(p, end, EVAL_TAG)) {
            found.eval = eval_command(comment, at, turn);
            p += std::size(EVAL_TAG) - 2;
        } else if (!found.clock && tag_at(p, end, CLOCK_TAG)) {
            found.clock = clock_command(comment, at);
            p += std::size(CLOCK_TAG) - 2;
        }
        if (found.eval && found.clock) break;
    }
    return found;
}

}  // namespace

CommentCommands parse_commands(std::string_view comment, bool turn) {
    // One object returned on both paths: written in place, not copied.
    CommentCommands found;
    if (!plain_commands(comment, turn, found)) found = general_commands(comment, turn);
    return found;
}

}  // namespace board

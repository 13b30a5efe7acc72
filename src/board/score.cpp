#include "score.h"

#include <charconv>
#include <cstring>

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

// Digits from `at`, at least `min` and at most `max` of them; the count read.
std::size_t digits(std::string_view s, std::size_t at, std::size_t max) {
    std::size_t n = 0;
    while (at + n < s.size() && n < max && is_digit(s[at + n])) ++n;
    return n;
}

// Values too long for 64 bits are no command that can be read.
constexpr std::size_t MAX_DIGITS = 18;

std::int64_t number(std::string_view s) {
    std::int64_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Digits with at most one point, as the nearest double, as Python's float()
// reads them. Up to 15 significant digits and 22 after the point, the
// quotient of two exact doubles is that double: IEEE division rounds once.
double decimal(std::string_view s) {
    constexpr double POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
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
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
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
        const std::size_t n = digits(s, p, MAX_DIGITS + 1);
        if (n == 0 || n > MAX_DIGITS) return std::nullopt;
        const std::int64_t m = number(s.substr(p, n));
        value = SideScore::mate(negative ? -m : m);
        p += n;
    } else {
        bool negative = false;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
        // Up to ten digits, then either a point and one or two digits, or an
        // optional bare point.
        const std::size_t whole = digits(s, p, 10);
        std::size_t q = p + whole;
        std::int64_t cp = number(s.substr(p, whole)) * 100;
        if (q < s.size() && s[q] == '.') {
            const std::size_t frac = digits(s, q + 1, 2);
            if (frac == 0 && whole == 0) return std::nullopt;
            if (frac) cp += number(s.substr(q + 1, frac)) * (frac == 1 ? 10 : 1);
            q += 1 + frac;
        } else if (whole == 0) {
            return std::nullopt;
        }
        value = SideScore::cp(negative ? -cp : cp);
        p = q;
    }
    if (p < s.size() && s[p] == ',') {
        const std::size_t n = digits(s, p + 1, std::string_view::npos);
        if (n == 0) return std::nullopt;
        p += 1 + n;
    }
    if (p >= s.size() || s[p] != ']') return std::nullopt;
    return value;
}

// Where the value of the next `[%name` command at or after `from` starts
// (past the one white-space character that must follow the name), or npos;
// `from` moves past the command's bracket.
std::size_t next_command(std::string_view s, std::size_t& from, std::string_view tag) {
    const char* const begin = s.data();
    const char* const end = begin + s.size();
    for (const char* p = begin + from; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, '[', static_cast<std::size_t>(end - p)));
        if (!p) break;
        if (static_cast<std::size_t>(end - p) > tag.size() && std::memcmp(p, tag.data(), tag.size()) == 0 &&
            is_command_space(p[tag.size()])) {
            from = static_cast<std::size_t>(p - begin) + 1;
            return from + tag.size();
        }
    }
    from = s.size();
    return std::string_view::npos;
}

}  // namespace

std::optional<Score> parse_eval(std::string_view comment, bool turn) {
    for (std::size_t from = 0, p; (p = next_command(comment, from, "[%eval")) != std::string_view::npos;) {
        const auto v = eval_at(comment, p);
        if (!v) continue;
        // A mate in 0 is the side to move's, who has been mated; every other
        // value is white's view.
        if (v->kind == SideScore::Kind::MATE && v->value == 0) return Score{*v, turn};
        return Score{turn ? *v : -*v, turn};
    }
    return std::nullopt;
}

std::optional<double> parse_clock(std::string_view comment) {
    for (std::size_t from = 0, p; (p = next_command(comment, from, "[%clk")) != std::string_view::npos;) {
        const std::size_t h = digits(comment, p, MAX_DIGITS + 1);
        if (h == 0 || h > MAX_DIGITS || p + h >= comment.size() || comment[p + h] != ':') continue;
        const std::size_t m_at = p + h + 1;
        const std::size_t m = digits(comment, m_at, MAX_DIGITS + 1);
        if (m == 0 || m > MAX_DIGITS || m_at + m >= comment.size() || comment[m_at + m] != ':') continue;
        const std::size_t s_at = m_at + m + 1;
        std::size_t s = digits(comment, s_at, std::string_view::npos);
        if (s == 0) continue;
        if (s_at + s < comment.size() && comment[s_at + s] == '.') s += 1 + digits(comment, s_at + s + 1, std::string_view::npos);
        if (s_at + s >= comment.size() || comment[s_at + s] != ']') continue;
        const std::int64_t whole = number(comment.substr(p, h)) * 3600 + number(comment.substr(m_at, m)) * 60;
        // The seconds as the float reader reads them, then added as a float,
        // so the sum rounds as it does in Python.
        return static_cast<double>(whole) + decimal(comment.substr(s_at, s));
    }
    return std::nullopt;
}

}  // namespace board

#include "score.h"

#include <algorithm>
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
    if (at >= s.size()) return 0;
    const std::size_t limit = std::min(s.size() - at, max);
    const char* const p = s.data() + at;
    std::size_t n = 0;
    while (n < limit && is_digit(p[n])) ++n;
    return n;
}

// Values too long for 64 bits are no command that can be read.
constexpr std::size_t MAX_DIGITS = 18;

std::int64_t number(std::string_view s) {
    std::int64_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// The offset of the first `tag` in `s` at or after `from`, or npos: as
// s.find(tag, from), which for these short texts spends most of its time
// in generic setup. Comments hold few '[', so a byte search for it leads.
std::size_t find_tag(std::string_view s, std::string_view tag, std::size_t from) {
    const char* const end = s.data() + s.size();
    for (const char* p = s.data() + from; p < end;) {
        p = static_cast<const char*>(std::memchr(p, '[', static_cast<std::size_t>(end - p)));
        if (!p) break;
        if (static_cast<std::size_t>(end - p) >= tag.size() && std::memcmp(p, tag.data(), tag.size()) == 0)
            return static_cast<std::size_t>(p - s.data());
        ++p;
    }
    return std::string_view::npos;
}

// The value of a clock command written "h:mm:ss]" or "hh:mm:ss]", as
// nearly every clock is, read at once; std::nullopt for any other text,
// which the general reader below then reads.
std::optional<double> plain_clock(std::string_view s) {
    const auto digit = [&](std::size_t i) { return static_cast<unsigned>(s[i] - '0'); };
    unsigned hours;
    std::size_t at;
    if (s.size() >= 8 && digit(0) < 10 && s[1] == ':') {
        hours = digit(0);
        at = 2;
    } else if (s.size() >= 9 && digit(0) < 10 && digit(1) < 10 && s[2] == ':') {
        hours = digit(0) * 10 + digit(1);
        at = 3;
    } else {
        return std::nullopt;
    }
    if (s.size() < at + 6 || digit(at) > 9 || digit(at + 1) > 9 || s[at + 2] != ':' || digit(at + 3) > 9 ||
        digit(at + 4) > 9 || s[at + 5] != ']')
        return std::nullopt;
    const unsigned minutes = digit(at) * 10 + digit(at + 1), seconds = digit(at + 3) * 10 + digit(at + 4);
    return static_cast<double>(hours * 3600 + minutes * 60 + seconds);
}

// The value of an eval command written as centipawns with two decimals,
// "-0.17]" or "3.05]" (no sign, "+" or "-", one to ten digits), as nearly
// every one is, read at once; std::nullopt for any other text, which
// eval_at then reads.
std::optional<SideScore> plain_eval(std::string_view s) {
    std::size_t p = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) ++p;
    std::int64_t whole = 0;
    const std::size_t first = p;
    while (p < s.size() && p - first < 10 && is_digit(s[p])) whole = whole * 10 + (s[p++] - '0');
    if (p == first || s.size() < p + 4 || s[p] != '.' || !is_digit(s[p + 1]) || !is_digit(s[p + 2]) || s[p + 3] != ']')
        return std::nullopt;
    const std::int64_t cp = whole * 100 + (s[p + 1] - '0') * 10 + (s[p + 2] - '0');
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

constexpr std::string_view EVAL_TAG = "[%eval";
constexpr std::string_view CLOCK_TAG = "[%clk";

// The eval command at `at`, where EVAL_TAG stands, if it is well formed.
std::optional<Score> eval_command(std::string_view comment, std::size_t at, bool turn) {
    const std::size_t p = at + EVAL_TAG.size();
    if (p >= comment.size() || !is_command_space(comment[p])) return std::nullopt;
    auto v = plain_eval(comment.substr(p + 1));
    if (!v) v = eval_at(comment, p + 1);
    if (!v) return std::nullopt;
    // A mate in 0 is the side to move's, who has been mated; every other
    // value is white's view.
    if (v->kind == SideScore::Kind::MATE && v->value == 0) return Score{*v, turn};
    return Score{turn ? *v : -*v, turn};
}

// The clock command at `at`, where CLOCK_TAG stands, if it is well formed.
std::optional<double> clock_command(std::string_view comment, std::size_t at) {
    std::size_t p = at + CLOCK_TAG.size();
    if (p >= comment.size() || !is_command_space(comment[p])) return std::nullopt;
    ++p;
    if (const auto seconds = plain_clock(comment.substr(p))) return seconds;
    const std::size_t h = digits(comment, p, MAX_DIGITS + 1);
    if (h == 0 || h > MAX_DIGITS || p + h >= comment.size() || comment[p + h] != ':') return std::nullopt;
    const std::size_t m_at = p + h + 1;
    const std::size_t m = digits(comment, m_at, MAX_DIGITS + 1);
    if (m == 0 || m > MAX_DIGITS || m_at + m >= comment.size() || comment[m_at + m] != ':') return std::nullopt;
    const std::size_t s_at = m_at + m + 1;
    std::size_t s = digits(comment, s_at, std::string_view::npos);
    if (s == 0) return std::nullopt;
    if (s_at + s < comment.size() && comment[s_at + s] == '.') s += 1 + digits(comment, s_at + s + 1, std::string_view::npos);
    if (s_at + s >= comment.size() || comment[s_at + s] != ']') return std::nullopt;
    const std::int64_t whole = number(comment.substr(p, h)) * 3600 + number(comment.substr(m_at, m)) * 60;
    // The seconds as the float reader reads them, then added as a float,
    // so the sum rounds as it does in Python. Whole seconds of up to 15
    // digits are exact as a double: no reader is needed for them.
    double seconds = 0;
    if (s <= 15 && digits(comment, s_at, s) == s)
        seconds = static_cast<double>(number(comment.substr(s_at, s)));
    else
        std::from_chars(comment.data() + s_at, comment.data() + s_at + s, seconds);
    return static_cast<double>(whole) + seconds;
}

bool tag_at(std::string_view s, std::size_t at, std::string_view tag) {
    return s.size() - at >= tag.size() && std::memcmp(s.data() + at, tag.data(), tag.size()) == 0;
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

CommentCommands parse_commands(std::string_view comment, bool turn) {
    CommentCommands found;
    bool want_eval = true, want_clock = true;
    const char* const begin = comment.data();
    const char* const end = begin + comment.size();
    for (const char* p = begin; (want_eval || want_clock) && p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, '[', static_cast<std::size_t>(end - p)));
        if (!p) break;
        const auto at = static_cast<std::size_t>(p - begin);
        if (want_eval && tag_at(comment, at, EVAL_TAG)) {
            found.eval = eval_command(comment, at, turn);
            want_eval = !found.eval;
        } else if (want_clock && tag_at(comment, at, CLOCK_TAG)) {
            found.clock = clock_command(comment, at);
            want_clock = !found.clock;
        }
    }
    return found;
}

}  // namespace board

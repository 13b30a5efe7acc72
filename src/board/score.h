#pragma once

// Evaluations as engines and annotated game records give them: a score from
// one side's point of view, and that score paired with the side it is for.
// The order and the arithmetic are those Python chess programs already use:
// being mated now is the worst score, mate in 1 the best short of a mate
// given, and every centipawn score lies between the mates.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace board {

struct SideScore {
    // MATE with value 0: the side is mated. MATE_GIVEN: the side has mated.
    enum class Kind : std::uint8_t { CP, MATE, MATE_GIVEN };
    Kind kind = Kind::CP;
    std::int64_t value = 0;  // centipawns, or moves to mate (negative: being mated)

    static constexpr SideScore cp(std::int64_t v) { return {Kind::CP, v}; }
    static constexpr SideScore mate(std::int64_t moves) { return {Kind::MATE, moves}; }
    static constexpr SideScore mate_given() { return {Kind::MATE_GIVEN, 0}; }

    constexpr bool is_mate() const { return kind != Kind::CP; }
    constexpr std::optional<std::int64_t> moves_to_mate() const {
        if (kind == Kind::CP) return std::nullopt;
        return kind == Kind::MATE ? value : 0;
    }
    // Centipawns; mates count as `mate_score` less the moves to it, when given.
    constexpr std::optional<std::int64_t> score(std::optional<std::int64_t> mate_score) const {
        if (kind == Kind::CP) return value;
        if (!mate_score) return std::nullopt;
        if (kind == Kind::MATE_GIVEN) return *mate_score;
        return value > 0 ? *mate_score - value : -*mate_score - value;
    }
    // The same score from the other side. A mate given and being mated now
    // are each other's negation.
    constexpr SideScore operator-() const {
        switch (kind) {
            case Kind::CP: return cp(-value);
            case Kind::MATE: return value == 0 ? mate_given() : mate(-value);
            case Kind::MATE_GIVEN: break;
        }
        return mate(0);
    }
    constexpr SideScore absolute() const {
        if (kind == Kind::CP) return cp(value < 0 ? -value : value);
        if (kind == Kind::MATE && value != 0) return mate(value < 0 ? -value : value);
        return mate_given();
    }
    // Tuples in the total order: compared whole, they rank the scores.
    constexpr auto order_key() const {
        const std::int64_t m = kind == Kind::MATE ? value : 0;
        return std::tuple(kind == Kind::MATE_GIVEN, kind == Kind::MATE && m > 0, kind == Kind::CP, -m,
                          kind == Kind::CP ? value : 0);
    }
    friend constexpr bool operator==(const SideScore& a, const SideScore& b) { return a.order_key() == b.order_key(); }
    friend constexpr auto operator<=>(const SideScore& a, const SideScore& b) { return a.order_key() <=> b.order_key(); }

    // "Cp(+17)", "Mate(-3)", "MateGiven".
    std::string repr() const;
    // "+17", "#-3", "#+0".
    std::string str() const;
};

// A score and the side whose point of view it takes (true for white).
struct Score {
    SideScore relative;
    bool turn = true;

    constexpr SideScore pov(bool color) const { return color == turn ? relative : -relative; }
    constexpr SideScore white() const { return pov(true); }
    friend constexpr bool operator==(const Score& a, const Score& b) { return a.white() == b.white(); }
};

// The first well-formed `[%eval ...]` command of a comment ("0.17", "-1.5",
// "#3", "#-3", each with an optional ",depth"), which gives white's point of
// view, as a score for `turn`, the side to move after the commented move.
// "#0" is read as the side to move being mated.
std::optional<Score> parse_eval(std::string_view comment, bool turn);
// The first well-formed `[%clk h:mm:ss]` command (fractions of a second
// allowed), in seconds.
std::optional<double> parse_clock(std::string_view comment);
// Both, as parse_eval and parse_clock give them, read in one pass.
struct CommentCommands {
    std::optional<Score> eval;
    std::optional<double> clock;
};
CommentCommands parse_commands(std::string_view comment, bool turn);

}  // namespace board

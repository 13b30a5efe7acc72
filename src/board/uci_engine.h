#pragma once

// The text side of talking to a chess engine over UCI: reading the lines it
// writes (info, option, id, bestmove) and writing the position and search
// commands. No process or I/O here; the binding owns those.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "score.h"

namespace board {

// What an `info` line says, read as python-chess reads it: every field is
// absent unless the line carried it. Several lines merge into one record,
// the later value winning, as an analysis keeps the latest of each.
struct UciInfo {
    std::optional<std::int64_t> depth, seldepth, nodes, multipv, currmovenumber, hashfull, nps, tbhits,
        cpuload;
    std::optional<std::int64_t> time_ms;
    std::optional<double> ebf;
    // From the side to move's point of view, as the engine gives it.
    std::optional<SideScore> score;
    bool lowerbound = false;
    bool upperbound = false;
    std::optional<Move> currmove;
    // Legal moves only: the line is cut at the first move that is not.
    std::optional<std::vector<Move>> pv;
    std::optional<std::array<std::int64_t, 3>> wdl;
    std::optional<std::string> string;

    void merge(UciInfo&& later);
    bool empty() const;
};

// Reads the words after `info`. `root` is the searched position; its copy
// checks the principal variation move by move. Unreadable fields are skipped.
UciInfo parse_uci_info(std::string_view rest, const BoardState& root);

// One `option` line: `name`, `type`, `default`, `min`, `max` and any number
// of `var` choices. A name may hold spaces; a keyword counts only the first
// time it appears (except `var`), as python-chess splits the line.
struct UciOption {
    std::string name;
    std::string type;
    std::optional<std::string> default_value;
    std::optional<std::int64_t> min, max;
    std::vector<std::string> choices;
};
UciOption parse_uci_option(std::string_view rest);

// `bestmove <move> [ponder <move>]`: the words, unchecked. An empty move
// means the engine sent none ("(none)", "NULL" or nothing).
struct UciBestMove {
    std::string move;
    std::string ponder;
};
UciBestMove parse_uci_bestmove(std::string_view rest);

// The first word of a line and what follows it (leading blanks dropped).
std::pair<std::string_view, std::string_view> next_word(std::string_view line);

// `position startpos moves ...` or `position fen <fen> moves ...` for a
// board: its starting text and history when it has one (so the engine sees
// repetitions), else its current position.
std::string uci_position_command(const Board& b);

}  // namespace board

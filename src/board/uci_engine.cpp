#include "uci_engine.h"

#include <charconv>
#include <cstdlib>

namespace board {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// A whole word as a decimal integer, with Python's optional sign.
std::optional<std::int64_t> to_int(std::string_view w) {
    if (!w.empty() && w.front() == '+') w.remove_prefix(1);
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc() || end != w.data() + w.size() || w.empty()) return std::nullopt;
    return v;
}

std::optional<double> to_float(std::string_view w) {
    if (w.empty()) return std::nullopt;
    std::string text(w);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

// python-chess takes a word for a move when it starts like one (or is a
// null move or a drop) and then insists on it being legal.
bool looks_like_move(std::string_view w) {
    if (w.size() >= 4 && w[0] >= 'a' && w[0] <= 'h' && w[1] >= '1' && w[1] <= '8' && w[2] >= 'a' &&
        w[2] <= 'h' && w[3] >= '1' && w[3] <= '8')
        return true;
    if (w == "0000") return true;
    return w.size() >= 4 && std::string_view("PNBRQK").find(w[0]) != std::string_view::npos && w[1] == '@';
}

}  // namespace

std::pair<std::string_view, std::string_view> next_word(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    std::size_t j = i;
    while (j < line.size() && !is_blank(line[j])) ++j;
    std::size_t k = j;
    while (k < line.size() && is_blank(line[k])) ++k;
    return {line.substr(i, j - i), line.substr(k)};
}

void UciInfo::merge(UciInfo&& o) {
    auto take = [](auto& mine, auto& theirs) {
        if (theirs) mine = std::move(theirs);
    };
    take(depth, o.depth);
    take(seldepth, o.seldepth);
    take(nodes, o.nodes);
    take(multipv, o.multipv);
    take(currmovenumber, o.currmovenumber);
    take(hashfull, o.hashfull);
    take(nps, o.nps);
    take(tbhits, o.tbhits);
    take(cpuload, o.cpuload);
    take(time_ms, o.time_ms);
    take(ebf, o.ebf);
    take(score, o.score);
    lowerbound = lowerbound || o.lowerbound;
    upperbound = upperbound || o.upperbound;
    take(currmove, o.currmove);
    take(pv, o.pv);
    take(wdl, o.wdl);
    take(string, o.string);
}

bool UciInfo::empty() const {
    return !depth && !seldepth && !nodes && !multipv && !currmovenumber && !hashfull && !nps && !tbhits &&
           !cpuload && !time_ms && !ebf && !score && !lowerbound && !upperbound && !currmove && !pv && !wdl &&
           !string;
}

UciInfo parse_uci_info(std::string_view rest, const BoardState& root) {
    UciInfo info;
    std::string_view word;
    while (!trim(rest).empty()) {
        std::tie(word, rest) = next_word(rest);
        auto number = [&](std::optional<std::int64_t>& field) {
            std::string_view value;
            std::tie(value, rest) = next_word(rest);
            if (auto v = to_int(value)) field = v;
        };
        if (word == "string") {
            info.string = std::string(rest);
            break;
        } else if (word == "depth") {
            number(info.depth);
        } else if (word == "seldepth") {
            number(info.seldepth);
        } else if (word == "nodes") {
            number(info.nodes);
        } else if (word == "multipv") {
            number(info.multipv);
        } else if (word == "currmovenumber") {
            number(info.currmovenumber);
        } else if (word == "hashfull") {
            number(info.hashfull);
        } else if (word == "nps") {
            number(info.nps);
        } else if (word == "tbhits") {
            number(info.tbhits);
        } else if (word == "cpuload") {
            number(info.cpuload);
        } else if (word == "time") {
            number(info.time_ms);
        } else if (word == "ebf") {
            std::string_view value;
            std::tie(value, rest) = next_word(rest);
            if (auto v = to_float(value)) info.ebf = v;
        } else if (word == "score") {
            std::string_view kind, value;
            std::tie(kind, rest) = next_word(rest);
            std::tie(value, rest) = next_word(rest);
            auto [token, after] = next_word(rest);
            if (token == "lowerbound" || token == "upperbound") {
                (token == "lowerbound" ? info.lowerbound : info.upperbound) = true;
                rest = after;
            }
            // "mate 0" and "mate -0" both read as the side to move mated.
            if (auto v = to_int(value)) {
                if (kind == "cp")
                    info.score = SideScore::cp(*v);
                else if (kind == "mate")
                    info.score = SideScore::mate(*v);
            }
        } else if (word == "currmove") {
            std::string_view value;
            std::tie(value, rest) = next_word(rest);
            if (auto m = Move::from_uci(value)) info.currmove = *m;
        } else if (word == "pv") {
            std::vector<Move> line;
            Board scratch(root);
            bool legal = true;
            for (;;) {
                auto [w, after] = next_word(rest);
                if (!looks_like_move(w)) break;
                rest = after;
                if (!legal) continue;
                try {
                    line.push_back(scratch.apply_uci(w));
                } catch (const Invalid&) {
                    legal = false;  // the rest of the line is dropped, not read as fields
                }
            }
            info.pv = std::move(line);
        } else if (word == "wdl") {
            std::string_view w, d, l;
            std::tie(w, rest) = next_word(rest);
            std::tie(d, rest) = next_word(rest);
            std::tie(l, rest) = next_word(rest);
            auto a = to_int(w), b = to_int(d), c = to_int(l);
            if (a && b && c) info.wdl = std::array<std::int64_t, 3>{*a, *b, *c};
        }
    }
    return info;
}

UciOption parse_uci_option(std::string_view rest) {
    UciOption opt;
    enum Field { NONE, NAME, TYPE, DEFAULT, MIN, MAX, VAR } current = NONE;
    bool seen[VAR] = {};
    std::string parts[VAR];
    std::string var_text;
    bool in_var = false;
    auto flush_var = [&] {
        if (in_var) opt.choices.push_back(var_text);
        var_text.clear();
        in_var = false;
    };
    std::string_view word;
    while (!trim(rest).empty()) {
        std::tie(word, rest) = next_word(rest);
        Field f = word == "name"      ? NAME
                  : word == "type"    ? TYPE
                  : word == "default" ? DEFAULT
                  : word == "min"     ? MIN
                  : word == "max"     ? MAX
                  : word == "var"     ? VAR
                                      : NONE;
        if (f == VAR) {
            flush_var();
            in_var = true;
            current = VAR;
            continue;
        }
        if (f != NONE && !seen[f]) {
            flush_var();
            seen[f] = true;
            current = f;
            continue;
        }
        if (current == VAR) {
            if (!var_text.empty()) var_text += ' ';
            var_text += word;
        } else if (current != NONE) {
            std::string& p = parts[current];
            if (!p.empty()) p += ' ';
            p += word;
        }
    }
    flush_var();
    opt.name = parts[NAME];
    opt.type = parts[TYPE];
    if (seen[DEFAULT]) opt.default_value = parts[DEFAULT];
    if (!parts[MIN].empty()) opt.min = to_int(parts[MIN]);
    if (!parts[MAX].empty()) opt.max = to_int(parts[MAX]);
    return opt;
}

UciBestMove parse_uci_bestmove(std::string_view rest) {
    UciBestMove best;
    auto [move, after] = next_word(rest);
    if (move.empty() || move == "(none)" || move == "NULL") return best;
    best.move = std::string(move);
    // Some engines write promotions in capitals.
    for (char& c : best.move)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    auto [key, after2] = next_word(after);
    auto [ponder, rest2] = next_word(after2);
    (void)rest2;
    if (key == "ponder" && !ponder.empty() && ponder != "(none)" && ponder != "NULL") {
        best.ponder = std::string(ponder);
        for (char& c : best.ponder)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return best;
}

std::string uci_position_command(const Board& b) {
    std::string out = "position ";
    if (b.history.empty()) {
        std::string fen = b.fen();
        if (fen == STARTING_FEN)
            out += "startpos";
        else
            out += "fen " + fen;
        return out;
    }
    const std::string_view start = b.starting_fen.view();
    if (!b.starting_fen.present() || start == STARTING_FEN)
        out += "startpos";
    else
        out += "fen " + std::string(start);
    out += " moves";
    for (const HistoryEntry& h : b.history) {
        out += ' ';
        out += h.move.uci();
    }
    return out;
}

}  // namespace board

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"

namespace board {
namespace {

constexpr std::string_view TEXT =
    "[Event \"a\"]\n[Site \"b\"]\n\n1. e4 { [%clk 0:03:00] } e5 *\n\n"
    "[Event \"c\"]\n\n1. d4 d5 2. c4 1-0\n\n1. Nf3 *\n";

using Games = std::vector<std::pair<Headers, std::string>>;

Games drain(PgnReader& reader) {
    Games out;
    RawGame raw;
    while (reader.next_raw(raw) == PgnReader::Status::GAME) out.emplace_back(raw.headers, std::string(raw.movetext));
    return out;
}

Games fed(std::size_t step) {
    PgnReader reader(false);
    Games out;
    for (std::size_t at = 0; at < TEXT.size(); at += step) {
        reader.feed(TEXT.substr(at, step));
        for (auto& g : drain(reader)) out.push_back(std::move(g));
    }
    reader.finish();
    for (auto& g : drain(reader)) out.push_back(std::move(g));
    return out;
}

// Text written into the room reserve() gives reads as the same text fed; a
// read that fails (nothing committed) or comes up short leaves no bytes of
// the room behind.
TEST(PgnReader, TextWrittenIntoReservedRoomReadsAsFedText) {
    const Games expected = fed(TEXT.size());
    ASSERT_EQ(expected.size(), 3u);
    for (std::size_t step : {1u, 7u, 40u, 1000u}) {
        EXPECT_EQ(fed(step), expected) << step;
        PgnReader reader(false);
        Games out;
        for (std::size_t at = 0; at < TEXT.size(); at += step) {
            std::memset(reader.reserve(64), '{', 64);
            reader.commit(0);
            char* room = reader.reserve(step + 64);
            const std::size_t n = std::min(step, TEXT.size() - at);
            std::memcpy(room, TEXT.data() + at, n);
            std::memset(room + n, '{', 64);
            reader.commit(n);
            for (auto& g : drain(reader)) out.push_back(std::move(g));
        }
        reader.reserve(16);
        reader.commit(0);
        reader.finish();
        for (auto& g : drain(reader)) out.push_back(std::move(g));
        EXPECT_EQ(out, expected) << step;
    }
}


// ---------------------------------------------------------------- splitting

// The splitting rules read line by line, as plainly as they can be written:
// the model the reader's sweeps must agree with. The comment state is
// followed through every byte.
struct ModelGame {
    Headers headers;
    std::string movetext;
    std::string first_line;
    bool operator==(const ModelGame&) const = default;
};

bool model_blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return is_space(c); });
}

std::string_view model_trimmed(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::pair<std::string, std::string>> model_tag(std::string_view line) {
    const std::string_view t = model_trimmed(line);
    if (t.size() < 2 || t[0] != '[' || !t.ends_with("\"]")) return std::nullopt;
    std::size_t i = 1;
    if (i >= t.size() || !is_tag_name(t.substr(1, 1))) return std::nullopt;
    while (i < t.size() && is_tag_name(std::string(1, 'A') + t[i])) ++i;
    const std::size_t spaces = i;
    while (i < t.size() && is_space(t[i])) ++i;
    if (i == spaces || i >= t.size() || t[i] != '"' || i + 1 > t.size() - 2) return std::nullopt;
    const std::string_view value = t.substr(i + 1, t.size() - 2 - (i + 1));
    if (value.find('\r') != std::string_view::npos) return std::nullopt;
    return std::pair{std::string(t.substr(1, spaces - 1)), std::string(value)};
}

// Whether a comment is open after `line`, given whether one was before it.
bool model_comment_after(std::string_view line, bool open) {
    bool rest = !open && !line.empty() && line[0] == '%';
    for (char c : line) {
        if (rest || c == '\n') continue;
        if (open) {
            open = c != '}';
        } else if (c == '{') {
            open = true;
        } else if (c == ';') {
            rest = true;
        }
    }
    return open;
}

std::vector<ModelGame> model_split(std::string_view text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t eol = text.find('\n', at);
        const std::size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        lines.emplace_back(text.substr(at, next - at));
        at = next;
    }
    std::vector<ModelGame> games;
    std::size_t i = 0;
    for (;;) {
        while (i < lines.size()) {
            if (lines[i].starts_with("\xEF\xBB\xBF")) {
                lines[i].erase(0, 3);
                if (lines[i].empty()) ++i;  // the mark alone, at the end of the text
                continue;
            }
            if (!model_blank(lines[i]) && lines[i][0] != '%' && lines[i][0] != ';') break;
            ++i;
        }
        if (i == lines.size()) return games;
        ModelGame g;
        g.first_line = std::string(model_trimmed(lines[i]));
        bool blank_seen = false;
        for (; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (line[0] == '%' || line[0] == ';') continue;
            if (!blank_seen && model_blank(line)) {
                blank_seen = true;
                continue;
            }
            if (line[0] != '[') break;
            blank_seen = false;
            if (auto tag = model_tag(line)) g.headers.push_back(std::move(*tag));
        }
        bool open = false;
        for (; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            const bool candidate = line[0] == '[' || model_blank(line);
            if (candidate && !open) {
                if (line[0] != '[') ++i;
                break;
            }
            open = model_comment_after(line, open);
            g.movetext += line;
        }
        games.push_back(std::move(g));
    }
}

// Lines that test the splitter's corners: tag lines well and badly formed
// (carriage returns, tabs, a name alone, `"]` in the value), blank lines of
// white space, escape and semicolon lines, comments that open and close
// across lines with tag-like and blank lines inside, lines that start with
// white space, byte-order marks, and movetext lines of lengths about the
// sweep's block of 64 bytes.
std::vector<std::string> corner_lines() {
    std::vector<std::string> lines = {
        "[Event \"Rated Blitz game\"]", "[Site \"https://example.org/abcdefgh\"]", "[Result \"1-0\"]",
        "[White \"a \\\"b\\\" c\"]", "[A\t\"tab\"]", "[A  \"two spaces\"]  ", "[Round \"1\"]\r", "[CR \"in\rside\"]",
        "[Name]", "[ \"no name\"]", "[Q \"x\"] trailing", "[Q \"a\"] \"]", "[E \"\"]", "[x_+#=:-9 \"odd name\"]",
        "[", "[\"", "[A \"", "[A\"x\"]", "[A \"x\"\r]", "[A\r\"x\"]", "[A \"x\"]\r\r", "[A \"\xC3\xA9t\xC3\xA9\"]",
        "", " ", "\t", "\r", " \r", "\f", "% escape { not a comment", "%", "; a comment line { no",
        "1. e4 e5 2. Nf3", "{ a comment", "that closes } 2... Nc6", "{ one } two { three", "four }",
        "text ; rest { of line", "{ [%eval 0.17] [%clk 0:05:00] }", " 1. e4 leading space", "\t{ tab then brace",
        "{ [Event \"inside a comment\"] }", "}", "{", "1-0", "*", "\xEF\xBB\xBF[Event \"marked\"]", "\xEF\xBB\xBF",
    };
    for (std::size_t n : {62u, 63u, 64u, 65u, 66u, 127u, 128u, 129u, 200u}) {
        std::string line = "1. d4 { ";
        while (line.size() + 1 < n) line += 'x';
        lines.push_back(line + "}");
        lines.push_back(std::string(n, 'y'));
    }
    return lines;
}

std::vector<ModelGame> reader_split(std::string_view text, std::size_t step, bool into) {
    PgnReader reader(false);
    std::vector<ModelGame> out;
    RawGame raw;
    const auto drain = [&] {
        while (reader.next_raw(raw) == PgnReader::Status::GAME) {
            ModelGame g{raw.headers, std::string(raw.movetext), std::string(raw.first_line)};
            // next_raw's strings and next_split's views are the same tags.
            EXPECT_EQ(raw.tags.size(), raw.headers.size());
            for (std::size_t i = 0; i < raw.tags.size() && i < raw.headers.size(); ++i) {
                EXPECT_EQ(raw.tags[i].first, raw.headers[i].first);
                EXPECT_EQ(raw.tags[i].second, raw.headers[i].second);
            }
            out.push_back(std::move(g));
        }
    };
    for (std::size_t at = 0; at < text.size(); at += step) {
        const std::string_view block = text.substr(at, step);
        if (into) {
            char* room = reader.reserve(block.size() + 32);
            std::memcpy(room, block.data(), block.size());
            std::memset(room + block.size(), '\n', 32);  // bytes past the count are not text
            reader.commit(block.size());
        } else {
            reader.feed(block);
        }
        drain();
    }
    reader.finish();
    drain();
    return out;
}

// Random texts of corner lines read as the model reads them, whatever the
// blocks they arrive in.
TEST(PgnReader, SplitsAsTheLineModelDoes) {
    const std::vector<std::string> pool = corner_lines();
    std::mt19937 rng(20261209);
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const int n = std::uniform_int_distribution<int>(1, 40)(rng);
        for (int k = 0; k < n; ++k) {
            text += pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng)];
            if (k + 1 < n || rng() % 2) text += '\n';
        }
        const std::vector<ModelGame> expected = model_split(text);
        for (bool wide : {true, false}) {
            PgnReader::use_wide_sweep(wide);
            for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{65}, text.size() + 1}) {
                EXPECT_EQ(reader_split(text, step, false), expected) << "step " << step << " text:\n" << text;
                EXPECT_EQ(reader_split(text, step, true), expected) << "step " << step << " text:\n" << text;
            }
        }
        PgnReader::use_wide_sweep(true);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace board

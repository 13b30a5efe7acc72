#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace board {

// White space as PGN and FEN texts use it: ASCII only.
constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// An optional UTF-8 text in 16 bytes: short texts (every castling field a real
// game produces) live inline, so copying a snapshot never touches the heap;
// longer ones own a heap block. Absent and present-but-empty stay distinct.
class Text {
public:
    Text() noexcept { absent_init(); }
    explicit Text(std::string_view s) {
        absent_init();
        assign(s);
    }
    // Refers to a string with static storage; never freed.
    static Text from_static(std::string_view s) noexcept {
        Text t;
        t.set_ext(s.data(), s.size(), STATIC);
        return t;
    }

    Text(const Text& o) { copy_from(o); }
    Text(Text&& o) noexcept {
        std::memcpy(raw_, o.raw_, sizeof raw_);
        o.absent_init();
    }
    Text& operator=(const Text& o) {
        if (this != &o) {
            Text copy(o);
            *this = std::move(copy);
        }
        return *this;
    }
    Text& operator=(Text&& o) noexcept {
        if (this != &o) {
            release();
            std::memcpy(raw_, o.raw_, sizeof raw_);
            o.absent_init();
        }
        return *this;
    }
    ~Text() { release(); }

    bool present() const noexcept { return tag() != ABSENT; }
    std::string_view view() const noexcept {
        const std::uint8_t t = tag();
        if (t <= INLINE_MAX) return {reinterpret_cast<const char*>(raw_), t};
        if (t == ABSENT) return {};
        return {ext_ptr(), ext_len()};
    }
    // Bytes owned on the heap, for size reports.
    std::size_t heap_bytes() const noexcept { return tag() == HEAP ? ext_len() + 1 : 0; }

    void reset() noexcept {
        release();
        absent_init();
    }
    // `s` may point into this text: it is copied out before the old bytes
    // are cleared or freed.
    void assign(std::string_view s) {
        if (s.size() <= INLINE_MAX) {
            unsigned char staged[sizeof raw_] = {};
            if (!s.empty()) std::memcpy(staged, s.data(), s.size());  // an empty view's data may be null
            staged[TAG] = static_cast<unsigned char>(s.size());
            release();
            std::memcpy(raw_, staged, sizeof raw_);
            return;
        }
        char* p = new char[s.size() + 1];
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        release();
        set_ext(p, s.size(), HEAP);
    }

    // Drops every byte equal to `a` or `b` from an inline text, in place;
    // false, with nothing changed, for a text kept elsewhere. Bytes past the
    // length are never read, so they are left as they are.
    bool erase_inline(char a, char b) noexcept {
        const std::uint8_t n = tag();
        if (n > INLINE_MAX) return false;
        std::uint8_t kept = 0;
        for (std::uint8_t i = 0; i < n; ++i) {
            const unsigned char c = raw_[i];
            raw_[kept] = c;
            kept += c != static_cast<unsigned char>(a) && c != static_cast<unsigned char>(b);
        }
        raw_[TAG] = kept;
        return true;
    }

    friend bool operator==(const Text& a, const Text& b) noexcept {
        return a.present() == b.present() && a.view() == b.view();
    }

private:
    static constexpr std::size_t TAG = 15;
    static constexpr std::uint8_t INLINE_MAX = 15;
    static constexpr std::uint8_t HEAP = 0xFD;
    static constexpr std::uint8_t STATIC = 0xFE;
    static constexpr std::uint8_t ABSENT = 0xFF;

    std::uint8_t tag() const noexcept { return raw_[TAG]; }
    const char* ext_ptr() const noexcept {
        const char* p;
        std::memcpy(&p, raw_, sizeof p);
        return p;
    }
    std::uint32_t ext_len() const noexcept {
        std::uint32_t n;
        std::memcpy(&n, raw_ + 8, sizeof n);
        return n;
    }
    void set_ext(const char* p, std::size_t len, std::uint8_t tag) noexcept {
        std::memset(raw_, 0, sizeof raw_);
        std::memcpy(raw_, &p, sizeof p);
        auto n = static_cast<std::uint32_t>(len);
        std::memcpy(raw_ + 8, &n, sizeof n);
        raw_[TAG] = tag;
    }
    void absent_init() noexcept {
        std::memset(raw_, 0, sizeof raw_);
        raw_[TAG] = ABSENT;
    }
    void release() noexcept {
        if (tag() == HEAP) delete[] ext_ptr();
    }
    void copy_from(const Text& o) {
        if (o.tag() == HEAP) {
            absent_init();
            assign(o.view());
        } else {
            std::memcpy(raw_, o.raw_, sizeof raw_);
        }
    }

    // Inline bytes 0..14 and the tag in byte 15; a heap or static text keeps
    // its pointer in bytes 0..7 and its length in bytes 8..11.
    alignas(8) unsigned char raw_[16];
};

static_assert(sizeof(Text) == 16);

}  // namespace board

#include "attacks.h"

namespace board {

std::array<Bitboard, MAGICS.size> SLIDER_ATTACKS;

namespace {

Bitboard walk(int s, Bitboard occupied, bool diagonal) {
    Bitboard attacks = 0;
    for (int d = 0; d < 8; ++d) {
        bool is_diagonal = DIR_RANK[d] != 0 && DIR_FILE[d] != 0;
        if (is_diagonal != diagonal) continue;
        Bitboard ray = RAYS[d][s];
        Bitboard blockers = ray & occupied;
        if (blockers) {
            // The nearest blocker ends the ray: lowest index on rising rays.
            int b = d < 4 ? std::countr_zero(blockers) : 63 - std::countl_zero(blockers);
            ray &= ~RAYS[d][b];
        }
        attacks |= ray;
    }
    return attacks;
}

bool fill() {
    for (int s = 0; s < 64; ++s)
        for (bool diagonal : {false, true}) {
            const Magic& m = diagonal ? MAGICS.bishop[s] : MAGICS.rook[s];
            // Every subset of the mask, by the carry-rippler trick.
            Bitboard subset = 0;
            do {
                SLIDER_ATTACKS[m.offset + magic_index(m, subset)] = walk(s, subset, diagonal);
                subset = (subset - m.mask) & m.mask;
            } while (subset);
        }
    return true;
}

}  // namespace

std::atomic<bool> SLIDER_TABLES_READY{false};

void fill_slider_tables() {
    static const bool ready = fill();
    SLIDER_TABLES_READY.store(ready, std::memory_order_release);
}

}  // namespace board

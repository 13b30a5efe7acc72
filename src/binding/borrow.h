#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

namespace binding {

// 0: free; 1 .. max-1: that many shared borrows; max: one exclusive borrow.
using BorrowFlag = std::atomic<std::uintptr_t>;
inline constexpr std::uintptr_t EXCLUSIVE = std::numeric_limits<std::uintptr_t>::max();

// A shared borrow, released by the destructor on every path out of a call.
class SharedBorrow {
public:
    // Takes the borrow or sets RuntimeError and returns false.
    [[nodiscard]] bool take(BorrowFlag& flag) noexcept {
        std::uintptr_t seen = flag.load(std::memory_order_relaxed);
        do {
            if (seen == EXCLUSIVE) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return false;
            }
        } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        flag_ = &flag;
        return true;
    }
    SharedBorrow() noexcept = default;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    ~SharedBorrow() {
        if (flag_) flag_->fetch_sub(1, std::memory_order_release);
    }

private:
    BorrowFlag* flag_ = nullptr;
};

// A read that takes no borrow at all, for queries that copy their answer out
// of the record before converting it: the caller holds the GIL and the engine
// runs no Python code, so nothing can take the record in between. It still
// refuses a record that an exclusive borrow holds.
class Peek {
public:
    [[nodiscard]] bool take(BorrowFlag& flag) noexcept {
        if (flag.load(std::memory_order_acquire) == EXCLUSIVE) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        return true;
    }
};

// A shared borrow for a query that would peek but first converts arguments,
// which may run Python code that must not change the record meanwhile. Every
// change of a flag happens with the interpreter lock held (the threading
// model, binding/objects.h), so the count moves by a plain load and store,
// without the locked instructions of SharedBorrow, on this hot path.
class PeekHeld {
public:
    [[nodiscard]] bool take(BorrowFlag& flag) noexcept {
        const std::uintptr_t seen = flag.load(std::memory_order_relaxed);
        if (seen == EXCLUSIVE) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        flag.store(seen + 1, std::memory_order_relaxed);
        flag_ = &flag;
        return true;
    }
    PeekHeld() noexcept = default;
    PeekHeld(const PeekHeld&) = delete;
    PeekHeld& operator=(const PeekHeld&) = delete;
    ~PeekHeld() {
        if (flag_) flag_->store(flag_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }

private:
    BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
public:
    [[nodiscard]] bool take(BorrowFlag& flag) noexcept {
        std::uintptr_t expected = 0;
        if (!flag.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        flag_ = &flag;
        return true;
    }
    ExclusiveBorrow() noexcept = default;
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    // Release ordering publishes the record's changes to the next borrower.
    ~ExclusiveBorrow() {
        if (flag_) flag_->store(0, std::memory_order_release);
    }

private:
    BorrowFlag* flag_ = nullptr;
};

}  // namespace binding

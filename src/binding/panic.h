#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <string_view>

#include "board/board.h"

namespace binding {

// The process-wide panic exception type, created on first need.
PyObject* panic_exception_type() noexcept;

// Writes the diagnostic to standard error and raises the panic exception.
void raise_panic(std::string_view message, const std::source_location& where) noexcept;

// Raises ValueError (IndexError for an index) with the message. It may quote
// bytes read from a file, so a malformed UTF-8 sequence is replaced rather
// than turned into a decoding error.
void raise_invalid(const board::Invalid& e) noexcept;

// Stops the process: an exception escaped past the point where it could
// still become a Python exception.
[[noreturn]] void abort_at_boundary() noexcept;

// Runs an entry's body: an engine Panic becomes the panic exception, an
// Invalid input ValueError (or IndexError), a failed allocation MemoryError;
// an interrupted one keeps the exception its poll raised. `failed` is what
// the entry then returns to CPython.
template <typename F, typename R>
R guarded(F&& body, R failed) noexcept {
    try {
        return body();
    } catch (const board::Panic& p) {
        raise_panic(p.what(), p.where());
    } catch (const board::Invalid& e) {
        raise_invalid(e);
    } catch (const board::Interrupted&) {
        // The poll that stopped the engine has set the exception.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        abort_at_boundary();
    }
    return failed;
}

}  // namespace binding

#pragma once

// The call layer: every entry point CPython reaches is one of these templates,
// instantiated with an engine call written as a lambda over the record. The
// lambda's parameter types pick the converters; its result type picks the
// result conversion.

#include <Python.h>

#include <cassert>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/args.h"
#include "binding/borrow.h"
#include "binding/convert.h"
#include "binding/objects.h"
#include "binding/panic.h"

namespace binding {

// Peek is for queries whose engine call returns a value, read whole before
// any Python object is made (one with arguments holds the record, PeekHeld,
// while they are converted); Shared for those that read the record while building
// their result; Exclusive for whatever changes it, even for a moment.
enum class Access { Peek, PeekHeld, Shared, Exclusive };

template <typename Record>
struct ObjectOf;
template <>
struct ObjectOf<board::Board> {
    using type = BoardObject;
    static PyTypeObject* cls() noexcept { return board_type(); }
    static constexpr const char* name = "Board";
};
template <>
struct ObjectOf<board::Move> {
    using type = MoveObject;
    static PyTypeObject* cls() noexcept { return move_type(); }
    static constexpr const char* name = "Move";
};

template <typename F>
struct Traits : Traits<decltype(&F::operator())> {};
template <typename C, typename R, typename Self, typename... A>
struct Traits<R (C::*)(Self, A...) const> {
    using Result = R;
    using Record = std::remove_cvref_t<Self>;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

// Takes the borrow the operation needs. Every receiver comes through a
// method, attribute or slot of the type itself, and the interpreter's
// descriptors pass those only an instance of it, so the type is asserted
// rather than tested on every call.
template <typename Record, Access K>
class Receiver {
public:
    bool take(PyObject* self) noexcept {
        using O = ObjectOf<Record>;
        assert(O::cls() && PyObject_TypeCheck(self, O::cls()));
        obj_ = reinterpret_cast<typename O::type*>(self);
        return borrow_.take(obj_->borrow);
    }
    Record& record() noexcept { return obj_->record; }

private:
    typename ObjectOf<Record>::type* obj_ = nullptr;
    std::conditional_t<
        K == Access::Peek, Peek,
        std::conditional_t<K == Access::PeekHeld, PeekHeld,
                           std::conditional_t<K == Access::Shared, SharedBorrow, ExclusiveBorrow>>>
        borrow_;
};

template <typename R>
PyObject* convert_result(R&& value) noexcept {
    return to_python(std::forward<R>(value));
}

// Runs `fn(record, converted args...)`, converting the arguments in order and
// naming the one that fails.
template <auto Fn, typename Record, typename ArgsTuple, std::size_t... I>
PyObject* invoke(Record& record, PyObject* const* argv, const Signature* sig,
                 std::index_sequence<I...>) {
    std::tuple<Arg<std::tuple_element_t<I, ArgsTuple>>...> args;
    bool ok = true;
    // A fold over && stops at the first argument that fails to convert.
    ((ok = ok && (std::get<I>(args).load(argv[I]) ||
                  (name_argument(sig->params[I]), false))),
     ...);
    if (!ok) return nullptr;
    using R = decltype(Fn(record, std::get<I>(args).get()...));
    if constexpr (std::is_void_v<R>) {
        Fn(record, std::get<I>(args).get()...);
        return Py_NewRef(Py_None);
    } else {
        return convert_result(Fn(record, std::get<I>(args).get()...));
    }
}

// The call itself, on the arguments in parameter order.
template <const Signature* Sig, Access K, auto Fn>
[[gnu::always_inline]] inline PyObject* method_body(PyObject* self, PyObject* const* argv) noexcept {
    using T = Traits<decltype(Fn)>;
    // Converting an argument may run Python code (a square's __index__) that
    // changes the record between a peek and the read, so a query with
    // arguments holds a shared borrow through its conversions.
    constexpr Access held = K == Access::Peek && T::arity > 0 ? Access::PeekHeld : K;
    return guarded(
        [&]() -> PyObject* {
            Receiver<typename T::Record, held> recv;
            if (!recv.take(self)) return nullptr;
            return invoke<Fn, typename T::Record, typename T::Args>(
                recv.record(), argv, Sig, std::make_index_sequence<T::arity>{});
        },
        static_cast<PyObject*>(nullptr));
}

// Keywords or missing optional arguments: sorted into parameter order first.
template <const Signature* Sig, Access K, auto Fn>
[[gnu::noinline]] PyObject* method_sorted(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    PyObject* buffer[MAX_PARAMS];
    if (!parse_fastcall_slow(*Sig, args, nargs, kwnames, buffer)) return nullptr;
    return method_body<Sig, K, Fn>(self, buffer);
}

// METH_FASTCALL | METH_KEYWORDS method. The common call, every parameter by
// position, goes straight to the body with no frame for the sorting buffer.
template <const Signature* Sig, Access K, auto Fn>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    using T = Traits<decltype(Fn)>;
    static_assert(T::arity <= MAX_PARAMS);
    // Keyword-only parameters may never come by position, so a full count
    // is checked by the sorter too.
    if (kwnames || static_cast<std::size_t>(PyVectorcall_NARGS(nargs)) != Sig->count || Sig->count > Sig->positional)
        [[unlikely]]
        return method_sorted<Sig, K, Fn>(self, args, nargs, kwnames);
    return method_body<Sig, K, Fn>(self, args);
}

// A method without parameters, in METH_NOARGS form: no_params offers it to
// the interpreter. Also serves __str__ / __repr__ slots through `unary`.
template <Access K, auto Fn>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    using T = Traits<decltype(Fn)>;
    return guarded(
        [&]() -> PyObject* {
            Receiver<typename T::Record, K> recv;
            if (!recv.take(self)) return nullptr;
            return invoke<Fn, typename T::Record, std::tuple<>>(recv.record(), nullptr, nullptr,
                                                                std::index_sequence<>{});
        },
        static_cast<PyObject*>(nullptr));
}

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// A method without parameters, offered to the interpreter as METH_FASTCALL.
// A method taken from an object and called later (`pop = board.pop` in a
// loop) is called by the interpreter's specialised call straight away when
// it is FASTCALL, but through the generic vectorcall path when it is
// METH_NOARGS. Arguments get METH_NOARGS's own message, naming `Qualname`;
// keywords never arrive, as the interpreter refuses them for a method
// without METH_KEYWORDS, in the same words.
template <Literal Qualname, PyCFunction F>
PyObject* no_params_call(PyObject* self, PyObject* const*, Py_ssize_t nargs) noexcept {
    if (nargs != 0) [[unlikely]] {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", Qualname.text, nargs);
        return nullptr;
    }
    return F(self, nullptr);
}

// A method table's entry for a method without parameters: no_params<"Type.name", F>()
// with the flags NO_PARAMS.
template <Literal Qualname, PyCFunction F>
PyCFunction no_params() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&no_params_call<Qualname, F>));
}
inline constexpr int NO_PARAMS = METH_FASTCALL;

template <Access K, auto Fn>
PyObject* unary(PyObject* self) noexcept {
    return noargs<K, Fn>(self, nullptr);
}

template <auto Fn>
PyObject* getter(PyObject* self, void*) noexcept {
    return noargs<Access::Shared, Fn>(self, nullptr);
}

// The closure of the descriptor is the attribute's name, used to name a
// failed conversion; the value is converted before the object is borrowed.
template <auto Fn>
int setter(PyObject* self, PyObject* value, void* closure) noexcept {
    using T = Traits<decltype(Fn)>;
    static_assert(T::arity == 1);
    return guarded(
        [&]() -> int {
            if (!value) {
                PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
                return -1;
            }
            Arg<std::tuple_element_t<0, typename T::Args>> arg;
            if (!arg.load(value)) {
                name_argument(static_cast<const char*>(closure));
                return -1;
            }
            Receiver<typename T::Record, Access::Exclusive> recv;
            if (!recv.take(self)) return -1;
            Fn(recv.record(), arg.get());
            return 0;
        },
        -1);
}

}  // namespace binding

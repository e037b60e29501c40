// Binding a call's arguments to a callable's parameters.
//
// Every callable that takes an argument list has one constant description.
// Parameters are positional-or-keyword, the first `required` of them
// required, except for the last `keyword_only` ones, which are optional and
// can only be given by keyword. Binding fills one slot per parameter (empty
// when missing) or fails with the interpreter-style TypeError messages.
//
// Each slot holds a strong reference: converting an argument can run Python
// code (a sequence's __len__ or __iter__), and that code can drop every other
// reference to it, for example by clearing the keyword dict that pickle
// hands to a constructor.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/owned.hpp"

namespace frasolet::binding {

inline constexpr std::size_t kMaxParameters = 3;

struct Parameters {
    const char* owner = nullptr;     // class name, or nullptr for the module function
    const char* function = nullptr;  // name under which Python calls it
    std::array<std::string_view, kMaxParameters> names{};  // the first count() are set
    std::size_t required = 0;      // the first `required` names must be given
    std::size_t keyword_only = 0;  // the last `keyword_only` names are keyword-only

    constexpr std::size_t count() const noexcept {
        std::size_t count = 0;
        while (count < names.size() && !names[count].empty()) ++count;
        return count;
    }
    // The parameters that a positional argument can fill.
    constexpr std::size_t positional() const noexcept { return count() - keyword_only; }
};

// Strong references, one per parameter; empty where the argument is missing.
using BoundArguments = std::array<Owned, kMaxParameters>;

// The fast-call form: positional vector, then the values of `keyword_names`.
BoundArguments bind_vector(const Parameters& parameters, PyObject* const* arguments,
                           Py_ssize_t positional_count, PyObject* keyword_names);

// The tuple-and-dict form used by constructors.
BoundArguments bind_tuple(const Parameters& parameters, PyObject* arguments, PyObject* keywords);

// Runs `convert` for the named argument; a TypeError it throws gets the
// "argument '<name>': " prefix, any other failure passes unchanged.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert());

}  // namespace frasolet::binding

#include "binding/failure.hpp"

namespace frasolet::binding {

template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (Failure& failure) {
        throw std::move(failure).with_argument_prefix(name);
    }
}

}  // namespace frasolet::binding

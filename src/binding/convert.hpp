// Generic conversions of values between Python objects and native ones:
// text views, item visitors, list, tuple and dict building, index, hash and
// length; and the lookups that pickling support needs (an object's class, a
// module's attribute).
//
// Native text is UTF-8. Conversions that fail throw a Failure carrying the
// exact Python exception; conversions that must not fail (making a str, list,
// tuple or dict) end in an internal fault when the interpreter cannot make
// them.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/failure.hpp"
#include "binding/internal_fault.hpp"
#include "binding/utf8_str.hpp"

namespace frasolet::binding {

// The `__qualname__` of the object's type, or "<failed to extract type
// name>" when that cannot be read as a str.
std::string type_name(PyObject* object);

// TypeError "'<type name>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

// str(object) as UTF-8; lone surrogates come out as U+FFFD replacements.
// For messages only.
std::string lenient_text(PyObject* object);

// A str or subclass, else target "PyString": what text_view checks first.
inline void check_str(PyObject* object) {
    if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
}

// Text conversion: a str (or subclass) read as UTF-8 without calling any of
// its methods. The view lives as long as the str.
std::string_view text_view(PyObject* object);

// Optional text conversion: a missing argument or None gives no text.
inline std::optional<std::string_view> optional_text_view(PyObject* maybe_missing) {
    if (maybe_missing == nullptr || maybe_missing == Py_None) return std::nullopt;
    return text_view(maybe_missing);
}

// Flag conversion: True or False, nothing else (target "PyBool"); a missing
// argument gives `missing`.
inline bool flag(PyObject* maybe_missing, bool missing) {
    if (maybe_missing == nullptr) return missing;
    if (!PyBool_Check(maybe_missing)) throw_conversion_error(maybe_missing, "PyBool");
    return maybe_missing == Py_True;
}

void check_list(PyObject* object);  // list or subclass, else target "PyList"
void check_dict(PyObject* object);  // dict or subclass, else target "PyDict"

// Sequence visit: `object` must pass the interpreter's sequence check
// (target "Sequence"); reserve(n) is called once with the number of items to
// expect (what its length says, within a bound: a length only sizes the
// result), then visit(item) for each item of the iteration protocol.
template <class Reserve, class Visit>
void visit_sequence(PyObject* object, Reserve&& reserve, Visit&& visit);

// List building: a new list of exactly `size` items, item i made by
// `make_item(i)` (which returns an Owned new reference).
template <class MakeItem>
Owned build_list(std::size_t size, MakeItem&& make_item);

// The same in two steps, for items that come from a walk rather than by
// index: a new list of `size` empty places (a list with places still empty
// is only ever released), then each place filled once.
inline Owned new_list(std::size_t size) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) throw_api_call_failed();
    return list;
}
inline void set_list_item(PyObject* list, Py_ssize_t index, Owned item) noexcept {
    assert(index < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, index) == nullptr);
    PyList_SET_ITEM(list, index, item.release());
}

// Tuple building: a new tuple of the given items, in order.
template <class... Items>
Owned make_tuple(Items... items);

// Tuple reading: the items of a tuple (or subclass) of exactly N items,
// borrowed from it; nothing for any other object.
template <std::size_t N>
std::optional<std::array<PyObject*, N>> tuple_items(PyObject* object) noexcept;

// Dict building.
Owned make_dict();
void dict_set(PyObject* dict, std::string_view key, Owned value);

// Calls visit(key, value) for every item, in the dict's own order, reading
// its storage directly (a subclass's methods are not called). A reference to
// both is held for the visit. A visit that changes the dict's size (Python
// code run by a conversion can) ends the walk quietly after that visit.
template <class Visit>
void visit_dict(PyObject* dict, Visit&& visit);

// The class of an object, as a new reference.
inline Owned type_of(PyObject* object) noexcept {
    return Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

// An attribute of a module, imported first if it is not yet (the
// interpreter's import, which looks in sys.modules before anything else).
Owned module_attribute(const char* module, const char* name);

// Index conversion through the integer-index protocol to an unsigned
// 64-bit value; the interpreter's TypeError and OverflowError pass unchanged.
std::uint64_t to_index(PyObject* object);

// Hash conversion: the digest's bits read as signed, -1 (the interpreter's
// error signal) becoming -2.
constexpr Py_hash_t to_python_hash(std::uint64_t digest) noexcept {
    static_assert(sizeof(Py_hash_t) == sizeof(std::uint64_t));
    const auto value = static_cast<Py_hash_t>(digest);  // two's complement
    return value == -1 ? -2 : value;
}

// Length conversion: OverflowError (no argument) beyond Py_ssize_t.
Py_ssize_t to_python_length(std::size_t length);

// ---------------------------------------------------------------------------

namespace detail {
// How many elements a sequence conversion reserves up front: what the
// sequence says, but never so much that a lying __len__ can exhaust memory.
// An exact list or tuple cannot lie, so its length is taken in full: the
// native list is then made once, at its final size.
inline constexpr Py_ssize_t kMaxReservation = 1 << 16;
Py_ssize_t reservation_for(PyObject* sequence);
}  // namespace detail

template <class Reserve, class Visit>
void visit_sequence(PyObject* object, Reserve&& reserve, Visit&& visit) {
    if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
    // Its __len__ and iterator are Python code that may drop the caller's
    // reference (the caller may only borrow it from a container).
    const Owned held = Owned::borrow(object);
    reserve(static_cast<std::size_t>(detail::reservation_for(object)));
    Owned iterator = Owned::steal(PyObject_GetIter(object));
    if (!iterator) throw_fetched();
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) visit(item.get());
    if (PyErr_Occurred()) throw_fetched();
}

template <class MakeItem>
Owned build_list(std::size_t size, MakeItem&& make_item) {
    Owned list = new_list(size);
    for (std::size_t i = 0; i < size; ++i) {
        set_list_item(list.get(), static_cast<Py_ssize_t>(i), make_item(i));
    }
    return list;
}

template <class... Items>
Owned make_tuple(Items... items) {
    static_assert((std::is_same_v<Items, Owned> && ...), "tuple items are owned references");
    Owned tuple = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
    if (!tuple) throw_api_call_failed();
    Py_ssize_t index = 0;
    (PyTuple_SET_ITEM(tuple.get(), index++, items.release()), ...);
    return tuple;
}

template <std::size_t N>
std::optional<std::array<PyObject*, N>> tuple_items(PyObject* object) noexcept {
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != static_cast<Py_ssize_t>(N)) {
        return std::nullopt;
    }
    std::array<PyObject*, N> items{};
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i));
    }
    return items;
}

template <class Visit>
void visit_dict(PyObject* dict, Visit&& visit) {
    const Owned held_dict = Owned::borrow(dict);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const Owned held_key = Owned::borrow(key);
        const Owned held_value = Owned::borrow(value);
        visit(held_key.get(), held_value.get());
        // A resized table has moved its entries: the position means nothing.
        if (PyDict_GET_SIZE(dict) != size) return;
    }
}

}  // namespace frasolet::binding

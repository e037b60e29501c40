#include "binding/convert.hpp"

#include <limits>

namespace frasolet::binding {

std::string type_name(PyObject* object) {
    static constexpr const char* kUnknown = "<failed to extract type name>";
    // Reading the attribute can run a metaclass's Python code, which may
    // even change the object's class: the type is held meanwhile.
    const Owned type = Owned::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    Owned name = Owned::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return kUnknown;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return kUnknown;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

void throw_conversion_error(PyObject* object, const char* target) {
    std::string message(1, '\'');
    message += type_name(object);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    throw_message(PyExc_TypeError, std::move(message));
}

std::string lenient_text(PyObject* object) {
    Owned text = Owned::steal(PyObject_Str(object));
    if (!text) throw_fetched();
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) throw_fetched();
    Owned repaired = Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                       PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) throw_fetched();
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) throw_fetched();
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string_view text_view(PyObject* object) {
    check_str(object);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) throw_fetched();
    return std::string_view(text, static_cast<std::size_t>(size));
}

void check_list(PyObject* object) {
    if (!PyList_Check(object)) throw_conversion_error(object, "PyList");
}

void check_dict(PyObject* object) {
    if (!PyDict_Check(object)) throw_conversion_error(object, "PyDict");
}

Py_ssize_t detail::reservation_for(PyObject* sequence) {
    const Py_ssize_t length = PyObject_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) return length;
    return std::min(length, kMaxReservation);
}

Owned module_attribute(const char* module, const char* name) {
    Owned imported = Owned::steal(PyImport_ImportModule(module));
    if (!imported) throw_fetched();
    Owned attribute = Owned::steal(PyObject_GetAttrString(imported.get(), name));
    if (!attribute) throw_fetched();
    return attribute;
}

Owned make_dict() {
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) throw_api_call_failed();
    return dict;
}

void dict_set(PyObject* dict, std::string_view key, Owned value) {
    Owned key_object = make_str(key);
    if (PyDict_SetItem(dict, key_object.get(), value.get()) < 0) throw_fetched();
}

std::uint64_t to_index(PyObject* object) {
    const Owned held = Owned::borrow(object);  // __index__ is Python code
    Owned integer = Owned::steal(PyNumber_Index(object));
    if (!integer) throw_fetched();
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched();
    return value;
}

static_assert(to_python_hash(~std::uint64_t{0}) == -2);
static_assert(to_python_hash(~std::uint64_t{0} - 1) == -2);
static_assert(to_python_hash(0) == 0);
static_assert(to_python_hash(std::uint64_t{1} << 63) == std::numeric_limits<Py_hash_t>::min());
static_assert(to_python_hash(0x7fffffffffffffffULL) == std::numeric_limits<Py_hash_t>::max());

Py_ssize_t to_python_length(std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max())) {
        throw Failure::no_argument(PyExc_OverflowError);
    }
    return static_cast<Py_ssize_t>(length);
}

}  // namespace frasolet::binding

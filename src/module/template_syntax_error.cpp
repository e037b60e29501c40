#include "module/template_syntax_error.hpp"

#include <string>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "core/parse_stop.hpp"

namespace frasolet {
namespace {

using namespace binding;

constexpr const char* kClassDoc =
    "TemplateSyntaxError(msg, doc, pos)\n\n"
    "Raised by a strict parse of a template that the lenient parse would cut short.\n\n"
    "Attributes:\n"
    "    msg: why the parse stopped\n"
    "    doc: the whole template\n"
    "    pos: where the parse stopped, in code points of doc: the first one it drops\n"
    "    lineno: the line of pos, from 1\n"
    "    colno: the column of pos, from 1";

constexpr Parameters kInitParameters{.owner = "TemplateSyntaxError",
                                     .function = "__init__",
                                     .names = {"msg", "doc", "pos"},
                                     .required = 3};

void set_attribute(PyObject* object, const char* name, PyObject* value) {
    if (PyObject_SetAttrString(object, name, value) < 0) throw_fetched();
}

Owned make_size(Py_ssize_t value) {
    Owned number = Owned::steal(PyLong_FromSsize_t(value));
    if (!number) throw_fetched();
    return number;
}

// Lines end at "\n" and columns count from 1, as json.JSONDecodeError does:
// the arguments of ValueError are the text "<msg>: line L column C (char P)".
PyObject* syntax_error_init(PyObject* self, PyObject* arguments, PyObject* keywords) {
    return object_entry([&] {
        const BoundArguments bound = bind_tuple(kInitParameters, arguments, keywords);
        PyObject* const msg = bound[0].get();
        PyObject* const doc = bound[1].get();
        convert_argument("msg", [&] { return text_view(msg); });
        convert_argument("doc", [&] { return text_view(doc); });
        const Py_ssize_t pos = convert_argument("pos", [&] {
            const Py_ssize_t value = PyNumber_AsSsize_t(bound[2].get(), PyExc_OverflowError);
            if (value == -1 && PyErr_Occurred()) throw_fetched();
            return value;
        });
        const Owned line_break = make_str("\n");
        const Py_ssize_t breaks = PyUnicode_Count(doc, line_break.get(), 0, pos);
        if (breaks < 0) throw_fetched();
        const Py_ssize_t last_break = PyUnicode_FindChar(doc, '\n', 0, pos, -1);
        if (last_break == -2) throw_fetched();
        const Py_ssize_t lineno = breaks + 1;
        const Py_ssize_t colno = pos - last_break;

        Owned text = Owned::steal(
            PyUnicode_FromFormat("%U: line %zd column %zd (char %zd)", msg, lineno, colno, pos));
        if (!text) throw_fetched();
        const Owned value_error_arguments = make_tuple(std::move(text));
        const auto base = reinterpret_cast<PyTypeObject*>(PyExc_ValueError);
        if (base->tp_init(self, value_error_arguments.get(), nullptr) < 0) throw_fetched();
        set_attribute(self, "msg", msg);
        set_attribute(self, "doc", doc);
        set_attribute(self, "pos", make_size(pos).get());
        set_attribute(self, "lineno", make_size(lineno).get());
        set_attribute(self, "colno", make_size(colno).get());
        return Owned::borrow(Py_None);
    });
}

Owned attribute(PyObject* object, const char* name) {
    Owned value = Owned::steal(PyObject_GetAttrString(object, name));
    if (!value) throw_fetched();
    return value;
}

// Made again from (msg, doc, pos), with whatever else the instance's dict
// holds (notes, attributes set later) restored after.
PyObject* syntax_error_reduce(PyObject* self, PyObject*) {
    return object_entry([&] {
        return make_tuple(type_of(self),
                          make_tuple(attribute(self, "msg"), attribute(self, "doc"),
                                     attribute(self, "pos")),
                          attribute(self, "__dict__"));
    });
}

PyMethodDef init_record = {"__init__", as_method(syntax_error_init), METH_VARARGS | METH_KEYWORDS,
                           nullptr};
PyMethodDef reduce_record = {"__reduce__", syntax_error_reduce, METH_NOARGS, nullptr};

void add_method(PyObject* type, PyMethodDef* record) {
    const Owned method =
        Owned::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), record));
    if (!method) throw_fetched();
    set_attribute(type, record->ml_name, method.get());
}

}  // namespace

Owned make_template_syntax_error(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_fetched();
    const std::string name = std::string(module_name) + ".TemplateSyntaxError";
    // Made the way Python makes a class statement's class, so that instances
    // free and traverse as every exception subclass does; the methods are
    // set on it afterwards, which also fills its slots.
    Owned type =
        Owned::steal(PyErr_NewExceptionWithDoc(name.c_str(), kClassDoc, PyExc_ValueError, nullptr));
    if (!type) throw_fetched();
    add_method(type.get(), &init_record);
    add_method(type.get(), &reduce_record);
    return type;
}

void throw_template_syntax_error(PyObject* error_class, PyObject* doc, std::string_view text,
                                 std::size_t length) {
    const ParseStop stop = explain_stop(text, length);
    const Owned msg = make_str(stop_message(text, stop));
    const auto pos = static_cast<Py_ssize_t>(code_point_count(text.substr(0, stop.start)));
    const Owned error =
        Owned::steal(PyObject_CallFunction(error_class, "OOn", msg.get(), doc, pos));
    if (!error) throw_fetched();
    PyErr_SetObject(error_class, error.get());
    throw_fetched();
}

}  // namespace frasolet

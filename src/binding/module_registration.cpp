#include "binding/module_registration.hpp"

#include <string>

#include "binding/convert.hpp"

namespace frasolet::binding {
namespace {

Owned all_list(PyObject* module) {
    Owned list = Owned::steal(PyObject_GetAttrString(module, "__all__"));
    if (list) return list;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
    PyErr_Clear();
    list = Owned::steal(PyList_New(0));
    if (!list) throw_api_call_failed();
    if (PyObject_SetAttrString(module, "__all__", list.get()) < 0) throw_fetched();
    return list;
}

void add_attribute(PyObject* module, std::string_view name, PyObject* value) {
    Owned list = all_list(module);
    Owned name_object = make_str(name);
    if (PyList_Append(list.get(), name_object.get()) < 0) {
        PyErr_Clear();
        throw_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name_object.get(), value) < 0) throw_fetched();
}

}  // namespace

void add_text_attribute(PyObject* module, const char* name, std::string_view text) {
    Owned value = make_str(text);
    add_attribute(module, name, value.get());
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyObject* function) {
    Owned name = Owned::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name) throw_fetched();
    add_attribute(module, text_view(name.get()), function);
}

Owned make_module_function(PyMethodDef* record, PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_fetched();
    Owned name = make_str(module_name);
    Owned function = Owned::steal(PyCMethod_New(record, module, name.get(), nullptr));
    if (!function) throw_fetched();
    return function;
}

}  // namespace frasolet::binding

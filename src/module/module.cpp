// The module's one exported entry and its initialisation body.
#include "binding/entry.hpp"
#include "binding/module_registration.hpp"
#include "core/allocator.hpp"
#include "module/parse_operation.hpp"
#include "module/prompt_fragment.hpp"
#include "module/prompt_template.hpp"

namespace frasolet {
namespace {

using namespace binding;

constexpr const char* kVersion = "0.4.0";
constexpr Parameters kParseParameters{.function = "parse", .names = {"template"}, .required = 1};

PyObject* module_parse(PyObject*, PyObject* const* arguments, Py_ssize_t count, PyObject* names) {
    return object_entry([&] { return parse_operation(kParseParameters, arguments, count, names); });
}

PyMethodDef parse_record = {"parse", as_method(module_parse), METH_FASTCALL | METH_KEYWORDS,
                            kParseDoc};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "frasolet",
    "Frasolet Module",
    0,        // no per-module state; not -1, see refuse_unsupported_interpreter
    nullptr,  // no method table: parse is added by the body below
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The core allocates through the interpreter's memory allocator, so that its
// memory shows in the interpreter's accounting and fails where it fails.
// The core only allocates and frees while the interpreter lock is held (every
// entry holds it throughout), so the object-sized blocks it makes most (option
// lists, texts past the inline size) come from the interpreter's small-block
// pools instead of the process heap.
void route_core_memory() {
    static bool routed = false;
    if (routed) return;
    set_memory_hooks({PyMem_Malloc, PyMem_Free});
    routed = true;
}

// The class objects are made once per process and shared by every
// interpreter. From 3.12 on, a sub-interpreter numbers type versions on its
// own, so one of its classes can carry the version of a shared class and its
// attribute caches then mistake one for the other: such interpreters are
// refused. The definition keeps per-module state at 0 (not -1) so that this
// body runs, and checks, in every interpreter that imports the module.
void refuse_unsupported_interpreter() {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw_message(PyExc_ImportError,
                      "frasolet cannot be used in sub-interpreters on this Python version");
    }
#endif
}

Owned initialise() {
    refuse_unsupported_interpreter();
    route_core_memory();
    Owned module = Owned::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) throw_fetched();
    add_text_attribute(module.get(), "__version__", kVersion);
    add_function(module.get(), make_module_function(&parse_record, module.get()).get());
    add_class(module.get(), "PromptFragment", prompt_fragment_type());
    add_class(module.get(), "PromptTemplate", prompt_template_type());
    return module;
}

}  // namespace
}  // namespace frasolet

PyMODINIT_FUNC PyInit_frasolet() { return frasolet::binding::object_entry(frasolet::initialise); }

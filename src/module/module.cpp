// The module's one exported entry, its definition and its initialisation.
//
// Initialisation is multi-phase: the entry hands the interpreter the
// definition, the interpreter makes a module object with its own state for
// every import and runs the exec slot on it. Each interpreter so gets its own
// class objects and can run on its own GIL.
#include "binding/entry.hpp"
#include "binding/internal_fault.hpp"
#include "binding/interpreter_state.hpp"
#include "binding/module_registration.hpp"
#include "binding/thread_exit.hpp"
#include "core/allocator.hpp"
#include "module/escape_operation.hpp"
#include "module/module_state.hpp"
#include "module/parse_operation.hpp"
#include "module/prompt_fragment.hpp"
#include "module/prompt_template.hpp"
#include "module/template_syntax_error.hpp"

#ifndef FRASOLET_VERSION
#error "the build defines FRASOLET_VERSION, the version written in pyproject.toml"
#endif

namespace frasolet {
namespace {

using namespace binding;

constexpr Parameters kParseParameters = parse_parameters(nullptr);

// Bound to its module object, which the interpreter passes as `self`.
PyObject* module_parse(PyObject* module, PyObject* const* arguments, Py_ssize_t count,
                       PyObject* names) {
    return object_entry([&] {
        return parse_operation(state_of_module(module), kParseParameters, arguments, count, names);
    });
}

PyMethodDef parse_record = {"parse", as_method(module_parse), METH_FASTCALL | METH_KEYWORDS,
                            kParseDoc};

PyObject* module_escape(PyObject*, PyObject* const* arguments, Py_ssize_t count, PyObject* names) {
    return object_entry([&] { return escape_operation(arguments, count, names); });
}

PyMethodDef escape_record = {"escape", as_method(module_escape), METH_FASTCALL | METH_KEYWORDS,
                             kEscapeDoc};

// The core allocates through the interpreter's memory allocator, so that its
// memory shows in the interpreter's accounting and fails where it fails.
// The core only allocates and frees while the interpreter lock is held (every
// entry holds it throughout), so the object-sized blocks it makes most (option
// lists, texts past the inline size) come from the interpreter's small-block
// pools instead of the process heap; with a GIL per interpreter those pools
// are the interpreter's own, and a record is freed by the interpreter whose
// object owns it. The hooks are process-wide, so they are set once, when the
// library is loaded (the loader runs this before any interpreter can import
// the module, and only once): no interpreter imports while another routes.
[[maybe_unused]] const bool core_memory_routed =
    (set_memory_hooks({PyMem_Malloc, PyMem_Free}), true);

// Once an interpreter begins to finalize, a thread may be ended while it
// unwinds through frames that own core memory: its blocks are then not
// returned (binding/thread_exit.hpp), the allocator not being ours to
// touch without the lock. Until then, frees go straight to the allocator:
// a check on every free costs the parse a few percent. The hooks are
// replaced by the atexit callback, under the exiting interpreter's lock;
// other interpreters only run beside it on CPython 3.12 and 3.13 with a
// lock of their own, and there the one word written, an aligned pointer,
// is read whole by the processors the module is built for.
void release_core_memory(void* block) noexcept {
    if (may_touch_interpreter()) PyMem_Free(block);
}

void guard_core_frees() noexcept { set_memory_hooks({PyMem_Malloc, release_core_memory}); }

// The classes of an interpreter are made by its first import and shared by
// every later module object of that interpreter: an import after
// `del sys.modules["frasolet"]` must give the very same classes, or instances
// made before it would fail the checks of the new module's entries (pickle,
// isinstance). The interpreter's dict remembers the first PromptFragment
// class through a weak reference, so that it adds nothing to what keeps the
// classes alive: they hold their module, and the module its classes, and
// that cycle is freed by the collector like every other module's. An import
// reaches the shared classes from that class, through the module that made
// it; entries never look there (they start from their own module or class).
// While the weak reference lives, some class or instance can still be
// reached; once it is dead, a new import makes classes of its own.
constexpr const char* kFirstClassKey = "frasolet.PromptFragment";

// The state of the module that made the interpreter's first classes, if
// they are alive.
ModuleState* first_state() {
    Owned reference = interpreter_value(kFirstClassKey);
    if (!reference) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* type = nullptr;
    if (PyWeakref_GetRef(reference.get(), &type) < 0) throw_fetched();
    const Owned held = Owned::steal(type);
#else
    PyObject* type = PyWeakref_GetObject(reference.get());
    if (type == nullptr) throw_fetched();
    if (type == Py_None) type = nullptr;
#endif
    if (type == nullptr) return nullptr;
    // The module holds the class, and the caller holds the module.
    ModuleState& state = state_of_class(reinterpret_cast<PyTypeObject*>(type));
    return state.fragment_class != nullptr ? &state : nullptr;  // null once cleared
}

void remember_first_classes(PyTypeObject* fragment_class) {
    Owned reference =
        Owned::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(fragment_class), nullptr));
    if (!reference) throw_fetched();
    // Without the interpreter's dict, each import makes classes of its own.
    set_interpreter_value(kFirstClassKey, reference.get());
}

// A class of the first module's state, or else one made for `module`.
PyTypeObject* share_or_make(PyTypeObject* shared, const ClassSpec& spec, PyObject* module) {
    if (shared != nullptr) {
        Py_INCREF(shared);
        return shared;
    }
    return reinterpret_cast<PyTypeObject*>(make_class(spec, module).release());
}

// The state is whole before anything is published: the module's `parse`
// uses it as soon as it is an attribute (of a module object that Python
// code made itself, even if exec fails after). And the module is remembered
// as the interpreter's first only once exec has succeeded: a failed exec (no
// memory for a class, an `__all__` that cannot be appended to) leaves
// nothing that a later import or a static method could find, and its state
// goes with the module.
void execute(PyObject* module) {
    ModuleState& state = state_of_module(module);
    const ModuleState* shared = first_state();
    // The module of the shared classes, held while they are shared: the
    // import below runs Python code.
    const Owned shared_module =
        Owned::borrow(shared ? module_of_class(shared->fragment_class) : nullptr);
    state.stop_arguments = PyTuple_Pack(1, Py_None);
    if (state.stop_arguments == nullptr) throw_fetched();
    if (!shared) watch_interpreter_exit(guard_core_frees);  // once per interpreter, as a rule
    state.fragment_class =
        share_or_make(shared ? shared->fragment_class : nullptr, prompt_fragment_spec(), module);
    state.template_class =
        share_or_make(shared ? shared->template_class : nullptr, prompt_template_spec(), module);
    state.syntax_error_class = shared ? Owned::borrow(shared->syntax_error_class).release()
                                      : make_template_syntax_error(module).release();
    add_text_attribute(module, "__version__", FRASOLET_VERSION);
    add_function(module, make_module_function(&parse_record, module).get());
    add_class(module, "PromptFragment", state.fragment_class);
    add_class(module, "PromptTemplate", state.template_class);
    add_class(module, "TemplateSyntaxError",
              reinterpret_cast<PyTypeObject*>(state.syntax_error_class));
    add_function(module, make_module_function(&escape_record, module).get());
    // Making the classes ran Python code: another module may have become
    // the first meanwhile, and then stays so.
    if (!shared && !first_state()) remember_first_classes(state.fragment_class);
}

int execute_slot(PyObject* module) {
    return status_entry([&] { execute(module); });
}

// `visit` and `arg` are the names Py_VISIT uses.
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    const ModuleState& state = state_of_module(module);
    Py_VISIT(state.fragment_class);
    Py_VISIT(state.template_class);
    Py_VISIT(state.iterator_class);
    Py_VISIT(state.syntax_error_class);
    Py_VISIT(state.stop_arguments);
    return 0;
}

int clear_state(PyObject* module) {
    ModuleState& state = state_of_module(module);
    Py_CLEAR(state.fragment_class);
    Py_CLEAR(state.template_class);
    Py_CLEAR(state.iterator_class);
    Py_CLEAR(state.syntax_error_class);
    Py_CLEAR(state.stop_arguments);
    state.fragment_blocks.release_all();
    state.iterator_blocks.release_all();
    return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_slot)},
#if PY_VERSION_HEX >= 0x030C0000
    // Nothing is shared between interpreters but constant tables and the
    // core's allocation hooks (set once, above). Free-threaded builds are not
    // declared (no Py_mod_gil): docs/development.md says what they would need.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "frasolet",
    "Frasolet Module",
    sizeof(ModuleState),
    nullptr,  // no method table: parse is added by the exec slot, after __version__
    module_slots,
    traverse_state,
    clear_state,
    free_state,
};

}  // namespace frasolet

PyMODINIT_FUNC PyInit_frasolet() { return PyModuleDef_Init(&frasolet::module_definition); }

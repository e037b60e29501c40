// The state of a frasolet module object: the class objects of the
// interpreter that imported it. Entries find it from the module itself (the
// module function) or from a class: the class of `self`, or for the static
// methods the class they were defined on; never through a global.
#pragma once

#include "binding/block_cache.hpp"
#include "binding/interpreter_state.hpp"

namespace frasolet {

struct ModuleState {
    // Strong references. Every module object of one interpreter holds the
    // classes that the first of them made (module.cpp says why).
    PyTypeObject* fragment_class;
    PyTypeObject* template_class;
    // frasolet.TemplateSyntaxError, shared the same way.
    PyObject* syntax_error_class;
    // Made when the first iterator is; kept only in the state of the module
    // that made the classes above, which is the one entries find. The
    // iterator class is made for that module too, so an iterator finds this
    // state through its own class.
    PyTypeObject* iterator_class;
    // (None,): the arguments of the StopIteration that ends every iterator,
    // made once rather than at the end of every walk.
    PyObject* stop_arguments;
    // Blocks of released PromptFragment instances (exact, record not
    // embedded), for the next ones: a walk of a template frees one fragment
    // per step and makes the next. Filled only in the state that holds the
    // classes (the one their instances find), emptied when it is cleared.
    binding::BlockCache fragment_blocks;
    // The same for iterators: a walk makes one and frees it.
    binding::BlockCache iterator_blocks;
};

// The definition of every frasolet module object (module.cpp).
extern PyModuleDef module_definition;

inline ModuleState& state_of_module(PyObject* module) noexcept {
    return binding::module_state<ModuleState>(module);
}

// The module that made `type`, a class of this module or a subclass of one.
inline PyObject* module_of_class(PyTypeObject* type) {
    return binding::defining_module(type, module_definition);
}

inline ModuleState& state_of_class(PyTypeObject* type) {
    return state_of_module(module_of_class(type));
}

// The state of the module that made `type`, a class of this module itself
// (not a subclass), read without a lookup: null once the collector has
// cleared the class. Raises nothing, so deallocs can call it.
inline ModuleState* state_of_exact_class(PyTypeObject* type) noexcept {
    PyObject* module = binding::exact_class_module(type);
    return module != nullptr ? &state_of_module(module) : nullptr;
}

}  // namespace frasolet

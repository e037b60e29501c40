// The parse operation shared by frasolet.parse and the static parse methods
// of both classes: template text in, a new list of new PromptFragment out.
#pragma once

#include <string_view>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/owned.hpp"
#include "module/module_state.hpp"
#include "module/record_conversions.hpp"

namespace frasolet {

// The docstring of every parse entry (its first lines are the signature).
extern const char* const kParseDoc;

// How a parse treats a text it cannot read whole: a lenient parse (no
// `error_class`) keeps what it read; a strict one raises `error_class` (the
// state's TemplateSyntaxError) for `doc`, the template object as given.
struct StrictParse {
    PyObject* error_class = nullptr;
    PyObject* doc = nullptr;
};

// The `strict` argument of a parse entry (missing: false) for the template
// object `doc`; `error_class()` gives the class to raise and is called only
// for a strict parse.
template <class ErrorClass>
StrictParse strict_option(PyObject* argument, PyObject* doc, ErrorClass&& error_class) {
    if (!binding::convert_argument("strict", [&] { return binding::flag(argument, false); })) {
        return {};
    }
    return {error_class(), doc};
}

// Parses `text` into a template's shared records; a failure report becomes
// OSError with its message.
SharedRecordList parse_or_raise(std::string_view text, const StrictParse& strict = {});

// The parameters of every parse entry: `template`, and keyword-only `strict`.
constexpr binding::Parameters parse_parameters(const char* owner) {
    return {.owner = owner,
            .function = "parse",
            .names = {"template", "strict"},
            .required = 1,
            .keyword_only = 1};
}

// Binds `template` and `strict` against `parameters` (which name the entry
// in binding errors), parses the template and builds the list of instances
// of the state's fragment class.
binding::Owned parse_operation(const ModuleState& state, const binding::Parameters& parameters,
                               PyObject* const* arguments, Py_ssize_t positional_count,
                               PyObject* keyword_names);

}  // namespace frasolet

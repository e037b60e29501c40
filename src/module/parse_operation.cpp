#include "module/parse_operation.hpp"

#include "binding/convert.hpp"
#include "core/parser.hpp"
#include "module/prompt_fragment.hpp"
#include "module/record_conversions.hpp"
#include "module/template_syntax_error.hpp"

namespace frasolet {

using namespace binding;

const char* const kParseDoc =
    "parse(template, *, strict=False)\n--\n\n"
    "Parse frasolet template to Fragments\n\n"
    "strict=True raises TemplateSyntaxError where the template breaks the grammar;\n"
    "by default the fragments before that point are returned.\n\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "        The template text to be parsed into fragments.\n"
    "\nReturns:\n"
    "    A :obj:`List` of :class:`~prompt.PromptFragment`: The prompt fragments";

namespace {

// What every parse does once the loop has ended.
void check_read(const PiecesRead& read, std::string_view text, const StrictParse& strict) {
    if (read.failure) throw_message(PyExc_OSError, read.failure->message());
    if (strict.error_class != nullptr && read.length != text.size()) {
        throw_template_syntax_error(strict.error_class, strict.doc, text, read.length);
    }
}

}  // namespace

SharedRecordList parse_or_raise(std::string_view text, const StrictParse& strict) {
    SharedRecordList::Builder records;
    RecordSink sink(records);
    check_read(parse_pieces(text, sink), text, strict);
    return SharedRecordList::make(std::move(records.records));
}

Owned parse_operation(const ModuleState& state, const Parameters& parameters,
                      PyObject* const* arguments, Py_ssize_t positional_count,
                      PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(parameters, arguments, positional_count, keyword_names);
    PyObject* const template_object = bound[0].get();
    const std::string_view text =
        convert_argument("template", [&] { return text_view(template_object); });
    const StrictParse strict =
        strict_option(bound[1].get(), template_object, [&] { return state.syntax_error_class; });
    // The objects are made while the text is read, each record in place.
    FragmentObjects objects(state.fragment_class, text.size());
    RecordSink sink(objects);
    check_read(parse_pieces(text, sink), text, strict);
    return objects.into_list();
}

}  // namespace frasolet

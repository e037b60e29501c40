#include "module/parse_operation.hpp"

#include "binding/convert.hpp"
#include "core/parser.hpp"
#include "module/prompt_fragment.hpp"
#include "module/records.hpp"

namespace frasolet {

using namespace binding;

const char* const kParseDoc =
    "parse(template)\n--\n\n"
    "Parse frasolet template to Fragments\n\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "        The template text to be parsed into fragments.\n"
    "\nReturns:\n"
    "    A :obj:`List` of :class:`~prompt.PromptFragment`: The prompt fragments";

SharedRecordList parse_or_raise(std::string_view text) {
    RecordRefList records;
    RecordSink sink(records);
    if (std::optional<ParseFailure> failure = parse_pieces(text, sink)) {
        throw_message(PyExc_OSError, failure->message());
    }
    return share_records(std::move(records.records));
}

Owned parse_operation(PyTypeObject* fragment_class, const Parameters& parameters,
                      PyObject* const* arguments, Py_ssize_t positional_count,
                      PyObject* keyword_names) {
    const BoundArguments bound =
        bind_vector(parameters, arguments, positional_count, keyword_names);
    const std::string_view text =
        convert_argument("template", [&] { return text_view(bound[0].get()); });
    // The objects are made while the text is read, each record in place.
    FragmentObjects objects(fragment_class, text.size());
    RecordSink sink(objects);
    if (std::optional<ParseFailure> failure = parse_pieces(text, sink)) {
        throw_message(PyExc_OSError, failure->message());
    }
    return objects.into_list();
}

}  // namespace frasolet

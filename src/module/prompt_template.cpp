#include "module/prompt_template.hpp"

#include <utility>

#include "binding/arguments.hpp"
#include "binding/class_object.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"
#include "core/allocator.hpp"
#include "core/template_text.hpp"
#include "module/fragment_iter.hpp"
#include "module/module_state.hpp"
#include "module/parse_operation.hpp"
#include "module/prompt_fragment.hpp"
#include "module/record_conversions.hpp"

namespace frasolet {
namespace {

using namespace binding;

constexpr const char* kClassName = "PromptTemplate";

constexpr const char* kClassDoc =
    "PromptTemplate(template, tokenizer, *, strict=False)\n--\n\n"
    "A :obj:`PromptTemplate` works as a pipeline. It processes some raw text :obj:`Dict[str, str]`\n"
    "as input and outputs an :obj:`Dict[str, int]` for language models.\n\n"
    "strict=True raises TemplateSyntaxError where the template breaks the grammar;\n"
    "by default the fragments before that point are kept.\n\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "        The frasolet template to render the raw texts.\n";

constexpr Parameters kNewParameters{.owner = kClassName,
                                    .function = "__new__",
                                    .names = {"template", "tokenizer", "strict"},
                                    .required = 2,
                                    .keyword_only = 1};
constexpr Parameters kParseParameters = parse_parameters(kClassName);
constexpr Parameters kGetStateParameters{.owner = kClassName, .function = "__getstate__"};
constexpr Parameters kSetStateParameters{
    .owner = kClassName, .function = "__setstate__", .names = {"state"}, .required = 1};
constexpr Parameters kReduceParameters{.owner = kClassName, .function = "__reduce__"};

struct TemplateRecord {
    // What PromptTemplate(None, None) holds: no fragments, no tokenizer.
    TemplateRecord()
        : TemplateRecord(Owned::borrow(Py_None), SharedRecordList::make(List<RecordRef>())) {}
    TemplateRecord(Owned held_tokenizer, SharedRecordList held_fragments) noexcept
        : tokenizer(std::move(held_tokenizer)), fragments(std::move(held_fragments)) {}

    Owned tokenizer;             // None once the collector cleared it
    SharedRecordList fragments;  // replaced only as a whole
};

using TemplateObject = Instance<TemplateRecord>;

extern const ClassSpec kSpec;

template <class Body>
auto read_template(PyObject* self, Body&& body) {
    return read_entry<TemplateRecord>(self, kSpec, std::forward<Body>(body));
}

template <class Body>
int set_template_field(PyObject* self, PyObject* value, Body&& body) {
    return setter_entry<TemplateRecord>(self, value, kSpec, std::forward<Body>(body));
}

// The text form as a new str: the fragments' text forms are written into one
// scratch buffer of their total size, which the str is then made from.
Owned template_text_str(std::span<const RecordRef> fragments) {
    const std::size_t size = template_text_size(fragments);
    ScratchBuffer<char, 512> buffer(size);
    write_template_text(buffer.data(), fragments);
    return make_str(std::string_view(buffer.data(), size));
}

// ---- constructor and static method ---------------------------------------

PyObject* template_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) {
    return object_entry([&] {
        const BoundArguments bound = bind_tuple(kNewParameters, arguments, keywords);
        const auto text =
            convert_argument("template", [&] { return optional_text_view(bound[0].get()); });
        const StrictParse strict = strict_option(bound[2].get(), bound[0].get(), [&] {
            return state_of_class(type).syntax_error_class;
        });
        TemplateRecord record{Owned::borrow(bound[1].get()),
                              parse_or_raise(text.value_or(std::string_view()), strict)};
        return make_instance(type, std::move(record));
    });
}

// A static method, whose function is bound to the class it was defined on
// (binding/class_object.hpp): `self` is that class, whose module holds the
// classes, on a subclass's call too.
PyObject* template_parse(PyObject* defining_class, PyObject* const* arguments, Py_ssize_t count,
                         PyObject* names) {
    return object_entry([&] {
        return parse_operation(state_of_class(reinterpret_cast<PyTypeObject*>(defining_class)),
                               kParseParameters, arguments, count, names);
    });
}

// ---- state ---------------------------------------------------------------

PyObject* template_getstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return read_template(self, [&](const TemplateRecord& record) {
        bind_vector(kGetStateParameters, arguments, count, names);
        Owned state = make_dict();
        dict_set(state.get(), "template", template_text_str(*record.fragments));
        return state;
    });
}

PyObject* template_setstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    Owned released_last;  // an old tokenizer's release may run Python code that reaches `self`
    return write_entry<TemplateRecord>(self, kSpec, [&](TemplateRecord& record) {
        const BoundArguments bound = bind_vector(kSetStateParameters, arguments, count, names);
        PyObject* state = bound[0].get();
        if (const auto saved = tuple_items<2>(state)) {
            // The state of __reduce__: all of it applies, or none.
            const auto [fragments, tokenizer] = *saved;
            record.fragments =
                SharedRecordList::make(to_native_list<RecordRef>(fragments, extract_fragment));
            released_last = std::exchange(record.tokenizer, Owned::borrow(tokenizer));
            return Owned::borrow(Py_None);
        }
        check_dict(state);
        // Each "template" item replaces the fragments as soon as it parses.
        visit_dict(state, [&](PyObject* key, PyObject* value) {
            if (text_view(key) == "template") record.fragments = parse_or_raise(text_view(value));
        });
        return Owned::borrow(Py_None);
    });
}

// Pickling and copying. The text form of __getstate__ cannot carry every
// template (escaped brackets come back as placeholders, adjacent text
// fragments merge) and leaves the tokenizer out, so pickle and copy go
// through this instead: copyreg.__newobj__(cls, None, None) makes an empty
// instance of the same class, and __setstate__((fragments, tokenizer)) fills
// it with the fragments as PromptFragment objects and the tokenizer. The
// tokenizer travels in the state rather than in the arguments so that one
// that leads back to its template is restored too: pickle and deepcopy know
// the new object before they read its state.
PyObject* template_reduce(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                          PyObject* names) {
    return read_template(self, [&](const TemplateRecord& record) {
        bind_vector(kReduceParameters, arguments, count, names);
        Owned make_empty = module_attribute("copyreg", "__newobj__");
        Owned empty_arguments =
            make_tuple(type_of(self), Owned::borrow(Py_None), Owned::borrow(Py_None));
        Owned state =
            make_tuple(fragments_to_python(state_of_class(Py_TYPE(self)), *record.fragments),
                       Owned::borrow(record.tokenizer.get()));
        return make_tuple(std::move(make_empty), std::move(empty_arguments), std::move(state));
    });
}

// ---- properties ----------------------------------------------------------

PyObject* get_tokenizer(PyObject* self, void*) {
    return read_template(self, [](const TemplateRecord& record) {
        return Owned::borrow(record.tokenizer.get());
    });
}

int set_tokenizer(PyObject* self, PyObject* value, void*) {
    // The old tokenizer is handed back to be released once the template is
    // free again.
    return set_template_field(self, value, [](TemplateRecord& record, PyObject* tokenizer) {
        return std::exchange(record.tokenizer, Owned::borrow(tokenizer));
    });
}

PyObject* get_fragments(PyObject* self, void*) {
    return read_template(self, [&](const TemplateRecord& record) {
        return fragments_to_python(state_of_class(Py_TYPE(self)), *record.fragments);
    });
}

int set_fragments(PyObject* self, PyObject* value, void*) {
    return set_template_field(self, value, [](TemplateRecord& record, PyObject* fragments) {
        record.fragments =
            SharedRecordList::make(to_native_list<RecordRef>(fragments, extract_fragment));
    });
}

// ---- slots ---------------------------------------------------------------

PyObject* template_str(PyObject* self) {
    return read_template(self, [](const TemplateRecord& record) {
        return template_text_str(*record.fragments);
    });
}

PyObject* template_iter(PyObject* self) {
    return read_template(self, [&](const TemplateRecord& record) {
        return new_fragment_iterator(module_of_class(Py_TYPE(self)), record.fragments);
    });
}

Py_ssize_t template_length(PyObject* self) {
    return read_template(self, [](const TemplateRecord& record) {
        return to_python_length(record.fragments->size());
    });
}

PyObject* template_subscript(PyObject* self, PyObject* key) {
    return read_template(self, [&](const TemplateRecord& record) {
        const std::uint64_t index = to_index(key);
        if (index >= record.fragments->size()) {
            throw_message(PyExc_IndexError, "PromptTemplate index out of range");
        }
        return new_fragment_object(state_of_class(Py_TYPE(self)),
                                   (*record.fragments)[static_cast<std::size_t>(index)]);
    });
}

Py_hash_t template_hash(PyObject* self) {
    return read_template(self, [](const TemplateRecord& record) {
        return to_python_hash(template_digest(*record.fragments));
    });
}

// ---- cyclic garbage collection -------------------------------------------

int template_traverse(PyObject* self, visitproc visit, void* arg) {
    const TemplateObject& instance = *TemplateObject::from(self);
    if (instance.is_built()) Py_VISIT(instance.record.tokenizer.get());
    Py_VISIT(Py_TYPE(self));  // instances of a heap type own a reference to it
    return 0;
}

// Breaks a cycle through the tokenizer. The template stays valid (its
// tokenizer is None from then on) for whatever still reaches it before it is
// freed; the old tokenizer goes last, as its release may run Python code.
int template_clear(PyObject* self) {
    TemplateObject& instance = *TemplateObject::from(self);
    // A subclass's instance may never have been built (binding/instance.hpp).
    if (!instance.is_built()) return 0;
    Owned old = std::exchange(instance.record.tokenizer, Owned::borrow(Py_None));
    return 0;
}

// ---- class object --------------------------------------------------------

PyMethodDef kMethods[] = {
    {"__getstate__", as_method(template_getstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_method(template_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", as_method(template_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kStaticMethods[] = {
    {"parse", as_method(template_parse), METH_FASTCALL | METH_KEYWORDS, kParseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"tokenizer", get_tokenizer, set_tokenizer, "the tokenizer for processing", nullptr},
    {"fragments", get_fragments, set_fragments, "the fragments of the processed template", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, as_slot(template_new)},
    {Py_tp_traverse, as_slot(template_traverse)},
    {Py_tp_clear, as_slot(template_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_str, as_slot(template_str)},
    {Py_tp_repr, as_slot(template_str)},
    {Py_tp_iter, as_slot(template_iter)},
    {Py_mp_length, as_slot(template_length)},
    {Py_mp_subscript, as_slot(template_subscript)},
    {Py_sq_item, as_slot(sequence_item_bridge)},  // for the sequence protocol's callers
    {Py_tp_hash, as_slot(template_hash)},
    {0, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "frasolet.PromptTemplate",
    .instance_size = sizeof(TemplateObject),
    .subclassing = Subclassing::allowed,
    // The tokenizer is any Python object, and one that keeps its templates
    // (or `t.tokenizer = t`) makes a cycle only the collector can free.
    .collection = Collection::cyclic,
    .release = release_instance<TemplateRecord>,
    .allocate = allocate_default_instance<TemplateRecord>,  // as PromptTemplate(None, None)
    .slots = kSlots,
    .static_methods = kStaticMethods,
};

}  // namespace

const ClassSpec& prompt_template_spec() noexcept { return kSpec; }

}  // namespace frasolet

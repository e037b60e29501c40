#include "template/prompt_template.hpp"

#include <memory>

#include "binding/arguments.hpp"
#include "binding/class_object.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"
#include "fragment/prompt_fragment.hpp"
#include "fragment/siphash.hpp"
#include "module/parse_operation.hpp"
#include "template/fragment_iter.hpp"

namespace frasolet {
namespace {

using namespace binding;

constexpr const char* kClassName = "PromptTemplate";

constexpr const char* kClassDoc =
    "PromptTemplate(self, template, tokenizer)\n--\n\n"
    "A :obj:`PromptTemplate` works as a pipeline. It processes some raw text :obj:`Dict[str, str]`\n"
    "as input and outputs an :obj:`Dict[str, int]` for language models.\n\n"
    "Args:\n"
    "    template (:obj:`str`):\n"
    "        The frasolet template to render the raw texts.\n";

constexpr Parameters kNewParameters{kClassName, "__new__", {"template", "tokenizer"}, 2, 2};
constexpr Parameters kParseParameters{kClassName, "parse", {"template"}, 1, 1};
constexpr Parameters kGetStateParameters{kClassName, "__getstate__", {}, 0, 0};
constexpr Parameters kSetStateParameters{kClassName, "__setstate__", {"state"}, 1, 1};

struct TemplateRecord {
    Owned tokenizer;         // never null (None once the collector cleared it)
    FragmentList fragments;  // replaced only as a whole
};

using TemplateObject = Instance<TemplateRecord>;

LazyClass& template_class();

TemplateObject& checked_self(PyObject* self) {
    check_instance(self, template_class());
    return *TemplateObject::from(self);
}

// The text form as a new str: the fragments' text forms are written into one
// scratch buffer of their total size (not cleared first, and through the
// core's allocator), which the str is then made from.
Owned template_text_str(const FragmentList& fragments) {
    std::size_t size = 0;
    for (const Fragment& fragment : fragments) size += text_form_size(fragment);
    CoreAllocator<char> allocator;
    const std::size_t capacity = size == 0 ? 1 : size;
    const auto release = [&](char* buffer) { allocator.deallocate(buffer, capacity); };
    const std::unique_ptr<char, decltype(release)> buffer(allocator.allocate(capacity), release);
    char* out = buffer.get();
    for (const Fragment& fragment : fragments) out = write_text_form(out, fragment);
    return make_str(std::string_view(buffer.get(), size));
}

// ---- constructor and static method ---------------------------------------

PyObject* template_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) {
    return object_entry([&] {
        const BoundArguments bound = bind_tuple(kNewParameters, arguments, keywords);
        const auto text = convert_argument("template", [&] { return optional_text_view(bound[0].get()); });
        TemplateRecord record{Owned::borrow(bound[1].get()), {}};
        if (text) record.fragments = parse_or_raise(*text);
        return make_instance(type, std::move(record));
    });
}

PyObject* template_parse(PyObject*, PyObject* const* arguments, Py_ssize_t count, PyObject* names) {
    return object_entry([&] { return parse_operation(kParseParameters, arguments, count, names); });
}

// ---- state ---------------------------------------------------------------

PyObject* template_getstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        bind_vector(kGetStateParameters, arguments, count, names);
        Owned state = make_dict();
        dict_set(state.get(), "template", template_text_str(instance.record.fragments));
        return state;
    });
}

PyObject* template_setstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        ExclusiveBorrow borrow(instance.borrow_flag);
        const BoundArguments bound = bind_vector(kSetStateParameters, arguments, count, names);
        PyObject* state = bound[0].get();
        check_dict(state);
        // Each "template" item replaces the fragments as soon as it parses.
        visit_dict(state, [&](PyObject* key, PyObject* value) {
            if (text_view(key) == "template") {
                instance.record.fragments = parse_or_raise(text_view(value));
            }
        });
        return Owned::borrow(Py_None);
    });
}

// ---- properties ----------------------------------------------------------

PyObject* get_tokenizer(PyObject* self, void*) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return Owned::borrow(instance.record.tokenizer.get());
    });
}

int set_tokenizer(PyObject* self, PyObject* new_value, void*) {
    return setter_entry(new_value, [&](PyObject* value) {
        TemplateObject& instance = checked_self(self);
        Owned old;
        {
            ExclusiveBorrow borrow(instance.borrow_flag);
            refuse_deletion(value);
            old = std::exchange(instance.record.tokenizer, Owned::borrow(value));
        }
        // `old` goes last, once the template is consistent and free again:
        // its release may run arbitrary Python code.
    });
}

PyObject* get_fragments(PyObject* self, void*) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        FragmentList copies = instance.record.fragments;
        return fragments_to_python(std::move(copies));
    });
}

int set_fragments(PyObject* self, PyObject* new_value, void*) {
    return setter_entry(new_value, [&](PyObject* value) {
        TemplateObject& instance = checked_self(self);
        ExclusiveBorrow borrow(instance.borrow_flag);
        refuse_deletion(value);
        instance.record.fragments = to_native_list<Fragment>(value, extract_fragment);
    });
}

// ---- slots ---------------------------------------------------------------

PyObject* template_str(PyObject* self) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return template_text_str(instance.record.fragments);
    });
}

PyObject* template_iter(PyObject* self) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        FragmentList copies = instance.record.fragments;
        return new_fragment_iterator(std::move(copies));
    });
}

Py_ssize_t template_length(PyObject* self) {
    return value_entry<Py_ssize_t>([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return to_python_length(instance.record.fragments.size());
    });
}

PyObject* template_subscript(PyObject* self, PyObject* key) {
    return object_entry([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        const std::uint64_t index = to_index(key);
        const FragmentList& fragments = instance.record.fragments;
        if (index >= fragments.size()) {
            throw_message(PyExc_IndexError, "PromptTemplate index out of range");
        }
        Fragment copy = fragments[static_cast<std::size_t>(index)];
        return new_fragment_object(std::move(copy));
    });
}

Py_hash_t template_hash(PyObject* self) {
    return value_entry<Py_hash_t>([&] {
        TemplateObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        SipHasher13 hasher;
        for (const Fragment& fragment : instance.record.fragments) hash_text_form(hasher, fragment);
        hasher.update_byte(0xff);
        return to_python_hash(hasher.finish());
    });
}

// ---- cyclic garbage collection -------------------------------------------

int template_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(TemplateObject::from(self)->record.tokenizer.get());
    Py_VISIT(Py_TYPE(self));  // instances of a heap type own a reference to it
    return 0;
}

// Breaks a cycle through the tokenizer. The template stays valid (its
// tokenizer is None from then on) for whatever still reaches it before it is
// freed; the old tokenizer goes last, as its release may run Python code.
int template_clear(PyObject* self) {
    Owned old = std::exchange(TemplateObject::from(self)->record.tokenizer, Owned::borrow(Py_None));
    return 0;
}

// ---- class object --------------------------------------------------------

PyMethodDef kMethods[] = {
    {"parse", as_method(template_parse), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kParseDoc},
    {"__getstate__", as_method(template_getstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_method(template_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"tokenizer", get_tokenizer, set_tokenizer, "the tokenizer for processing", nullptr},
    {"fragments", get_fragments, set_fragments, "the fragments of the processed template", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(template_new)},
    {Py_tp_str, as_slot(template_str)},
    {Py_tp_repr, as_slot(template_str)},
    {Py_tp_iter, as_slot(template_iter)},
    {Py_mp_length, as_slot(template_length)},
    {Py_mp_subscript, as_slot(template_subscript)},
    {Py_tp_hash, as_slot(template_hash)},
    {Py_tp_traverse, as_slot(template_traverse)},
    {Py_tp_clear, as_slot(template_clear)},
};

const ClassSpec kSpec{
    .module = "frasolet",
    .name = kClassName,
    .doc = kClassDoc,
    .instance_size = sizeof(TemplateObject),
    .dealloc = release_instance<TemplateRecord>,
    .subclassing = Subclassing::allowed,
    // The tokenizer is any Python object, and one that keeps its templates
    // (or `t.tokenizer = t`) makes a cycle only the collector can free.
    .collection = Collection::cyclic,
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

LazyClass& template_class() {
    static LazyClass lazy(kSpec);
    return lazy;
}

}  // namespace

PyTypeObject* prompt_template_type() { return template_class().get(); }

}  // namespace frasolet

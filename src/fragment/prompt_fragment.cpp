#include "fragment/prompt_fragment.hpp"

#include <algorithm>

#include "binding/arguments.hpp"
#include "binding/class_object.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "fragment/siphash.hpp"
#include "module/parse_operation.hpp"

namespace frasolet {
namespace {

using namespace binding;

constexpr const char* kClassName = "PromptFragment";

constexpr const char* kClassDoc =
    "PromptFragment(self, string=None, option=None)\n--\n\n"
    "A :obj:`PromptFragment` store template fragments(including string and options).\n\n"
    "Args:\n"
    "    string (:obj:`str`,`optional`):\n"
    "        The string or mask name will be rendered.\n"
    "    option (:obj:`List[str]`):\n"
    "        The options will be applied to the fragment.";

constexpr Parameters kNewParameters{kClassName, "__new__", {"string", "option"}, 2, 0};
constexpr Parameters kParseParameters{kClassName, "parse", {"template"}, 1, 1};
constexpr Parameters kGetStateParameters{kClassName, "__getstate__", {}, 0, 0};
constexpr Parameters kSetStateParameters{kClassName, "__setstate__", {"state"}, 1, 1};

LazyClass& fragment_class();

// The record of `self` once it is known to be a PromptFragment.
FragmentObject& checked_self(PyObject* self) {
    check_instance(self, fragment_class());
    return *FragmentObject::from(self);
}

Owned options_to_python(const Fragment& record) {
    if (!record.options) return Owned::borrow(Py_None);
    return text_list_to_python(*record.options);
}

// ---- constructor and static method ---------------------------------------

PyObject* fragment_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) {
    return object_entry([&] {
        const BoundArguments bound = bind_tuple(kNewParameters, arguments, keywords);
        Fragment record;
        if (auto text = convert_argument("string", [&] { return optional_text_view(bound[0].get()); })) {
            record.string.assign(text->data(), text->size());
        }
        if (PyObject* option = bound[1].get(); option != nullptr && option != Py_None) {
            convert_argument("option", [&] { check_list(option); });
            record.options = to_text_list(option);
        }
        return make_instance(type, std::move(record));
    });
}

PyObject* fragment_parse(PyObject*, PyObject* const* arguments, Py_ssize_t count, PyObject* names) {
    return object_entry([&] { return parse_operation(kParseParameters, arguments, count, names); });
}

// ---- state ---------------------------------------------------------------

PyObject* fragment_getstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        bind_vector(kGetStateParameters, arguments, count, names);
        Owned state = make_dict();
        dict_set(state.get(), "string", make_str(instance.record.string));
        if (instance.record.options) {
            dict_set(state.get(), "options", text_list_to_python(*instance.record.options));
        }
        return state;
    });
}

// Applies each known key as it is met; what was applied before a failure
// stays applied.
void apply_state(Fragment& record, PyObject* state) {
    check_dict(state);
    visit_dict(state, [&](PyObject* key, PyObject* value) {
        const std::string_view name = text_view(key);
        if (name == "string") {
            record.string = to_text(value);
        } else if (name == "options") {
            record.options = to_text_list(value);
        }
    });
}

PyObject* fragment_setstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        ExclusiveBorrow borrow(instance.borrow_flag);
        const BoundArguments bound = bind_vector(kSetStateParameters, arguments, count, names);
        apply_state(instance.record, bound[0].get());
        return Owned::borrow(Py_None);
    });
}

// ---- properties ----------------------------------------------------------

PyObject* get_string(PyObject* self, void*) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return make_str(instance.record.string);
    });
}

int set_string(PyObject* self, PyObject* new_value, void*) {
    return setter_entry(new_value, [&](PyObject* value) {
        FragmentObject& instance = checked_self(self);
        ExclusiveBorrow borrow(instance.borrow_flag);
        refuse_deletion(value);
        instance.record.string = to_text(value);
    });
}

PyObject* get_options(PyObject* self, void*) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return options_to_python(instance.record);
    });
}

int set_options(PyObject* self, PyObject* new_value, void*) {
    return setter_entry(new_value, [&](PyObject* value) {
        FragmentObject& instance = checked_self(self);
        ExclusiveBorrow borrow(instance.borrow_flag);
        refuse_deletion(value);
        if (value == Py_None) {
            instance.record.options.reset();
        } else {
            instance.record.options = to_text_list(value);
        }
    });
}

// ---- slots ---------------------------------------------------------------

PyObject* fragment_str(PyObject* self) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return make_str(text_form(instance.record));
    });
}

PyObject* fragment_repr(PyObject* self) {
    return object_entry([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return make_str(representation(instance.record));
    });
}

Py_hash_t fragment_hash(PyObject* self) {
    return value_entry<Py_hash_t>([&] {
        FragmentObject& instance = checked_self(self);
        SharedBorrow borrow(instance.borrow_flag);
        return to_python_hash(fragment_digest(instance.record));
    });
}

// ---- class object --------------------------------------------------------

PyMethodDef kMethods[] = {
    {"parse", as_method(fragment_parse), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kParseDoc},
    {"__getstate__", as_method(fragment_getstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_method(fragment_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"string", get_string, set_string, "the content of the fragment", nullptr},
    {"options", get_options, set_options, "the options os the fragment", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(fragment_new)},
    {Py_tp_str, as_slot(fragment_str)},
    {Py_tp_repr, as_slot(fragment_repr)},
    {Py_tp_hash, as_slot(fragment_hash)},
};

const ClassSpec kSpec{
    .module = "frasolet",
    .name = kClassName,
    .doc = kClassDoc,
    .instance_size = sizeof(FragmentObject),
    .dealloc = release_instance<Fragment>,
    .subclassing = Subclassing::allowed,
    .collection = Collection::none,  // holds no Python object
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

LazyClass& fragment_class() {
    static LazyClass lazy(kSpec);
    return lazy;
}

}  // namespace

PyTypeObject* prompt_fragment_type() { return fragment_class().get(); }

Owned new_fragment_object(Fragment&& record) {
    try {
        return make_instance(prompt_fragment_type(), std::move(record));
    } catch (Failure& failure) {
        std::move(failure).restore();
        PyErr_PrintEx(0);
        throw_fault("could not allocate a PromptFragment instance");
    }
}

Owned fragments_to_python(FragmentList&& records) {
    return build_list(records.size(),
                      [&](std::size_t i) { return new_fragment_object(std::move(records[i])); });
}

FragmentObjectSink::FragmentObjectSink(std::size_t text_size) {
    // A guess of one fragment per 8 bytes, within a bound: the array lives
    // only for the call, and a wrong guess only costs a regrowth.
    constexpr std::size_t kMaxGuess = 4096;
    objects_.reserve(std::min(text_size / 8 + 1, kMaxGuess));
}

FragmentObjectSink::~FragmentObjectSink() {
    for (PyObject* object : objects_) Py_XDECREF(object);
}

void FragmentObjectSink::text(std::string_view piece) {
    if (open_text_ != nullptr) {
        open_text_->string.append(piece);  // grows with amortised doubling
        return;
    }
    Owned object = new_fragment_object(Fragment{Text(piece.data(), piece.size()), std::nullopt});
    objects_.push_back(object.get());
    open_text_ = &FragmentObject::from(object.release())->record;
}

void FragmentObjectSink::placeholder(std::string_view name,
                                     std::span<const std::string_view> spans) {
    open_text_ = nullptr;
    TextList options;
    options.reserve(spans.size());
    for (std::string_view span : spans) options.emplace_back(span.data(), span.size());
    Owned object = new_fragment_object(Fragment{Text(name.data(), name.size()), std::move(options)});
    objects_.push_back(object.get());
    object.release();  // now held by objects_
}

Owned FragmentObjectSink::into_list() {
    open_text_ = nullptr;
    Owned list = build_list(objects_.size(), [&](std::size_t i) {
        return Owned::steal(std::exchange(objects_[i], nullptr));
    });
    objects_.clear();
    return list;
}

Fragment extract_fragment(PyObject* object) {
    FragmentObject& instance = checked_self(object);
    SharedBorrow borrow(instance.borrow_flag);
    return instance.record;
}

}  // namespace frasolet

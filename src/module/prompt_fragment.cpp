#include "module/prompt_fragment.hpp"

#include <algorithm>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/class_object.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "module/module_state.hpp"
#include "module/parse_operation.hpp"
#include "module/record_conversions.hpp"

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

constexpr Parameters kNewParameters{
    .owner = kClassName, .function = "__new__", .names = {"string", "option"}, .required = 0};
constexpr Parameters kParseParameters = parse_parameters(kClassName);
constexpr Parameters kGetStateParameters{.owner = kClassName, .function = "__getstate__"};
constexpr Parameters kSetStateParameters{
    .owner = kClassName, .function = "__setstate__", .names = {"state"}, .required = 1};

extern const ClassSpec kSpec;

// A reader: body(const SharedRecord&) under a shared borrow.
template <class Body>
auto read_fragment(PyObject* self, Body&& body) {
    return read_entry<RecordRef>(self, kSpec,
                                 [&](const RecordRef& record) { return body(record.get()); });
}

// A field setter: body(RecordRef&, value) replaces the record.
template <class Body>
int set_fragment_field(PyObject* self, PyObject* value, Body&& body) {
    return setter_entry<RecordRef>(self, value, kSpec, std::forward<Body>(body));
}

// ---- constructor and static method ---------------------------------------

PyObject* fragment_new(PyTypeObject* type, PyObject* arguments, PyObject* keywords) {
    return object_entry([&] {
        const BoundArguments bound = bind_tuple(kNewParameters, arguments, keywords);
        Fragment record;
        if (auto text =
                convert_argument("string", [&] { return optional_text_view(bound[0].get()); })) {
            record.string.assign(text->data(), text->size());
        }
        if (PyObject* option = bound[1].get(); option != nullptr && option != Py_None) {
            convert_argument("option", [&] { check_list(option); });
            record.options = to_text_list(option);
        }
        return make_instance(type, RecordRef::adopt(SharedRecord::make(record)));
    });
}

// A static method, whose function is bound to the class it was defined on
// (binding/class_object.hpp): `self` is that class, whose module holds the
// classes, on a subclass's call too.
PyObject* fragment_parse(PyObject* defining_class, PyObject* const* arguments, Py_ssize_t count,
                         PyObject* names) {
    return object_entry([&] {
        return parse_operation(state_of_class(reinterpret_cast<PyTypeObject*>(defining_class)),
                               kParseParameters, arguments, count, names);
    });
}

// ---- state ---------------------------------------------------------------

PyObject* fragment_getstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return read_fragment(self, [&](const SharedRecord& record) {
        bind_vector(kGetStateParameters, arguments, count, names);
        Owned state = make_dict();
        dict_set(state.get(), "string", string_to_python(record));
        if (!record.is_text()) dict_set(state.get(), "options", options_to_python(record));
        return state;
    });
}

// The writes of both fields. Each makes the fragment a new record and lets
// go of the old one, which its other holders keep as it was.
void write_string(RecordRef& record, PyObject* text) {
    record = RecordRef::adopt(SharedRecord::with_string(*record, text_view(text)));
}

void write_options(RecordRef& record, PyObject* options) {
    std::optional<TextList> list;
    if (options != Py_None) list = to_text_list(options);
    record = RecordRef::adopt(SharedRecord::with_options(*record, list));
}

// Applies each known key as it is met; what was applied before a failure
// stays applied.
void apply_state(RecordRef& record, PyObject* state) {
    check_dict(state);
    visit_dict(state, [&](PyObject* key, PyObject* value) {
        const std::string_view name = text_view(key);
        if (name == "string") {
            write_string(record, value);
        } else if (name == "options") {
            record = RecordRef::adopt(SharedRecord::with_options(*record, to_text_list(value)));
        }
    });
}

PyObject* fragment_setstate(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                            PyObject* names) {
    return write_entry<RecordRef>(self, kSpec, [&](RecordRef& record) {
        const BoundArguments bound = bind_vector(kSetStateParameters, arguments, count, names);
        apply_state(record, bound[0].get());
        return Owned::borrow(Py_None);
    });
}

// ---- properties ----------------------------------------------------------

PyObject* get_string(PyObject* self, void*) {
    // Making a str allocates from the object allocator only: no collection,
    // no Python code.
    return quick_read_entry<RecordRef>(self, kSpec, [](const RecordRef& record) {
        return string_to_python(*record);
    });
}

int set_string(PyObject* self, PyObject* value, void*) {
    return set_fragment_field(self, value, write_string);
}

PyObject* get_options(PyObject* self, void*) {
    // A new list may start a collection, which runs Python code: the read
    // holds a borrow.
    return read_fragment(self,
                         [](const SharedRecord& record) { return options_to_python(record); });
}

int set_options(PyObject* self, PyObject* value, void*) {
    return set_fragment_field(self, value, write_options);
}

// ---- slots ---------------------------------------------------------------

PyObject* fragment_str(PyObject* self) {
    return read_fragment(self,
                         [](const SharedRecord& record) { return make_str(text_form(record)); });
}

PyObject* fragment_repr(PyObject* self) {
    return read_fragment(self, [](const SharedRecord& record) {
        return make_str(representation(record));
    });
}

Py_hash_t fragment_hash(PyObject* self) {
    return read_fragment(self, [](const SharedRecord& record) {
        return to_python_hash(fragment_digest(record));
    });
}

void release_fragment(PyObject* object);

// The cache that takes the block of `object`, a fragment being released: the
// one of its class's module state, for an exact instance whose record is not
// embedded in its block (every one but those a parse makes), else none.
BlockCache* cache_for(PyObject* object) noexcept {
    // An instance never built (a subclass's that only its allocation slot
    // made, binding/instance.hpp) or with an embedded record stays out.
    const FragmentObject& instance = *FragmentObject::from(object);
    if (!instance.is_built() || instance.record->is_embedded()) return nullptr;
    // The class itself, not a subclass (whose dealloc calls this one): only
    // the class derives from object directly.
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_base != &PyBaseObject_Type) return nullptr;
    ModuleState* state = state_of_exact_class(type);
    // Null once the state is cleared: nothing is kept after it was emptied.
    return state != nullptr && state->fragment_class == type ? &state->fragment_blocks : nullptr;
}

void release_fragment(PyObject* object) {
    // A subclass's instance (perhaps collected) takes the general way.
    if (BlockCache* cache = cache_for(object)) {
        release_exact_instance<RecordRef>(object, cache);
    } else {
        release_instance<RecordRef>(object);
    }
}

// ---- class object --------------------------------------------------------

PyMethodDef kMethods[] = {
    {"__getstate__", as_method(fragment_getstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_method(fragment_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kStaticMethods[] = {
    {"parse", as_method(fragment_parse), METH_FASTCALL | METH_KEYWORDS, kParseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"string", get_string, set_string, "the content of the fragment", nullptr},
    {"options", get_options, set_options, "the options os the fragment", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, as_slot(fragment_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_str, as_slot(fragment_str)},
    {Py_tp_repr, as_slot(fragment_repr)},
    {Py_tp_hash, as_slot(fragment_hash)},
    {0, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "frasolet.PromptFragment",
    .instance_size = sizeof(FragmentObject),
    .subclassing = Subclassing::allowed,
    .collection = Collection::none,  // holds no Python object
    .release = release_fragment,
    .allocate = allocate_default_instance<RecordRef>,  // an empty text, as PromptFragment()
    .slots = kSlots,
    .static_methods = kStaticMethods,
};

}  // namespace

const ClassSpec& prompt_fragment_spec() noexcept { return kSpec; }

namespace {

// A new instance of exactly `fragment_class` holding a reference to
// `record`, in new memory with `extra_bytes` after it (room for a record to
// be built there). An instance the interpreter cannot allocate is its
// MemoryError, as any other native memory exhaustion.
Owned make_fragment_object(PyTypeObject* fragment_class, std::size_t extra_bytes,
                           const RecordRef& record) {
    static_assert(sizeof(FragmentObject) % alignof(SharedRecord) == 0,
                  "a record built after the instance must be aligned");
    return make_exact_instance<RecordRef>(fragment_class, extra_bytes, record);
}

}  // namespace

Owned allocate_fragment_object(ModuleState& state, const RecordRef& record) {
    return make_fragment_object(state.fragment_class, 0, record);
}

Owned fragments_to_python(ModuleState& state, std::span<const RecordRef> records) {
    return build_list(records.size(),
                      [&](std::size_t i) { return new_fragment_object(state, records[i]); });
}

FragmentObjects::FragmentObjects(PyTypeObject* fragment_class, std::size_t text_size)
    : fragment_class_(fragment_class) {
    // A guess of one fragment per 4 bytes, within a bound: short prompts
    // have one every 6 or 7, and a guess too small costs a regrowth on the
    // templates parsed most often. The array lives only for the call.
    constexpr std::size_t kMaxGuess = 4096;
    objects_.reserve(std::min(text_size / 4 + 2, kMaxGuess));
}

FragmentObjects::~FragmentObjects() {
    for (PyObject* object : objects_) release_reference(object);
}

// The record goes right after the instance, in the same block: one
// allocation per fragment, and nothing more to free.
void FragmentObjects::add(std::string_view string, SharedRecord::OptionSpans options) {
    Owned object =
        make_fragment_object(fragment_class_, SharedRecord::size_of(string, options), RecordRef());
    void* tail = reinterpret_cast<char*>(object.get()) + sizeof(FragmentObject);
    FragmentObject::from(object.get())->record =
        RecordRef::adopt(SharedRecord::build_in(tail, string, options));
    objects_.push_back(object.get());
    object.release();  // now held by objects_
}

void FragmentObjects::add_text(std::string_view piece) { add(piece, std::nullopt); }

void FragmentObjects::extend_text(std::string_view piece) {
    RecordRef& last = FragmentObject::from(objects_.back())->record;
    last = RecordRef::adopt(SharedRecord::extended(*last, piece));
}

void FragmentObjects::add_placeholder(std::string_view name,
                                      std::span<const std::string_view> spans) {
    add(name, spans);
}

Owned FragmentObjects::into_list() {
    Owned list = build_list(objects_.size(), [&](std::size_t i) {
        return Owned::steal(std::exchange(objects_[i], nullptr));
    });
    objects_.clear();
    return list;
}

RecordRef extract_fragment(PyObject* object) {
    FragmentObject& instance = checked_self<RecordRef>(object, kSpec);
    SharedBorrow borrow(instance.borrow_flag);
    return instance.record.share();
}

}  // namespace frasolet

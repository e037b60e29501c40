#include "module/fragment_iter.hpp"

#include "binding/class_object.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"
#include "module/module_state.hpp"
#include "module/prompt_fragment.hpp"

namespace frasolet {
namespace {

using namespace binding;

// The records are shared with the template (and every other iterator of
// it); a write of the template replaces its list and leaves this one.
//
// The state holding the interpreter's classes, whose fragment class and
// block cache every step uses, is found through the iterator's own class,
// which was made for the module that owns that state.
struct IteratorRecord {
    explicit IteratorRecord(SharedRecordList held) noexcept
        : records(std::move(held)), next(records->data()), end(records->data() + records->size()) {}

    SharedRecordList records;
    // The records not yet handed out, within `records`, which never changes.
    const RecordRef* next;
    const RecordRef* end;
};

using IteratorObject = Instance<IteratorRecord>;

extern const ClassSpec kSpec;

PyObject* iterator_iter(PyObject* self) {
    return read_entry<IteratorRecord>(self, kSpec,
                                      [&](const IteratorRecord&) { return Owned::borrow(self); });
}

PyObject* iterator_next(PyObject* self) {
    bool exhausted = false;
    ModuleState* state = nullptr;
    PyObject* next_object = object_entry([&] {
        IteratorObject& instance = checked_self<IteratorRecord>(self, kSpec);
        // The iterator class has no subclasses. It has no module only inside
        // a collected cycle, and then says so as the interpreter's lookup does.
        state = state_of_exact_class(Py_TYPE(self));
        if (state == nullptr) throw_message(PyExc_SystemError, "type has no associated module");
        const RecordRef* next;
        {
            ExclusiveBorrow borrow(instance.borrow_flag);
            IteratorRecord& record = instance.record;
            if (record.next == record.end) {
                exhausted = true;
                return Owned();
            }
            next = record.next++;
        }
        // The list stays whole while the iterator lives, and making the
        // object runs no Python code.
        return new_fragment_object(*state, *next);
    });
    // Every iteration ends here, so the end is reported without a native
    // throw, which costs far more than the rest of the call.
    if (exhausted) {
        // StopIteration(None), as a generator that returns None ends.
        raise_with_arguments(PyExc_StopIteration, state->stop_arguments);
    }
    return next_object;
}

// The dealloc slot: the block goes to the cache of its class's module state
// while that state still holds the class, that is until it is cleared and
// emptied (and while the collector has not cleared the class).
void release_iterator(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    ModuleState* state = state_of_exact_class(type);
    const bool kept = state != nullptr && state->iterator_class == type;
    release_exact_instance<IteratorRecord>(object, kept ? &state->iterator_blocks : nullptr);
}

const PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("PromptFragmentIter(self)\n--\n\n")},
    {Py_tp_iter, as_slot(iterator_iter)},
    {Py_tp_iternext, as_slot(iterator_next)},
    {0, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.PromptFragmentIter",  // shown without a module
    .instance_size = sizeof(IteratorObject),
    .subclassing = Subclassing::refused,
    .collection = Collection::none,  // holds no Python object
    .release = release_iterator,
    .allocate = nullptr,  // no constructor
    .slots = kSlots,
};

// The class is made on first need, into the state of `module`.
PyTypeObject* iterator_class(PyObject* module) {
    ModuleState& state = state_of_module(module);
    if (state.iterator_class != nullptr) return state.iterator_class;
    Owned made = make_class(kSpec, module);
    // Making a class can run Python code; if another thread stored one
    // meanwhile, that one stays.
    if (state.iterator_class == nullptr) {
        state.iterator_class = reinterpret_cast<PyTypeObject*>(made.release());
    }
    return state.iterator_class;
}

}  // namespace

Owned new_fragment_iterator(PyObject* module, SharedRecordList records) {
    // An exact instance of a class without subclasses, made the quick way.
    PyTypeObject* type = iterator_class(module);
    ModuleState& state = state_of_module(module);
    IteratorRecord record(std::move(records));
    if (void* block = state.iterator_blocks.take()) {
        return init_exact_instance<IteratorRecord>(block, type, std::move(record));
    }
    return make_exact_instance<IteratorRecord>(type, 0, std::move(record));
}

}  // namespace frasolet

#include "module/records.hpp"

namespace frasolet {

using namespace binding;

TextList to_text_list(PyObject* object) {
    return to_native_list<Text>(object, [](PyObject* item) { return to_text(item); });
}

Owned options_to_python(const SharedRecord& record) {
    if (record.is_text()) return Owned::borrow(Py_None);
    // Options are mostly short ASCII words: one test of all their bytes
    // spares each its own.
    if (is_ascii(record.option_bytes())) {
        return build_list(record.option_count(),
                          [&](std::size_t i) { return make_ascii_str(record.option(i)); });
    }
    return build_list(record.option_count(),
                      [&](std::size_t i) { return make_str(record.option(i)); });
}

SharedRecordList SharedRecordList::make(RecordRefs&& records) {
    void* memory = memory_hooks().allocate(sizeof(Block));
    if (memory == nullptr) throw std::bad_alloc();
    SharedRecordList list;
    list.block_ = new (memory) Block{1, std::move(records)};
    return list;
}

void SharedRecordList::release(Block* block) noexcept {
    block->~Block();
    memory_hooks().release(block);
}

}  // namespace frasolet

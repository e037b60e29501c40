#include "module/record_conversions.hpp"

namespace frasolet {

using namespace binding;

TextList to_text_list(PyObject* object) {
    return to_native_list<Text>(object, [](PyObject* item) { return to_text(item); });
}

Owned option_list_to_python(const SharedRecord& record) {
    assert(!record.is_text());
    Owned list = new_list(record.option_count());
    Py_ssize_t index = 0;
    // Options are mostly short ASCII words: one test of all their bytes
    // spares each its own.
    if (is_ascii(record.option_bytes())) {
        record.each_option([&](std::string_view option) {
            set_list_item(list.get(), index++, make_ascii_str(option));
        });
    } else {
        record.each_option(
            [&](std::string_view option) { set_list_item(list.get(), index++, make_str(option)); });
    }
    return list;
}

}  // namespace frasolet

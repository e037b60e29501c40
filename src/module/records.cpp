#include "module/records.hpp"

namespace frasolet {

using namespace binding;

TextList to_text_list(PyObject* object) {
    return to_native_list<Text>(object, [](PyObject* item) { return to_text(item); });
}

Owned text_list_to_python(const TextList& texts) {
    return build_list(texts.size(), [&](std::size_t i) { return make_str(texts[i]); });
}

Owned options_to_python(const Fragment& record) {
    if (!record.options) return Owned::borrow(Py_None);
    return text_list_to_python(*record.options);
}

}  // namespace frasolet

#include "module/template_syntax_error.hpp"

#include <string>

#include "binding/convert.hpp"
#include "core/parse_stop.hpp"

namespace frasolet {
namespace {

using namespace binding;

// The class is written in Python: it only computes lines and columns and
// lays out a note, which Python says in a few lines, with integers that
// cannot overflow and the interpreter's own Unicode tables for the widths.
// It is run once per interpreter, in a namespace of its own whose __name__
// is the module's, so that the class pickles by reference as
// frasolet.TemplateSyntaxError.
constexpr const char* kClassSource = R"py(
import operator

try:
    _add_note = BaseException.add_note
except AttributeError:  # before 3.11: the list that later versions keep
    def _add_note(error, note):
        error.__dict__.setdefault("__notes__", []).append(note)

# Display columns of the line a note shows, and how far around pos it reads.
_WINDOW = 72
_REACH = _WINDOW + 8


def _index(name, value):
    if not hasattr(type(value), "__index__"):
        raise TypeError(f"argument '{name}': '{type(value).__qualname__}' object cannot be "
                        "interpreted as an integer")
    return operator.index(value)


def _cells(text):
    """Each character of one line as a terminal shows it, with its width."""
    from unicodedata import category, east_asian_width
    cells = []
    column = 0
    for char in text:
        if char == "\t":
            shown = " " * (8 - column % 8)
        elif category(char) in ("Cc", "Cs", "Zl", "Zp"):
            shown = "?"
        else:
            shown = char
        width = len(shown) if char == "\t" or char.isascii() else (
            2 if east_asian_width(char) in ("W", "F") else 1)
        cells.append((shown, width))
        column += width
    return cells


def _caret_note(doc, start, pos):
    """The line of pos with '~' under doc[start:pos] and '^' under pos."""
    pos = min(max(pos, 0), len(doc))
    start = min(max(start, 0), pos)
    low = max(0, pos - _REACH)
    before = max(doc.rfind("\n", low, pos), doc.rfind("\r", low, pos))
    begin = before + 1 if before >= 0 else low
    high = min(len(doc), pos + _REACH)
    ends = [at for at in (doc.find("\n", pos, high), doc.find("\r", pos, high)) if at >= 0]
    end = min(ends) if ends else high
    cells = _cells(doc[begin:end])
    caret = pos - begin
    columns = [0]
    for _, width in cells:
        columns.append(columns[-1] + width)
    total = columns[-1] + (caret == len(cells))
    left = 0
    if total > _WINDOW:
        left = max(0, min(columns[caret] - _WINDOW // 2, total - _WINDOW))
    first = next(i for i, column in enumerate(columns) if column >= left)
    last = first
    while last < len(cells) and columns[last + 1] - columns[first] <= _WINDOW:
        last += 1
    head = "..." if first > 0 or before < 0 < low else ""
    tail = "..." if last < len(cells) or (not ends and high < len(doc)) else ""
    line = "".join(shown for shown, _ in cells[first:last])
    marks = "".join(("~" if i >= start - begin else " ") * cells[i][1]
                    for i in range(first, caret))
    return f"    {head}{line}{tail}\n    {' ' * len(head)}{marks}^"


class TemplateSyntaxError(ValueError):
    """Raised by a strict parse of a template that the lenient parse would cut short.

    Attributes:

    * msg: why the parse stopped
    * doc: the whole template
    * pos: the offending character, in code points of doc: the first one that
      no rule of the grammar takes (len(doc) when the text ends too early)
    * start: where the lenient parse stops, the start of the piece that cannot
      be read (start <= pos; pos unless given)
    * lineno: the line of pos, from 1
    * colno: the column of pos, from 1
    """

    def __init__(self, msg, doc, pos, start=None):
        for name, value in (("msg", msg), ("doc", doc)):
            if not isinstance(value, str):
                raise TypeError(f"argument '{name}': '{type(value).__qualname__}' object "
                                "cannot be converted to 'PyString'")
        pos = _index("pos", pos)
        start = pos if start is None else _index("start", start)
        if start > pos:
            raise ValueError("argument 'start': after pos")
        # Lines end at "\n" and columns count from 1, as json.JSONDecodeError has them.
        lineno = doc.count("\n", 0, pos) + 1
        colno = pos - doc.rfind("\n", 0, pos)
        super().__init__(f"{msg}: line {lineno} column {colno} (char {pos})")
        self.msg, self.doc, self.pos, self.start = msg, doc, pos, start
        self.lineno, self.colno = lineno, colno
        _add_note(self, _caret_note(doc, start, pos))

    # Made again from its arguments, with whatever else the instance's dict
    # holds (notes, attributes set later) restored after.
    def __reduce__(self):
        return type(self), (self.msg, self.doc, self.pos, self.start), self.__dict__
)py";

}  // namespace

Owned make_template_syntax_error(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_fetched();
    const Owned code = Owned::steal(
        Py_CompileString(kClassSource, "<frasolet.TemplateSyntaxError>", Py_file_input));
    if (!code) throw_fetched();
    const Owned names = make_dict();
    if (PyDict_SetItemString(names.get(), "__name__", make_str(module_name).get()) < 0 ||
        PyDict_SetItemString(names.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        throw_fetched();
    }
    if (!Owned::steal(PyEval_EvalCode(code.get(), names.get(), names.get()))) throw_fetched();
    PyObject* const type = PyDict_GetItemString(names.get(), "TemplateSyntaxError");
    if (type == nullptr) throw_message(PyExc_SystemError, "TemplateSyntaxError was not defined");
    return Owned::borrow(type);
}

void throw_template_syntax_error(PyObject* error_class, PyObject* doc, std::string_view text,
                                 std::size_t length) {
    const ParseStop stop = explain_stop(text, length);
    const Owned msg = make_str(stop_message(text, stop));
    const std::size_t start = code_point_count(text.substr(0, stop.start));
    const std::size_t pos =
        start + code_point_count(text.substr(stop.start, stop.found - stop.start));
    const Owned error = Owned::steal(PyObject_CallFunction(error_class, "OOnn", msg.get(), doc,
                                                           static_cast<Py_ssize_t>(pos),
                                                           static_cast<Py_ssize_t>(start)));
    if (!error) throw_fetched();
    PyErr_SetObject(error_class, error.get());
    throw_fetched();
}

}  // namespace frasolet

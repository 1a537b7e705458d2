// Binding halves of the exported functions: bind and convert the arguments,
// run the computation on the converted copies, and turn its outcome into new
// Python objects or an exception.
#include "lib/functions.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "data/py_records.hpp"
#include "data/records.hpp"
#include "funcs.hpp"
#include "lib/binding.hpp"
#include "lib/ref.hpp"

namespace lib {
namespace {

using data::LineItem;

// The parameters of each function, in order, with the function's display name.
template <size_t N>
struct Parameters {
  const char* display_name;
  std::array<Key, N> names;

  Signature signature() const noexcept {
    return {display_name, names.data(), static_cast<Py_ssize_t>(N)};
  }
};

constexpr Parameters<2> kGetTotals = {"py_get_totals()", {Key::lines, Key::quantization}};
constexpr Parameters<2> kReckonLines = {"py_reckon_lines()", {Key::lines, Key::quantization}};
constexpr Parameters<3> kDivideAmount = {"py_divide_amount()",
                                         {Key::source_amount, Key::divisor, Key::quantization}};
constexpr Parameters<1> kDeliverableLines = {"py_deliverable_lines()",
                                             {Key::provided_lines_context}};
constexpr Parameters<1> kTipFeeLines = {"py_tip_fee_lines()", {Key::provided_lines_context}};

// Binds and converts all arguments of a call in parameter order.
template <size_t N, class... T, size_t... I>
bool take_arguments_impl(const Parameters<N>& params, const State& st, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, std::index_sequence<I...>,
                         T&... out) {
  PyObject* slots[N];
  if (!bind_arguments(params.signature(), st, args, nargs, kwnames, slots)) return false;
  return (convert_argument(slots[I], params.names[I], out, st) && ...);
}

template <size_t N, class... T>
bool take_arguments(const Parameters<N>& params, const State& st, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, T&... out) {
  static_assert(sizeof...(T) == N, "one output per parameter");
  return take_arguments_impl(params, st, args, nargs, kwnames, std::index_sequence_for<T...>{},
                             out...);
}

// The note of a computation's error: where in the arguments it arose, seen
// from `argument` (the parameter that the computation's input came from, or
// none when the error names its parameter itself), with the text to blame.
[[gnu::cold, gnu::noinline]] std::string error_place(const char* argument,
                                                     const data::TabulationError& error) {
  std::string place = argument;
  if (error.line) {
    place += '[';
    place += std::to_string(*error.line);
    place += ']';
  }
  if (!error.where.empty()) {
    if (!place.empty()) place += '.';
    place += error.where;
  }
  return place;
}

// Raises the error value of a failed computation as ValueError with a note
// that says where it arose.
template <class R>
[[gnu::cold, gnu::noinline]] PyObject* raise_error(const R& result, const char* argument) {
  const data::TabulationError& error = result.error();
  std::string note = error_place(argument, error);
  if (error.input) {
    // The text is shown as its repr, of its head only when it is long: an
    // ellipsis inside the closing quote and the whole length follow, as in
    // 'ab…' (1000 characters). The head ends between characters, so no escape
    // is cut.
    const data::Excerpt& input = *error.input;
    Ref text = Ref::steal(new_text(input.head));
    Ref repr = text ? Ref::steal(PyObject_Repr(text.get())) : Ref();
    Py_ssize_t size = 0;
    const char* shown = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    if (shown != nullptr) {
      if (!note.empty()) note += ": ";
      if (!input.cut()) {
        note.append(shown, static_cast<std::size_t>(size));
      } else {
        note.append(shown, static_cast<std::size_t>(size) - 1);
        note += "\xE2\x80\xA6";  // U+2026 HORIZONTAL ELLIPSIS
        note += shown[size - 1];
        note += " (";
        note += std::to_string(input.length);
        note += " characters)";
      }
    } else if (!raising_ordinary_exception()) {
      return nullptr;
    } else {
      PyErr_Clear();  // the note is an aid; the ValueError is raised without its text
    }
  }
  raise_value_error(error.message);
  if (!note.empty()) add_note(note);
  return nullptr;
}

PyObject* get_totals(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  const State& st = module_state(module);
  return guarded([&]() -> PyObject* {
    std::vector<LineItem> lines;
    uint32_t q = 0;
    if (!take_arguments(kGetTotals, st, args, nargs, kwnames, lines, q)) return nullptr;
    auto totals = funcs::tabulate(lines, q);
    if (!totals) return raise_error(totals, "lines");

    Ref subtotals = Ref::steal(PyDict_New());
    if (!subtotals) return nullptr;
    // Lines sharing an id share one entry; the later line's amount wins.
    for (size_t k = 0; k < totals->first.size(); ++k) {
      Ref id = Ref::steal(PyLong_FromLong(lines[totals->first[k]].id));
      Ref text = Ref::steal(new_decimal_text(totals->amounts[k]));
      if (!id || !text || PyDict_SetItem(subtotals.get(), id.get(), text.get()) < 0) {
        return nullptr;
      }
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Ref total = Ref::steal(new_decimal_text(funcs::quantize(totals->total, q)));
    Ref discount = Ref::steal(new_decimal_text(funcs::quantize(totals->discount, q)));
    if (!total || !discount || PyDict_SetItem(result.get(), st.key(Key::total), total.get()) < 0 ||
        PyDict_SetItem(result.get(), st.key(Key::discount), discount.get()) < 0 ||
        PyDict_SetItem(result.get(), st.key(Key::subtotals), subtotals.get()) < 0) {
      return nullptr;
    }
    return result.release();
  });
}

PyObject* reckon_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  const State& st = module_state(module);
  return guarded([&]() -> PyObject* {
    std::vector<LineItem> lines;
    uint32_t q = 0;
    if (!take_arguments(kReckonLines, st, args, nargs, kwnames, lines, q)) return nullptr;
    auto total = funcs::reckon_lines(std::move(lines), q);
    if (!total) return raise_error(total, "lines");
    return new_decimal_text(*total);
  });
}

PyObject* divide_amount(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  const State& st = module_state(module);
  return guarded([&]() -> PyObject* {
    std::string amount;
    uint16_t divisor = 0;
    uint32_t q = 0;
    if (!take_arguments(kDivideAmount, st, args, nargs, kwnames, amount, divisor, q)) {
      return nullptr;
    }
    auto split = funcs::split_amount(amount, divisor, q);
    if (!split) return raise_error(split, "");
    // Two texts serve every share: each list entry is a new reference to one.
    Ref rest = Ref::steal(new_ascii_text(split->rest_text));
    Ref front = split->front > 0 ? Ref::steal(new_ascii_text(split->front_text)) : Ref();
    if (!rest || (split->front > 0 && !front)) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(split->count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < split->count; ++i) {
      PyObject* text = i < split->front ? front.get() : rest.get();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(text));
    }
    return list.release();
  });
}

PyObject* deliverable_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  const State& st = module_state(module);
  return guarded([&]() -> PyObject* {
    data::DeliverableLinesContext context;
    if (!take_arguments(kDeliverableLines, st, args, nargs, kwnames, context)) return nullptr;
    auto lines = funcs::deliverable_lines(std::move(context));
    if (!lines) return raise_error(lines, "provided_lines_context");
    return data::to_python(*lines, st);
  });
}

PyObject* tip_fee_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  const State& st = module_state(module);
  return guarded([&]() -> PyObject* {
    data::TipLinesContext context;
    if (!take_arguments(kTipFeeLines, st, args, nargs, kwnames, context)) return nullptr;
    auto lines = funcs::tip_fee_lines(context);
    if (!lines) return raise_error(lines, "provided_lines_context");
    return data::to_python(*lines, st);
  });
}

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef kFunctions[] = {
    {"py_get_totals", fastcall<&get_totals>(), METH_FASTCALL | METH_KEYWORDS,
     "py_get_totals(lines, quantization)\n--\n\n"},
    {"py_reckon_lines", fastcall<&reckon_lines>(), METH_FASTCALL | METH_KEYWORDS,
     "py_reckon_lines(lines, quantization)\n--\n\n"},
    {"py_divide_amount", fastcall<&divide_amount>(), METH_FASTCALL | METH_KEYWORDS,
     "py_divide_amount(source_amount, divisor, quantization)\n--\n\n"},
    {"py_deliverable_lines", fastcall<&deliverable_lines>(), METH_FASTCALL | METH_KEYWORDS,
     "py_deliverable_lines(provided_lines_context)\n--\n\nPython binding for deliverable_lines"},
    {"py_tip_fee_lines", fastcall<&tip_fee_lines>(), METH_FASTCALL | METH_KEYWORDS,
     "py_tip_fee_lines(provided_lines_context)\n--\n\nPython binding for tip_fee_lines"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lib

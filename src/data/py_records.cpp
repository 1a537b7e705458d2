#include "data/py_records.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "data/py_enums.hpp"
#include "lib/binding.hpp"
#include "lib/ref.hpp"

namespace data {
namespace {

using lib::fast_convert;
using lib::Key;
using lib::read_field;
using lib::Ref;

// Reads the fields of a record from one scan of an exact dict, each by its
// fast conversion, in declaration order.
template <std::size_t N, class... F>
bool fast_record(PyObject* obj, const lib::State& st, const std::array<Key, N>& fields,
                 F&... out) {
  static_assert(sizeof...(F) == N, "one output per field");
  PyObject* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = st.key(fields[i]);
  // The fields that take a value object, one bit each.
  constexpr uint32_t enumerations = [] {
    constexpr bool is_enum[] = {std::is_enum_v<F>...};
    uint32_t bits = 0;
    for (std::size_t i = 0; i < N; ++i) bits |= is_enum[i] ? 1U << i : 0U;
    return bits;
  }();
  lib::FieldValues<N> values;
  if (!values.scan(obj, names, enumerations, st)) return false;
  std::size_t i = 0;
  return (lib::fast_field(values[i++], out, st) && ...);
}

PyObject* optional_to_python(const std::optional<std::string>& text) {
  return text ? lib::new_text(*text) : Py_NewRef(Py_None);
}

PyObject* optional_to_python(const std::optional<int64_t>& number) {
  return number ? PyLong_FromLongLong(*number) : Py_NewRef(Py_None);
}

// Stores a new value under a key string of the interpreter; the value
// reference is always consumed.
bool set_item(PyObject* dict, const lib::State& st, Key k, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItem(dict, st.key(k), owned.get()) >= 0;
}

// Stores a value object borrowed from the interpreter's set (shared_object);
// the dict takes the only reference.
bool set_shared(PyObject* dict, const lib::State& st, Key k, PyObject* value) {
  return value != nullptr && PyDict_SetItem(dict, st.key(k), value) >= 0;
}

}  // namespace

namespace {

// Each record's fields in declaration order: the keys it is read by, and where
// each value goes. Both readings below take them from here.
template <class F>
bool fields_of(LineItem& out, F&& read) {
  static constexpr std::array kKeys = {
      Key::id,         Key::priority,          Key::kind,
      Key::amount,     Key::description,       Key::frozen_value,
      Key::percentage, Key::category,          Key::destination_user_id,
      Key::destination_account, Key::back_into_percentage};
  return read("LineItem", kKeys, out.id, out.priority, out.kind, out.amount, out.description,
              out.frozen_value, out.percentage, out.category, out.destination_user_id,
              out.destination_account, out.back_into_percentage);
}

template <class F>
bool fields_of(ServicePlan& out, F&& read) {
  static constexpr std::array kKeys = {
      Key::id,          Key::name,         Key::connection_fee_waived,
      Key::per_deliverable_price,          Key::max_simultaneous_orders,
      Key::waitlisting, Key::paypal_invoicing, Key::shield_static_price,
      Key::shield_percentage_price};
  return read("ServicePlan", kKeys, out.id, out.name, out.connection_fee_waived,
              out.per_deliverable_price, out.max_simultaneous_orders, out.waitlisting,
              out.paypal_invoicing, out.shield_static_price, out.shield_percentage_price);
}

template <class F>
bool fields_of(Pricing& out, F&& read) {
  static constexpr std::array kKeys = {
      Key::plans,
      Key::minimum_price,
      Key::table_percentage,
      Key::table_static,
      Key::table_tax,
      Key::processing_percentage,
      Key::processing_static,
      Key::international_conversion_percentage,
      Key::preferred_plan,
      Key::stripe_blended_rate_percentage,
      Key::stripe_blended_rate_static,
      Key::stripe_payout_cross_border_percentage,
      Key::stripe_active_account_monthly_fee,
      Key::stripe_payout_static,
      Key::stripe_payout_percentage};
  return read("Pricing", kKeys, out.plans, out.minimum_price, out.table_percentage,
              out.table_static, out.table_tax, out.processing_percentage, out.processing_static,
              out.international_conversion_percentage, out.preferred_plan,
              out.stripe_blended_rate_percentage, out.stripe_blended_rate_static,
              out.stripe_payout_cross_border_percentage, out.stripe_active_account_monthly_fee,
              out.stripe_payout_static, out.stripe_payout_percentage);
}

template <class F>
bool fields_of(TipLinesContext& out, F&& read) {
  static constexpr std::array kKeys = {Key::pricing, Key::international, Key::quantization};
  return read("TipLinesContext", kKeys, out.pricing, out.international, out.quantization);
}

template <class F>
bool fields_of(DeliverableLinesContext& out, F&& read) {
  static constexpr std::array kKeys = {
      Key::base_price,  Key::table_product, Key::escrow_enabled,     Key::international,
      Key::extra_lines, Key::plan_name,     Key::pricing,            Key::user_id,
      Key::allow_soft_failure,              Key::quantization};
  return read("DeliverableLinesContext", kKeys, out.base_price, out.table_product,
              out.escrow_enabled, out.international, out.extra_lines, out.plan_name, out.pricing,
              out.user_id, out.allow_soft_failure, out.quantization);
}

// The fast reading of a record: one scan of an exact dict.
template <class R>
bool fast_record_of(PyObject* obj, R& out, const lib::State& st) {
  return fields_of(out, [obj, &st](const char*, const auto& keys, auto&... field) {
    return fast_record(obj, st, keys, field...);
  });
}

// The general reading of a record: item access field by field, the first
// failure reported as the field error. The fast reading is tried first.
template <class R>
bool read_record(PyObject* obj, R& out, const lib::Path& at) {
  const lib::State& st = at.state();
  if (fast_record_of(obj, out, st)) return true;
  return fields_of(out, [obj, &st, &at](const char* record, const auto& keys, auto&... field) {
    std::size_t i = 0;
    return (read_field(obj, st, keys[i++], record, field, at) && ...);
  });
}

}  // namespace

bool fast_convert(PyObject* obj, LineItem& out, const lib::State& st) {
  return fast_record_of(obj, out, st);
}
bool fast_convert(PyObject* obj, ServicePlan& out, const lib::State& st) {
  return fast_record_of(obj, out, st);
}
bool fast_convert(PyObject* obj, Pricing& out, const lib::State& st) {
  return fast_record_of(obj, out, st);
}
bool fast_convert(PyObject* obj, TipLinesContext& out, const lib::State& st) {
  return fast_record_of(obj, out, st);
}
bool fast_convert(PyObject* obj, DeliverableLinesContext& out, const lib::State& st) {
  return fast_record_of(obj, out, st);
}

bool convert(PyObject* obj, LineItem& out, const lib::Path& at) { return read_record(obj, out, at); }
bool convert(PyObject* obj, ServicePlan& out, const lib::Path& at) { return read_record(obj, out, at); }
bool convert(PyObject* obj, Pricing& out, const lib::Path& at) { return read_record(obj, out, at); }
bool convert(PyObject* obj, TipLinesContext& out, const lib::Path& at) {
  return read_record(obj, out, at);
}
bool convert(PyObject* obj, DeliverableLinesContext& out, const lib::Path& at) {
  return read_record(obj, out, at);
}

namespace {

// Sets the eleven keys of a line in declaration order.
bool fill_line(PyObject* d, const LineItem& line, const lib::State& st) {
  return set_item(d, st, Key::id, PyLong_FromLong(line.id)) &&
         set_item(d, st, Key::priority, PyLong_FromLong(line.priority)) &&
         set_shared(d, st, Key::kind, shared_object(line.kind, st)) &&
         set_item(d, st, Key::amount, lib::new_text(line.amount)) &&
         set_item(d, st, Key::description, lib::new_text(line.description)) &&
         set_item(d, st, Key::frozen_value, optional_to_python(line.frozen_value)) &&
         set_item(d, st, Key::percentage, lib::new_text(line.percentage)) &&
         set_shared(d, st, Key::category, shared_object(line.category, st)) &&
         set_item(d, st, Key::destination_user_id,
                  optional_to_python(line.destination_user_id)) &&
         set_shared(d, st, Key::destination_account,
                    shared_object(line.destination_account, st)) &&
         set_item(d, st, Key::back_into_percentage, PyBool_FromLong(line.back_into_percentage));
}

}  // namespace

PyObject* to_python(const LineItem& line, const lib::State& st) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !fill_line(dict.get(), line, st)) return nullptr;
  return dict.release();
}

PyObject* to_python(const std::vector<LineItem>& lines, const lib::State& st) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return nullptr;
  if (lines.empty()) return list.release();
  PyObject* first = nullptr;  // borrowed from the list
  for (size_t i = 0; i < lines.size(); ++i) {
    // Every later dict starts as a copy of the first, which holds the same
    // keys in the same order, so that setting its values replaces them instead
    // of growing a new dict key by key.
    Ref dict = Ref::steal(first == nullptr ? PyDict_New() : PyDict_Copy(first));
    if (!dict || !fill_line(dict.get(), lines[i], st)) return nullptr;
    if (first == nullptr) first = dict.get();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

}  // namespace data

#include "data/py_records.hpp"

#include "data/py_enums.hpp"
#include "lib/binding.hpp"
#include "lib/ref.hpp"

namespace data {
namespace {

using lib::Key;
using lib::read_field;
using lib::Ref;

PyObject* optional_to_python(const std::optional<std::string>& text) {
  return text ? lib::new_text(*text) : Py_NewRef(Py_None);
}

PyObject* optional_to_python(const std::optional<int64_t>& number) {
  return number ? PyLong_FromLongLong(*number) : Py_NewRef(Py_None);
}

// Stores a new value under a key; the value reference is always consumed.
bool set_item(PyObject* dict, Key k, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  PyObject* name = lib::key(k);
  return name != nullptr && PyDict_SetItem(dict, name, owned.get()) >= 0;
}

}  // namespace

bool convert(PyObject* obj, LineItem& out, const lib::Path& at) {
  constexpr const char* r = "LineItem";
  return read_field(obj, Key::id, r, out.id, at) && read_field(obj, Key::priority, r, out.priority, at) &&
         read_field(obj, Key::kind, r, out.kind, at) && read_field(obj, Key::amount, r, out.amount, at) &&
         read_field(obj, Key::description, r, out.description, at) &&
         read_field(obj, Key::frozen_value, r, out.frozen_value, at) &&
         read_field(obj, Key::percentage, r, out.percentage, at) &&
         read_field(obj, Key::category, r, out.category, at) &&
         read_field(obj, Key::destination_user_id, r, out.destination_user_id, at) &&
         read_field(obj, Key::destination_account, r, out.destination_account, at) &&
         read_field(obj, Key::back_into_percentage, r, out.back_into_percentage, at);
}

bool convert(PyObject* obj, ServicePlan& out, const lib::Path& at) {
  constexpr const char* r = "ServicePlan";
  return read_field(obj, Key::id, r, out.id, at) && read_field(obj, Key::name, r, out.name, at) &&
         read_field(obj, Key::connection_fee_waived, r, out.connection_fee_waived, at) &&
         read_field(obj, Key::per_deliverable_price, r, out.per_deliverable_price, at) &&
         read_field(obj, Key::max_simultaneous_orders, r, out.max_simultaneous_orders, at) &&
         read_field(obj, Key::waitlisting, r, out.waitlisting, at) &&
         read_field(obj, Key::paypal_invoicing, r, out.paypal_invoicing, at) &&
         read_field(obj, Key::shield_static_price, r, out.shield_static_price, at) &&
         read_field(obj, Key::shield_percentage_price, r, out.shield_percentage_price, at);
}

bool convert(PyObject* obj, Pricing& out, const lib::Path& at) {
  constexpr const char* r = "Pricing";
  return read_field(obj, Key::plans, r, out.plans, at) &&
         read_field(obj, Key::minimum_price, r, out.minimum_price, at) &&
         read_field(obj, Key::table_percentage, r, out.table_percentage, at) &&
         read_field(obj, Key::table_static, r, out.table_static, at) &&
         read_field(obj, Key::table_tax, r, out.table_tax, at) &&
         read_field(obj, Key::processing_percentage, r, out.processing_percentage, at) &&
         read_field(obj, Key::processing_static, r, out.processing_static, at) &&
         read_field(obj, Key::international_conversion_percentage, r,
                    out.international_conversion_percentage, at) &&
         read_field(obj, Key::preferred_plan, r, out.preferred_plan, at) &&
         read_field(obj, Key::stripe_blended_rate_percentage, r,
                    out.stripe_blended_rate_percentage, at) &&
         read_field(obj, Key::stripe_blended_rate_static, r, out.stripe_blended_rate_static, at) &&
         read_field(obj, Key::stripe_payout_cross_border_percentage, r,
                    out.stripe_payout_cross_border_percentage, at) &&
         read_field(obj, Key::stripe_active_account_monthly_fee, r,
                    out.stripe_active_account_monthly_fee, at) &&
         read_field(obj, Key::stripe_payout_static, r, out.stripe_payout_static, at) &&
         read_field(obj, Key::stripe_payout_percentage, r, out.stripe_payout_percentage, at);
}

bool convert(PyObject* obj, TipLinesContext& out, const lib::Path& at) {
  constexpr const char* r = "TipLinesContext";
  return read_field(obj, Key::pricing, r, out.pricing, at) &&
         read_field(obj, Key::international, r, out.international, at) &&
         read_field(obj, Key::quantization, r, out.quantization, at);
}

bool convert(PyObject* obj, DeliverableLinesContext& out, const lib::Path& at) {
  constexpr const char* r = "DeliverableLinesContext";
  return read_field(obj, Key::base_price, r, out.base_price, at) &&
         read_field(obj, Key::table_product, r, out.table_product, at) &&
         read_field(obj, Key::escrow_enabled, r, out.escrow_enabled, at) &&
         read_field(obj, Key::international, r, out.international, at) &&
         read_field(obj, Key::extra_lines, r, out.extra_lines, at) &&
         read_field(obj, Key::plan_name, r, out.plan_name, at) &&
         read_field(obj, Key::pricing, r, out.pricing, at) &&
         read_field(obj, Key::user_id, r, out.user_id, at) &&
         read_field(obj, Key::allow_soft_failure, r, out.allow_soft_failure, at) &&
         read_field(obj, Key::quantization, r, out.quantization, at);
}

PyObject* to_python(const LineItem& line) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  bool ok = set_item(d, Key::id, PyLong_FromLong(line.id)) &&
            set_item(d, Key::priority, PyLong_FromLong(line.priority)) &&
            set_item(d, Key::kind, to_python(line.kind)) &&
            set_item(d, Key::amount, lib::new_text(line.amount)) &&
            set_item(d, Key::description, lib::new_text(line.description)) &&
            set_item(d, Key::frozen_value, optional_to_python(line.frozen_value)) &&
            set_item(d, Key::percentage, lib::new_text(line.percentage)) &&
            set_item(d, Key::category, to_python(line.category)) &&
            set_item(d, Key::destination_user_id, optional_to_python(line.destination_user_id)) &&
            set_item(d, Key::destination_account, to_python(line.destination_account)) &&
            set_item(d, Key::back_into_percentage, PyBool_FromLong(line.back_into_percentage));
  return ok ? dict.release() : nullptr;
}

PyObject* to_python(const std::vector<LineItem>& lines) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lines.size(); ++i) {
    PyObject* item = to_python(lines[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace data

/* The floor of the benchmarks: an extension with the five functions of
 * tallyforge that reads the same arguments the same way (item access with
 * interned keys, every field converted and range-checked) and builds results of
 * the same shape (new dicts, lists and strings), but computes nothing: the
 * texts it returns are copies of texts it read. What tallyforge spends above
 * this floor is its own work.
 *
 * Built by `make bench` into build/bench, never installed. It also carries the
 * callgrind client requests the instruction counts use, which do nothing
 * outside valgrind. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define HAVE_CALLGRIND 1
#endif
#endif

enum {
    K_id, K_priority, K_kind, K_amount, K_description, K_frozen_value, K_percentage, K_category,
    K_destination_user_id, K_destination_account, K_back_into_percentage,
    K_name, K_connection_fee_waived, K_per_deliverable_price, K_max_simultaneous_orders,
    K_waitlisting, K_paypal_invoicing, K_shield_static_price, K_shield_percentage_price,
    K_plans, K_minimum_price, K_table_percentage, K_table_static, K_table_tax,
    K_processing_percentage, K_processing_static, K_international_conversion_percentage,
    K_preferred_plan, K_stripe_blended_rate_percentage, K_stripe_blended_rate_static,
    K_stripe_payout_cross_border_percentage, K_stripe_active_account_monthly_fee,
    K_stripe_payout_static, K_stripe_payout_percentage,
    K_pricing, K_international, K_quantization, K_base_price, K_table_product, K_escrow_enabled,
    K_extra_lines, K_plan_name, K_user_id, K_allow_soft_failure,
    K_total, K_discount, K_subtotals, K_COUNT
};

static const char *const key_names[K_COUNT] = {
    "id", "priority", "kind", "amount", "description", "frozen_value", "percentage", "category",
    "destination_user_id", "destination_account", "back_into_percentage",
    "name", "connection_fee_waived", "per_deliverable_price", "max_simultaneous_orders",
    "waitlisting", "paypal_invoicing", "shield_static_price", "shield_percentage_price",
    "plans", "minimum_price", "table_percentage", "table_static", "table_tax",
    "processing_percentage", "processing_static", "international_conversion_percentage",
    "preferred_plan", "stripe_blended_rate_percentage", "stripe_blended_rate_static",
    "stripe_payout_cross_border_percentage", "stripe_active_account_monthly_fee",
    "stripe_payout_static", "stripe_payout_percentage",
    "pricing", "international", "quantization", "base_price", "table_product", "escrow_enabled",
    "extra_lines", "plan_name", "user_id", "allow_soft_failure",
    "total", "discount", "subtotals",
};

static PyObject *keys[K_COUNT];
static PyObject *line_type, *category, *account;
/* Value objects the generated lines carry. */
static PyObject *lt_base_price, *lt_shield, *lt_card_fee, *lt_payout_fee, *lt_connect_fee,
    *lt_cross_border, *lt_processing;
static PyObject *cat_escrow_hold, *cat_shield_fee, *cat_third_party, *cat_processing;
static PyObject *acc_escrow, *acc_fund;

/* A text read from Python: UTF-8 bytes that the argument keeps alive. */
typedef struct {
    const char *data;
    Py_ssize_t size;
} Text;

typedef struct {
    int32_t id;
    int16_t priority;
    PyObject *kind, *category, *account; /* borrowed: process-wide value objects */
    Text amount, description, frozen_value, percentage;
    int has_frozen, has_user;
    int64_t user_id;
    int back_into;
} Line;

typedef struct {
    Text name, per_deliverable_price, shield_static_price, shield_percentage_price;
    int connection_fee_waived;
} Plan;

typedef struct {
    Plan *plans;
    Py_ssize_t plan_count;
    Text texts[14]; /* minimum_price to stripe_payout_percentage, in key order */
} Pricing;

#define PRICING_TEXT(p, k) ((p)->texts[(k) - K_minimum_price])

static int out_of_range(void) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
}

/* Fetches obj[key] as a new reference. */
static PyObject *item(PyObject *obj, int key) { return PyObject_GetItem(obj, keys[key]); }

static int read_long(PyObject *obj, int key, long lo, long hi, long *out) {
    PyObject *v = item(obj, key);
    if (v == NULL) return -1;
    long x = PyLong_AsLong(v);
    Py_DECREF(v);
    if (x == -1 && PyErr_Occurred()) return -1;
    if (x < lo || x > hi) return out_of_range();
    *out = x;
    return 0;
}

static int read_text_value(PyObject *v, Text *out) {
    if (!PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "not a str");
        return -1;
    }
    out->data = PyUnicode_AsUTF8AndSize(v, &out->size);
    return out->data == NULL ? -1 : 0;
}

/* The text stays alive in the argument, which the caller holds. */
static int read_text(PyObject *obj, int key, Text *out) {
    PyObject *v = item(obj, key);
    if (v == NULL) return -1;
    int r = read_text_value(v, out);
    Py_DECREF(v);
    return r;
}

static int read_optional_text(PyObject *obj, int key, Text *out, int *present) {
    PyObject *v = item(obj, key);
    if (v == NULL) return -1;
    int r = 0;
    *present = v != Py_None;
    if (*present) r = read_text_value(v, out);
    Py_DECREF(v);
    return r;
}

static int read_bool(PyObject *obj, int key, int *out) {
    PyObject *v = item(obj, key);
    if (v == NULL) return -1;
    int r = 0;
    if (!PyBool_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "not a bool");
        r = -1;
    }
    *out = v == Py_True;
    Py_DECREF(v);
    return r;
}

static int read_enum(PyObject *obj, int key, PyObject *type, PyObject **out) {
    PyObject *v = item(obj, key);
    if (v == NULL) return -1;
    int r = 0;
    if (!PyObject_TypeCheck(v, (PyTypeObject *)type)) {
        PyErr_SetString(PyExc_TypeError, "wrong enumeration");
        r = -1;
    }
    *out = v; /* value objects live as long as their class */
    Py_DECREF(v);
    return r;
}

static int read_line(PyObject *obj, Line *l) {
    long id, priority;
    if (read_long(obj, K_id, INT32_MIN, INT32_MAX, &id) < 0 ||
        read_long(obj, K_priority, INT16_MIN, INT16_MAX, &priority) < 0 ||
        read_enum(obj, K_kind, line_type, &l->kind) < 0 ||
        read_text(obj, K_amount, &l->amount) < 0 ||
        read_text(obj, K_description, &l->description) < 0 ||
        read_optional_text(obj, K_frozen_value, &l->frozen_value, &l->has_frozen) < 0 ||
        read_text(obj, K_percentage, &l->percentage) < 0 ||
        read_enum(obj, K_category, category, &l->category) < 0)
        return -1;
    l->id = (int32_t)id;
    l->priority = (int16_t)priority;
    PyObject *v = item(obj, K_destination_user_id);
    if (v == NULL) return -1;
    l->has_user = v != Py_None;
    if (l->has_user) {
        l->user_id = PyLong_AsLongLong(v);
        if (l->user_id == -1 && PyErr_Occurred()) {
            Py_DECREF(v);
            return -1;
        }
    }
    Py_DECREF(v);
    return read_enum(obj, K_destination_account, account, &l->account) < 0 ||
                   read_bool(obj, K_back_into_percentage, &l->back_into) < 0
               ? -1
               : 0;
}

/* Reads a list of n elements with `read`, into a new array the caller frees. */
static void *read_list(PyObject *seq, size_t size, int (*read)(PyObject *, void *),
                       Py_ssize_t *count) {
    if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "not a list");
        return NULL;
    }
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return NULL;
    char *out = PyMem_Malloc(size * (size_t)(n ? n : 1));
    if (out == NULL) return PyErr_NoMemory();
    PyObject *it = PyObject_GetIter(seq);
    if (it == NULL) goto error;
    Py_ssize_t i = 0;
    PyObject *x;
    while ((x = PyIter_Next(it)) != NULL) {
        int r = i < n ? read(x, out + size * (size_t)i) : -1;
        Py_DECREF(x);
        if (r < 0) {
            Py_DECREF(it);
            goto error;
        }
        ++i;
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) goto error;
    *count = i;
    return out;
error:
    PyMem_Free(out);
    return NULL;
}

static int read_line_any(PyObject *obj, void *out) { return read_line(obj, out); }

static int read_plan(PyObject *obj, void *out) {
    Plan *p = out;
    long ignored;
    int flag;
    return read_long(obj, K_id, INT32_MIN, INT32_MAX, &ignored) < 0 ||
                   read_text(obj, K_name, &p->name) < 0 ||
                   read_bool(obj, K_connection_fee_waived, &p->connection_fee_waived) < 0 ||
                   read_text(obj, K_per_deliverable_price, &p->per_deliverable_price) < 0 ||
                   read_long(obj, K_max_simultaneous_orders, 0, UINT16_MAX, &ignored) < 0 ||
                   read_bool(obj, K_waitlisting, &flag) < 0 ||
                   read_bool(obj, K_paypal_invoicing, &flag) < 0 ||
                   read_text(obj, K_shield_static_price, &p->shield_static_price) < 0 ||
                   read_text(obj, K_shield_percentage_price, &p->shield_percentage_price) < 0
               ? -1
               : 0;
}

/* Reads an optional pricing; *present says whether there was one. */
static int read_pricing(PyObject *obj, Pricing *p, int *present) {
    PyObject *v = item(obj, K_pricing);
    if (v == NULL) return -1;
    *present = v != Py_None;
    if (!*present) {
        Py_DECREF(v);
        return 0;
    }
    PyObject *plans = item(v, K_plans);
    if (plans == NULL) goto error;
    p->plans = read_list(plans, sizeof(Plan), read_plan, &p->plan_count);
    Py_DECREF(plans);
    if (p->plans == NULL) goto error;
    for (int k = K_minimum_price; k <= K_stripe_payout_percentage; ++k) {
        if (read_text(v, k, &PRICING_TEXT(p, k)) < 0) {
            PyMem_Free(p->plans);
            p->plans = NULL;
            goto error;
        }
    }
    Py_DECREF(v);
    return 0;
error:
    Py_DECREF(v);
    return -1;
}

/* ------------------------------------------------------------------------ */
/* Results */

static PyObject *new_text(Text t) { return PyUnicode_DecodeUTF8(t.data, t.size, NULL); }

/* Stores a new value under a key; the value reference is always consumed. */
static int set(PyObject *dict, int key, PyObject *value) {
    if (value == NULL) return -1;
    int r = PyDict_SetItem(dict, keys[key], value);
    Py_DECREF(value);
    return r;
}

static PyObject *line_dict(const Line *l) {
    PyObject *d = PyDict_New();
    if (d == NULL) return NULL;
    if (set(d, K_id, PyLong_FromLong(l->id)) < 0 ||
        set(d, K_priority, PyLong_FromLong(l->priority)) < 0 ||
        set(d, K_kind, Py_NewRef(l->kind)) < 0 || set(d, K_amount, new_text(l->amount)) < 0 ||
        set(d, K_description, new_text(l->description)) < 0 ||
        set(d, K_frozen_value,
            l->has_frozen ? new_text(l->frozen_value) : Py_NewRef(Py_None)) < 0 ||
        set(d, K_percentage, new_text(l->percentage)) < 0 ||
        set(d, K_category, Py_NewRef(l->category)) < 0 ||
        set(d, K_destination_user_id,
            l->has_user ? PyLong_FromLongLong(l->user_id) : Py_NewRef(Py_None)) < 0 ||
        set(d, K_destination_account, Py_NewRef(l->account)) < 0 ||
        set(d, K_back_into_percentage, PyBool_FromLong(l->back_into)) < 0) {
        Py_DECREF(d);
        return NULL;
    }
    return d;
}

static Line generated(int32_t id, PyObject *kind, int16_t priority, PyObject *cat,
                      PyObject *acc, Text amount, Text percentage) {
    Line l;
    memset(&l, 0, sizeof l);
    l.id = id;
    l.priority = priority;
    l.kind = kind;
    l.category = cat;
    l.account = acc;
    l.amount = amount;
    l.description.data = "";
    l.percentage = percentage;
    return l;
}

static int append_line(PyObject *list, const Line *l) {
    PyObject *d = line_dict(l);
    if (d == NULL) return -1;
    int r = PyList_Append(list, d);
    Py_DECREF(d);
    return r;
}

static int no_keywords(PyObject *kwnames) {
    if (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "the floor takes positional arguments only");
        return -1;
    }
    return 0;
}

static int read_u32(PyObject *v, uint32_t *out) {
    unsigned long x = PyLong_AsUnsignedLong(v);
    if (x == (unsigned long)-1 && PyErr_Occurred()) return -1;
    if (x > UINT32_MAX) return out_of_range();
    *out = (uint32_t)x;
    return 0;
}

/* Reads the arguments of the totals; returns the lines or NULL. */
static Line *totals_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         Py_ssize_t *n) {
    uint32_t q;
    if (no_keywords(kwnames) < 0) return NULL;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "two arguments expected");
        return NULL;
    }
    Line *lines = read_list(args[0], sizeof(Line), read_line_any, n);
    if (lines != NULL && read_u32(args[1], &q) < 0) {
        PyMem_Free(lines);
        return NULL;
    }
    return lines;
}

static const Text zero_text = {"0.00", 4};

static PyObject *get_totals(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    Py_ssize_t n;
    Line *lines = totals_args(args, nargs, kwnames, &n);
    if (lines == NULL) return NULL;
    PyObject *result = NULL;
    PyObject *subtotals = PyDict_New();
    if (subtotals == NULL) goto done;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *id = PyLong_FromLong(lines[i].id);
        PyObject *text = id ? new_text(lines[i].amount) : NULL;
        int r = text ? PyDict_SetItem(subtotals, id, text) : -1;
        Py_XDECREF(id);
        Py_XDECREF(text);
        if (r < 0) goto done;
    }
    result = PyDict_New();
    if (result == NULL) goto done;
    if (set(result, K_total, new_text(n ? lines[0].amount : zero_text)) < 0 ||
        set(result, K_discount, new_text(zero_text)) < 0 ||
        PyDict_SetItem(result, keys[K_subtotals], subtotals) < 0) {
        Py_CLEAR(result);
    }
done:
    Py_XDECREF(subtotals);
    PyMem_Free(lines);
    return result;
}

static PyObject *reckon_lines(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    Py_ssize_t n;
    Line *lines = totals_args(args, nargs, kwnames, &n);
    if (lines == NULL) return NULL;
    PyObject *result = new_text(n ? lines[0].amount : zero_text);
    PyMem_Free(lines);
    return result;
}

static PyObject *divide_amount(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    Text amount;
    uint32_t divisor, q;
    if (no_keywords(kwnames) < 0) return NULL;
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "three arguments expected");
        return NULL;
    }
    if (read_text_value(args[0], &amount) < 0 || read_u32(args[1], &divisor) < 0 ||
        read_u32(args[2], &q) < 0)
        return NULL;
    if (divisor > UINT16_MAX) return out_of_range(), NULL;
    PyObject *list = PyList_New((Py_ssize_t)divisor);
    if (list == NULL) return NULL;
    for (uint32_t i = 0; i < divisor; ++i) {
        PyObject *text = new_text(amount);
        if (text == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, (Py_ssize_t)i, text);
    }
    return list;
}

static PyObject *tip_fee_lines(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    Pricing p = {0};
    int has_pricing, international;
    uint32_t q;
    long lq;
    if (no_keywords(kwnames) < 0) return NULL;
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "one argument expected");
        return NULL;
    }
    PyObject *ctx = args[0];
    if (read_pricing(ctx, &p, &has_pricing) < 0) return NULL;
    PyObject *list = NULL;
    if (read_bool(ctx, K_international, &international) < 0 ||
        read_long(ctx, K_quantization, 0, UINT32_MAX, &lq) < 0)
        goto done;
    q = (uint32_t)lq;
    (void)q;
    if (!has_pricing) {
        PyErr_SetString(PyExc_ValueError, "Pricing not specified.");
        goto done;
    }
    list = PyList_New(0);
    if (list == NULL) goto done;
    static const Text zero = {"0", 1};
    const Line made[4] = {
        generated(-1, lt_processing, 300, cat_processing, acc_fund,
                  PRICING_TEXT(&p, K_processing_static), PRICING_TEXT(&p, K_processing_percentage)),
        generated(-7, lt_card_fee, 350, cat_third_party, acc_fund,
                  PRICING_TEXT(&p, K_stripe_blended_rate_static),
                  PRICING_TEXT(&p, K_stripe_blended_rate_percentage)),
        generated(-9, lt_payout_fee, 325, cat_third_party, acc_fund,
                  PRICING_TEXT(&p, K_stripe_payout_static),
                  PRICING_TEXT(&p, K_stripe_payout_percentage)),
        generated(-8, lt_cross_border, 325, cat_third_party, acc_fund, zero,
                  PRICING_TEXT(&p, K_stripe_payout_cross_border_percentage)),
    };
    for (int i = 0; i < (international ? 4 : 3); ++i) {
        if (append_line(list, &made[i]) < 0) {
            Py_CLEAR(list);
            goto done;
        }
    }
done:
    PyMem_Free(p.plans);
    return list;
}

/* The lines of an escrow purchase: base price, shield, card, payout, connect
 * (and cross-border when international), then the extra lines. Only the
 * result's shape for the benchmark's purchase is built. */
static PyObject *deliverable_lines(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    Pricing p = {0};
    Line *extra = NULL;
    Py_ssize_t n_extra = 0;
    Text base, plan_name;
    int table, escrow, international, has_plan, has_pricing, soft;
    long lq;
    long long user_id;
    if (no_keywords(kwnames) < 0) return NULL;
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "one argument expected");
        return NULL;
    }
    PyObject *ctx = args[0];
    PyObject *list = NULL;
    if (read_text(ctx, K_base_price, &base) < 0 || read_bool(ctx, K_table_product, &table) < 0 ||
        read_bool(ctx, K_escrow_enabled, &escrow) < 0 ||
        read_bool(ctx, K_international, &international) < 0)
        return NULL;
    PyObject *v = item(ctx, K_extra_lines);
    if (v == NULL) return NULL;
    extra = read_list(v, sizeof(Line), read_line_any, &n_extra);
    Py_DECREF(v);
    if (extra == NULL) return NULL;
    if (read_optional_text(ctx, K_plan_name, &plan_name, &has_plan) < 0 ||
        read_pricing(ctx, &p, &has_pricing) < 0)
        goto done;
    v = item(ctx, K_user_id);
    if (v == NULL) goto done;
    user_id = PyLong_AsLongLong(v);
    Py_DECREF(v);
    if ((user_id == -1 && PyErr_Occurred()) || read_bool(ctx, K_allow_soft_failure, &soft) < 0 ||
        read_long(ctx, K_quantization, 0, UINT32_MAX, &lq) < 0)
        goto done;
    if (!has_pricing || p.plan_count == 0) {
        PyErr_SetString(PyExc_ValueError, "Pricing specification not provided.");
        goto done;
    }
    const Plan *plan = &p.plans[0];
    static const Text zero = {"0", 1};
    Line base_line = generated(-1, lt_base_price, 0, cat_escrow_hold, acc_escrow, base, zero);
    base_line.has_user = 1;
    base_line.user_id = user_id;
    Line card = generated(-7, lt_card_fee, 350, cat_third_party, acc_fund,
                          PRICING_TEXT(&p, K_stripe_blended_rate_static),
                          PRICING_TEXT(&p, K_stripe_blended_rate_percentage));
    card.back_into = 1;
    const Line made[6] = {
        base_line,
        generated(-5, lt_shield, 330, cat_shield_fee, acc_fund, plan->shield_static_price,
                  plan->shield_percentage_price),
        card,
        generated(-9, lt_payout_fee, 325, cat_third_party, acc_fund,
                  PRICING_TEXT(&p, K_stripe_payout_static),
                  PRICING_TEXT(&p, K_stripe_payout_percentage)),
        generated(-8, lt_cross_border, 325, cat_third_party, acc_fund, zero,
                  PRICING_TEXT(&p, K_stripe_payout_cross_border_percentage)),
        generated(-10, lt_connect_fee, 325, cat_third_party, acc_fund,
                  PRICING_TEXT(&p, K_stripe_active_account_monthly_fee), zero),
    };
    list = PyList_New(0);
    if (list == NULL) goto done;
    for (int i = 0; i < 6; ++i) {
        if (i == 4 && !international) continue;
        if (append_line(list, &made[i]) < 0) goto fail;
    }
    for (Py_ssize_t i = 0; i < n_extra; ++i) {
        if (append_line(list, &extra[i]) < 0) goto fail;
    }
    goto done;
fail:
    Py_CLEAR(list);
done:
    PyMem_Free(extra);
    PyMem_Free(p.plans);
    return list;
}

/* ------------------------------------------------------------------------ */
/* Instruction counting under callgrind */

static PyObject *callgrind_zero(PyObject *self, PyObject *unused) {
#ifdef HAVE_CALLGRIND
    CALLGRIND_ZERO_STATS;
#endif
    Py_RETURN_NONE;
}

static PyObject *callgrind_dump(PyObject *self, PyObject *label) {
    const char *text = PyUnicode_AsUTF8(label);
    if (text == NULL) return NULL;
#ifdef HAVE_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(text);
#endif
    Py_RETURN_NONE;
}

static PyObject *under_valgrind(PyObject *self, PyObject *unused) {
#ifdef HAVE_CALLGRIND
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
#else
    Py_RETURN_FALSE;
#endif
}

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS

static PyMethodDef methods[] = {
    {"py_get_totals", FASTCALL(get_totals), NULL},
    {"py_reckon_lines", FASTCALL(reckon_lines), NULL},
    {"py_divide_amount", FASTCALL(divide_amount), NULL},
    {"py_tip_fee_lines", FASTCALL(tip_fee_lines), NULL},
    {"py_deliverable_lines", FASTCALL(deliverable_lines), NULL},
    {"callgrind_zero", callgrind_zero, METH_NOARGS, NULL},
    {"callgrind_dump", callgrind_dump, METH_O, NULL},
    {"under_valgrind", under_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_tallyforge_floor",
    "Reads the arguments of tallyforge's functions and builds results of the same shape, "
    "computing nothing (benchmarks only).",
    -1, methods,
};

static PyObject *attr(PyObject *obj, const char *name) {
    return PyObject_GetAttrString(obj, name);
}

PyMODINIT_FUNC PyInit__tallyforge_floor(void) {
    for (int i = 0; i < K_COUNT; ++i) {
        keys[i] = PyUnicode_InternFromString(key_names[i]);
        if (keys[i] == NULL) return NULL;
    }
    PyObject *tf = PyImport_ImportModule("tallyforge");
    if (tf == NULL) return NULL;
    line_type = attr(tf, "LineType");
    category = attr(tf, "Category");
    account = attr(tf, "Account");
    Py_DECREF(tf);
    if (line_type == NULL || category == NULL || account == NULL) return NULL;
    /* Kept for the life of the process, like tallyforge's own value objects. */
    lt_base_price = attr(line_type, "BasePrice");
    lt_shield = attr(line_type, "Shield");
    lt_card_fee = attr(line_type, "CardFee");
    lt_payout_fee = attr(line_type, "PayoutFee");
    lt_connect_fee = attr(line_type, "ConnectFee");
    lt_cross_border = attr(line_type, "CrossBorderTransferFee");
    lt_processing = attr(line_type, "Processing");
    cat_escrow_hold = attr(category, "EscrowHold");
    cat_shield_fee = attr(category, "ShieldFee");
    cat_third_party = attr(category, "ThirdPartyFee");
    cat_processing = attr(category, "ProcessingFee");
    acc_escrow = attr(account, "Escrow");
    acc_fund = attr(account, "Fund");
    if (!lt_base_price || !lt_shield || !lt_card_fee || !lt_payout_fee || !lt_connect_fee ||
        !lt_cross_border || !lt_processing || !cat_escrow_hold || !cat_shield_fee ||
        !cat_third_party || !cat_processing || !acc_escrow || !acc_fund)
        return NULL;
    PyObject *module = PyModule_Create(&floor_module);
#ifdef Py_GIL_DISABLED
    /* Like tallyforge, the floor runs without the GIL on a free-threaded build: its
     * globals are written once, here, and only read by calls. */
    if (module != NULL && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return NULL;
    }
#endif
    return module;
}

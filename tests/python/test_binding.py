"""Module surface, argument binding, the argument rule, scalar conversions and
the internal-failure exception."""

from __future__ import annotations

import decimal

import pytest

import tallyforge as tf
from conftest import line, np, numpy_case, panic_class

FUNCTIONS = {
    "py_get_totals": "(lines, quantization)",
    "py_reckon_lines": "(lines, quantization)",
    "py_divide_amount": "(source_amount, divisor, quantization)",
    "py_deliverable_lines": "(provided_lines_context)",
    "py_tip_fee_lines": "(provided_lines_context)",
}
DOCS = {
    "py_tip_fee_lines": "Python binding for tip_fee_lines",
    "py_deliverable_lines": "Python binding for deliverable_lines",
}


# --- module surface --------------------------------------------------------


def test_all_lists_functions_then_classes_in_registration_order():
    assert tf.__all__ == [
        "py_get_totals",
        "py_reckon_lines",
        "py_divide_amount",
        "py_deliverable_lines",
        "py_tip_fee_lines",
        "LineType",
        "Account",
        "Category",
    ]
    assert type(tf.__all__) is list
    for name in tf.__all__:
        assert hasattr(tf, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(name):
    func = getattr(tf, name)
    assert func.__name__ == name
    assert func.__text_signature__ == FUNCTIONS[name]
    assert func.__doc__ == DOCS.get(name)
    assert func.__module__ == "tallyforge"
    assert func.__self__ is tf


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(tf, "PanicException")
    assert "PanicException" not in tf.__all__


# --- binding ---------------------------------------------------------------

M2 = "missing 2 required positional arguments"
BINDING_FAILURES = [
    # too many positionals; "arguments" stays plural, and it is checked first
    ("py_get_totals", ([], 2, 3), {}, "py_get_totals() takes 2 positional arguments but 3 were given"),
    ("py_reckon_lines", ([], 2, 3, 4), {"scale": 1}, "py_reckon_lines() takes 2 positional arguments but 4 were given"),
    ("py_divide_amount", ("1", 2, 3, 4), {}, "py_divide_amount() takes 3 positional arguments but 4 were given"),
    ("py_tip_fee_lines", ({}, {}), {}, "py_tip_fee_lines() takes 1 positional arguments but 2 were given"),
    # missing parameters, listed in parameter order
    ("py_tip_fee_lines", (), {}, "py_tip_fee_lines() missing 1 required positional argument: 'provided_lines_context'"),
    ("py_get_totals", (), {}, f"py_get_totals() {M2}: 'lines' and 'quantization'"),
    ("py_reckon_lines", (), {"quantization": "bad"}, "py_reckon_lines() missing 1 required positional argument: 'lines'"),
    ("py_divide_amount", (), {}, "py_divide_amount() missing 3 required positional arguments: 'source_amount', 'divisor', and 'quantization'"),
    ("py_divide_amount", (5,), {}, f"py_divide_amount() {M2}: 'divisor' and 'quantization'"),
    ("py_divide_amount", (), {"divisor": -1}, f"py_divide_amount() {M2}: 'source_amount' and 'quantization'"),
    # a keyword for a slot already filled
    ("py_reckon_lines", ([],), {"lines": []}, "py_reckon_lines() got multiple values for argument 'lines'"),
    ("py_divide_amount", ("1", 2, 3), {"divisor": 2}, "py_divide_amount() got multiple values for argument 'divisor'"),
    # a keyword that names no parameter (exact text match)
    ("py_get_totals", ([], 2), {"scale": 1}, "py_get_totals() got an unexpected keyword argument 'scale'"),
    ("py_get_totals", ("abc",), {"Quantization": 2}, "py_get_totals() got an unexpected keyword argument 'Quantization'"),
    ("py_divide_amount", (), {"amount": "1"}, "py_divide_amount() got an unexpected keyword argument 'amount'"),
    # keywords are taken in the order given; the first problem decides
    ("py_get_totals", ([],), {"lines": [], "scale": 1}, "py_get_totals() got multiple values for argument 'lines'"),
    ("py_get_totals", ([],), {"scale": 1, "lines": []}, "py_get_totals() got an unexpected keyword argument 'scale'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failures(name, args, kwargs, message):
    # Several rows pass arguments that would fail conversion: binding must
    # report its own problem before anything is converted.
    with pytest.raises(TypeError) as info:
        getattr(tf, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: tf.py_reckon_lines(quantization=2, lines=[]), "0.00"),
        (lambda: tf.py_reckon_lines([], quantization=2), "0.00"),
        (lambda: tf.py_divide_amount("10.00", quantization=2, divisor=3), ["3.34", "3.33", "3.33"]),
        (lambda: tf.py_divide_amount(divisor=4, source_amount="10", quantization=1), ["2.5"] * 4),
        (lambda: tf.py_get_totals(lines=[], quantization=0), {"total": "0", "discount": "0", "subtotals": {}}),
    ],
)
def test_keyword_binding(call, expected):
    assert call() == expected


# --- the argument rule and scalar conversions --------------------------------

OVERFLOW = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FailingIndex:
    def __index__(self):
        raise ZeroDivisionError("index failed")


ARGUMENT_FAILURES = [
    # lines
    (tf.py_get_totals, ("abc", -1), TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
    (tf.py_reckon_lines, (type("Text", (str,), {})("x"), 2), TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
    (tf.py_get_totals, (5, 2), TypeError, "argument 'lines': 'int' object is not an instance of 'Sequence'"),
    (tf.py_get_totals, ({}, 2), TypeError, "argument 'lines': 'dict' object is not an instance of 'Sequence'"),
    (tf.py_get_totals, ((x for x in ()), 2), TypeError, "argument 'lines': 'generator' object is not an instance of 'Sequence'"),
    (tf.py_reckon_lines, (None, 2), TypeError, "argument 'lines': 'None' is not an instance of 'Sequence'"),
    (tf.py_get_totals, ([5], 2), TypeError, "argument 'lines': 'int' object is not subscriptable"),
    # quantization: out of range passes unchanged, wrong type gets the prefix
    (tf.py_get_totals, ([], -1), OverflowError, OVERFLOW),
    (tf.py_reckon_lines, ([], 4294967296), OverflowError, OVERFLOW),
    (tf.py_get_totals, ([], 2**64), OverflowError, None),
    (tf.py_get_totals, ([], "2"), TypeError, "argument 'quantization': 'str' object cannot be interpreted as an integer"),
    (tf.py_reckon_lines, ([], 2.0), TypeError, "argument 'quantization': 'float' object cannot be interpreted as an integer"),
    (tf.py_reckon_lines, ([], FailingIndex()), ZeroDivisionError, "index failed"),
    # py_divide_amount converts in parameter order
    (tf.py_divide_amount, (10, -1, "x"), TypeError, "argument 'source_amount': 'int' object is not an instance of 'str'"),
    (tf.py_divide_amount, (None, 3, 2), TypeError, "argument 'source_amount': 'None' is not an instance of 'str'"),
    (tf.py_divide_amount, (decimal.Decimal("10"), 3, 2), TypeError, "argument 'source_amount': 'Decimal' object is not an instance of 'str'"),
    (tf.py_divide_amount, ("\ud800", 3, 2), UnicodeEncodeError, None),
    (tf.py_divide_amount, ("10", -1, "x"), OverflowError, OVERFLOW),
    (tf.py_divide_amount, ("10", 65536, 2), OverflowError, OVERFLOW),
    (tf.py_divide_amount, ("10", 2**63, 2), OverflowError, None),
    (tf.py_divide_amount, ("10", "3", 2), TypeError, "argument 'divisor': 'str' object cannot be interpreted as an integer"),
    (tf.py_divide_amount, ("abc", 3, "2"), TypeError, "argument 'quantization': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("func, args, exc_type, message", ARGUMENT_FAILURES)
def test_argument_conversion_failures(func, args, exc_type, message):
    with pytest.raises(BaseException) as info:
        func(*args)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument ")
    if exc_type is not TypeError:
        assert info.value.__cause__ is None


def test_conversion_follows_parameter_order_not_keyword_order():
    with pytest.raises(OverflowError):
        tf.py_divide_amount(quantization="x", divisor=-1, source_amount="1")
    with pytest.raises(TypeError, match="^argument 'source_amount': "):
        tf.py_divide_amount(quantization=-1, divisor=-1, source_amount=1)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((type("Text", (str,), {})("10.00"), 2, 2), ["5.00", "5.00"]),
        (("10.00", True, 2), ["10.00"]),
        numpy_case(lambda: (("10.00", np.int16(4), np.uint32(2)), ["2.50"] * 4), 2),
        (("10.00", Index(2), Index(2)), ["5.00", "5.00"]),
        (("0", 65535, 0), ["0"] * 65535),
        (("10", 3, True), ["3.4", "3.3", "3.3"]),
    ],
)
def test_integer_and_text_conversions_accepted(args, expected):
    assert tf.py_divide_amount(*args) == expected


class ItemFails:
    """A mapping whose every lookup raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, key):
        raise self.exc


def _raised(exc, cause=None):
    exc.__cause__ = cause
    return exc


class SubTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [KeyError("id"), ValueError("no"), SubTypeError("sub"), OverflowError("big"), RuntimeError("x")],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("where", ["lines", "context"])
def test_non_typeerror_reaches_caller_unchanged(exc, where):
    with pytest.raises(BaseException) as info:
        if where == "lines":
            tf.py_get_totals([ItemFails(exc)], 2)
        else:
            tf.py_tip_fee_lines(ItemFails(exc))
    assert info.value is exc


@pytest.mark.parametrize("where, prefix", [("lines", "argument 'lines': "), ("context", "argument 'provided_lines_context': ")])
def test_exact_typeerror_is_replaced_and_keeps_its_cause(where, prefix):
    root = RuntimeError("root cause")
    exc = _raised(TypeError("lookup refused"), root)
    with pytest.raises(TypeError) as info:
        if where == "lines":
            tf.py_reckon_lines([ItemFails(exc)], 2)
        else:
            tf.py_deliverable_lines(ItemFails(exc))
    assert info.value is not exc
    assert type(info.value) is TypeError
    assert str(info.value) == prefix + "lookup refused"
    assert info.value.__cause__ is root


def test_computation_error_is_exact_valueerror_with_one_argument():
    with pytest.raises(ValueError) as info:
        tf.py_divide_amount("10.00", 0, 2)
    assert type(info.value) is ValueError
    assert info.value.args == ("Cannot divide by zero.",)


# --- PanicException -----------------------------------------------------------

PANICS = [
    (lambda: tf.py_divide_amount("10.00", 3, 29), "Scale exceeds the maximum precision allowed: 29 > 28"),
    (lambda: tf.py_divide_amount("10.00", 3, 4294967295), "Scale exceeds the maximum precision allowed: 4294967295 > 28"),
    (lambda: tf.py_divide_amount("79228162514264337593543950335", 2, 0), "Multiplication overflowed"),
    (lambda: tf.py_get_totals([line(amount="1")], 29), "Scale exceeds the maximum precision allowed: 29 > 28"),
    (
        lambda: tf.py_reckon_lines([line(1, "10"), line(2, "0", 1, "100", back_into_percentage=True)], 2),
        "Division by zero",
    ),
]


@pytest.mark.parametrize("call, message", PANICS)
def test_internal_failures_raise_panic_exception(call, message, panic_exc):
    caught_by_exception = False
    with pytest.raises(BaseException) as info:
        try:
            call()
        except Exception:  # must not catch it
            caught_by_exception = True
    assert not caught_by_exception
    assert type(info.value) is panic_exc
    assert info.value.args == (message,)


def test_panic_exception_class():
    cls = panic_class()
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "derives from BaseException,\nnot Exception, so that it usually propagates" in cls.__doc__
    with pytest.raises(cls):  # one class per process, whatever fails
        tf.py_reckon_lines([line(amount="1")], 30)


def test_module_docstring_names_the_initialisation_function():
    lines = tf.__doc__.splitlines()
    assert len(lines) == 3 and "PyInit_tallyforge must match the library name" in lines[1]
    assert lines[2].endswith("or the interpreter cannot import the module.")

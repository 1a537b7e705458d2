"""Placeholder demo: split an amount into equal shares at two decimal places."""

import tallyforge

shares = tallyforge.py_divide_amount("1000.00", 7, 2)
print("1000.00 in 7 shares:", shares)

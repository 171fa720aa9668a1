"""Data validation: what cells accept (a drop-down list, whole or decimal numbers, dates, times,
text of some length, or what a formula allows), with the message shown while a cell is
selected and the one that rejects a value (`ws.add_validation`)."""

from __future__ import annotations

import datetime
from typing import Any

from .objects import (Feature, check_bool, check_choice, check_formula, check_number, check_sqref,
                      check_text_field, number_text, text_of)
from ..utils.datetime import WINDOWS_EPOCH, to_excel

__all__ = ["DataValidation", "VALIDATION_KINDS", "OPERATORS", "OPERATOR_ALIASES", "ERROR_STYLES"]

# The kinds of check, by the name the API gives them -> the name files give them.
VALIDATION_KINDS = {"any": "none", "list": "list", "whole": "whole", "decimal": "decimal", "date": "date",
                    "time": "time", "length": "textLength", "custom": "custom"}
OPERATORS = ("between", "notBetween", "equal", "notEqual", "greaterThan", "lessThan", "greaterThanOrEqual",
             "lessThanOrEqual")
OPERATOR_ALIASES = {"not_between": "notBetween", "==": "equal", "!=": "notEqual", ">": "greaterThan",
                    "<": "lessThan", ">=": "greaterThanOrEqual", "<=": "lessThanOrEqual",
                    "not_equal": "notEqual", "greater_than": "greaterThan", "less_than": "lessThan",
                    "greater_than_or_equal": "greaterThanOrEqual", "less_than_or_equal": "lessThanOrEqual"}
ERROR_STYLES = ("stop", "warning", "information")
MAX_LIST = 255  # characters of a list written in the rule itself, commas included
Bound = int | float | datetime.date | datetime.time | str | None


def _values(value: Any) -> list[str] | None:
    if value is None:
        return None
    if isinstance(value, str) or not hasattr(value, "__iter__"):
        raise TypeError("a validation's values are a list, not %s" % type(value).__name__)
    items = []
    for item in value:
        if isinstance(item, bool) or not isinstance(item, (str, int, float)):
            raise TypeError("a validation's values are text or numbers, not %s" % type(item).__name__)
        text = text_of(item if isinstance(item, str) else number_text(item), "a validation's value")
        if "," in text:
            raise ValueError("a validation's value %r has a comma, which would split it in two" % text)
        items.append(text)
    if not items:
        raise ValueError("a validation's list of values is empty")
    if len(",".join(items)) > MAX_LIST:
        raise ValueError("a validation's values take %d characters with their commas: a list written in the rule "
                         "has at most %d (put longer lists in cells and give their range as the formula)"
                         % (len(",".join(items)), MAX_LIST))
    return items


def _listed(items: list[str]) -> str:
    return '"%s"' % ",".join(items).replace('"', '""')


def _bound(value: Any) -> Bound:
    """A minimum or maximum: a number, a date or time, or a formula (text)."""
    if value is None or isinstance(value, (datetime.date, datetime.time)):
        if isinstance(value, (datetime.datetime, datetime.time)) and value.tzinfo is not None:
            raise ValueError("a validation's bound cannot have a time zone")
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise TypeError("a validation's bound is a number, a date, a time or a formula, not %s"
                        % type(value).__name__)
    if isinstance(value, str):
        return check_formula("a validation's bound")(value)
    return check_number("a validation's bound")(value)


class DataValidation(Feature):
    """What the cells of `ref` ("A1:A10", or several ranges "A1:A10 C1:C10") accept.

    `kind` is "any" (any value: the validation only shows its prompt), "list" (one of
    `values`, or of the cells the `formula` names: "$F$1:$F$9"), "whole", "decimal", "date",
    "time" or "length" (numbers, dates, times or lengths of text compared by `operator` with
    `minimum` and/or `maximum`), or "custom" (what `formula` allows). `operator` is one of
    `OPERATORS` (or "==", ">=" ...); without one, "between" when both bounds are given, else
    "greaterThanOrEqual" or "lessThanOrEqual". `prompt` is shown while a cell is selected;
    `error` when a value is refused, `error_style` saying whether it is refused ("stop") or
    only warned of ("warning", "information")."""

    __slots__ = ("ref", "kind", "values", "formula", "operator", "minimum", "maximum", "allow_blank", "prompt",
                 "error", "error_style", "prompt_title", "error_title")
    _FIELDS = __slots__
    _CHECKS = {"ref": check_sqref("validation range"), "kind": check_choice("validation kind", VALIDATION_KINDS),
               "values": _values, "formula": check_formula("a validation's formula"),
               "operator": check_choice("validation operator", OPERATORS, optional=True, aliases=OPERATOR_ALIASES),
               "minimum": _bound, "maximum": _bound, "allow_blank": check_bool("allow_blank"),
               "prompt": check_text_field("a validation's prompt", 255),
               "error": check_text_field("a validation's error message", 255),
               "error_style": check_choice("error style", ERROR_STYLES),
               "prompt_title": check_text_field("a validation's prompt title", 32),
               "error_title": check_text_field("a validation's error title", 32)}
    ref: str
    kind: str
    values: list[str] | None
    formula: str | None
    operator: str | None
    minimum: Bound
    maximum: Bound
    allow_blank: bool
    prompt: str | None
    error: str | None
    error_style: str
    prompt_title: str | None
    error_title: str | None

    def __init__(self, ref: str, kind: str, *, values: list[Any] | None = None, formula: str | None = None,
                 operator: str | None = None, minimum: Bound = None, maximum: Bound = None,
                 allow_blank: bool = True, prompt: str | None = None, error: str | None = None,
                 error_style: str = "stop", prompt_title: str | None = None, error_title: str | None = None) -> None:
        self.ref = ref
        self.kind = kind
        self.values = values
        self.formula = formula
        self.operator = operator
        self.minimum = minimum
        self.maximum = maximum
        self.allow_blank = allow_blank
        self.prompt = prompt
        self.error = error
        self.error_style = error_style
        self.prompt_title = prompt_title
        self.error_title = error_title
        self.rule()

    def _state(self) -> tuple[Any, ...]:
        # An operator left out is the one the bounds give.
        state = list(super()._state())
        if self.operator is None and self.kind not in ("any", "list", "custom"):
            state[self._FIELDS.index("operator")] = _default_operator(self.minimum, self.maximum)
        return tuple(state)

    def rule(self, epoch: datetime.datetime = WINDOWS_EPOCH) -> tuple[str | None, str | None, str | None]:
        """(operator, formula1, formula2) as a file holds the rule; ValueError when the fields
        do not make one."""
        kind = self.kind
        if kind == "any":
            if self.values is not None or self.formula is not None or self.minimum is not None \
                    or self.maximum is not None:
                raise ValueError("a validation of any value has no values, formula or bounds")
            return None, None, None
        if kind == "list":
            if (self.values is None) == (self.formula is None):
                raise ValueError("a list validation takes its values or a formula naming their cells, one of them")
            return None, _listed(self.values) if self.values is not None else self.formula, None
        if kind == "custom":
            if self.formula is None:
                raise ValueError("a custom validation needs its formula")
            return None, self.formula, None
        if self.values is not None or self.formula is not None:
            raise ValueError("a %s validation compares with its minimum and maximum: values and formula "
                             "are for list and custom validations" % kind)
        low, high = (_bound_text(bound, kind, epoch) for bound in (self.minimum, self.maximum))
        operator = self.operator or _default_operator(low, high)
        if operator in ("between", "notBetween"):
            if low is None or high is None:
                raise ValueError("a validation %r needs both a minimum and a maximum" % operator)
            return operator, low, high
        if (low is None) == (high is None):
            raise ValueError("a validation %r compares with one value: give the minimum or the maximum" % operator)
        return operator, low if low is not None else high, None


def _default_operator(low: object, high: object) -> str:
    if low is not None and high is not None:
        return "between"
    return "lessThanOrEqual" if low is None else "greaterThanOrEqual"


def _bound_text(bound: Bound, kind: str, epoch: datetime.datetime) -> str | None:
    if bound is None or isinstance(bound, str):
        return bound
    if isinstance(bound, (datetime.date, datetime.time)):
        if kind not in ("date", "time"):
            raise ValueError("a %s validation compares with numbers, not dates or times" % kind)
        return number_text(to_excel(bound, epoch))
    return number_text(bound)

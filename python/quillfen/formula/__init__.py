"""Formulas: tokenizing, shared-formula translation, array and data-table formulas, and the
references to sheets by title.

These classes are the package's own implementation; the native engine reproduces the
tokenizer and translator exactly and hands them every formula it declines.
"""

from .objects import ArrayFormula, DataTableFormula
from .sheets import quoted_title, renamed_sheet, sheets_of
from .tokenizer import Token, Tokenizer, TokenizerError, formula_problem
from .translate import Translator, TranslatorError

__all__ = [
    "ArrayFormula",
    "DataTableFormula",
    "Token",
    "Tokenizer",
    "TokenizerError",
    "Translator",
    "TranslatorError",
    "formula_problem",
    "quoted_title",
    "renamed_sheet",
    "sheets_of",
]

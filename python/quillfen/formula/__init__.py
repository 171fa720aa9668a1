"""Formulas: tokenizing, shared-formula translation, array and data-table formulas.

These classes are the package's own implementation; the native engine reproduces the
tokenizer and translator exactly and hands them every formula it declines.
"""

from .objects import ArrayFormula, DataTableFormula
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
]

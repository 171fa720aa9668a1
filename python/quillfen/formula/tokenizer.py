"""Splitting formula text into tokens.

A formula that begins with "=" is split into operands, operators, subexpression openers and
closers, separators and whitespace; any other text is one literal token. Positions in error
messages are character indices into the whole formula (the leading "=" is position 0).
"""

import re
from typing import NoReturn

__all__ = ["Token", "Tokenizer", "TokenizerError", "formula_problem"]


class TokenizerError(Exception):
    """A formula's text cannot be split into tokens."""


# A number in scientific notation whose exponent sign is still to come ("1.5E" before "-3").
_SCI_MANTISSA = re.compile(r"[1-9](\.[0-9]+)?[Ee]\n?")

_TOKEN_ENDERS = frozenset(",;}) +-*/^&=><%")
_OPERATORS = frozenset("+-*/^&=><%")
# Tried in this order: "#NAME?" before "#N/A".
_ERROR_CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA")


class Token:
    """One token: its text, its type and its subtype (an empty string when it has none)."""

    __slots__ = ("value", "type", "subtype")

    LITERAL = "literal"
    OPERAND = "operand"
    FUNC = "function"
    ARRAY = "array"
    PAREN = "paren"
    SEP = "separator"
    OP_PRE = "prefix"
    OP_IN = "infix"
    OP_POST = "postfix"
    WSPACE = "whitespace"

    # Operand subtypes.
    TEXT = "text"
    NUMBER = "number"
    LOGICAL = "logical"
    ERROR = "error"
    RANGE = "range"
    # Subexpression subtypes.
    OPEN = "open"
    CLOSE = "close"
    # Separator subtypes.
    ARG = "arg"
    ROW = "row"

    def __init__(self, value: str, type_: str, subtype: str = "") -> None:
        self.value = value
        self.type = type_
        self.subtype = subtype

    @classmethod
    def make_operand(cls, value: str) -> "Token":
        """An operand token, its subtype decided by its text."""
        if value.startswith('"'):
            subtype = cls.TEXT
        elif value.startswith("#"):
            subtype = cls.ERROR
        elif value in ("TRUE", "FALSE"):
            subtype = cls.LOGICAL
        else:
            try:
                float(value)
                subtype = cls.NUMBER
            except ValueError:
                subtype = cls.RANGE
        return cls(value, cls.OPERAND, subtype)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Token):
            return NotImplemented
        return (self.value, self.type, self.subtype) == (other.value, other.type, other.subtype)

    def __repr__(self) -> str:
        return f"Token({self.value!r}, {self.type!r}, {self.subtype!r})"


class Tokenizer:
    """Tokenizes `formula` on construction; the tokens are in `items`, and in `spans` the
    (start, end) indices of the text each came from (a whitespace token's span covers its
    whole run; an operand's, every piece of it).

    Raises `TokenizerError` for a syntax error, and `IndexError` for a closing bracket with no
    open subexpression. An unbalanced opener at the end is accepted.
    """

    def __init__(self, formula: str) -> None:
        self.formula = formula
        self.items: list[Token] = []
        self.spans: list[tuple[int, int]] = []
        self._stack: list[str] = []
        self._pending: list[str] = []
        self._pending_start = 0
        self._pending_end = 0
        self._pos = 0
        self._parse()

    def _parse(self) -> None:
        formula = self.formula
        if not formula:
            return
        if formula[0] != "=":
            self._push(Token(formula, Token.LITERAL), 0)
            return
        self._pos = 1
        n = len(formula)
        while self._pos < n:
            c = formula[self._pos]
            if c in "+-" and self._pending and _SCI_MANTISSA.fullmatch("".join(self._pending)):
                self._add_piece(c)
                continue
            if c in _TOKEN_ENDERS:
                self._save_pending()
            if c == '"' or c == "'":
                self._quoted(c)
            elif c == "[":
                self._bracket()
            elif c == "#":
                self._error_code()
            elif c == " " or c == "\n":
                self._whitespace(c)
            elif c in _OPERATORS:
                self._operator(c)
            elif c == "{":
                if self._pending:
                    self._unexpected()
                self._open(Token.ARRAY, "{", self._pos)
            elif c == "(":
                if self._pending:
                    text = "".join(self._pending) + "("
                    start = self._pending_start
                    self._pending.clear()
                    self._open(Token.FUNC, text, start)
                else:
                    self._open(Token.PAREN, "(", self._pos)
            elif c == ")" or c == "}":
                self._close(c)
            elif c == ";":
                self._push(Token(";", Token.SEP, Token.ROW), self._pos)
                self._pos += 1
            elif c == ",":
                if not self._stack or self._stack[-1] == Token.PAREN:
                    self._push(Token(",", Token.OP_IN), self._pos)
                else:
                    self._push(Token(",", Token.SEP, Token.ARG), self._pos)
                self._pos += 1
            else:
                self._add_piece(c)
        self._save_pending()

    def _push(self, token: Token, start: int, end: int | None = None) -> None:
        self.items.append(token)
        self.spans.append((start, start + len(token.value) if end is None else end))

    def _add_piece(self, piece: str) -> None:
        """Appends text at the current position to the pending operand, and moves past it."""
        if not self._pending:
            self._pending_start = self._pos
        self._pending.append(piece)
        self._pos += len(piece)
        self._pending_end = self._pos

    def _unexpected(self) -> NoReturn:
        raise TokenizerError(f"Unexpected character at position {self._pos} in '{self.formula}'")

    def _quoted(self, quote: str) -> None:
        if self._pending and self._pending[-1] not in ("", ":"):
            self._unexpected()
        formula = self.formula
        start = self._pos
        i = start + 1
        while True:
            close = formula.find(quote, i)
            if close < 0:
                kind = "string" if quote == '"' else "link"
                raise TokenizerError(f"Reached end of formula while parsing {kind} in {formula}")
            if formula.startswith(quote, close + 1):
                i = close + 2  # a doubled quote stands for one quote character
                continue
            break
        text = formula[start:close + 1]
        if quote == '"':
            self._push(Token.make_operand(text), start)
            self._pos = close + 1
        else:
            self._add_piece(text)  # a quoted sheet name, part of the reference

    def _bracket(self) -> None:
        formula = self.formula
        depth = 0
        escaped = False
        for i in range(self._pos, len(formula)):
            if escaped:
                escaped = False  # a structured reference's "'" makes the next character a literal one
            elif formula[i] == "'":
                escaped = True
            elif formula[i] == "[":
                depth += 1
            elif formula[i] == "]":
                depth -= 1
                if depth == 0:
                    self._add_piece(formula[self._pos:i + 1])
                    return
        raise TokenizerError(f"Encountered unmatched '[' in {formula}")

    def _error_code(self) -> None:
        if self._pending and self._pending[-1] not in ("", "!"):
            self._unexpected()
        for code in _ERROR_CODES:
            if self.formula.startswith(code, self._pos):
                start = self._pending_start if self._pending else self._pos
                self._push(Token.make_operand("".join(self._pending) + code), start, self._pos + len(code))
                self._pending.clear()
                self._pos += len(code)
                return
        raise TokenizerError(f"Invalid error code at position {self._pos} in '{self.formula}'")

    def _whitespace(self, c: str) -> None:
        # A run of spaces and line feeds is kept as its first character only.
        start = self._pos
        formula = self.formula
        self._pos += 1
        while self._pos < len(formula) and formula[self._pos] in " \n":
            self._pos += 1
        self._push(Token(c, Token.WSPACE), start, self._pos)

    def _operator(self, c: str) -> None:
        two = self.formula[self._pos:self._pos + 2]
        if two in (">=", "<=", "<>"):
            self._push(Token(two, Token.OP_IN), self._pos)
            self._pos += 2
            return
        start = self._pos
        self._pos += 1
        if c == "%":
            self._push(Token(c, Token.OP_POST), start)
        elif c in "+-":
            kind = Token.OP_IN if self._sign_is_infix() else Token.OP_PRE
            self._push(Token(c, kind), start)
        else:
            self._push(Token(c, Token.OP_IN), start)

    def _sign_is_infix(self) -> bool:
        for token in reversed(self.items):
            if token.type == Token.WSPACE:
                continue
            return token.subtype == Token.CLOSE or token.type in (Token.OP_POST, Token.OPERAND)
        return False

    def _open(self, kind: str, text: str, start: int) -> None:
        self._stack.append(kind)
        self._push(Token(text, kind, Token.OPEN), start, self._pos + 1)
        self._pos += 1

    def _close(self, c: str) -> None:
        kind = self._stack.pop()  # IndexError "pop from empty list" when nothing is open
        if c != ("}" if kind == Token.ARRAY else ")"):
            raise TokenizerError(f"Mismatched ( and {{ pair in '{self.formula}'")
        self._push(Token(c, kind, Token.CLOSE), self._pos)
        self._pos += 1

    def _save_pending(self) -> None:
        if self._pending:
            self._push(Token.make_operand("".join(self._pending)), self._pending_start, self._pending_end)
            self._pending.clear()


def formula_problem(formula: str) -> str | None:
    """Why spreadsheet programs would not take `formula` (text beginning with "=") as a
    formula, or None: what the tokenizer refuses, a closing bracket without an opening one,
    a bracket left open. (The engine's `check_formula` gives the same verdict.)"""
    try:
        tokens = Tokenizer(formula).items
    except TokenizerError as exc:
        return str(exc)
    except IndexError:
        return "a closing bracket without an opening one"
    depth = sum((token.subtype == Token.OPEN) - (token.subtype == Token.CLOSE) for token in tokens)
    return "a bracket left open" if depth else None

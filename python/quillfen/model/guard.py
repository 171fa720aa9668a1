"""The guard of a sheet or workbook: each mutating call is one step that other threads see
whole, or not at all.

Workbooks and sheets may be shared by threads. An append takes a row number and stores the
row; a cell is looked up and made when missing; a value and its data type are set together.
Without a guard, two threads doing so at once lose rows or mix them (on either interpreter: a
thread switch falls between any two bytecodes). Each sheet and workbook holds one re-entrant
lock, `_guard`, and every mutating method, or reading method that walks what such a method
changes, runs under it through `guarded` (or, on the hottest paths, a `with self._guard:`
block around exactly the steps that must not be split):

    @guarded
    def insert_rows(self, idx: int, amount: int = 1) -> None: ...

A cell's setters take the guard of their sheet; a stylesheet, which the sheets share, has a
guard of its own, taken under theirs and taking none.

A save holds the workbook's guard and then every sheet's, in the workbook's order, so that it
writes a state the workbook was in; a change checked against the other sheets (`book_guarded`)
holds the workbook's guard and then its sheet's. Nothing else holds two sheets' guards, and a
workbook's guard is never taken under a sheet's, so no two threads can wait on each other.
"""

import functools
import threading
from collections.abc import Callable
from typing import Concatenate, Protocol

__all__ = ["Guarded", "book_guarded", "guarded", "new_guard"]


class Guarded(Protocol):
    _guard: threading.RLock


class SheetGuarded(Guarded, Protocol):
    @property
    def parent(self) -> Guarded: ...


def new_guard() -> threading.RLock:
    """The lock of a new sheet or workbook: re-entrant, since guarded methods call each other
    (`cell` makes the cell that `__setitem__` assigns)."""
    return threading.RLock()


def guarded[S: Guarded, **P, R](method: Callable[Concatenate[S, P], R]) -> Callable[Concatenate[S, P], R]:
    """`method` run as one step under its object's `_guard`."""

    @functools.wraps(method)
    def run(self: S, /, *args: P.args, **kwargs: P.kwargs) -> R:
        with self._guard:
            return method(self, *args, **kwargs)

    return run


def book_guarded[S: SheetGuarded, **P, R](method: Callable[Concatenate[S, P], R]) -> Callable[Concatenate[S, P], R]:
    """`method` of a sheet run as one step under its workbook's guard and then its own: for a
    change checked against the other sheets (a name unique in the workbook)."""

    @functools.wraps(method)
    def run(self: S, /, *args: P.args, **kwargs: P.kwargs) -> R:
        with self.parent._guard, self._guard:
            return method(self, *args, **kwargs)

    return run

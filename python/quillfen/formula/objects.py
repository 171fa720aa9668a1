"""Formula values that are more than text: array formulas and data-table formulas."""

from collections.abc import Iterator
from typing import Any, ClassVar

__all__ = ["ArrayFormula", "DataTableFormula"]


class ArrayFormula:
    """An array formula `text` (with its leading "=") entered over the cell range `ref`."""

    t: ClassVar[str] = "array"

    __slots__ = ("ref", "text")

    def __init__(self, ref: str | None, text: str | None = None) -> None:
        self.ref = ref
        self.text = text

    def __iter__(self) -> Iterator[tuple[str, str]]:
        """The `<f>` attributes as (name, value) pairs: the type and the range."""
        yield "t", self.t
        if self.ref is not None:
            yield "ref", self.ref

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ArrayFormula):
            return NotImplemented
        return (self.ref, self.text) == (other.ref, other.text)

    __hash__ = None  # type: ignore[assignment]  # mutable, compared by value

    def __repr__(self) -> str:
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"


class DataTableFormula:
    """A what-if data table over `ref`, made from the attributes of its `<f>` element.

    Every attribute given is kept, as the text read from the file, so that writing the
    formula back loses nothing; the known ones are also attributes of the object.
    """

    t: ClassVar[str] = "dataTable"

    _KNOWN = ("ref", "ca", "dt2D", "dtr", "r1", "r2", "del1", "del2")

    def __init__(self, ref: str | None = None, ca: Any = False, dt2D: Any = False, dtr: Any = False,
                 r1: str | None = None, r2: str | None = None, del1: Any = False, del2: Any = False,
                 **attrs: Any) -> None:
        self.ref = ref
        self.ca = ca
        self.dt2D = dt2D
        self.dtr = dtr
        self.r1 = r1
        self.r2 = r2
        self.del1 = del1
        self.del2 = del2
        attrs.pop("t", None)  # always "dataTable"
        self.extra = attrs

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        """The `<f>` attributes as (name, value) pairs, leaving out those not set."""
        yield "t", self.t
        for name in self._KNOWN:
            value = getattr(self, name)
            if value is not None and value is not False:
                yield name, value
        yield from self.extra.items()

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DataTableFormula):
            return NotImplemented
        return dict(self) == dict(other)

    __hash__ = None  # type: ignore[assignment]  # mutable, compared by value

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self if k != "t")
        return f"DataTableFormula({args})"

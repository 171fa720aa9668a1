"""Formula values that are more than text: array formulas and data-table formulas."""

__all__ = ["ArrayFormula", "DataTableFormula"]


class ArrayFormula:
    """An array formula `text` (with its leading "=") entered over the cell range `ref`."""

    t = "array"

    __slots__ = ("ref", "text")

    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text

    def __iter__(self):
        """The `<f>` attributes as (name, value) pairs: the type and the range."""
        yield "t", self.t
        if self.ref is not None:
            yield "ref", self.ref

    def __eq__(self, other):
        if not isinstance(other, ArrayFormula):
            return NotImplemented
        return (self.ref, self.text) == (other.ref, other.text)

    __hash__ = None

    def __repr__(self):
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"


class DataTableFormula:
    """A what-if data table over `ref`, made from the attributes of its `<f>` element.

    Every attribute given is kept, as the text read from the file, so that writing the
    formula back loses nothing; the known ones are also attributes of the object.
    """

    t = "dataTable"

    _KNOWN = ("ref", "ca", "dt2D", "dtr", "r1", "r2", "del1", "del2")

    def __init__(self, ref=None, ca=False, dt2D=False, dtr=False, r1=None, r2=None, del1=False,
                 del2=False, **attrs):
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

    def __iter__(self):
        """The `<f>` attributes as (name, value) pairs, leaving out those not set."""
        yield "t", self.t
        for name in self._KNOWN:
            value = getattr(self, name)
            if value is not None and value is not False:
                yield name, value
        yield from self.extra.items()

    def __eq__(self, other):
        if not isinstance(other, DataTableFormula):
            return NotImplemented
        return dict(self) == dict(other)

    __hash__ = None

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self if k != "t")
        return f"DataTableFormula({args})"

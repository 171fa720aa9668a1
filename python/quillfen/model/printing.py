"""How a sheet prints: the page's orientation, paper, scaling, header and footer, centring and
gridlines (`ws.page_setup`), and its margins (`ws.margins`). The print titles and print area
are defined names (`ws.print_title_rows`, `ws.print_area`)."""

from __future__ import annotations

from typing import Any

from .objects import Feature, check_bool, check_choice, check_int, check_number, check_text_field

__all__ = ["PageSetup", "PageMargins", "PAPER_SIZES"]

# Paper sizes by name -> the number files give them.
PAPER_SIZES = {"letter": 1, "letter_small": 2, "tabloid": 3, "ledger": 4, "legal": 5, "statement": 6,
               "executive": 7, "A3": 8, "A4": 9, "A4_small": 10, "A5": 11, "B4": 12, "B5": 13, "folio": 14,
               "quarto": 15, "10x14": 16, "11x17": 17, "note": 18, "envelope_9": 19, "envelope_10": 20,
               "envelope_DL": 27, "envelope_C5": 28, "envelope_C3": 29, "envelope_C4": 30, "envelope_C6": 31,
               "envelope_B4": 33, "envelope_B5": 34, "envelope_monarch": 37, "A2": 66, "A6": 70}
MAX_PAPER = 118
MAX_HEADER = 255


def _paper(value: Any) -> int | None:
    if isinstance(value, str):
        if value not in PAPER_SIZES:
            raise ValueError("paper %r: a paper number (1 to %d) or one of %s"
                             % (value, MAX_PAPER, ", ".join(map(repr, PAPER_SIZES))))
        return PAPER_SIZES[value]
    return check_int("paper", 1, MAX_PAPER, optional=True)(value)


class PageSetup(Feature):
    """`orientation` ("portrait" or "landscape", None for the program's default); `paper`, a
    number or a name of `PAPER_SIZES` ("A4", "letter"), read back as its number; `scale` in
    percent (10 to 400), or `fit_width` and `fit_height`, the number of pages the sheet is
    fitted to across and down (0: as many as it takes; one set alone makes the other 1); `header` and `footer`, texts with the
    codes &L, &C and &R for their left, centre and right parts and &P (page), &N (pages),
    &A (sheet), &D (date), &T (time); the page centred horizontally or vertically; the
    gridlines printed (also `ws.print_gridlines`)."""

    __slots__ = ("orientation", "paper", "scale", "fit_width", "fit_height", "header", "footer",
                 "center_horizontally", "center_vertically", "gridlines")
    _FIELDS = __slots__
    _CHECKS = {"orientation": check_choice("orientation", ("portrait", "landscape"), optional=True),
               "paper": _paper, "scale": check_int("print scale", 10, 400, optional=True),
               "fit_width": check_int("fit_width", 0, 32767, optional=True),
               "fit_height": check_int("fit_height", 0, 32767, optional=True),
               "header": check_text_field("a page header", MAX_HEADER),
               "footer": check_text_field("a page footer", MAX_HEADER),
               "center_horizontally": check_bool("center_horizontally"),
               "center_vertically": check_bool("center_vertically"), "gridlines": check_bool("gridlines")}
    orientation: str | None
    paper: int | str | None  # set as a number or a name; read back as the number
    scale: int | None
    fit_width: int | None
    fit_height: int | None
    header: str | None
    footer: str | None
    center_horizontally: bool
    center_vertically: bool
    gridlines: bool

    def __init__(self, orientation: str | None = None, paper: int | str | None = None, scale: int | None = None,
                 fit_width: int | None = None, fit_height: int | None = None, header: str | None = None,
                 footer: str | None = None, center_horizontally: bool = False, center_vertically: bool = False,
                 gridlines: bool = False) -> None:
        self.orientation = orientation
        self.paper = _paper(paper)
        self.scale = scale
        self.fit_width = fit_width
        self.fit_height = fit_height
        self.header = header
        self.footer = footer
        self.center_horizontally = center_horizontally
        self.center_vertically = center_vertically
        self.gridlines = gridlines

    def __setattr__(self, name: str, value: Any) -> None:
        super().__setattr__(name, value)
        # A file that fits the sheet to pages means one page where it leaves a side out.
        other = {"fit_width": "fit_height", "fit_height": "fit_width"}.get(name)
        if other is not None and value is not None and getattr(self, other, 1) is None:
            super().__setattr__(other, 1)

    @property
    def fit_to_page(self) -> bool:
        """Whether the sheet is fitted to pages (`fit_width` or `fit_height` given) rather than
        scaled."""
        return self.fit_width is not None or self.fit_height is not None


class PageMargins(Feature):
    """The margins of the printed page, in inches: `left`, `right`, `top`, `bottom`, and the
    distances of the `header` and `footer` from the page's edge."""

    __slots__ = ("left", "right", "top", "bottom", "header", "footer")
    _FIELDS = __slots__
    _CHECKS = {name: check_number("the %s margin" % name, 0, 49) for name in __slots__}
    left: float
    right: float
    top: float
    bottom: float
    header: float
    footer: float

    def __init__(self, left: float = 0.7, right: float = 0.7, top: float = 0.75, bottom: float = 0.75,
                 header: float = 0.3, footer: float = 0.3) -> None:
        self.left, self.right, self.top, self.bottom = left, right, top, bottom
        self.header, self.footer = header, footer

"""Cell comments: `cell.comment = Comment("text", "author")`."""

from __future__ import annotations

from xml.etree.ElementTree import Element

from .text import check_text

__all__ = ["Comment"]


class Comment:
    """A note on a cell: its `text` and `author` (None when unknown). `width` and `height`
    are the size of its box in points, as it opens when shown."""

    __slots__ = ("_text", "_author", "width", "height", "_rich")

    def __init__(self, text: str, author: str | None = None, width: float = 108.0, height: float = 59.25) -> None:
        self.text = text
        self.author = author
        self.width = width
        self.height = height
        # (text, `text` element) of a comment read from a file: its formatted runs are written
        # back as they were while the text stays the same.
        self._rich: tuple[str, Element] | None = None

    @property
    def text(self) -> str:
        return self._text

    @text.setter
    def text(self, text: str) -> None:
        self._text = check_text(text, "a comment's text")

    @property
    def author(self) -> str | None:
        return self._author

    @author.setter
    def author(self, author: str | None) -> None:
        self._author = None if author is None else check_text(author, "a comment's author")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Comment) and (self._text, self._author) == (other._text, other._author)

    __hash__ = None  # type: ignore[assignment]  # equal by content, and changeable

    def __repr__(self) -> str:
        return "Comment(%r, %r)" % (self._text, self._author)

"""Cell comments: `cell.comment = Comment("text", "author")`."""

from .features import check_text

__all__ = ["Comment"]


class Comment:
    """A note on a cell: its `text` and `author` (None when unknown). `width` and `height`
    are the size of its box in points, as it opens when shown."""

    __slots__ = ("_text", "_author", "width", "height", "_rich")

    def __init__(self, text, author=None, width=108.0, height=59.25):
        self.text = text
        self.author = author
        self.width = width
        self.height = height
        # (text, `text` element) of a comment read from a file: its formatted runs are written
        # back as they were while the text stays the same.
        self._rich = None

    @property
    def text(self):
        return self._text

    @text.setter
    def text(self, text):
        self._text = check_text(text, "a comment's text")

    @property
    def author(self):
        return self._author

    @author.setter
    def author(self, author):
        self._author = None if author is None else check_text(author, "a comment's author")

    def __eq__(self, other):
        return isinstance(other, Comment) and (self._text, self._author) == (other._text, other._author)

    __hash__ = None

    def __repr__(self):
        return "Comment(%r, %r)" % (self._text, self._author)

"""Rich text: runs of text with their own fonts in one cell.

The public face of `quillfen.model.richtext`."""

from .model.richtext import *  # noqa: F403
from .model.richtext import __all__  # noqa: F401

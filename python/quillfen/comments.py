"""Comments (notes) on cells.

The public face of `quillfen.model.comments`."""

from .model.comments import *  # noqa: F403
from .model.comments import __all__  # noqa: F401

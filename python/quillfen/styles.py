"""Cell styles: fonts, fills, borders, alignment, protection and number formats.

The public face of `quillfen.model.styles`."""

from .model.styles import *  # noqa: F403
from .model.styles import __all__  # noqa: F401

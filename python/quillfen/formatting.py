"""Conditional formats: the rules of `ws.add_conditional_format`.

The public face of `quillfen.model.formatting`."""

from .model.formatting import *  # noqa: F403
from .model.formatting import __all__  # noqa: F401

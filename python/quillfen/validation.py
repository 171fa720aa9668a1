"""Data validation: `ws.add_validation`, `ws.validations`.

The public face of `quillfen.model.validation`."""

from .model.validation import *  # noqa: F403
from .model.validation import __all__  # noqa: F401

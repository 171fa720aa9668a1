"""Sheet features: dimensions, merges, hyperlinks, filters, names and properties.

The public face of `quillfen.model.features`."""

from .model.features import *  # noqa: F403
from .model.features import __all__  # noqa: F401

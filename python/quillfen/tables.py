"""Tables of a sheet: `ws.add_table`, `ws.tables`.

The public face of `quillfen.model.tables`."""

from .model.tables import *  # noqa: F403
from .model.tables import __all__  # noqa: F401

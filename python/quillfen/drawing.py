"""Images on a sheet: `ws.add_image`, `ws.images`.

The public face of `quillfen.model.images`."""

from .model.images import *  # noqa: F403
from .model.images import __all__  # noqa: F401

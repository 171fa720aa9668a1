"""Protection of sheets and workbooks: `ws.protect`, `wb.protect`.

The public face of `quillfen.model.protection`."""

from .model.protection import *  # noqa: F403
from .model.protection import __all__  # noqa: F401

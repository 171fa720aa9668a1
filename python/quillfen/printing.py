"""Page setup and margins: `ws.page_setup`, `ws.margins`.

The public face of `quillfen.model.printing`."""

from .model.printing import *  # noqa: F403
from .model.printing import __all__  # noqa: F401

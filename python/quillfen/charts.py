"""Charts: `Chart(kind, ...)` with its series of references to cells (`Reference`), and
`KeptChart`, a chart of another kind read from a file.

The public face of `quillfen.model.charts`."""

from .model.charts import *  # noqa: F403
from .model.charts import __all__  # noqa: F401

"""quillfen: read and write .xlsx spreadsheets.

The package is pure Python; its native engine `quillfen._quillfen` takes over the hot paths
when it is available. Setting the environment variable QUILLFEN_PURE_PYTHON=1 makes every
entry point use the pure-Python path.
"""

__version__ = "0.1.0"

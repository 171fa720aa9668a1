"""The model: workbooks, sheets, cells, styles and sheet features, in memory.

It is usable without any file; `quillfen.reader` builds it from a file and `quillfen.writer`
saves it. Nothing here reads or writes a package.
"""

"""The package a workbook is stored in: its parts by name, the relationships between them and
their content types, read from a zip container and written back into one."""

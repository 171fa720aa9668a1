"""Saving workbooks."""

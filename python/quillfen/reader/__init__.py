"""Reading workbook parts."""

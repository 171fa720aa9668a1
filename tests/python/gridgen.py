"""Random workbooks and structural edits for the tests of `quillfen.model.structure`: formulas
with every form of reference (relative, absolute and mixed, areas, whole rows and columns,
other sheets, quoted sheet names, 3-D references, unions and intersections), names, merges,
and sequences of row and column insertions and deletions. Everything is drawn from a seeded
`random.Random`, so a case number gives the same case again."""

import random

import quillfen
from quillfen.features import DefinedName
from quillfen.utils.cells import column_letter as column

TITLES = ("Sheet1", "Data", "My Sheet", "Ünï", "It's")
FUNCTIONS = ("SUM", "MAX", "MIN", "COUNT")
EDITS = ("insert_rows", "delete_rows", "insert_cols", "delete_cols")
ROWS, COLS = 24, 10  # where the cells and references of a case are


def quoted(title):
    if title.isalnum() and title.isascii() and not title[0].isdigit():
        return title
    return "'%s'" % title.replace("'", "''")




class Draw:
    """Formula text for sheets `titles` (the first is the formula's own)."""

    def __init__(self, rng, titles, wild=False):
        self.rng, self.titles, self.wild = rng, titles, wild

    def dollar(self):
        return "$" if self.rng.random() < 0.3 else ""

    def row(self):
        return self.rng.randint(1, ROWS)

    def col(self):
        return self.rng.randint(1, COLS)

    def letters(self, n):
        text = column(n)
        return text.lower() if self.wild and self.rng.random() < 0.1 else text

    def cell(self):
        return "%s%s%s%d" % (self.dollar(), self.letters(self.col()), self.dollar(), self.row())

    def ref(self):
        kind = self.rng.random()
        if kind < 0.45:
            return self.cell()
        if kind < 0.8:
            r1, r2 = sorted((self.row(), self.row()))
            c1, c2 = sorted((self.col(), self.col()))
            if self.wild and self.rng.random() < 0.2:
                r1, r2 = r2, r1
            return "%s%s%s%d:%s%s%s%d" % (self.dollar(), self.letters(c1), self.dollar(), r1,
                                          self.dollar(), self.letters(c2), self.dollar(), r2)
        if kind < 0.9:
            r1, r2 = sorted((self.row(), self.row()))
            return "%s%d:%s%d" % (self.dollar(), r1, self.dollar(), r2)
        c1, c2 = sorted((self.col(), self.col()))
        return "%s%s:%s%s" % (self.dollar(), self.letters(c1), self.dollar(), self.letters(c2))

    def qualified(self):
        kind = self.rng.random()
        if kind < 0.45:
            return self.ref()
        if kind < 0.93 or len(self.titles) < 2:
            title = self.rng.choice(self.titles)
            if self.wild and self.rng.random() < 0.2:
                title = title.swapcase()
            return "%s!%s" % (quoted(title), self.ref())
        first, last = self.rng.sample(self.titles, 2)
        return "%s!%s" % (quoted("%s:%s" % (first, last)), self.cell())

    def operand(self):
        kind = self.rng.random()
        if kind < 0.7:
            return self.qualified()
        if kind < 0.8:
            return str(self.rng.randint(0, 99))
        if kind < 0.85:
            return '"A1 %s"' % self.rng.choice(("x", "B2", "'"))
        if kind < 0.9:
            return "(%s,%s)" % (self.qualified(), self.qualified())
        if kind < 0.95:
            return "%s %s" % (self.ref(), self.ref())
        arguments = ",".join(self.qualified() for _ in range(self.rng.randint(1, 3)))
        return "%s(%s)" % (self.rng.choice(FUNCTIONS), arguments)

    def formula(self):
        parts = [self.operand() for _ in range(self.rng.randint(1, 4))]
        text = "=" + self.rng.choice(("+", "-", "*", "&")).join(parts)
        if self.wild:
            text = self._wild(text)
        return text

    def _wild(self, text):
        """Odd but tokenizable spellings: runs of spaces, line feeds, names, errors, arrays."""
        extra = self.rng.choice(("", " + MyName", " + Data!Name", "+#REF!", "+Sheet1!#REF!", "+{1,2;3,4}",
                                 "+  \n %s" % self.cell(), "+[1]Sheet1!A1", "+Table1[Col]", "+A1:B2:C3",
                                 "+'Ünï'!B7", "+'ÜNÏ'!B7", "+ÄB1", "+1E+5", "+XFE1", "+A1048576"))
        return text + extra


def workbook(rng, path):
    """Saves a random workbook to `path`; its sheet titles."""
    titles = rng.sample(TITLES, rng.randint(2, 3))
    wb = quillfen.Workbook()
    # Every sheet titled before any formula is written: a later retitling would rewrite the
    # references to the sheet's former title (Sheet1) that the formulas meant for another.
    for i, title in enumerate(titles):
        (wb.active if i == 0 else wb.create_sheet()).title = title
    for title in titles:
        ws = wb[title]
        draw = Draw(rng, [title] + [t for t in titles if t != title])
        for _ in range(rng.randint(10, 40)):
            cell = ws.cell(draw.row(), draw.col())
            constant = rng.choice((rng.randint(1, 100), "t%d" % rng.randint(1, 9)))
            cell.value = draw.formula() if rng.random() < 0.5 else constant
        if rng.random() < 0.6:
            # A column filled down: its formulas share one shape (the engine keeps them as a
            # template), relative, absolute and mixed parts together.
            c = draw.col()
            pattern = rng.choice(("=A%(r)d*2", "=$A$1+B%(r)d", "=SUM(A%(r)d:B%(n)d)+C$2", "=A%(r)d+%(q)s!A%(r)d",
                                  "=$B%(r)d-A%(n)d"))
            for r in range(rng.randint(1, 4), rng.randint(8, ROWS)):
                ws.cell(r, c).value = pattern % {"r": r, "n": r + 1, "q": quoted(rng.choice(titles))}
        merged = set()
        for _ in range(rng.randint(0, 3)):
            r, c = draw.row(), draw.col()
            ref = "%s%d:%s%d" % (column(c), r, column(c + rng.randint(0, 2)), r + rng.randint(0, 2))
            if ref.split(":")[0] != ref.split(":")[1] and not merged & {(r, c)}:
                try:
                    ws.merge_cells(ref)
                    merged.add((r, c))
                except ValueError:
                    pass
    for n in range(rng.randint(0, 3)):
        title = rng.choice(titles)
        r1, c1 = rng.randint(1, ROWS), rng.randint(1, COLS)
        c2, r2 = c1 + rng.randint(0, 3), r1 + rng.randint(0, 4)
        text = "%s!$%s$%d:$%s$%d" % (quoted(title), column(c1), r1, column(c2), r2)
        if rng.random() < 0.5:
            wb.defined_names.add(DefinedName("Name%d" % n, text))
        else:
            wb[rng.choice(titles)].defined_names.add(DefinedName("Local%d" % n, text))
    wb.save(path)
    return titles


def edits(rng, titles):
    """A sequence of one to four (sheet, edit, index, amount)."""
    return [(rng.choice(titles), rng.choice(EDITS), rng.randint(1, ROWS + 2), rng.randint(1, 3))
            for _ in range(rng.randint(1, 4))]

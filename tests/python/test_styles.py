"""Number formats: which format codes make a number a date, a time or a duration."""

import glob
import os
import zipfile

import pytest

from quillfen.reader.styles import read_stylesheet
from quillfen.model.styles import BUILTIN_FORMATS, is_date_format, is_timedelta_format

from conftest import CORPUS_DIR

DATE, DURATION, NUMBER = "date", "duration", "number"

# Built-in ids that show a date or a time; 46 ([h]:mm:ss) is the one elapsed time.
_BUILTIN_DATES = {14, 15, 16, 17, 18, 19, 20, 21, 22, 45, 47}

# Every custom code found in the corpus workbooks, plus the shapes that trip a naive search for
# date letters: colours, locales, conditions, quoted and escaped text, fill characters.
CODES = {
    # dates and times
    "yyyy\\-mm\\-dd": DATE,
    "mm\\/dd\\/yy": DATE,
    "yyyy\\-mm\\-dd\\Thh:mm": DATE,
    "d/m/yy": DATE,
    "yyyy\\-mm\\-dd\\ hh:mm:ss": DATE,
    "hh:mm:ss\\ AM/PM": DATE,
    "yyyy\\-mm\\-dd;@": DATE,
    "M/d/yyyy": DATE,
    "M/d/yyyy H:mm:ss": DATE,
    "m/d/yy\\ h:mm": DATE,
    '"上午/下午 "hh"時"mm"分"ss"秒 "': DATE,
    "[$-409]mmmm d, yyyy;@": DATE,
    "[$-F800]dddd\\,\\ mmmm\\ dd\\,\\ yyyy": DATE,
    '[DBNum1][$-804]yyyy"年"m"月"d"日"': DATE,
    "[Red]d-mmm": DATE,
    "mm:ss.0": DATE,
    "0;yyyy": NUMBER,  # only the first section decides
    # elapsed times
    "[hh]:mm:ss": DURATION,
    "[hh]:mm:ss.00": DURATION,
    "[mm]:ss": DURATION,
    "[ss].000": DURATION,
    "[H]:MM": DURATION,
    "[$-409][h]:mm:ss;@": DURATION,
    '"took "[h]:mm': DURATION,
    '"[h]"0': NUMBER,
    "\\[h]0": DATE,  # an escaped bracket leaves a plain hour
    # numbers, currency, percent, text, fractions
    "General": NUMBER,
    "GENERAL": NUMBER,
    "[DBNum1][$-804]General": NUMBER,
    '"BOOL"e"AN"': NUMBER,
    '"TRUE";"TRUE";"FALSE"': NUMBER,
    '"$"#,##0.00': NUMBER,
    "#,###": NUMBER,
    "_([$$-409]* #,##0.00_);_([$$-409]* \\(#,##0.00\\);_([$$-409]* \"-\"??_);_(@_)": NUMBER,
    "_ * #,##0_ ;_ * \\-#,##0_ ;_ * \"-\"_ ;_ @_ ": NUMBER,
    "_ * #,##0.00_ ;_ * \\-#,##0.00_ ;_ * \"-\"??_ ;_ @_ ": NUMBER,
    '_("$"* #,##0.00_);_("$"* \\(#,##0.00\\);_("$"* "-"??_);_(@_)': NUMBER,
    '_("$"* #,##0_);_("$"* \\(#,##0\\);_("$"* "-"_);_(@_)': NUMBER,
    "#,##0": NUMBER,
    "0": NUMBER,
    "0.00": NUMBER,
    "0.0%": NUMBER,
    "0.00%": NUMBER,
    "00.000%": NUMBER,
    "#,##0.00": NUMBER,
    '"This is "\\ 0.0': NUMBER,
    "": NUMBER,
    "#,##0.00 [$€-407]": NUMBER,
    "[Blue]0;[Red]-0": NUMBER,
    "[<=9999999]###-####;(###) ###-####": NUMBER,
    "0.00\\h": NUMBER,
    "0.0_s": NUMBER,
    "0*s": NUMBER,
    "0.00e+00": NUMBER,
    "# ?/8": NUMBER,
    '0.0 "days"': NUMBER,
    "@": NUMBER,
    ";;;": NUMBER,
}


def _kind(code):
    date, duration = is_date_format(code), is_timedelta_format(code)
    assert not duration or date, "a duration format must also count as a date format"
    return DURATION if duration else DATE if date else NUMBER


@pytest.mark.parametrize("num_fmt", sorted(BUILTIN_FORMATS))
def test_builtin_formats(num_fmt):
    want = DURATION if num_fmt == 46 else DATE if num_fmt in _BUILTIN_DATES else NUMBER
    assert _kind(BUILTIN_FORMATS[num_fmt]) == want


@pytest.mark.parametrize("code", list(CODES))
def test_format_codes(code):
    assert _kind(code) == CODES[code]


def test_no_code_is_never_a_date():
    assert not is_date_format(None) and not is_timedelta_format(None)


def _corpus_styles():
    for path in sorted(glob.glob(os.path.join(CORPUS_DIR, "*.xlsx"))):
        try:
            with zipfile.ZipFile(path) as z:
                yield os.path.basename(path), z.read("xl/styles.xml")
        except (zipfile.BadZipFile, KeyError):
            continue


def test_corpus_custom_formats_are_classified():
    """Every custom format in the corpus is in the table above, and the style sets agree with it."""
    styles = list(_corpus_styles())
    if not styles:
        pytest.skip("corpus not available")
    for name, data in styles:
        try:
            sheet = read_stylesheet(data)
        except Exception:  # a deliberately broken styles part is not this test's concern
            continue
        for code in sheet.number_formats.values():
            assert code in CODES, f"{name}: format {code!r} is not in the table"
        for i in range(len(sheet.cell_styles)):
            code = sheet.format_code(i)
            kind = _kind(code) if code is not None else NUMBER
            assert (i in sheet.date_formats()) == (kind != NUMBER), (name, i, code)
            assert (i in sheet.timedelta_formats()) == (kind == DURATION), (name, i, code)

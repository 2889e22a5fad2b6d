"""Numbers read from text do not depend on the C locale an application has set.

The locale is set in this very process (as an application would with locale.setlocale), under
a decimal-comma locale, and restored afterwards.
"""

import base64
import locale
import shutil
import subprocess

import pytest

from terrak.core import _post_on_addon_endpoint
from terrak.errors import GEFClassificationError, GEFParsingError

DUTCH = "nl_NL.UTF-8"


def set_locale(name):
    try:
        locale.setlocale(locale.LC_ALL, name)
        return True
    except locale.Error:
        return False


@pytest.fixture(scope="session")
def generated_locales(tmp_path_factory):
    """A folder with the Dutch locale made by localedef, or None when that is impossible. A locale
    added to the system's archive is seen only by processes started afterwards; a folder named in
    LOCPATH is seen at once."""
    folder = tmp_path_factory.mktemp("locales")
    if not shutil.which("localedef"):
        return None
    made = subprocess.run(["localedef", "-i", "nl_NL", "-f", "UTF-8", str(folder / DUTCH)], capture_output=True,
                          timeout=120)
    return folder if (folder / DUTCH).is_dir() and made.returncode in (0, 1) else None


@pytest.fixture(params=["C", DUTCH])
def any_locale(request, monkeypatch):
    """The C locale, and a Dutch one (decimal comma), generated when the machine lacks it."""
    saved = locale.setlocale(locale.LC_ALL)
    if not set_locale(request.param):
        folder = request.getfixturevalue("generated_locales")
        if folder is not None:
            monkeypatch.setenv("LOCPATH", str(folder))
        if folder is None or not set_locale(request.param):
            pytest.skip(f"the locale {request.param} is not available and could not be generated")
    try:
        if request.param == DUTCH:
            assert locale.localeconv()["decimal_point"] == ","
        yield request.param
    finally:
        locale.setlocale(locale.LC_ALL, saved)


def table_row(name, **bounds):
    keys = ["qc_min", "qc_max", "qc_norm_min", "qc_norm_max", "rf_min", "rf_max",
            "gamma_dry_min", "gamma_dry_max", "gamma_wet_min", "gamma_wet_max"]
    return {"name": name, "color": "1,2,3", **{key: bounds.get(key, "") for key in keys}}


def classify_around(bound_text, value):
    """Classifies qc just below and just above `value` with a row whose qc_min is `bound_text`."""
    qc = [value - abs(value) * 1e-9 - 1e-12, value + abs(value) * 1e-9 + 1e-12]
    cpt = {"headers": {"name": "T", "ground_level_wrt_reference": 0.0},
           "measurement_data": {"elevation": [-1000.0, -2000.0], "qc": qc, "Rf": [0.01, 0.01],
                                "corrected_depth": [1000.0, 2000.0]}}
    payload = {"cpt_data": cpt, "classification_method": "table",
               "method_params": {"qualification_table": [table_row("at least", qc_min=bound_text), table_row("rest")],
                                 "ground_water_level": 0.0}}
    answer = _post_on_addon_endpoint("classifycpt/v2/jobs/", payload, timeout=60,
                                     error_mapping={"CPTClassificationError": GEFClassificationError})
    return [layer["soil"]["name"] for layer in answer["soil_layers"]]


# Text bounds are read exactly as float() reads them: a decimal point whatever the locale,
# surrounding whitespace, underscores between digits, any Unicode decimal digits.
@pytest.mark.parametrize("text", ["2.5", " 2.5\n", "1_000", "-1.5e-3", "\u0662.\u0665", "\uff12\uff15"],
                         ids=["point", "whitespace", "underscore", "exponent", "arabic-indic", "fullwidth"])
def test_text_bound_reads_as_float_does(any_locale, text):
    assert classify_around(text, float(text)) == ["rest", "at least"]


@pytest.mark.parametrize("text", ["2,5", "0x10", "1__0", "2.5 5", "inf", "nan"])
def test_text_bound_refused_as_float_refuses(any_locale, text):
    with pytest.raises(GEFClassificationError) as error:
        classify_around(text, 2.5)
    assert str(error.value) == f"row 'at least': qc_min must be a number or '', not {text!r}"


def test_gef_numbers_do_not_depend_on_the_locale(any_locale):
    text = ("#GEFID= 1, 1, 0\n#REPORTCODE= GEF-CPT-Report, 1, 1, 2\n#TESTID= T1\n#ZID= 31000, -0.25\n"
            "#COLUMNINFO= 1, m, length, 1\n#COLUMNINFO= 2, MPa, qc, 2\n#COLUMNINFO= 3, %, Rf, 4\n"
            "#MEASUREMENTVAR= 3, 0.75, -, net area quotient\n#EOH=\n0.5 1.25 2.5\n1.0 2.5E-1 1.5\n")
    payload = {"file_content": base64.b64encode(text.encode()).decode()}
    errors = {"ParsingError": GEFParsingError}
    answer = _post_on_addon_endpoint("parsecptfile/v2/jobs/", payload, timeout=60, error_mapping=errors)
    assert answer["measurement_data"]["qc"] == [1.25, 0.25]
    assert answer["measurement_data"]["elevation"] == [-750.0, -1250.0]
    assert answer["headers"]["surface_area_quotient_tip"] == 0.75
    with pytest.raises(GEFParsingError, match="value '1,25' in column 2"):
        comma = text.replace("0.5 1.25", "0.5 1,25")
        _post_on_addon_endpoint("parsecptfile/v2/jobs/", {"file_content": base64.b64encode(comma.encode()).decode()},
                                timeout=60, error_mapping=errors)

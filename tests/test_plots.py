import io
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from matplotlib.colors import to_hex, to_rgba  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

import terrak.geo as geo  # noqa: E402
from terrak.core import Color, File  # noqa: E402
from terrak.geo import (GEFData, GEFFile, RobertsonMethod, Soil, SoilLayer, SoilLayout, TableMethod,  # noqa: E402
                        gef_visualization)

DATA = Path(__file__).resolve().parent.parent / "data"

CONE, PORE, FRICTION = "#005DAB", "#008017", "#DE1D1F"


@pytest.fixture(autouse=True)
def clean_pyplot():
    """Each test starts without figures and leaves matplotlib's global settings as it found them."""
    plt.close("all")
    with matplotlib.rc_context():
        yield
    plt.close("all")


@pytest.fixture
def axes():
    plt.figure()
    return plt.axes([0.1, 0.1, 0.8, 0.8])


@pytest.fixture
def closed_figures(monkeypatch):
    """The figures the code under test closes with plt.close(), kept for inspection."""
    kept, real_close = [], plt.close

    def close(*figures):
        kept.append(figures[0] if figures else plt.gcf())
        real_close(*figures)

    monkeypatch.setattr(plt, "close", close)
    return kept


def gef(depths_m=(0.0, -1.0, -2.0, -3.0), qc=(1.0, 2.0, 5.0, 12.0), rf=(0.02, 0.03, 0.01, 0.005), u2=None,
        **headers):
    data = {"elevation": [d * 1000 for d in depths_m], "qc": list(qc), "Rf": list(rf)}
    if u2 is not None:
        data["u2"] = list(u2)
    fields = {"name": "CPT-1", "max_measurement_depth_wrt_reference": depths_m[-1] * 1000,
              "ground_level_wrt_reference": depths_m[0] * 1000, "height_system": "NAP"}
    fields.update(headers)
    return GEFData({"headers": {k: v for k, v in fields.items() if v is not ...},
                    "measurement_data": data})


SAND, CLAY, PEAT = ("Zand", Color(230, 200, 60)), ("Klei", Color(0, 160, 0)), ("Veen", Color(150, 90, 40))


def layout(*layers):
    """layout((soil, top_m, bottom_m), ...) with levels given in metres and stored in millimetres."""
    soils = {}
    return SoilLayout([SoilLayer(soils.setdefault(name, Soil(name, color)), top * 1000, bottom * 1000)
                       for (name, color), top, bottom in layers])


def tick_texts(labels):
    return [label.get_text() for label in labels]


def colours(labels):
    return {to_hex(label.get_color()) for label in labels}


# --- GEF measurement plots --------------------------------------------------------------------

@pytest.mark.parametrize("with_u2", [True, False], ids=["u2", "no-u2"])
def test_cone_plot(axes, with_u2):
    data = gef(u2=(0.0, 0.01, 0.02, 0.05) if with_u2 else None, ground_level_wrt_reference=500.0)
    data.qc = [99.0] * 4  # the plot draws the stored GEF dictionary, not attributes changed later
    assert data.get_cone_visualization(axes) is None

    (line,) = axes.get_lines()
    assert list(line.get_xdata()) == [1.0, 2.0, 5.0, 12.0]
    assert list(line.get_ydata()) == [0.0, -1.0, -2.0, -3.0]
    assert to_hex(line.get_color()) == CONE.lower()
    assert axes.get_xlabel() == "Qc [MPa] (Conusweerstand)" and axes.get_ylabel() == "Diepte [m] tov NAP"
    assert axes.get_xlim() == (0, 30) and list(axes.get_xticks()) == [0, 5, 10, 15, 20, 25]
    # Depth from -3 m up to 0.5 + 0.25 m; the tick at 1 m widens the top of the range to 1 m.
    assert list(axes.get_yticks()) == [-3, -2, -1, 0, 1] and axes.get_ylim() == (-3, 1)
    assert to_hex(axes.spines["bottom"].get_edgecolor()) == CONE.lower()
    assert to_hex(axes.xaxis.label.get_color()) == CONE.lower()
    assert colours(axes.get_xticklabels()) == {CONE.lower()}
    assert axes.spines["right"].get_linewidth() == 2.5

    twins = [other for other in axes.figure.axes if other is not axes]
    if not with_u2:
        assert twins == []
        return
    (twin,) = twins
    assert twin.get_shared_y_axes().joined(twin, axes)
    (pore,) = twin.get_lines()
    assert list(pore.get_xdata()) == [0.0, 0.01, 0.02, 0.05] and list(pore.get_ydata()) == [0, -1, -2, -3]
    assert to_hex(pore.get_color()) == PORE.lower()
    assert twin.get_xlabel() == "u2 [MPa] (Waterspanning)" and twin.get_xlim() == pytest.approx((0, 0.3))
    assert twin.get_xticks() == pytest.approx([0, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3])
    assert to_hex(twin.spines["top"].get_edgecolor()) == PORE.lower()
    assert to_hex(twin.xaxis.label.get_color()) == PORE.lower()
    assert colours(twin.get_xticklabels()) == {PORE.lower()}


def test_cone_plot_labels_depth_with_the_height_system_as_text(axes):
    gef(height_system=31000).get_cone_visualization(axes)
    assert axes.get_ylabel() == "Diepte [m] tov 31000"


def test_resistance_plot(axes):
    data = gef(ground_level_wrt_reference=0.0)
    assert data.get_resistance_visualization(axes) is None
    (line,) = axes.get_lines()
    assert list(line.get_xdata()) == pytest.approx([2.0, 3.0, 1.0, 0.5])
    assert list(line.get_ydata()) == [0.0, -1.0, -2.0, -3.0]
    assert to_hex(line.get_color()) == FRICTION.lower()
    assert axes.get_xlabel() == "Rf [%] \n (Wrijvingsgetal)"
    assert to_hex(axes.xaxis.label.get_color()) == FRICTION.lower()
    assert to_hex(axes.spines["bottom"].get_edgecolor()) == FRICTION.lower()
    assert axes.get_xlim() == (10, 0)  # inverted: the friction number grows to the left
    assert list(axes.get_xticks()) == [0, 5, 10]
    assert axes.get_ylim() == (-3, 0.25) and list(axes.get_yticks()) == [-3, -2, -1, 0]
    assert colours(axes.get_xticklabels()) == {FRICTION.lower()}
    assert not any(tick.label1.get_visible() for tick in axes.yaxis.get_major_ticks())


MISSING_HEADERS = [
    ("get_cone_visualization", ("max_measurement_depth_wrt_reference", "ground_level_wrt_reference",
                                "height_system"), "max_measurement_depth_wrt_reference"),
    ("get_cone_visualization", ("ground_level_wrt_reference", "height_system"), "ground_level_wrt_reference"),
    ("get_cone_visualization", ("height_system",), "height_system"),
    ("get_resistance_visualization", ("max_measurement_depth_wrt_reference", "ground_level_wrt_reference"),
     "max_measurement_depth_wrt_reference"),
    ("get_resistance_visualization", ("ground_level_wrt_reference",), "ground_level_wrt_reference"),
]


@pytest.mark.parametrize(("method", "missing", "named"), MISSING_HEADERS)
def test_missing_headers_are_reported_in_order_before_drawing(axes, method, missing, named):
    data = gef(**{header: ... for header in missing})
    with pytest.raises(ValueError) as error:
        getattr(data, method)(axes)
    assert str(error.value) == f"GEFData object misses `{named}` header field"
    assert axes.get_lines() == [] and len(axes.figure.axes) == 1


def test_resistance_plot_needs_no_height_system(axes):
    gef(height_system=...).get_resistance_visualization(axes)
    assert len(axes.get_lines()) == 1


# Runs of cone resistances above 30 MPa (rows at most 4 cm apart) get one text each: the run's
# highest value at its mean depth.
LARGE_QC = {
    "four-depths": ([-10.0, -10.02, -10.5, -10.52, -11.0], [31, 35, 40, 38.04, 50],
                    [(-10.01, "35.0"), (-10.51, "40.0")]),
    "one-run": ([-1.0, -1.02, -1.04, -2.0], [45.26, 46, 31, 60], [(-1.02, "46.0")]),
    "single-rows": ([-1.0, -2.0, -3.0, -4.0], [31.04, 32.06, 33.0, 1], [(-1.0, "31.0"), (-2.0, "32.1"),
                                                                         (-3.0, "33.0")]),
    "exactly-30": ([-1.0, -1.02, -2.0], [30, 30.0, 1], []),
    "small": ([-1.0, -2.0], [1, 2], []),
}


@pytest.mark.parametrize(("depths", "qc", "expected"), LARGE_QC.values(), ids=LARGE_QC.keys())
def test_large_qc_values_are_written_per_run(axes, depths, qc, expected):
    data = gef(depths_m=depths, qc=qc, rf=[0.01] * len(qc))
    assert data.get_plotted_denotation_large_qc_values(axes, 27.5) is None
    texts = axes.texts
    assert [(t.get_position()[0], t.get_text()) for t in texts] == [(27.5, text) for _, text in expected]
    assert [t.get_position()[1] for t in texts] == pytest.approx([depth for depth, _ in expected])
    assert all(t.get_horizontalalignment() == "left" and t.get_verticalalignment() == "center" for t in texts)


def test_large_qc_values_need_the_max_depth(axes):
    with pytest.raises(ValueError) as error:
        gef(max_measurement_depth_wrt_reference=None, height_system=None).get_plotted_denotation_large_qc_values(
            axes, 1)
    assert str(error.value) == "GEFData object misses `max_measurement_depth_wrt_reference` header field"


def test_soil_layout_column(axes):
    soil_layout = layout((SAND, 1.0, -0.5), (CLAY, -0.5, -2.0), (SAND, -2.0, -3.4))
    assert soil_layout.get_visualization(axes) is None
    bars = axes.containers
    assert [bar.get_label() for bar in bars] == ["Zand", "Klei", "Zand"]
    rectangles = [rectangle for bar in bars for rectangle in bar]
    assert [(r.get_x(), r.get_width()) for r in rectangles] == [(0, 1)] * 3
    assert [(r.get_y(), r.get_height()) for r in rectangles] == [(-0.5, 1.5), (-2, 1.5), (-3.4, 1.4)]
    assert [to_hex(r.get_facecolor()) for r in rectangles] == ["#e6c83c", "#00a000", "#e6c83c"]
    assert all(r.get_edgecolor()[3] == 0 for r in rectangles)
    assert axes.get_xlim() == (0, 1) and list(axes.get_xticks()) == [0, 1]
    assert tick_texts(axes.get_xticklabels()) == ["", ""] and axes.get_xlabel() == "Soil Layout"
    assert axes.get_ylim() == (-3.4, 1.25) and list(axes.get_yticks()) == [-3, -2, -1, 0, 1]
    assert axes.yaxis.get_ticks_position() == "right"


def test_empty_soil_layout_cannot_be_drawn(axes):
    with pytest.raises(IndexError):
        SoilLayout([]).get_visualization(axes)


# --- Standard GEF visualization -----------------------------------------------------------------

def visualization_inputs(user_bottom=-3.0):
    data = gef(u2=(0.0, 0.01, 0.02, 0.05))
    original = layout((SAND, 0.0, -1.0), (CLAY, -1.0, -3.0))
    user = layout((PEAT, 0.0, -0.5), (SAND, -0.5, user_bottom))
    return data, original, user


def test_standard_visualization_layout(closed_figures):
    svg = gef_visualization(*visualization_inputs())
    assert svg.startswith("<?xml") and "<svg" in svg
    (figure,) = closed_figures
    assert plt.get_fignums() == []
    assert tuple(figure.get_size_inches()) == pytest.approx((8.27, 11.69))
    assert plt.rcParams["font.size"] == 11 and plt.rcParams["axes.grid"]  # the style stays set
    # The pore pressure twin shares the cone plot's place; it comes after it.
    by_position = {}
    for axes in figure.axes:
        by_position.setdefault(tuple(np.round(axes.get_position().bounds, 3)), axes)
    cone, resistance = by_position[(0.1, 0.1, 0.4, 0.9)], by_position[(0.5, 0.1, 0.2, 0.9)]
    original, user = by_position[(0.7, 0.1, 0.1, 0.9)], by_position[(0.9, 0.1, 0.1, 0.9)]
    assert len(figure.axes) == 5  # with the pore pressure twin of the cone plot
    assert cone.get_xlabel() == "Qc [MPa] (Conusweerstand)" and resistance.get_xlabel().startswith("Rf [%]")
    assert original.get_xlabel() == "Originele \n bodemopbouw"
    assert user.get_xlabel() == "Geinterpreteerde \n bodemopbouw"
    assert all(tick.label2.get_visible() for tick in original.yaxis.get_major_ticks())
    assert not any(tick.label2.get_visible() for tick in user.yaxis.get_major_ticks())
    # One legend entry per soil name over both columns, sorted by name, with its own colour.
    legend = user.get_legend()
    assert tick_texts(legend.get_texts()) == ["Klei", "Veen", "Zand"]
    assert [to_hex(handle.get_facecolor()) for handle in legend.legend_handles] == [
        "#00a000", "#965a28", "#e6c83c"]
    assert original.get_legend() is None


def test_deeper_user_layout_extends_the_depth_of_every_plot(closed_figures):
    gef_visualization(*visualization_inputs(user_bottom=-6.2))
    (figure,) = closed_figures
    for axes in figure.axes:
        assert axes.get_ylim() == pytest.approx((-6.2, 0.25))
        assert list(axes.get_yticks()) == [-6, -5, -4, -3, -2, -1, 0]


def test_standard_visualization_as_file_holds_the_same_svg(monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "0")
    plt.rcParams["svg.hashsalt"] = "fixed"  # makes the SVG ids the same in both renderings
    text = gef_visualization(*visualization_inputs())
    file = gef_visualization(*visualization_inputs(), as_file=True)
    assert isinstance(file, File) and file.getvalue() == text
    assert isinstance(gef_visualization(*visualization_inputs(), as_file=0), str)


def test_standard_visualization_of_a_classified_sample_file(closed_figures):
    gef_data = GEFFile.from_file(DATA / "cpt.gef").parse(additional_columns=["u2", "corrected_depth", "fs"])
    zones = ["Robertson zone unknown"] + [f"Robertson zone {number}" for number in range(1, 10)]
    original = gef_data.classify(RobertsonMethod([{"name": zone} for zone in zones]))
    user = SoilLayout([SoilLayer(Soil("Klei", Color(0, 160, 0)), -90.0, -12000.0),
                       SoilLayer(Soil("Zand", Color(230, 200, 60)), -12000.0, -21300.0)])
    gef_visualization(gef_data, original, user)
    (figure,) = closed_figures
    cone, twin, resistance, original_axes, user_axes = figure.axes
    assert len(cone.get_lines()[0].get_xdata()) == gef_data.num_of_measurements == 999
    assert twin.get_xlabel() == "u2 [MPa] (Waterspanning)" and cone.get_ylabel() == "Diepte [m] tov NAP"
    assert len(original_axes.containers) == len(original.layers)
    assert all(axes.get_ylim() == pytest.approx((-21.3, 0.16)) for axes in figure.axes)
    names = {layer.soil.name for layer in original.layers} | {"Klei", "Zand"}
    assert tick_texts(user_axes.get_legend().get_texts()) == sorted(names)


def test_failed_visualization_leaves_no_figure_open():
    data, original, user = visualization_inputs()
    data.height_system = None
    with pytest.raises(ValueError) as error:
        gef_visualization(data, original, user)
    assert str(error.value) == "GEFData object misses `height_system` header field"
    assert plt.get_fignums() == []


# --- Qualification table ------------------------------------------------------------------------

def row(name, color, qc=(None, None), rf=(None, None), qc_norm=(None, None)):
    return {"name": name, "color": color, "qc_min": qc[0], "qc_max": qc[1], "qc_norm_min": qc_norm[0],
            "qc_norm_max": qc_norm[1], "rf_min": rf[0], "rf_max": rf[1]}


TABLE = [
    row("Veen", "150,90,40", qc=(None, 1.5), rf=(5, None)),
    row("Klei", "0,160,0", qc=(0.5, 3), rf=(2, 5)),
    row("Zand schoon", "230, 200, 60", qc=(10, None), rf=(None, 1)),
    row("Zand siltig", "200,180,90", qc=(5, 20), rf=(1, 2)),
]
NORMALISED = [dict(TABLE[0], qc_norm_max=2), dict(TABLE[1]), dict(TABLE[2], qc_norm_min=1), dict(TABLE[3])]


@pytest.mark.parametrize(("table", "parameter", "bounds"), [
    (TABLE, "qc", (0, 40)),  # open below (Veen) starts at 0; open above (Zand schoon) reaches 2 x 20
    (TABLE, "rf", (0, 10)),
    ([row("a", "0,0,0", qc=(1, 4)), row("b", "0,0,0", qc=(2, 3))], "qc", (1, 4)),
    ([row("a", "0,0,0", qc=(1, None)), row("b", "0,0,0", qc=(2, None))], "qc", (1, 999)),
    (TABLE, "qc_norm", (None, None)),
    (NORMALISED, "qc_norm", (0, 4)),
    # A range open at the top that starts above every upper bound still ends above its start.
    ([row("a", "0,0,0", qc=(None, 2)), row("b", "0,0,0", qc=(12, None))], "qc", (0, 24)),
], ids=["open-both", "rf", "closed", "no-max", "no-qc-norm", "qc-norm", "open-top-above-all-maxima"])
def test_axis_bounds(table, parameter, bounds):
    assert geo._QualificationTablePlot("p", table)._get_bounds_for_parameter(parameter) == bounds


def as_documented(table):
    """The rows as the classification job documents them: an open bound is the empty string."""
    return [{key: "" if value is None else value for key, value in entry.items()} for entry in table]


@pytest.mark.parametrize("parameter", ["qc", "rf", "qc_norm"])
def test_empty_string_bounds_are_open_bounds(parameter):
    # The documented rows write an open bound as ''; comparing '' with numbers used to fail.
    for table in (TABLE, NORMALISED):
        expected = geo._QualificationTablePlot("p", table)._get_bounds_for_parameter(parameter)
        assert geo._QualificationTablePlot("p", as_documented(table))._get_bounds_for_parameter(parameter) == expected
    plot = geo._QualificationTablePlot("p", as_documented(NORMALISED))
    assert plot._get_plot_values_parameter_in_row(as_documented(TABLE)[0], "qc", 0, 40) == (0, 1.5)
    assert TableMethod(as_documented(NORMALISED), -1.5).get_qualification_table_plot("pdf").getvalue()[:5] == b"%PDF-"


@pytest.mark.parametrize("parameter", ["qc", "rf"])
def test_axis_bounds_need_one_bound(parameter):
    table = [row("a", "0,0,0", **{"qc" if parameter == "rf" else "rf": (1, 2)})]
    with pytest.raises(ValueError) as error:
        geo._QualificationTablePlot("p", table)._get_bounds_for_parameter(parameter)
    assert str(error.value) == f"Provide at least one upper- or lowerbound for parameter {parameter}"


@pytest.mark.parametrize(("table", "bounds", "expected"), [
    (TABLE, (0, 40), {0: "0", 0.5: 0.5, 1.5: 1.5, 3: 3, 5: 5, 10: 10, 20: 20, 40: "∞"}),
    ([row("a", "0,0,0", qc=(1, 4)), row("b", "0,0,0", qc=(1, 3))], (1, 4), {1: 1, 3: 3, 4: 4}),
    ([row("a", "0,0,0", qc=(1, None))], (1, 999), {1: 1, 999: "∞"}),
])
def test_ticks_are_the_bounds_with_open_ends_marked(table, bounds, expected):
    ticks, labels = geo._QualificationTablePlot("p", table)._get_ticks_and_labels("qc", *bounds)
    assert len(ticks) == len(labels) and dict(zip(ticks, labels)) == expected


@pytest.mark.parametrize(("bounds", "extent"), [
    ((1, 2), (1, 2)), ((None, 2), (-5, 2)), ((1, None), (1, 50)), ((None, None), (0.0, 0.0)),
])
def test_row_extent(bounds, extent):
    plot = geo._QualificationTablePlot("p", [])
    assert plot._get_plot_values_parameter_in_row(row("a", "0,0,0", qc=bounds), "qc", -5, 50) == extent


def drawn_table(table, closed_figures):
    buffer = TableMethod(table, -1.5).get_qualification_table_plot("png")
    (figure,) = closed_figures
    return buffer, figure


def test_qualification_table_chart(closed_figures):
    _, figure = drawn_table(TABLE, closed_figures)
    (chart,) = figure.axes
    assert tuple(figure.get_size_inches()) == pytest.approx((11.7, 8.3))
    assert tuple(chart.get_position().bounds) == pytest.approx((0.1, 0.1, 0.65, 0.8))
    assert chart.get_xlabel() == "Rf [%]" and chart.get_ylabel() == "Qc [MPa]"
    assert chart.get_xlim() == (0, 10) and chart.get_ylim() == (0, 40)
    x_ticks = dict(zip(chart.get_xticks(), tick_texts(chart.get_xticklabels())))
    assert x_ticks == {0: "0", 1: "1", 2: "2", 5: "5", 10: "∞"}
    assert dict(zip(chart.get_yticks(), tick_texts(chart.get_yticklabels())))[40] == "∞"
    patches = chart.patches
    assert [(p.get_xy(), p.get_width(), p.get_height()) for p in patches] == [
        ((5, 0), 5, 1.5), ((2, 0.5), 3, 2.5), ((0, 10), 1, 30), ((1, 5), 1, 15)]
    assert [p.get_facecolor() for p in patches] == [to_rgba(c, 0.8) for c in (
        (150 / 255, 90 / 255, 40 / 255), (0, 160 / 255, 0), (230 / 255, 200 / 255, 60 / 255),
        (200 / 255, 180 / 255, 90 / 255))]
    assert [p.get_zorder() for p in patches] == [3, 2, 1, 0]  # earlier rows on top
    assert [(t.get_position(), t.get_text(), t.get_zorder()) for t in chart.texts] == [
        ((7.5, 0.75), "1", 3), ((3.5, 1.75), "2", 2), ((0.5, 25), "3", 1), ((1.5, 12.5), "4", 0)]
    assert all(t.get_horizontalalignment() == t.get_verticalalignment() == "center" for t in chart.texts)
    (legend,) = figure.legends
    assert tick_texts(legend.get_texts()) == ["1: Veen", "2: Klei", "3: Zand schoon", "4: Zand siltig"]
    assert "Qc genormeerd [MPa]" not in [a.get_ylabel() for a in figure.axes]


def test_qualification_table_with_normalised_chart(closed_figures):
    _, figure = drawn_table(NORMALISED, closed_figures)
    upper, lower = figure.axes
    assert tuple(upper.get_position().bounds) == pytest.approx((0.1, 0.55, 0.55, 0.4))
    assert tuple(lower.get_position().bounds) == pytest.approx((0.1, 0.075, 0.55, 0.4))
    assert upper.get_ylabel() == "Qc genormeerd [MPa]" and upper.get_xlabel() == ""
    assert upper.get_xlim() == (0, 10) and upper.get_ylim() == (0, 4)
    assert lower.get_ylabel() == "Qc [MPa]" and lower.get_ylim() == (0, 40)
    # Only the rows with a normalised bound are in the upper chart.
    assert [p.get_label() for p in upper.patches] == ["1: Veen", "3: Zand schoon"]
    assert [(p.get_xy(), p.get_height()) for p in upper.patches] == [((5, 0), 2), ((0, 1), 3)]
    assert len(lower.patches) == 4
    # Each row once, in table order, although two of them are drawn in both charts.
    (legend,) = figure.legends
    assert tick_texts(legend.get_texts()) == ["1: Veen", "2: Klei", "3: Zand schoon", "4: Zand siltig"]


@pytest.mark.parametrize(("fileformat", "kind", "signature"), [
    ("pdf", io.BytesIO, b"%PDF-"), ("png", io.BytesIO, b"\x89PNG\r\n\x1a\n"), ("svg", io.StringIO, "<?xml"),
])
def test_qualification_table_file_formats(fileformat, kind, signature):
    buffer = TableMethod(TABLE, 0).get_qualification_table_plot(fileformat)
    assert type(buffer) is kind and buffer.getvalue().startswith(signature)
    assert buffer.tell() == len(buffer.getvalue())
    assert plt.get_fignums() == []


@pytest.mark.parametrize("fileformat", ["PDF", "jpg", None, b"png"])
def test_unknown_file_format(fileformat):
    with pytest.raises(TypeError) as error:
        TableMethod(TABLE, 0).get_qualification_table_plot(fileformat)
    assert str(error.value) == (f"Unknown fileformat specified for qualification table plot: {fileformat}. "
                                "Choose either pdf/png/svg")
    assert plt.get_fignums() == []


def test_body_is_pdf_and_leaves_no_figure_open():
    plot = geo._QualificationTablePlot("kwalificatie_tabel_plot", TABLE)
    assert vars(plot) == {"filename": "kwalificatie_tabel_plot", "qualification_table": TABLE}
    assert plot.qualification_table is TABLE
    body = plot.body
    assert type(body) is bytes and body.startswith(b"%PDF-") and body.rstrip().endswith(b"%%EOF")
    assert plt.get_fignums() == []


@pytest.mark.parametrize(("change", "error"), [
    ({"color": "red"}, ValueError), ({"color": "0,0,300"}, ValueError), ({"name": ...}, KeyError),
])
def test_bad_rows_fail_and_close_the_figure(change, error):
    table = [row("a", "0,0,0", qc=(1, 2), rf=(1, 2)), row("b", "0,0,0", qc=(2, 3), rf=(1, 2))]
    table[1].update(change)
    table[1] = {k: v for k, v in table[1].items() if v is not ...}
    before = [dict(r) for r in table]
    with pytest.raises(error):
        TableMethod(table, 0).get_qualification_table_plot("svg")
    assert plt.get_fignums() == [] and table == before


def test_plots_use_the_module_names_at_call_time(monkeypatch):
    made = []

    class Recorded:
        def __init__(self, filename, table):
            made.append((filename, table))

        def _get_visualization(self, fileformat):
            return fileformat

    monkeypatch.setattr(geo, "_QualificationTablePlot", Recorded)
    assert TableMethod(TABLE, 0).get_qualification_table_plot("any") == "any"
    assert made == [("kwalificatie_tabel_plot", TABLE)] and made[0][1] is TABLE
    monkeypatch.undo()

    class CountingRectangle(Rectangle):
        count = 0

        def __init__(self, *args, **kwargs):
            CountingRectangle.count += 1
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(geo, "Rectangle", CountingRectangle)
    geo._QualificationTablePlot("p", TABLE)._get_visualization("svg")
    assert CountingRectangle.count == 4


@pytest.mark.parametrize("member", [
    geo.GEFData.get_cone_visualization, geo.GEFData.get_resistance_visualization,
    geo.GEFData.get_plotted_denotation_large_qc_values, geo.SoilLayout.get_visualization,
    geo.TableMethod.get_qualification_table_plot, geo.gef_visualization, geo._QualificationTablePlot.body,
])
def test_public_plot_members_are_documented(member):
    assert member.__doc__ and len(member.__doc__) > 20

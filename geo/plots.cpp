// Plots: the qualification table chart, the GEF measurement plots, the soil layout column and the
// standard GEF visualization. All drawing goes through matplotlib objects found in the module
// namespace when a call runs (plt, np, pd, Rectangle), so the C++ here only decides what to draw.
#include "geo/geo.hpp"

#include <map>
#include <string>
#include <vector>

namespace geo {

using namespace pybind11::literals;

namespace {

py::object g(const char* name) { return host::global(name); }

// pybind11's comparison operators answer with a C++ bool; pandas and numpy compare element-wise
// and answer with an array, so comparisons on columns go through the rich comparison itself.
using pyclass::compare;
using pyclass::truthy;

py::object builtin(const char* name) { return pyclass::builtin(name); }

// A figure opened by a call and not handed to the caller is closed again when the call fails, so
// that a failed plot does not stay behind in pyplot's list of open figures (and does not become
// the current figure an application draws into next).
template <class F>
auto closing_on_error(py::handle figure, F&& draw) -> decltype(draw()) {
    try {
        return draw();
    } catch (...) {
        // Keep the original error; a failure while closing must not replace it.
        try {
            g("plt").attr("close")(figure);
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

// `with manager as value: body(value)`, with the statement's exit protocol: __exit__ gets the
// error of the body, and the error propagates unless __exit__ answers true.
template <class F>
void with_context(py::object manager, F&& body) {
    py::object type = py::type::of(manager);
    py::object exit = type.attr("__exit__");
    py::object value = type.attr("__enter__")(manager);
    try {
        body(value);
    } catch (py::error_already_set& error) {
        if (truthy(exit(manager, error.type(), error.value(), error.trace()))) return;
        throw;
    }
    exit(manager, py::none(), py::none(), py::none());
}

// GEF measurement plots.

constexpr const char* cone_colour = "#005DAB";
constexpr const char* pore_pressure_colour = "#008017";
constexpr const char* friction_colour = "#DE1D1F";

void require_header(py::handle gef_data, const char* header) {
    if (gef_data.attr(header).is_none())
        throw py::value_error(std::string("GEFData object misses `") + header + "` header field");
}

py::object measurement_table(py::handle gef_data) {
    return g("pd").attr("DataFrame")(gef_data.attr("classification_data")["measurement_data"]);
}

py::object in_metres(py::handle millimetres) { return millimetres / py::int_(1000); }

// A depth tick every metre over the plotted range.
py::object depth_ticks(py::handle y_min, py::handle y_max) {
    py::object np = g("np");
    return np.attr("arange")(np.attr("round")(y_min), np.attr("round")(y_max + py::int_(1)), 1.0);
}

void hide_tick_labels(py::object labels) { g("plt").attr("setp")(labels, "visible"_a = false); }

void cone_visualization(py::object self, py::object axes) {
    require_header(self, "max_measurement_depth_wrt_reference");
    require_header(self, "ground_level_wrt_reference");
    require_header(self, "height_system");
    py::object np = g("np");
    py::object df = measurement_table(self);
    py::object y_min = in_metres(self.attr("max_measurement_depth_wrt_reference"));
    py::object y_max = in_metres(self.attr("ground_level_wrt_reference")) + py::float_(0.25);
    py::object depth = in_metres(df["elevation"]);

    axes.attr("plot")(df["qc"], depth, "color"_a = cone_colour);
    axes.attr("set_xlabel")("Qc [MPa] (Conusweerstand)");
    axes.attr("set_ylabel")(py::str("Diepte [m] tov ") + builtin("format")(self.attr("height_system"), ""));

    if (df.contains("u2")) {
        // The pore pressure gets its own x axis at the top, sharing the depth axis.
        py::object twin = axes.attr("twiny")();
        twin.attr("plot")(df["u2"], depth, "color"_a = pore_pressure_colour);
        twin.attr("set_xlim")(py::make_tuple(0, 0.3));
        twin.attr("set_xlabel")("u2 [MPa] (Waterspanning)");
        twin.attr("set_xticks")(np.attr("arange")(0, 0.31, 0.05));
        twin.attr("set_ylim")(py::make_tuple(y_min, y_max));
        twin.attr("spines")["top"].attr("set_color")(pore_pressure_colour);
        twin.attr("xaxis").attr("label").attr("set_color")(pore_pressure_colour);
        twin.attr("tick_params")("axis"_a = "x", "labelcolor"_a = pore_pressure_colour);
    }

    axes.attr("set_ylim")(y_min, y_max);
    axes.attr("set_yticks")(depth_ticks(y_min, y_max));
    axes.attr("set_xlim")(0, 30.0);
    axes.attr("set_xticks")(np.attr("arange")(np.attr("round")(0), np.attr("round")(30.0), 5.0));
    axes.attr("spines")["bottom"].attr("set_color")(cone_colour);
    axes.attr("xaxis").attr("label").attr("set_color")(cone_colour);
    axes.attr("tick_params")("axis"_a = "x", "labelcolor"_a = cone_colour);
    axes.attr("spines")["right"].attr("set_linewidth")(2.5);
}

void resistance_visualization(py::object self, py::object axes) {
    require_header(self, "max_measurement_depth_wrt_reference");
    require_header(self, "ground_level_wrt_reference");
    py::object np = g("np");
    py::object df = measurement_table(self);
    py::object y_min = in_metres(self.attr("max_measurement_depth_wrt_reference"));
    py::object y_max = in_metres(self.attr("ground_level_wrt_reference")) + py::float_(0.25);

    axes.attr("plot")(py::object(df["Rf"]) * py::int_(100), in_metres(df["elevation"]), "color"_a = friction_colour);
    axes.attr("set_xlabel")("Rf [%] \n (Wrijvingsgetal)", "color"_a = friction_colour);
    axes.attr("spines")["bottom"].attr("set_color")(friction_colour);
    axes.attr("xaxis").attr("label").attr("set_color")(friction_colour);

    axes.attr("set_xlim")(0, 10);
    axes.attr("set_xticks")(np.attr("arange")(np.attr("round")(0), np.attr("round")(10 + 1), 5.0));
    axes.attr("set_ylim")(y_min, y_max);
    axes.attr("set_yticks")(depth_ticks(y_min, y_max));

    hide_tick_labels(axes.attr("get_yticklabels")());
    axes.attr("tick_params")("axis"_a = "x", "labelcolor"_a = friction_colour);
    axes.attr("invert_xaxis")();  // the friction number grows to the left, away from the cone plot
}

// Cone resistances above 30 MPa run off the cone plot; each run of them (rows no more than 4 cm
// apart) is written next to the plot as the run's highest value at the run's mean depth. Every
// run is labelled, the last one included, and a run's value covers all of its rows.
void denote_large_qc_values(py::object self, py::object axes, py::object x_loc_text) {
    require_header(self, "max_measurement_depth_wrt_reference");
    py::object np = g("np");
    py::object df = measurement_table(self);
    py::object depth_all = in_metres(df["elevation"]);
    py::object deep_enough =
        compare(depth_all, in_metres(self.attr("max_measurement_depth_wrt_reference")), Py_GT);
    py::object large = compare(df["qc"], py::int_(30), Py_GT);
    py::object selected = df[deep_enough & large];
    if (py::len(selected) == 0) return;

    py::object qc = selected["qc"].attr("to_numpy")();
    py::object depth = in_metres(selected["elevation"]).attr("to_numpy")();
    py::object breaks = np.attr("where")(compare(np.attr("diff")(depth), py::float_(-0.04), Py_LT))[py::int_(0)];

    std::vector<py::ssize_t> run_ends;
    for (py::handle index : breaks) run_ends.push_back(index.cast<py::ssize_t>());
    run_ends.push_back(static_cast<py::ssize_t>(py::len(selected)) - 1);

    py::ssize_t start = 0;
    for (py::ssize_t end : run_ends) {
        py::slice run(start, end + 1, 1);
        py::object value = qc[run].attr("max")();
        py::object at = np.attr("average")(depth[run]);
        axes.attr("text")(x_loc_text, at, py::str(np.attr("round")(value, "decimals"_a = 1)),
                          "horizontalalignment"_a = "left", "verticalalignment"_a = "center");
        start = end + 1;
    }
}

void soil_layout_visualization(py::object self, py::object axes) {
    py::object layers = self.attr("layers");
    py::object y_min = in_metres(layers[py::int_(-1)].attr("bottom_of_layer"));
    py::object y_max = in_metres(layers[py::int_(0)].attr("top_of_layer")) + py::float_(0.25);
    for (py::handle layer : layers) {
        py::object soil = layer.attr("soil");
        axes.attr("bar")(0.5, in_metres(layer.attr("thickness")), "width"_a = 1,
                         "bottom"_a = in_metres(layer.attr("bottom_of_layer")),
                         "color"_a = soil.attr("color").attr("hex"), "label"_a = soil.attr("name"),
                         "edgecolor"_a = "none");
    }
    axes.attr("set_xticklabels")(py::list());
    axes.attr("set_xlim")(0, 1);
    axes.attr("set_xticks")(py::list(py::make_tuple(0, 1)));
    axes.attr("set_xlabel")("Soil Layout");
    axes.attr("set_ylim")(y_min, y_max);
    axes.attr("set_yticks")(depth_ticks(y_min, y_max));
    axes.attr("yaxis").attr("tick_right")();
}

// Standard GEF visualization.

// One legend entry per soil name over both columns, in name order.
void shared_soil_legend(py::object original_axes, py::object user_axes) {
    py::tuple original = original_axes.attr("get_legend_handles_labels")();
    py::tuple user = user_axes.attr("get_legend_handles_labels")();
    py::list all_labels = original[1] + user[1];
    py::list names = builtin("sorted")(builtin("set")(all_labels));
    // The handles of both columns in drawing order; among handles of one name the first drawn is
    // taken, so the same inputs always give the same legend.
    py::list pool = original[0] + user[0];
    py::list handles, labels;
    for (py::handle name : names) {
        for (py::handle handle : pool) {
            if (handle.attr("get_label")().equal(name)) {
                handles.append(handle);
                labels.append(name);
                break;
            }
        }
    }
    user_axes.attr("legend")(handles, labels, "bbox_to_anchor"_a = py::make_tuple(1.5, 0.5),
                             "borderaxespad"_a = 0.0);
}

py::object gef_visualization(py::object gef_data, py::object soil_layout_original, py::object soil_layout_user,
                             py::object as_file) {
    py::object plt = g("plt");
    py::object figure = plt.attr("figure")("figsize"_a = py::make_tuple(8.27, 11.69));
    return closing_on_error(figure, [&]() -> py::object {
        plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
        plt.attr("rcParams").attr("update")(py::dict("font.size"_a = 11));

        py::object cone = plt.attr("axes")(py::make_tuple(0.1, 0.1, 0.4, 0.9));
        gef_data.attr("get_cone_visualization")(cone);
        py::object resistance = plt.attr("axes")(py::make_tuple(0.5, 0.1, 0.2, 0.9));
        gef_data.attr("get_resistance_visualization")(resistance);
        py::object original = plt.attr("axes")(py::make_tuple(0.7, 0.1, 0.1, 0.9));
        py::object user = plt.attr("axes")(py::make_tuple(0.9, 0.1, 0.1, 0.9));
        soil_layout_original.attr("get_visualization")(original);
        soil_layout_user.attr("get_visualization")(user);

        original.attr("set_xlabel")("Originele \n bodemopbouw");
        user.attr("set_xlabel")("Geinterpreteerde \n bodemopbouw");
        hide_tick_labels(user.attr("get_yticklabels")());
        shared_soil_legend(original, user);

        // One depth range over all four plots, wide enough for the deepest and the highest.
        py::list all_axes;
        for (py::handle axes : {cone, resistance, original, user}) all_axes.append(axes);
        py::list lowers, uppers;
        for (py::handle axes : all_axes) {
            py::tuple limits = axes.attr("get_ylim")();
            lowers.append(limits[0]);
            uppers.append(limits[1]);
        }
        py::object y_max = builtin("max")(uppers);
        py::object y_min = builtin("min")(lowers);
        for (py::handle axes : all_axes) {
            axes.attr("set_ylim")(y_min, y_max);
            axes.attr("set_yticks")(depth_ticks(y_min, y_max));
        }

        py::object file = g("File")();
        with_context(file.attr("open_binary")(), [&](py::object stream) {
            figure.attr("savefig")(stream, "format"_a = "svg", "bbox_inches"_a = "tight", "pad_inches"_a = 0.8);
        });
        plt.attr("close")();
        if (truthy(as_file)) return file;
        return file.attr("getvalue")();
    });
}

// Qualification table plot.

// A bound the table leaves open: None, or the empty string that the documented rows use (and
// that the classification job reads the same way).
bool absent(py::handle value) { return value.is_none() || (PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) == 0); }

py::object key(py::handle parameter, const char* suffix) { return parameter + py::str(suffix); }

py::list column_values(py::object self, py::object parameter, py::object min_or_max) {
    py::object name = parameter + py::str("_") + min_or_max;
    py::list values;
    for (py::handle row : self.attr("qualification_table")) {
        py::object value = row[name];
        if (!absent(value)) values.append(value);
    }
    return values;
}

py::tuple bounds_for_parameter(py::object self, py::object parameter) {
    py::list min_values = self.attr("_get_values_column_parameter")(parameter, "min");
    py::list max_values = self.attr("_get_values_column_parameter")(parameter, "max");
    if (min_values.empty() && max_values.empty()) {
        if (parameter.equal(py::str("qc_norm"))) return py::make_tuple(py::none(), py::none());
        throw py::value_error(
            std::string(py::str(py::str("Provide at least one upper- or lowerbound for parameter ") + parameter)));
    }
    py::object low_key = key(parameter, "_min"), high_key = key(parameter, "_max");
    py::object table = self.attr("qualification_table");

    // A range open at the bottom starts at 0.
    bool open_below = false;
    for (py::handle row : table) {
        if (absent(row[low_key]) && !absent(row[high_key])) {
            open_below = true;
            break;
        }
    }
    py::object lower = open_below ? py::object(py::int_(0)) : builtin("min")(min_values);

    // A range open at the top reaches twice the highest finite bound (999 when there is none).
    // The lower bounds count too: a range open at the top that starts above every finite upper
    // bound would otherwise end below its own start and be drawn upside down over other rows.
    bool open_above = false;
    for (py::handle row : table) {
        if (!absent(row[low_key]) && absent(row[high_key])) {
            open_above = true;
            break;
        }
    }
    py::object upper;
    if (!open_above)
        upper = builtin("max")(max_values);
    else if (max_values.empty())
        upper = py::int_(999);
    else
        upper = py::int_(2) * builtin("max")(max_values + min_values);
    return py::make_tuple(lower, upper);
}

py::tuple ticks_and_labels(py::object self, py::object parameter, py::object lowerbound, py::object upperbound) {
    py::list min_values = self.attr("_get_values_column_parameter")(parameter, "min");
    py::list max_values = self.attr("_get_values_column_parameter")(parameter, "max");
    // Distinct bounds in the order of first appearance, each labelled with its own value.
    py::list ticks = builtin("list")(builtin("dict").attr("fromkeys")(min_values + max_values));
    py::list labels = builtin("list")(ticks);
    if (min_values.empty() || !builtin("min")(min_values).equal(lowerbound)) {
        ticks.insert(0, lowerbound);
        labels.insert(0, py::str("0"));
    }
    if (max_values.empty() || !builtin("max")(max_values).equal(upperbound)) {
        ticks.append(upperbound);
        labels.append(py::str("∞"));
    }
    return py::make_tuple(ticks, labels);
}

py::tuple plot_values_in_row(py::object, py::object row, py::object parameter, py::object lowerbound,
                             py::object upperbound) {
    py::object low = row[key(parameter, "_min")];
    py::object high = row[key(parameter, "_max")];
    if (absent(low) && absent(high)) return py::make_tuple(0.0, 0.0);
    if (absent(low)) return py::make_tuple(lowerbound, high);
    if (absent(high)) return py::make_tuple(low, upperbound);
    return py::make_tuple(low, high);
}

py::str row_label(py::ssize_t number, py::handle entry) {
    return py::str(std::to_string(number) + ": ") + py::str(entry["name"]);
}

void plot_rows(py::object self, py::object qc_choice, py::object axes, py::object lowerbound_rf,
               py::object upperbound_rf, py::object lowerbound_qc, py::object upperbound_qc) {
    py::object table = self.attr("qualification_table");
    const py::ssize_t count = static_cast<py::ssize_t>(py::len(table));
    py::ssize_t number = 0;
    for (py::handle entry : table) {
        ++number;
        if (absent(entry[key(qc_choice, "_min")]) && absent(entry[key(qc_choice, "_max")])) continue;
        py::tuple rf = self.attr("_get_plot_values_parameter_in_row")(entry, "rf", lowerbound_rf, upperbound_rf);
        py::tuple qc =
            self.attr("_get_plot_values_parameter_in_row")(entry, qc_choice, lowerbound_qc, upperbound_qc);
        py::list channels;
        for (py::handle part : entry["color"].attr("split")(",")) channels.append(builtin("float")(part) / py::int_(255));
        py::tuple color = builtin("tuple")(channels);
        // Earlier rows lie on top where rectangles overlap.
        const py::ssize_t zorder = count - number;
        axes.attr("text")((rf[0] + rf[1]) / py::int_(2), (qc[0] + qc[1]) / py::int_(2), py::str(std::to_string(number)),
                          "horizontalalignment"_a = "center", "verticalalignment"_a = "center", "zorder"_a = zorder);
        py::object rectangle =
            g("Rectangle")("xy"_a = py::make_tuple(rf[0], qc[0]), "width"_a = rf[1] - rf[0], "height"_a = qc[1] - qc[0],
                           "color"_a = color, "alpha"_a = 0.8, "zorder"_a = zorder, "label"_a = row_label(number, entry));
        axes.attr("add_patch")(rectangle);
    }
}

void set_ticks(py::object axes, const char* axis, py::tuple ticks_labels) {
    axes.attr((std::string("set_") + axis + "ticks").c_str())(ticks_labels[0]);
    axes.attr((std::string("set_") + axis + "ticklabels").c_str())(ticks_labels[1]);
}

// The rows of the table in table order, one legend entry each, over both charts (a row drawn in
// both charts would otherwise be listed twice).
void table_legend(py::object self, py::object figure) {
    std::map<std::string, py::object> drawn;
    for (py::handle axes : figure.attr("axes")) {
        py::tuple pair = axes.attr("get_legend_handles_labels")();
        py::list handles = pair[0], labels = pair[1];
        for (size_t i = 0; i < handles.size(); ++i) drawn.emplace(py::str(labels[i]).cast<std::string>(), handles[i]);
    }
    py::list handles, labels;
    py::ssize_t number = 0;
    for (py::handle entry : self.attr("qualification_table")) {
        py::str label = row_label(++number, entry);
        auto found = drawn.find(label.cast<std::string>());
        if (found == drawn.end()) continue;
        handles.append(found->second);
        labels.append(label);
    }
    g("plt").attr("figlegend")(handles, labels, "bbox_to_anchor"_a = py::make_tuple(0.95, 0.8),
                               "borderaxespad"_a = 0.0);
}

py::object draw_table(py::object self) {
    py::tuple qc = self.attr("_get_bounds_for_parameter")("qc");
    py::tuple qc_norm = self.attr("_get_bounds_for_parameter")("qc_norm");
    py::tuple rf = self.attr("_get_bounds_for_parameter")("rf");
    py::object plt = g("plt");
    py::object figure = plt.attr("figure")("figsize"_a = py::make_tuple(11.7, 8.3));
    return closing_on_error(figure, [&]() -> py::object {
        py::tuple rf_ticks = self.attr("_get_ticks_and_labels")("rf", rf[0], rf[1]);
        py::tuple qc_ticks = self.attr("_get_ticks_and_labels")("qc", qc[0], qc[1]);
        const bool normalised = !(qc_norm[0].is_none() && qc_norm[1].is_none());
        py::object upper, lower;
        if (!normalised) {
            lower = plt.attr("axes")(py::make_tuple(0.1, 0.1, 0.65, 0.8));
        } else {
            py::tuple qc_norm_ticks = self.attr("_get_ticks_and_labels")("qc_norm", qc_norm[0], qc_norm[1]);
            upper = plt.attr("axes")(py::make_tuple(0.1, 0.55, 0.55, 0.4));
            upper.attr("set_xlim")(0, rf[1]);
            set_ticks(upper, "x", rf_ticks);
            upper.attr("set_ylim")(0, qc_norm[1]);
            set_ticks(upper, "y", qc_norm_ticks);
            upper.attr("set_ylabel")("Qc genormeerd [MPa]");
            lower = plt.attr("axes")(py::make_tuple(0.1, 0.075, 0.55, 0.4));
        }
        lower.attr("set_xlim")(0, rf[1]);
        set_ticks(lower, "x", rf_ticks);
        set_ticks(lower, "y", qc_ticks);
        lower.attr("set_ylim")(0, qc[1]);
        lower.attr("set_xlabel")("Rf [%]");
        lower.attr("set_ylabel")("Qc [MPa]");

        self.attr("_plot_rf_qc_of_choice_classification_table")("qc", lower, rf[0], rf[1], qc[0], qc[1]);
        if (normalised)
            self.attr("_plot_rf_qc_of_choice_classification_table")("qc_norm", upper, rf[0], rf[1], qc_norm[0],
                                                                     qc_norm[1]);
        table_legend(self, figure);
        return plt.attr("gcf")();
    });
}

py::object table_visualization(py::object self, py::object fileformat) {
    bool known = false;
    for (const char* name : {"pdf", "png", "svg"}) known = known || fileformat.equal(py::str(name));
    if (!known)
        throw py::type_error("Unknown fileformat specified for qualification table plot: " +
                             std::string(py::str(fileformat)) + ". Choose either pdf/png/svg");
    py::object figure = draw_table(self);
    return closing_on_error(figure, [&]() -> py::object {
        py::object buffer = fileformat.equal(py::str("svg")) ? g("StringIO")() : g("BytesIO")();
        figure.attr("savefig")(buffer, "format"_a = fileformat);
        g("plt").attr("close")();
        return buffer;
    });
}

// The PDF bytes of the chart. The figure is closed afterwards: a property read leaves nothing
// open in pyplot.
py::object table_body(py::object self) {
    py::object figure = draw_table(self);
    return closing_on_error(figure, [&]() -> py::object {
        py::object buffer = g("BytesIO")();
        figure.attr("savefig")(buffer, "format"_a = "pdf");
        py::object data = buffer.attr("getvalue")();
        buffer.attr("close")();
        g("plt").attr("close")(figure);
        return data;
    });
}

}  // namespace

void define_gef_visualization(py::module_& m) {
    pyclass::function(m, "gef_visualization", &gef_visualization, "gef_data"_a, "soil_layout_original"_a,
                      "soil_layout_user"_a, "as_file"_a = false,
                      R"(Standard visualization of a cone penetration test.

Draws the cone resistance with the pore pressure, the friction number and two soil columns side
by side (the layout derived from the test and the layout edited by the user), with one legend of
the soils and one depth range for all plots.

:param gef_data: the GEFData of the test
:param soil_layout_original: SoilLayout derived from the test, layers sorted from top to bottom
:param soil_layout_user: SoilLayout edited by the user, layers sorted from top to bottom
:param as_file: when true, return a File holding the picture instead of its text
:return: the SVG text of the picture, or a File holding it)");
}

void register_plots(py::module_& m) {
    py::object GEFData = m.attr("GEFData");
    pyclass::method(GEFData, "get_cone_visualization", &cone_visualization, "axes"_a,
                    "Plot the cone resistance (and the pore pressure u2, when measured, on a second x axis at the top)\n"
                    "against depth on the given matplotlib Axes.\n\n"
                    ":param axes: matplotlib Axes to draw on\n"
                    ":raises ValueError: when a header needed for the depth range or the axis label is missing");
    pyclass::method(GEFData, "get_resistance_visualization", &resistance_visualization, "axes"_a,
                    "Plot the friction number Rf [%] against depth on the given matplotlib Axes, growing to the "
                    "left.\n\n"
                    ":param axes: matplotlib Axes to draw on\n"
                    ":raises ValueError: when a header needed for the depth range is missing");
    pyclass::method(GEFData, "get_plotted_denotation_large_qc_values", &denote_large_qc_values,
                    "axes"_a, "x_loc_text"_a,
                    "Write the cone resistances above 30 MPa, which run off the cone plot, as text on the given "
                    "matplotlib Axes: one value per run of such measurements (the run's highest value at its mean "
                    "depth).\n\n"
                    ":param axes: matplotlib Axes to write on\n"
                    ":param x_loc_text: x position of the texts\n"
                    ":raises ValueError: when the max_measurement_depth_wrt_reference header is missing");

    py::object SoilLayout = m.attr("SoilLayout");
    pyclass::method(SoilLayout, "get_visualization", &soil_layout_visualization, "axes"_a,
                    "Plot the layout as a column of coloured layers on the given matplotlib Axes.\n\n"
                    "The layers must be sorted from top to bottom.\n\n"
                    ":param axes: matplotlib Axes to draw on");

    py::object Plot = m.attr("_QualificationTablePlot");
    pyclass::set_doc(Plot, "Chart of a qualification table: one coloured rectangle per row over its friction number and "
                           "cone resistance ranges, with a second chart of the normalised cone resistance when a row "
                           "bounds it.");
    pyclass::init(Plot, [](py::object self, py::object filename, py::object qualification_table) {
        self.attr("filename") = filename;
        self.attr("qualification_table") = qualification_table;
    }, "filename"_a, "qualification_table"_a);
    pyclass::method(Plot, "_get_visualization", &table_visualization, "fileformat"_a);
    pyclass::readonly_property(Plot, "body", &table_body, "The chart as PDF bytes.");
    pyclass::method(Plot, "_get_bounds_for_parameter", &bounds_for_parameter, "parameter"_a);
    pyclass::method(Plot, "_get_ticks_and_labels", &ticks_and_labels, "parameter"_a, "lowerbound"_a,
                    "upperbound"_a);
    pyclass::method(Plot, "_get_values_column_parameter", &column_values, "parameter"_a, "min_or_max"_a);
    pyclass::method(Plot, "_plot_rf_qc_of_choice_classification_table", &plot_rows, "qc_choice"_a,
                    "mpl_axes_object"_a, "lowerbound_rf"_a, "upperbound_rf"_a, "lowerbound_qc_of_choice"_a,
                    "upperbound_qc_of_choice"_a);
    pyclass::method(Plot, "_get_plot_values_parameter_in_row", &plot_values_in_row, "row"_a,
                    "parameter"_a, "lowerbound"_a, "upperbound"_a);

    pyclass::method(m.attr("TableMethod"), "get_qualification_table_plot",
                    [](py::object self, py::object fileformat) {
                        return g("_QualificationTablePlot")("kwalificatie_tabel_plot", self.attr("qualification_table"))
                            .attr("_get_visualization")(fileformat);
                    },
                    "fileformat"_a,
                    "Plot the qualification table as coloured rectangles of Rf [%] against Qc [MPa] (and, when a row "
                    "has a bound on the normalised cone resistance, a second chart against Qc genormeerd [MPa]).\n\n"
                    ":param fileformat: \"pdf\", \"png\" or \"svg\"\n"
                    ":return: StringIO holding the SVG text, or BytesIO holding the PNG or PDF bytes\n"
                    ":raises TypeError: for any other fileformat");
}

}  // namespace geo

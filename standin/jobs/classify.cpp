#include "jobs/classify.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>

#include "jobs/error.hpp"

namespace jobs {

// Colours of the chart zones, fixed so that layouts of different tests read alike: greys for
// the unknown zone, browns and greens for the fine-grained zones, yellows for sands, purples
// for the very stiff zones.
const std::array<Rgb, 10> kRobertsonZoneColors = {{
    {128, 128, 128},  // unknown: outside the chart
    {200, 60, 60},    // 1 sensitive, fine grained
    {120, 80, 40},    // 2 organic soils, peat
    {40, 120, 70},    // 3 clays
    {110, 160, 100},  // 4 silt mixtures
    {190, 200, 120},  // 5 sand mixtures
    {240, 210, 90},   // 6 sands
    {230, 160, 40},   // 7 gravelly sand to sand
    {170, 120, 180},  // 8 very stiff sand to clayey sand
    {110, 80, 150},   // 9 very stiff fine grained
}};

namespace {

[[noreturn]] void fail(const char* name, const std::string& message) { throw JobError(name, message); }

std::string shown(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc() ? end : buf);
}

void check_measurements(const Measurements& m, bool needs_fs, const char* error_name) {
    const std::size_t n = m.elevation.size();
    if (n == 0) fail(error_name, "the CPT data holds no measurements");
    if (m.qc.size() != n || m.rf.size() != n || m.depth.size() != n || (!m.fs.empty() && m.fs.size() != n) ||
        (!m.u2.empty() && m.u2.size() != n))
        fail(error_name, "the measurement columns of the CPT data differ in length");
    if (needs_fs && m.fs.empty()) fail(error_name, "the CPT data has no fs column");
    auto finite = [&](const std::vector<double>& v, const char* what) {
        for (std::size_t i = 0; i < v.size(); ++i)
            if (!std::isfinite(v[i]))
                fail(error_name, std::string("value ") + std::to_string(i) + " of column '" + what + "' is not a finite number");
    };
    finite(m.elevation, "elevation");
    finite(m.depth, "corrected_depth");
    finite(m.qc, "qc");
    finite(m.rf, "Rf");
    finite(m.fs, "fs");
    finite(m.u2, "u2");
    if (m.area_quotient && !std::isfinite(*m.area_quotient))
        fail(error_name, "the surface area quotient of the cone tip is not a finite number");
}

// Indices of the measurements from the top down. Rows come from the file in order of
// penetration; sorting keeps that order for equal levels and copes with a file that
// records a step back.
std::vector<std::size_t> top_down(const Measurements& m) {
    std::vector<std::size_t> order(m.elevation.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return m.elevation[a] > m.elevation[b]; });
    return order;
}

// Cone resistance corrected for the pore pressure behind the tip, in kPa.
double qt_kpa(const Measurements& m, std::size_t i) {
    double qt = m.qc[i];
    if (!m.u2.empty() && m.area_quotient) qt += m.u2[i] * (1.0 - *m.area_quotient);
    return qt * 1000.0;
}

double fs_kpa(const Measurements& m, std::size_t i) {
    // Data without an fs column still has Rf = fs / qc.
    return (m.fs.empty() ? m.rf[i] * m.qc[i] : m.fs[i]) * 1000.0;
}

// Runs of equal class become layers; `boundary(upper, lower)` places the level between two
// runs (upper and lower are positions in `order`).
template <class Boundary>
std::vector<ClassLayer> layers_of(const Measurements& m, const std::vector<std::size_t>& order,
                                  const std::vector<int>& cls, Boundary boundary) {
    std::vector<ClassLayer> out;
    double top = m.elevation[order.front()];
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (cls[k] == cls[k - 1]) continue;
        const double level = boundary(k - 1, k);
        out.push_back({cls[k - 1], top, level});
        top = level;
    }
    out.push_back({cls.back(), top, m.elevation[order.back()]});
    return out;
}

std::vector<ClassLayer> layers_at_midpoints(const Measurements& m, const std::vector<std::size_t>& order,
                                            const std::vector<int>& cls) {
    return layers_of(m, order, cls, [&](std::size_t a, std::size_t b) {
        return (m.elevation[order[a]] + m.elevation[order[b]]) / 2.0;
    });
}

bool within(double v, const std::optional<double>& lo, const std::optional<double>& hi) {
    return (!lo || v >= *lo) && (!hi || v <= *hi);
}

void check_bounds(const std::string& row, const char* what, const std::optional<double>& lo,
                  const std::optional<double>& hi) {
    if ((lo && !std::isfinite(*lo)) || (hi && !std::isfinite(*hi)))
        fail(kClassificationError, "row '" + row + "': the " + what + " bounds must be finite numbers");
    if (lo && hi && *lo > *hi)
        fail(kClassificationError, "row '" + row + "': " + what + "_min " + shown(*lo) + " exceeds " + what +
                                       "_max " + shown(*hi));
}

}  // namespace

std::optional<Rgb> parse_rgb(std::string_view text) {
    int parts[3];
    std::size_t pos = 0;
    for (int k = 0; k < 3; ++k) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        const auto [end, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), parts[k]);
        if (ec != std::errc() || parts[k] < 0 || parts[k] > 255) return std::nullopt;
        pos = static_cast<std::size_t>(end - text.data());
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (k < 2) {
            if (pos >= text.size() || text[pos] != ',') return std::nullopt;
            ++pos;
        }
    }
    if (pos != text.size()) return std::nullopt;
    return Rgb{parts[0], parts[1], parts[2]};
}

double soil_behaviour_index(double q, double fr_percent) {
    const double a = 3.47 - std::log10(q);
    const double b = std::log10(fr_percent) + 1.22;
    return std::sqrt(a * a + b * b);
}

// Robertson, P.K. (1990), "Soil classification using the cone penetration test", Canadian
// Geotechnical Journal 27(1), fig. 5. The zone 1 and zone 8/9 boundaries are closed-form
// fits of the chart's curves; zones 2 to 7 follow the Ic bands of Robertson & Wride (1998).
// A point on a boundary goes to the finer-grained zone (Q <= zone-1 curve is zone 1, an Ic
// equal to a band limit belongs to the band above it).
int robertson_zone(double q, double fr) {
    if (!(fr >= 0.1 && fr <= 10.0 && q >= 1.0 && q <= 1000.0)) return 0;
    if (q <= 12.0 * std::exp(-1.4 * fr)) return 1;
    // The 8/9 curve's denominator is positive only from Fr = 1.41 on; below that the
    // curve lies above the chart.
    if (fr > 1.41) {
        const double x = fr - 1.0;
        const double denominator = 0.005 * x - 0.0003 * x * x - 0.002;
        if (denominator > 0.0 && q > 1.0 / denominator) return fr <= 4.5 ? 8 : 9;
    }
    const double ic = soil_behaviour_index(q, fr);
    if (ic >= 3.60) return 2;
    if (ic >= 2.95) return 3;
    if (ic >= 2.60) return 4;
    if (ic >= 2.05) return 5;
    if (ic >= 1.31) return 6;
    return 7;
}

std::vector<ClassLayer> classify_robertson(const Measurements& m) {
    check_measurements(m, true, kRobertsonError);
    const auto order = top_down(m);
    std::vector<int> zone(order.size());
    // The chart needs the in-situ stresses, which the method's parameters do not give. Unit
    // weights come from the CPT itself, after Robertson & Cabal (2010), "Estimating soil
    // unit weight from CPT", 2nd Int. Symp. on Cone Penetration Testing:
    //   gamma / gamma_w = 0.27 log10(Rf %) + 0.36 log10(qt / pa) + 1.236,
    // with Rf and qt / pa held to the range the fit was made on (0.1 to 10 %, 1 to 1000).
    // The groundwater table is taken at the ground surface (hydrostatic pore pressure from
    // the top), the usual assumption for soft-soil CPTs when nothing else is known.
    double sigma_v0 = 0.0;
    double previous_depth = 0.0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k];
        const double depth = std::max(m.depth[i] / 1000.0, 0.0);
        const double qt = qt_kpa(m, i);
        const double rf_percent = std::clamp(m.rf[i] * 100.0, 0.1, 10.0);
        const double qt_ratio = std::clamp(qt / kReferencePressure, 1.0, 1000.0);
        const double gamma = kGammaWater * (0.27 * std::log10(rf_percent) + 0.36 * std::log10(qt_ratio) + 1.236);
        sigma_v0 += gamma * std::max(depth - previous_depth, 0.0);
        previous_depth = std::max(depth, previous_depth);
        const double u0 = kGammaWater * depth;
        const double sigma_eff = sigma_v0 - u0;
        const double net = qt - sigma_v0;
        const double fs = fs_kpa(m, i);
        if (sigma_eff <= 0.0 || net <= 0.0 || fs <= 0.0) {
            zone[k] = 0;
            continue;
        }
        zone[k] = robertson_zone(net / sigma_eff, fs / net * 100.0);
    }
    return layers_at_midpoints(m, order, zone);
}

// Robertson, P.K. (2009), "Interpretation of cone penetration tests - a unified approach",
// Canadian Geotechnical Journal 46(11): Qtn = ((qt - sv0) / pa) Cn with the stress
// normalisation factor Cn = (pa / s'v0)^n held to at most 1.7 (near the surface, where s'v0 is
// small, the unlimited factor would inflate Qtn without bound), and
// n = 0.381 Ic + 0.05 (s'v0 / pa) - 0.15 <= 1, solved by fixed-point iteration from n = 1
// (the paper's own procedure). The iteration contracts for real soils; the cap of 100 steps
// only guards against a pathological input, whose last iterate is then used.
std::optional<NormalisedIc> normalised_ic(double qt, double sigma_v0, double sigma_v0_eff, double fs) {
    const double net = qt - sigma_v0;
    if (!(sigma_v0_eff > 0.0) || !(net > 0.0) || !(fs > 0.0)) return std::nullopt;
    const double fr = fs / net * 100.0;
    const double pa = kReferencePressure;
    auto qtn_for = [&](double n) {
        return net / pa * std::min(kMaxStressNormalisation, std::pow(pa / sigma_v0_eff, n));
    };
    double n = 1.0;
    double qtn = 0.0;
    double ic = 0.0;
    for (int step = 0; step < 100; ++step) {
        qtn = qtn_for(n);
        ic = soil_behaviour_index(qtn, fr);
        const double next = std::min(1.0, 0.381 * ic + 0.05 * sigma_v0_eff / pa - 0.15);
        const bool settled = std::fabs(next - n) < 1e-12;
        n = next;
        if (settled) break;
    }
    qtn = qtn_for(n);
    ic = soil_behaviour_index(qtn, fr);
    if (!std::isfinite(ic)) return std::nullopt;
    return NormalisedIc{ic, n, qtn};
}

std::vector<ClassLayer> classify_ic(const Measurements& m, const std::vector<IcRow>& rows, double ground_water_level,
                                    double specific_weight_soil, std::optional<double> resolution) {
    check_measurements(m, false, kClassificationError);
    if (rows.empty()) fail(kClassificationError, "the ic_table has no rows");
    for (const auto& row : rows) check_bounds(row.name, "ic", row.ic_min, row.ic_max);
    if (!std::isfinite(ground_water_level))
        fail(kClassificationError, "ground_water_level must be a finite number");
    if (!(specific_weight_soil > 0.0) || !std::isfinite(specific_weight_soil))
        fail(kClassificationError, "specific_weight_soil must be a positive number (kN/m3), not " +
                                       shown(specific_weight_soil));
    // Below a micrometre a window is no longer an averaging window, and the window count
    // of a deep test would overflow.
    if (resolution && (!(*resolution >= 1e-6) || !std::isfinite(*resolution)))
        fail(kClassificationError, "resolution must be a number of metres of at least 1e-06, or None, not " +
                                       shown(*resolution));

    const auto order = top_down(m);
    const std::size_t count = order.size();
    // One unit weight for all soil (the method's parameter) and hydrostatic pore pressure
    // below the given groundwater level.
    const double water_mm = ground_water_level * 1000.0;
    std::vector<double> ic(count, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = order[k];
        const double sigma_v0 = specific_weight_soil * std::max(m.depth[i], 0.0) / 1000.0;
        const double u0 = kGammaWater * std::max(water_mm - m.elevation[i], 0.0) / 1000.0;
        if (const auto r = normalised_ic(qt_kpa(m, i), sigma_v0, sigma_v0 - u0, fs_kpa(m, i))) ic[k] = r->ic;
    }

    // With a resolution the test is cut into windows of that height from the highest
    // measurement down; each window is classified by the mean Ic of its measurements.
    std::vector<long long> window(count, 0);
    if (resolution) {
        const double top = m.elevation[order.front()];
        const double step = *resolution * 1000.0;
        long long current = -1;
        double sum = 0.0;
        std::size_t defined = 0;
        std::size_t first = 0;
        auto flush = [&](std::size_t end) {
            const double mean = defined ? sum / static_cast<double>(defined) : std::numeric_limits<double>::quiet_NaN();
            for (std::size_t k = first; k < end; ++k) ic[k] = mean;
        };
        for (std::size_t k = 0; k < count; ++k) {
            const double offset = std::floor((top - m.elevation[order[k]]) / step);
            window[k] = static_cast<long long>(std::min(offset, 1e15));
            if (window[k] != current) {
                flush(k);
                current = window[k];
                sum = 0.0;
                defined = 0;
                first = k;
            }
            if (!std::isnan(ic[k])) {
                sum += ic[k];
                ++defined;
            }
        }
        flush(count);
    }

    std::vector<int> cls(count, -1);
    for (std::size_t k = 0; k < count; ++k) {
        if (std::isnan(ic[k])) continue;
        for (std::size_t r = 0; r < rows.size(); ++r)
            if (within(ic[k], rows[r].ic_min, rows[r].ic_max)) {
                cls[k] = static_cast<int>(r);
                break;
            }
    }
    if (!resolution) return layers_at_midpoints(m, order, cls);
    const double top = m.elevation[order.front()];
    const double step = *resolution * 1000.0;
    return layers_of(m, order, cls, [&](std::size_t upper, std::size_t) {
        return top - static_cast<double>(window[upper] + 1) * step;
    });
}

// NEN 9997-1+C1:2012, table 2.b: the cone resistance normalised to an effective vertical
// stress of 100 kPa with the exponent 0.67 (qc, not qt: the table's bounds are on qc).
double normalised_qc(double qc, double sigma_v0_eff) {
    if (!(sigma_v0_eff > 0.0)) return std::numeric_limits<double>::infinity();
    return qc * std::pow(kReferencePressure / sigma_v0_eff, 0.67);
}

std::vector<ClassLayer> classify_table(const Measurements& m, const std::vector<QualificationRow>& rows,
                                       double ground_water_level) {
    check_measurements(m, false, kClassificationError);
    if (rows.empty()) fail(kClassificationError, "the qualification_table has no rows");
    if (!std::isfinite(ground_water_level))
        fail(kClassificationError, "ground_water_level must be a finite number");
    bool normalised = false;
    for (const auto& row : rows) {
        check_bounds(row.name, "qc", row.qc_min, row.qc_max);
        check_bounds(row.name, "qc_norm", row.qc_norm_min, row.qc_norm_max);
        check_bounds(row.name, "rf", row.rf_min, row.rf_max);
        check_bounds(row.name, "gamma_dry", row.gamma_dry_min, row.gamma_dry_max);
        check_bounds(row.name, "gamma_wet", row.gamma_wet_min, row.gamma_wet_max);
        normalised = normalised || row.qc_norm_min || row.qc_norm_max;
    }

    // A row's unit weight is the middle of its range, or the one bound given; a row with
    // only one of the dry and wet weights uses it for both. Needed only when some row
    // bounds the normalised cone resistance.
    struct Weights {
        double dry, wet;
    };
    std::vector<Weights> weights(rows.size());
    auto middle = [](const std::optional<double>& lo, const std::optional<double>& hi) -> std::optional<double> {
        if (lo && hi) return (*lo + *hi) / 2.0;
        return lo ? lo : hi;
    };
    if (normalised)
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const auto dry = middle(rows[r].gamma_dry_min, rows[r].gamma_dry_max);
            const auto wet = middle(rows[r].gamma_wet_min, rows[r].gamma_wet_max);
            if (!dry && !wet)
                fail(kClassificationError, "row '" + rows[r].name +
                                               "' gives no unit weight (gamma_dry or gamma_wet), which the normalised "
                                               "cone resistance needs");
            weights[r] = {dry ? *dry : *wet, wet ? *wet : *dry};
        }

    const auto order = top_down(m);
    const std::size_t count = order.size();
    const double water = ground_water_level * 1000.0;  // mm
    // Each measurement stands for the soil from the one above it down to itself (the first
    // one from the ground surface): that stretch weighs with the unit weight of the row
    // being tried, dry above the groundwater level and wet below it, so a row is chosen on
    // the stress its own soil gives. A measurement that no row holds passes on the unit
    // weights of the row above it (the first row's at the top). Pore pressure is
    // hydrostatic below the groundwater level.
    const double ground = m.elevation[order.front()] + m.depth[order.front()];
    double sigma_above = 0.0;  // total vertical stress at the previous measurement, kPa
    double level_above = ground;
    std::size_t weights_above = 0;  // row whose unit weights an unmatched stretch takes
    std::vector<int> cls(count, -1);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = order[k];
        const double level = std::min(m.elevation[i], level_above);
        const double dry_part = std::max(level_above - std::max(level, water), 0.0) / 1000.0;
        const double wet_part = std::max(std::min(level_above, water) - level, 0.0) / 1000.0;
        const double u0 = kGammaWater * std::max(water - level, 0.0) / 1000.0;
        const double qc = m.qc[i];
        const double rf_percent = m.rf[i] * 100.0;
        auto sigma_with = [&](std::size_t r) {
            return sigma_above + weights[r].dry * dry_part + weights[r].wet * wet_part;
        };
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const auto& row = rows[r];
            if (!within(qc, row.qc_min, row.qc_max) || !within(rf_percent, row.rf_min, row.rf_max)) continue;
            if (normalised && !within(normalised_qc(qc, sigma_with(r) - u0), row.qc_norm_min, row.qc_norm_max))
                continue;
            cls[k] = static_cast<int>(r);
            break;
        }
        if (normalised) {
            if (cls[k] >= 0) weights_above = static_cast<std::size_t>(cls[k]);
            sigma_above = sigma_with(weights_above);
            level_above = level;
        }
    }
    return layers_at_midpoints(m, order, cls);
}

}  // namespace jobs

// libFuzzer harness of the GEF reader, the three classifiers and the Base64 decoder: any bytes
// either parse into a consistent answer (equal column lengths, finite values) that every
// classifier takes, or fail with a JobError; any bytes decode back from their own Base64. Anything else (a crash, a sanitizer report, another exception, a hang) is a
// finding. Built and run by fuzz/run.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "jobs/classify.hpp"
#include "jobs/error.hpp"
#include "jobs/gef.hpp"
#include "../tests/cpp/reference_base64.hpp"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

jobs::Measurements measurements(const jobs::GefCpt& cpt) {
    jobs::Measurements m;
    auto take = [&](const char* name, std::vector<double>& into) {
        if (const auto* c = cpt.column(name)) into = *c;
    };
    take("elevation", m.elevation);
    take("corrected_depth", m.depth);
    take("qc", m.qc);
    take("Rf", m.rf);
    take("fs", m.fs);
    take("u2", m.u2);
    if (const auto* a = cpt.header("surface_area_quotient_tip"); a && std::holds_alternative<double>(*a))
        m.area_quotient = std::get<double>(*a);
    return m;
}

void classify(const jobs::GefCpt& cpt) {
    const jobs::Measurements m = measurements(cpt);
    const std::vector<jobs::IcRow> ic_rows = {{"sand", 0.0, 2.6}, {"clay", 2.6, 9.0}, {"open", std::nullopt, std::nullopt}};
    jobs::QualificationRow peat{"peat"};
    peat.qc_max = 1.0;
    peat.rf_min = 5.0;
    jobs::QualificationRow sand{"sand"};
    sand.qc_min = 2.0;
    sand.qc_norm_max = 30.0;
    sand.gamma_dry_min = 18.0;
    const std::vector<jobs::QualificationRow> table = {peat, sand};
    const auto count = m.elevation.size();
    auto check_layers = [&](const std::vector<jobs::ClassLayer>& layers, int classes) {
        for (const auto& l : layers) {
            check(std::isfinite(l.top) && std::isfinite(l.bottom));
            check(l.cls >= -1 && l.cls < classes);
        }
        check(layers.size() <= count + 1);
    };
    try {
        check_layers(jobs::classify_robertson(m), 10);
    } catch (const jobs::JobError&) {
    }
    for (std::optional<double> resolution : {std::optional<double>{}, std::optional<double>{0.2}}) {
        try {
            check_layers(jobs::classify_ic(m, ic_rows, -1.0, 18.0, resolution), 3);
        } catch (const jobs::JobError&) {
        }
    }
    try {
        check_layers(jobs::classify_table(m, table, -1.0), 2);
    } catch (const jobs::JobError&) {
    }
    // The normalisation of each row alone, under the stresses of a unit weight of 18 kN/m3 with
    // the water at the surface: the stress factor never exceeds 1.7 and n never exceeds 1.
    for (std::size_t i = 0; i < std::min(count, m.depth.size()); ++i) {
        const double depth = std::max(m.depth[i], 0.0) / 1000.0;
        const double qt = m.qc[i] * 1000.0;
        const double fs = (m.fs.empty() ? m.rf[i] * m.qc[i] : m.fs[i]) * 1000.0;
        if (const auto r = jobs::normalised_ic(qt, 18.0 * depth, (18.0 - 9.81) * depth, fs)) {
            check(std::isfinite(r->ic) && r->n <= 1.0);
            const double limit = (qt - 18.0 * depth) / jobs::kReferencePressure * jobs::kMaxStressNormalisation;
            check(r->qtn <= limit * (1 + 1e-12));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        (void)jobs::decode_base64(bytes);
    } catch (const jobs::JobError&) {
    }
    check(jobs::decode_base64(reference_base64(bytes)) == bytes);
    jobs::GefCpt cpt;
    try {
        cpt = jobs::parse_gef(bytes);
    } catch (const jobs::JobError&) {
        return 0;
    }
    std::size_t rows = cpt.columns.empty() ? 0 : cpt.columns.front().second.size();
    for (const auto& [name, values] : cpt.columns) {
        check(values.size() == rows);
        for (double v : values) check(std::isfinite(v));
    }
    classify(cpt);
    return 0;
}

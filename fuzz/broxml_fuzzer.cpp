// libFuzzer harness of the BRO-XML reader: any bytes either parse into a consistent answer
// (equal column lengths, finite values, rows in order of penetration length, levels that follow
// from the ground level and the depth) or fail with a JobError. Anything else (a crash, a
// sanitizer report, another exception, a hang, memory out of proportion) is a finding. Built
// and run by fuzz/run.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "jobs/broxml.hpp"
#include "jobs/error.hpp"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void check_answer(const jobs::GefCpt& cpt) {
    const auto* elevation = cpt.column("elevation");
    const auto* depth = cpt.column("corrected_depth");
    check(elevation && depth && cpt.column("qc") && cpt.column("Rf"));
    const std::size_t rows = elevation->size();
    check(rows > 0);
    for (const auto& [name, values] : cpt.columns) {
        check(values.size() == rows);
        for (double v : values) check(std::isfinite(v));
    }
    if (const auto* length = cpt.column("penetration_length")) check(std::is_sorted(length->begin(), length->end()));
    const auto* ground = cpt.header("ground_level_wrt_reference");
    check(ground && std::holds_alternative<double>(*ground));
    for (std::size_t k = 0; k < rows; ++k)
        check(std::fabs((*elevation)[k] - (std::get<double>(*ground) - (*depth)[k])) <= 1e-6 * (1 + std::fabs((*elevation)[k])));
    const auto* lowest = cpt.header("max_measurement_depth_wrt_reference");
    check(lowest && std::get<double>(*lowest) == *std::min_element(elevation->begin(), elevation->end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)jobs::is_xml_document(bytes);
    try {
        check_answer(jobs::parse_bro_xml(bytes));
    } catch (const jobs::JobError&) {
    }
    return 0;
}

#pragma once

// Classifiers that turn cone penetration measurements into soil layers.
//
// Units in: levels and depths in millimetres (as the parser gives them), qc / fs / u2 in MPa,
// Rf as a fraction. Stresses inside are in kPa, unit weights in kN/m3.
//
// Every classifier returns layers from the top down, each a run of consecutive measurements
// (in order of descending elevation) of one class. The first layer starts at the highest
// measurement and the last ends at the lowest; between two runs the boundary lies halfway
// between the last measurement of the upper run and the first of the lower run (or on the
// edge of the averaging window, for the Ic method with a resolution). So the layers are
// continuous: each bottom is the very same number as the next top.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jobs {

// Unit weight of water. The same value serves every method so that one profile gives one
// pore pressure whichever method reads it.
inline constexpr double kGammaWater = 9.81;  // kN/m3
// Reference (atmospheric) pressure of the normalisations.
inline constexpr double kReferencePressure = 100.0;  // kPa

struct Measurements {
    std::vector<double> elevation;  // mm, relative to the height system
    std::vector<double> depth;      // mm below the ground surface (corrected depth)
    std::vector<double> qc;         // MPa
    std::vector<double> rf;         // fraction
    std::vector<double> fs;         // MPa; empty when the data has no fs column
    std::vector<double> u2;         // MPa; empty when the data has no u2 column
    // Net area quotient a of the cone tip; with u2 it gives qt = qc + u2 (1 - a). Without
    // it no correction is made (qt = qc): a guessed quotient would invent a correction.
    std::optional<double> area_quotient;
};

struct ClassLayer {
    int cls;  // meaning depends on the method; see each classifier
    double top;
    double bottom;
};

struct Rgb {
    int r, g, b;
};

// "r, g, b" with whole numbers 0 to 255; nullopt for anything else.
std::optional<Rgb> parse_rgb(std::string_view text);

// ---- Robertson (1990) normalised soil behaviour type chart --------------------------------

// Zone 1 to 9 of the chart for normalised cone resistance Qt and normalised friction ratio
// Fr (per cent); 0 when the point lies outside the chart (Fr 0.1 to 10 %, Qt 1 to 1000).
int robertson_zone(double qt_norm, double fr_percent);

// Ic = sqrt((3.47 - log10 Q)^2 + (log10 Fr + 1.22)^2), Fr in per cent.
double soil_behaviour_index(double q, double fr_percent);

inline constexpr std::array<const char*, 10> kRobertsonZoneNames = {
    "Robertson zone unknown", "Robertson zone 1", "Robertson zone 2", "Robertson zone 3", "Robertson zone 4",
    "Robertson zone 5",       "Robertson zone 6", "Robertson zone 7", "Robertson zone 8", "Robertson zone 9"};
extern const std::array<Rgb, 10> kRobertsonZoneColors;

// ClassLayer::cls is the zone, 0 for unknown. Needs fs and depth.
std::vector<ClassLayer> classify_robertson(const Measurements& m);

// ---- Robertson (2009) Ic with stress exponent ---------------------------------------------

// Upper limit of the stress normalisation factor Cn = (pa / s'v0)^n (Robertson 2009).
inline constexpr double kMaxStressNormalisation = 1.7;

struct NormalisedIc {
    double ic;   // soil behaviour type index
    double n;    // stress exponent
    double qtn;  // normalised cone resistance, ((qt - s_v0) / pa) min(1.7, (pa / s'v0)^n)
};

// qt, total and effective vertical stress, fs: all in kPa. nullopt where the normalisation
// has no meaning (effective stress, net resistance or friction not positive).
std::optional<NormalisedIc> normalised_ic(double qt, double sigma_v0, double sigma_v0_eff, double fs);

struct IcRow {
    std::string name;
    std::optional<double> ic_min{}, ic_max{};
};

// ClassLayer::cls is the index of the row of `rows`, -1 where no row holds the Ic or the Ic
// is undefined. ground_water_level in metres relative to the height system, soil unit
// weight in kN/m3, resolution in metres (nullopt: every measurement by itself).
std::vector<ClassLayer> classify_ic(const Measurements& m, const std::vector<IcRow>& rows, double ground_water_level,
                                    double specific_weight_soil, std::optional<double> resolution);

// ---- Qualification table ------------------------------------------------------------------

struct QualificationRow {
    std::string name;
    std::optional<double> qc_min{}, qc_max{};            // MPa
    std::optional<double> qc_norm_min{}, qc_norm_max{};  // MPa
    std::optional<double> rf_min{}, rf_max{};            // per cent
    std::optional<double> gamma_dry_min{}, gamma_dry_max{}, gamma_wet_min{}, gamma_wet_max{};  // kN/m3
};

// qc normalised to an effective vertical stress of 100 kPa: qc (100 / sigma'_v)^0.67;
// infinite where the effective stress is not positive.
double normalised_qc(double qc, double sigma_v0_eff);

// ClassLayer::cls is the index of the first row whose bounds hold the measurement, -1 where
// none does. ground_water_level in metres relative to the height system.
std::vector<ClassLayer> classify_table(const Measurements& m, const std::vector<QualificationRow>& rows,
                                       double ground_water_level);

}  // namespace jobs

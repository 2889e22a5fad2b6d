#pragma once

// Reader of GEF cone penetration test files (GEF-CPT-Report, version 1.x, ASCII data).
//
// The answer is a list of header values and a list of measurement columns, both in a fixed
// order, in the units the plots and classifiers work with:
//   lengths, depths and levels in millimetres, qc / fs / u2 in MPa, Rf as a fraction
//   (fs / qc, not per cent), inclinations in degrees, areas in mm2.
// Every column has one value per kept measurement row; no value is ever void or NaN.

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace jobs {

using HeaderValue = std::variant<double, std::string, std::vector<double>>;

struct GefCpt {
    std::vector<std::pair<std::string, HeaderValue>> headers;
    std::vector<std::pair<std::string, std::vector<double>>> columns;

    // Null when absent; for tests and callers that look up one entry.
    const HeaderValue* header(std::string_view key) const;
    const std::vector<double>* column(std::string_view key) const;
};

// Standard Base64 (RFC 4648, "=" padding). ASCII whitespace is skipped, so wrapped text
// works; any other character outside the alphabet fails with a ParsingError.
std::string decode_base64(std::string_view text);

// Parses the bytes of a GEF file: UTF-8 text, or ISO-8859-1 when the bytes are not valid
// UTF-8 (the usual encoding of these files). Fails with a jobs::JobError named
// "ParsingError" (bad or incomplete file, message with the line number) or
// "NotImplementedError" (a GEF variant this reader recognises but does not handle).
GefCpt parse_gef(std::string_view bytes);

}  // namespace jobs

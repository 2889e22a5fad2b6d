#pragma once

// Reader of cone penetration tests in the XML of the Dutch key registry of the subsurface
// (BRO-XML: a dispatch document holding one CPT_O object).
//
// The answer is the one the GEF reader gives (jobs/gef.hpp): the same header names, column
// names, units and voids policy, so that whatever reads a GEF answer reads this one unchanged.

#include <string_view>

#include "jobs/gef.hpp"

namespace jobs {

// True when the bytes are markup rather than GEF text: after an optional byte order mark and
// white space the first character is '<'. Also recognises the byte order marks of UTF-8 and
// UTF-16 as they arrive after the text was read as ISO-8859-1 and sent as UTF-8.
bool is_xml_document(std::string_view bytes);

// Parses a BRO-XML CPT. `bytes` are either the document's own bytes (read in the encoding its
// XML declaration gives) or the UTF-8 form of its text, also when that text was decoded as
// ISO-8859-1 from a file in another encoding. Fails with a jobs::JobError named "ParsingError"
// whose message names the cause (and the line, where there is one).
GefCpt parse_bro_xml(std::string_view bytes);

}  // namespace jobs

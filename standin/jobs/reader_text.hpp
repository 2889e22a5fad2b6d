// Text helpers shared by the CPT readers (GEF and BRO-XML): how a refusal is raised and how a
// piece of the file is quoted in its message, so that both readers word their errors alike.

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "jobs/error.hpp"

namespace jobs::reader {

[[noreturn]] inline void fail(const std::string& message) { throw JobError(kParsingError, message); }

[[noreturn]] inline void fail_at(std::size_t line, const std::string& message) {
    fail("line " + std::to_string(line) + ": " + message);
}

// Each format has its own white space (GEF: blanks and tabs within a line; XML: line ends too).
template <class IsSpace>
std::string_view trim(std::string_view s, IsSpace is_space) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Quotes a piece of the file for a message, cut short so a hostile line cannot flood it.
inline std::string quoted(std::string_view s) {
    constexpr std::size_t kShown = 40;
    if (s.size() <= kShown) return "'" + std::string(s) + "'";
    std::size_t cut = kShown;
    // Never cut inside a UTF-8 sequence: the message must stay valid text.
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(s.substr(0, cut)) + "...'";
}

}  // namespace jobs::reader

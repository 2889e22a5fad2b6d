#include "jobs/broxml.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cctype>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "jobs/error.hpp"
#include "jobs/reader_text.hpp"

namespace jobs {
namespace {

using reader::fail;
using reader::fail_at;
using reader::quoted;

constexpr double kVoid = std::numeric_limits<double>::quiet_NaN();

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) { return reader::trim(s, is_xml_space); }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}


std::size_t line_at(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// Plain decimals ("-12.345"), which nearly every value is: at most 15 digits make an exact
// integer, and its quotient by an exact power of ten is correctly rounded, so the result is the
// one from_chars gives, at a fraction of the cost.
std::optional<double> plain_decimal(std::string_view s) {
    static constexpr std::array<double, 16> kPowers = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::size_t i = 0;
    const bool negative = !s.empty() && s.front() == '-';
    if (negative || (!s.empty() && s.front() == '+')) ++i;
    std::uint64_t mantissa = 0;
    int digits = 0, decimals = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 15) return std::nullopt;
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            decimals += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    const double value = static_cast<double>(mantissa) / kPowers[static_cast<std::size_t>(decimals)];
    return negative ? -value : value;
}

// A decimal number as Python's float() reads it (an optional sign, digits, a '.' and an
// exponent), whatever the C locale; nullopt for anything else and for non-finite values.
std::optional<double> to_number(std::string_view s) {
    if (const auto value = plain_decimal(s)) return value;
    s = trim(s);
    if (const auto value = plain_decimal(s)) return value;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return std::nullopt;
    }
    if (s.empty() || s.front() == '+') return std::nullopt;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// ---------------------------------------------------------------------------------------
// From the bytes that arrive to UTF-8 text

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

struct Utf8Scan {
    bool valid = true;
    std::size_t bad_at = 0;       // offset of the first byte that is not UTF-8
    char32_t max_code_point = 0;  // of the valid prefix
};

Utf8Scan scan_utf8(std::string_view s) {
    Utf8Scan scan;
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        // Documents are almost all ASCII: test 32 bytes, then eight, at a time.
        if (n - i >= 32) {
            std::uint64_t words[4];
            std::memcpy(words, s.data() + i, 32);
            if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ull) == 0) {
                i += 32;
                continue;
            }
        }
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        bool ok = len != 0 && n - i >= len;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        ok = ok && !((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                     (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF);
        if (!ok) {
            scan.valid = false;
            scan.bad_at = i;
            return scan;
        }
        scan.max_code_point = std::max(scan.max_code_point, cp);
        i += len;
    }
    return scan;
}

// The bytes of valid UTF-8 text whose code points are all below U+0100: what a file's bytes
// were before they were read as ISO-8859-1 text.
std::string utf8_to_latin1(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F)));
            ++i;
        }
    }
    return out;
}

// windows-1252 differs from ISO-8859-1 in 0x80-0x9F only; its five unassigned bytes keep
// their ISO-8859-1 meaning.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string single_byte_to_utf8(std::string_view s, bool cp1252) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        append_utf8(out, cp1252 && c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c);
    }
    return out;
}

std::string utf16_to_utf8(std::string_view s, bool little_endian) {
    auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
        return little_endian ? (b << 8 | a) : (a << 8 | b);
    };
    std::string out;
    out.reserve(s.size() / 2);
    std::size_t line = 1;
    if (s.size() % 2 != 0) fail("the document is not UTF-16: it has an odd number of bytes");
    for (std::size_t i = 0; i < s.size(); i += 2) {
        char32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < s.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            fail_at(line, "the document is not valid UTF-16 (an unpaired surrogate)");
        }
        if (cp == '\n') ++line;
        append_utf8(out, cp);
    }
    return out;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

enum class Utf16 { none, little, big };

// UTF-16 is recognised by its byte order mark or, without one, by the two-byte form of "<?"
// that must open such a document.
Utf16 utf16_signature(std::string_view s) {
    if (starts_with(s, "\xFF\xFE") || starts_with(s, std::string_view("<\0?\0", 4))) return Utf16::little;
    if (starts_with(s, "\xFE\xFF") || starts_with(s, std::string_view("\0<\0?", 4))) return Utf16::big;
    return Utf16::none;
}

// The encoding named in the XML declaration of ASCII-compatible bytes, in lower case; empty
// when the document has no declaration or the declaration names none.
std::string declared_encoding(std::string_view s) {
    if (!starts_with(s, "<?xml") || s.size() < 6 || !is_xml_space(s[5])) return {};
    // A declaration is short; the limit keeps a hostile one from being searched at length.
    const std::size_t end = s.substr(0, 1024).find("?>");
    if (end == std::string_view::npos) return {};
    std::string_view decl = s.substr(5, end - 5);
    const std::size_t at = decl.find("encoding");
    if (at == std::string_view::npos) return {};
    decl = trim(decl.substr(at + 8));
    if (decl.empty() || decl.front() != '=') return {};
    decl = trim(decl.substr(1));
    if (decl.empty() || (decl.front() != '"' && decl.front() != '\'')) return {};
    const std::size_t close = decl.find(decl.front(), 1);
    if (close == std::string_view::npos) return {};
    return lower(decl.substr(1, close - 1));
}

bool is_single_byte_encoding(const std::string& name) {
    return name == "iso-8859-1" || name == "iso8859-1" || name == "latin1" || name == "latin-1" ||
           name == "l1" || name == "iso_8859-1" || name == "us-ascii" || name == "ascii" || name == "windows-1252" ||
           name == "cp1252";
}

std::string_view utf8_checked(std::string_view s, const char* why) {
    const Utf8Scan scan = scan_utf8(s);
    if (!scan.valid) fail_at(line_at(s, scan.bad_at), std::string("the document is not valid UTF-8 text, ") + why);
    return s;
}

// The text of a document given as its own bytes, decoded as its byte order mark or its XML
// declaration says (UTF-8 when it says nothing, as XML has it): a view of `bytes`, or of
// `converted` where the text had to be converted.
std::string_view decode_document(std::string_view bytes, std::string& converted) {
    if (starts_with(bytes, kUtf8Bom)) return utf8_checked(bytes.substr(3), "as its byte order mark says");
    if (const Utf16 utf16 = utf16_signature(bytes); utf16 != Utf16::none) {
        const bool marked = starts_with(bytes, "\xFF\xFE") || starts_with(bytes, "\xFE\xFF");
        return converted = utf16_to_utf8(bytes.substr(marked ? 2 : 0), utf16 == Utf16::little);
    }
    const std::string name = declared_encoding(bytes);
    if (name.empty() || name == "utf-8" || name == "utf8")
        return utf8_checked(bytes, name.empty() ? "which a document without an encoding declaration must be"
                                                : "as its XML declaration says");
    if (is_single_byte_encoding(name))
        return converted = single_byte_to_utf8(bytes, name == "windows-1252" || name == "cp1252");
    if (starts_with(name, "utf-16"))
        fail("the XML declaration names " + quoted(name) + ", but the document has no UTF-16 byte order mark");
    fail("the XML declaration names the encoding " + quoted(name) +
         ", which is not read here; UTF-8, UTF-16, ISO-8859-1 and windows-1252 are");
}

// The document as UTF-8 text. What arrives is either the document's own bytes or the UTF-8 form
// of its text; the text may itself have been decoded as ISO-8859-1 from a file in another
// encoding (the default of reading a file as text here), and then every code point is below
// U+0100 and maps back to one byte of the file. Those bytes are taken as the document when they
// are consistent with themselves: a UTF-16 byte order mark, an encoding other than UTF-8
// declared, or valid UTF-8. Otherwise the text was decoded right, and its characters are the
// document's.
// The result is a view of `payload`, `original` or `converted`.
std::string_view document_text(std::string_view payload, std::string& original, std::string& converted) {
    const Utf8Scan scan = scan_utf8(payload);
    if (scan.valid && scan.max_code_point >= 0x80 && scan.max_code_point <= 0xFF) {
        original = utf8_to_latin1(payload);
        const std::string name = declared_encoding(original);
        if (utf16_signature(original) != Utf16::none || (!name.empty() && name != "utf-8" && name != "utf8") ||
            scan_utf8(original).valid)
            return decode_document(original, converted);
    }
    if (!scan.valid || utf16_signature(payload) != Utf16::none) return decode_document(payload, converted);
    if (starts_with(payload, kUtf8Bom)) payload.remove_prefix(3);
    return payload;
}

// ---------------------------------------------------------------------------------------
// Elements by namespace and local name

// Names keep their prefix in the parsed tree; every match compares the local part and the
// namespace URI that the prefix is bound to where the element stands.
std::string_view local_name(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

std::string_view prefix_of(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? std::string_view(name, static_cast<std::size_t>(colon - name)) : std::string_view();
}

// The prefix an attribute binds ("" for the default namespace), or nullopt for other attributes.
std::optional<std::string_view> bound_prefix(const pugi::xml_attribute& attribute) {
    const std::string_view name = attribute.name();
    if (name == "xmlns") return std::string_view();
    if (starts_with(name, "xmlns:")) return name.substr(6);
    return std::nullopt;
}

// The registry's schemas live under /xsd/ on either of its hosts (versions vary, so the rest of
// the URI is not compared).
bool is_bro_namespace(std::string_view uri) {
    for (std::string_view scheme : {"http://", "https://"})
        for (std::string_view host : {"www.broservices.nl/xsd/", "schema.broservices.nl/xsd/"})
            if (starts_with(uri, scheme) && starts_with(uri.substr(scheme.size()), host)) return true;
    return false;
}

enum class Family { bro, gml, swe };

bool in_family(std::string_view uri, Family family) {
    switch (family) {
        case Family::bro: return is_bro_namespace(uri);
        case Family::gml: return uri == "http://www.opengis.net/gml/3.2" || uri == "http://www.opengis.net/gml";
        case Family::swe: return uri == "http://www.opengis.net/swe/2.0";
    }
    return false;
}

pugi::xml_node first_element(pugi::xml_node node) {
    while (node && node.type() != pugi::node_element) node = node.next_sibling();
    return node;
}

using Bindings = std::unordered_map<std::string_view, std::string_view>;

// What the whole document holds, found in one walk in document order.
struct Contents {
    pugi::xml_node root;
    pugi::xml_node cpt;          // the first CPT_O
    Bindings cpt_bindings;       // the namespaces in force at it
    std::size_t cpt_count = 0;
    pugi::xml_node other_object;  // the first registry object of another kind (BHR_GT_O, GMW_O, ...)
    bool from_registry = false;   // any element in a registry namespace
};

// The walk keeps, per prefix, the stack of URIs bound to it by the open elements, so each
// element's namespace is found in constant time; it uses no recursion, so nesting depth costs
// no stack.
Contents survey(const pugi::xml_document& document) {
    Contents contents;
    std::unordered_map<std::string_view, std::vector<std::string_view>> scopes;
    auto open = [&](pugi::xml_node element) {
        for (const auto& attribute : element.attributes())
            if (const auto prefix = bound_prefix(attribute)) scopes[*prefix].push_back(attribute.value());
    };
    auto close = [&](pugi::xml_node element) {
        for (const auto& attribute : element.attributes())
            if (const auto prefix = bound_prefix(attribute)) scopes[*prefix].pop_back();
    };
    auto visit = [&](pugi::xml_node element) {
        const auto scope = scopes.find(prefix_of(element.name()));
        const std::string_view uri = scope == scopes.end() || scope->second.empty() ? "" : scope->second.back();
        if (!is_bro_namespace(uri)) return;
        contents.from_registry = true;
        const std::string_view name = local_name(element.name());
        if (name == "CPT_O") {
            if (contents.cpt_count++ == 0) {
                contents.cpt = element;
                for (const auto& [prefix, uris] : scopes)
                    if (!uris.empty()) contents.cpt_bindings.emplace(prefix, uris.back());
            }
        } else if (!contents.other_object && name.size() > 2 && name.substr(name.size() - 2) == "_O") {
            contents.other_object = element;
        }
    };
    contents.root = first_element(document.first_child());
    pugi::xml_node node = contents.root;
    while (node) {
        open(node);
        visit(node);
        if (const pugi::xml_node child = first_element(node.first_child())) {
            node = child;
            continue;
        }
        while (node) {
            close(node);
            if (const pugi::xml_node next = first_element(node.next_sibling())) {
                node = next;
                break;
            }
            node = node.parent();
            if (node.type() != pugi::node_element) node = pugi::xml_node();
        }
    }
    return contents;
}

struct Step {
    const char* name;
    Family family = Family::bro;
};

// Lookups below the CPT_O element, child by child along a path of local names.
class CptElement {
public:
    CptElement(pugi::xml_node cpt, Bindings bindings, std::string_view text)
        : cpt_(cpt), bindings_(std::move(bindings)), text_(text) {}

    pugi::xml_node root() const { return cpt_; }

    // The first child element with the step's local name in a namespace of the step's family.
    // The bindings in force at the parent are gathered once per call (and only when some child
    // has the name), so a hostile document with many candidates or many declarations costs
    // linear time.
    pugi::xml_node child(pugi::xml_node parent, const Step& step) const {
        std::optional<Bindings> declared_below_cpt;
        for (pugi::xml_node c = first_element(parent.first_child()); c; c = first_element(c.next_sibling())) {
            if (local_name(c.name()) != step.name) continue;
            if (!declared_below_cpt) declared_below_cpt = declarations_between(parent, cpt_);
            if (in_family(namespace_of(c, *declared_below_cpt), step.family)) return c;
        }
        return {};
    }

    pugi::xml_node find(std::initializer_list<Step> path) const {
        pugi::xml_node node = cpt_;
        for (const Step& step : path) {
            node = child(node, step);
            if (!node) break;
        }
        return node;
    }

    // The trimmed text of an element; nullopt when the element is absent or holds no text
    // (a value replaced by a voidReason child, for one).
    std::optional<std::string_view> text(std::initializer_list<Step> path) const {
        const pugi::xml_node node = find(path);
        if (!node) return std::nullopt;
        const std::string_view value = trim(node.child_value());
        if (value.empty()) return std::nullopt;
        return value;
    }

    std::optional<double> number(std::initializer_list<Step> path) const {
        const auto value = text(path);
        if (!value) return std::nullopt;
        const auto n = to_number(*value);
        if (!n) fail_at(line_of(find(path)), "the " + std::string((path.end() - 1)->name) + " " + quoted(*value) + " is not a number");
        return n;
    }

    std::size_t line_of(pugi::xml_node node) const {
        const std::ptrdiff_t offset = node.offset_debug();
        return offset < 0 ? 0 : line_at(text_, static_cast<std::size_t>(offset));
    }

    std::string_view document_text() const { return text_; }

private:
    // Namespace declarations on `element` and its ancestors below `top`, the innermost winning.
    static Bindings declarations_between(pugi::xml_node element, pugi::xml_node top) {
        Bindings declared;
        for (pugi::xml_node n = element; n && n != top; n = n.parent())
            for (const auto& attribute : n.attributes())
                if (const auto prefix = bound_prefix(attribute)) declared.emplace(*prefix, attribute.value());
        return declared;
    }

    std::string_view namespace_of(pugi::xml_node element, const Bindings& declared_below_cpt) const {
        const std::string_view prefix = prefix_of(element.name());
        for (const auto& attribute : element.attributes())
            if (bound_prefix(attribute) == prefix) return attribute.value();
        for (const Bindings* bindings : {&declared_below_cpt, &bindings_})
            if (const auto it = bindings->find(prefix); it != bindings->end()) return it->second;
        return {};
    }

    pugi::xml_node cpt_;
    Bindings bindings_;
    std::string_view text_;
};

// ---------------------------------------------------------------------------------------
// The measurement block

// Fixed layout of a cptResult row (ConePenetrationTestResultRecord), 0-based.
constexpr std::size_t kRowWidth = 25;

struct Quantity {
    std::size_t index;
    const char* parameter;  // its flag under conePenetrometerSurvey/parameters
    const char* text;       // for messages
};

// The quantities the answer is made of, in this order.
enum Slot : std::size_t { kLength, kDepth, kQc, kFs, kRf, kU2, kIncl, kInclNS, kInclEW, kInclX, kInclY, kSlots };
constexpr std::array<Quantity, kSlots> kQuantities = {{
    {0, "penetrationLength", "penetration length"},
    {1, "depth", "depth"},
    {3, "coneResistance", "cone resistance"},
    {18, "localFriction", "local friction"},
    {24, "frictionRatio", "friction ratio"},
    {22, "porePressureU2", "pore pressure u2"},
    {15, "inclinationResultant", "inclination"},
    {12, "inclinationNS", "inclination N-S"},
    {11, "inclinationEW", "inclination E-W"},
    {13, "inclinationX", "inclination X"},
    {14, "inclinationY", "inclination Y"},
}};

// The registry's void marker, the same in every column; compared as a number, so "-999999.0"
// is void too.
constexpr double kRegistryVoid = -999999.0;

struct Separators {
    char decimal = '.';
    std::string token;
    std::string block;
};

Separators read_separators(const CptElement& cpt, pugi::xml_node result) {
    const pugi::xml_node encoding =
        cpt.child(cpt.child(result, {"encoding", Family::swe}), {"TextEncoding", Family::swe});
    if (!encoding) fail_at(cpt.line_of(result), "the measurements declare no encoding (swe:TextEncoding)");
    Separators s;
    const pugi::xml_attribute decimal = encoding.attribute("decimalSeparator");
    if (decimal) {
        const std::string_view d = decimal.value();
        if (d.size() != 1) fail_at(cpt.line_of(encoding), "the decimal separator " + quoted(d) + " must be one character");
        s.decimal = d.front();
    }
    for (auto [name, into] : {std::pair{"tokenSeparator", &s.token}, std::pair{"blockSeparator", &s.block}}) {
        const pugi::xml_attribute a = encoding.attribute(name);
        if (!a || !*a.value()) fail_at(cpt.line_of(encoding), std::string("the measurements declare no ") + name);
        *into = a.value();
    }
    auto clashes = [&](const std::string& sep) {
        for (char c : sep)
            if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E' || c == s.decimal)
                return true;
        return false;
    };
    if (s.decimal >= '0' && s.decimal <= '9')
        fail_at(cpt.line_of(encoding), "the decimal separator " + quoted(std::string(1, s.decimal)) + " is a digit");
    if (clashes(s.token) || clashes(s.block) || s.token.find(s.block) != std::string::npos ||
        s.block.find(s.token) != std::string::npos)
        fail_at(cpt.line_of(encoding), "the separators " + quoted(s.token) + " (token) and " + quoted(s.block) +
                                           " (block) cannot separate numbers written with " +
                                           quoted(std::string(1, s.decimal)) + " as decimal separator");
    return s;
}

using Raw = std::array<std::vector<double>, kSlots>;

class BlockReader {
public:
    // Columns flagged as not measured are left void unread.
    BlockReader(const Separators& separators, const std::array<bool, kSlots>& flagged_off,
                std::function<std::size_t(const char*)> line_of)
        : sep_(separators), flagged_off_(flagged_off), line_of_(std::move(line_of)) {}

    Raw read(std::string_view values) {
        Raw raw;
        std::size_t row = 0;
        const bool single_characters = sep_.token.size() == 1 && sep_.block.size() == 1;
        // An empty block may have no storage at all: memchr must not see its null pointer.
        if (single_characters && !values.empty()) {
            // One block separator per row: counting them first spares the columns their regrowth.
            std::size_t rows = 1;
            const char* const end = values.data() + values.size();
            for (const char* p = values.data();; ++p, ++rows) {
                p = static_cast<const char*>(std::memchr(p, sep_.block.front(), static_cast<std::size_t>(end - p)));
                if (!p) break;
            }
            for (auto& column : raw) column.reserve(rows);
        }
        const std::array<std::size_t, kRowWidth> slot_at = slots_by_index();
        while (!values.empty()) {
            // Rows of plain numbers take the quick way; any other row (and the error it may
            // hold) takes the general one below.
            if (single_characters && read_plain_row(values, slot_at, raw)) {
                ++row;
                continue;
            }
            const std::string_view block = single_characters ? next_block_by_character(values) : next_block(values);
            if (trim(block).empty()) continue;  // the block separator also ends the last row
            ++row;
            if (count_ != kRowWidth)
                fail_at(line_of_(trim(block).data()), "row " + std::to_string(row) + " of the measurements holds " +
                                                          std::to_string(count_) + " values, but a CPT result row has " +
                                                          std::to_string(kRowWidth));
            for (std::size_t s = 0; s < kSlots; ++s)
                raw[s].push_back(flagged_off_[s] ? kVoid : value(fields_[kQuantities[s].index], row, s));
        }
        return raw;
    }

private:
    static constexpr std::size_t kUnread = kSlots;

    // For each field of a row, the slot it fills, or kUnread.
    std::array<std::size_t, kRowWidth> slots_by_index() const {
        std::array<std::size_t, kRowWidth> slot_at;
        slot_at.fill(kUnread);
        for (std::size_t s = 0; s < kSlots; ++s)
            if (!flagged_off_[s]) slot_at[kQuantities[s].index] = s;
        return slot_at;
    }

    // The first `token` or `block` character from p on, or `end`; eight bytes per step, since a
    // field skipped is a few characters long.
    static const char* next_separator(const char* p, const char* end, char token, char block) {
        static_assert(std::endian::native == std::endian::little, "the first byte must be the low one");
        constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        const std::uint64_t tokens = kOnes * static_cast<unsigned char>(token);
        const std::uint64_t blocks = kOnes * static_cast<unsigned char>(block);
        // A byte of the mask is set where the byte of `word` is zero; only bytes above the first
        // zero can be set wrongly, so the lowest set byte is the first match.
        auto zero_bytes = [](std::uint64_t word) { return (word - kOnes) & ~word & kHighs; };
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (const std::uint64_t found = zero_bytes(word ^ tokens) | zero_bytes(word ^ blocks))
                return p + __builtin_ctzll(found) / 8;
        }
        while (p != end && *p != token && *p != block) ++p;
        return p;
    }

    // Reads the first row of `values` in one pass when it has exactly kRowWidth fields and every
    // field read is a plain decimal as plain_decimal takes it (with the declared decimal
    // separator); then appends the row to `raw`, takes it off `values` and returns true.
    // Otherwise leaves both as they were and returns false.
    bool read_plain_row(std::string_view& values, const std::array<std::size_t, kRowWidth>& slot_at, Raw& raw) const {
        static constexpr std::array<double, 16> kPowers = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        const char token = sep_.token.front(), block = sep_.block.front(), point = sep_.decimal;
        const char* p = values.data();
        const char* const end = p + values.size();
        std::array<double, kSlots> row;
        for (std::size_t field = 0; field < kRowWidth; ++field) {
            const char stop = field + 1 < kRowWidth ? token : block;
            const std::size_t slot = slot_at[field];
            if (slot == kUnread) {
                p = next_separator(p, end, token, block);
            } else {
                const bool negative = p != end && *p == '-';
                if (p != end && (*p == '-' || *p == '+')) ++p;
                std::uint64_t mantissa = 0;
                int digits = 0, decimals = 0;
                bool seen_point = false;
                for (; p != end && *p != token && *p != block; ++p) {
                    const char c = *p;
                    if (c >= '0' && c <= '9') {
                        if (++digits > 15) return false;
                        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
                        decimals += seen_point;
                    } else if (c == point && !seen_point) {
                        seen_point = true;
                    } else {
                        return false;
                    }
                }
                if (digits == 0) return false;
                // Whole numbers (the void marker among them) need no division.
                const double magnitude = decimals == 0 ? static_cast<double>(mantissa)
                                                       : static_cast<double>(mantissa) / kPowers[static_cast<std::size_t>(decimals)];
                const double v = negative ? -magnitude : magnitude;
                row[slot] = v == kRegistryVoid ? kVoid : v;
            }
            if (p == end ? stop != block : *p != stop) return false;
            if (p != end) ++p;
        }
        for (std::size_t s = 0; s < kSlots; ++s) raw[s].push_back(flagged_off_[s] ? kVoid : row[s]);
        values.remove_prefix(static_cast<std::size_t>(p - values.data()));
        return true;
    }

    void add_field(std::string_view field) {
        if (count_ < kRowWidth) fields_[count_] = field;
        ++count_;
    }

    // Takes the first block off `values` and splits it into fields_; returns the block. The
    // common case, one character per separator, goes over the text once.
    std::string_view next_block_by_character(std::string_view& values) {
        const char token = sep_.token.front();
        const char* const begin = values.data();
        const void* found = std::memchr(begin, sep_.block.front(), values.size());
        const char* const end = found ? static_cast<const char*>(found) : begin + values.size();
        count_ = 0;
        const char* field = begin;
        for (const char* p = begin; p != end; ++p) {
            if (*p == token) {
                add_field(std::string_view(field, static_cast<std::size_t>(p - field)));
                field = p + 1;
            }
        }
        add_field(std::string_view(field, static_cast<std::size_t>(end - field)));
        const std::string_view taken(begin, static_cast<std::size_t>(end - begin));
        values.remove_prefix(std::min(taken.size() + 1, values.size()));
        return taken;
    }

    std::string_view next_block(std::string_view& values) {
        const std::size_t end = values.find(sep_.block);
        const std::string_view taken = values.substr(0, end);
        values = end == std::string_view::npos ? std::string_view() : values.substr(end + sep_.block.size());
        count_ = 0;
        for (std::string_view rest = taken;;) {
            const std::size_t at = rest.find(sep_.token);
            add_field(rest.substr(0, at));
            if (at == std::string_view::npos) break;
            rest.remove_prefix(at + sep_.token.size());
        }
        return taken;
    }

    double value(std::string_view field, std::size_t row, std::size_t slot) {
        std::optional<double> v;
        if (sep_.decimal == '.') {
            v = to_number(field);
        } else if (field.find('.') == std::string_view::npos && field.size() <= 64) {
            char buffer[64];
            std::memcpy(buffer, field.data(), field.size());
            std::replace(buffer, buffer + field.size(), sep_.decimal, '.');
            v = to_number(std::string_view(buffer, field.size()));
        }
        if (!v)
            fail_at(line_of_(field.data()), "value " + quoted(trim(field)) + " in row " + std::to_string(row) +
                                                ", column " + std::to_string(kQuantities[slot].index + 1) + " (" +
                                                kQuantities[slot].text + ") is not a number");
        return *v == kRegistryVoid ? kVoid : *v;
    }

    const Separators& sep_;
    const std::array<bool, kSlots>& flagged_off_;
    std::function<std::size_t(const char*)> line_of_;
    std::array<std::string_view, kRowWidth> fields_;
    std::size_t count_ = 0;
};

// ---------------------------------------------------------------------------------------
// From raw columns to the answer (the conventions and voids policy of the GEF answer)

// Millimetre values are rounded to a nanometre so that, e.g., 20.004 m reads 20004 mm and
// not 20004.000000000004; no measurement is that precise.
double mm(double metres) { return std::round(metres * 1e9) / 1e6; }

bool is_void(double v) { return std::isnan(v); }

// Replaces each run of voids that has a valid value on both sides by straight-line
// interpolation against `x`; voids at either end stay void.
void interpolate_inner(std::vector<double>& v, const std::vector<double>& x) {
    const std::size_t n = v.size();
    std::size_t i = 0;
    while (i < n && is_void(v[i])) ++i;
    while (i < n) {
        std::size_t j = i + 1;
        while (j < n && is_void(v[j])) ++j;
        if (j >= n) break;
        for (std::size_t k = i + 1; k < j; ++k) {
            const double span = x[j] - x[i];
            const double t = span != 0.0 ? (x[k] - x[i]) / span : static_cast<double>(k - i) / static_cast<double>(j - i);
            v[k] = v[i] + t * (v[j] - v[i]);
        }
        i = j;
    }
}

using Columns = std::array<std::optional<std::vector<double>>, kSlots>;

// Keeps the rows `keep` (indices into the current rows) of every present column, in that order.
void select_rows(Columns& columns, const std::vector<std::size_t>& keep) {
    for (auto& column : columns) {
        if (!column) continue;
        std::vector<double> kept(keep.size());
        for (std::size_t k = 0; k < keep.size(); ++k) kept[k] = (*column)[keep[k]];
        *column = std::move(kept);
    }
}

// Cosine of the cone's tilt from the vertical in row k, from whichever inclinations there are;
// nullopt without any.
std::optional<double> tilt_cosine(const Columns& c, std::size_t k) {
    constexpr double kDegree = std::numbers::pi / 180.0;
    if (c[kIncl]) return std::fabs(std::cos((*c[kIncl])[k] * kDegree));
    // Two perpendicular tilts a and b: the axis runs along (tan a, tan b, 1).
    auto from_pair = [&](Slot a, Slot b) {
        const double ta = std::tan((*c[a])[k] * kDegree), tb = std::tan((*c[b])[k] * kDegree);
        return 1.0 / std::sqrt(1.0 + ta * ta + tb * tb);
    };
    if (c[kInclNS] && c[kInclEW]) return from_pair(kInclNS, kInclEW);
    if (c[kInclX] && c[kInclY]) return from_pair(kInclX, kInclY);
    return std::nullopt;
}

struct Measurements {
    Columns columns;
    std::vector<double> along;     // penetration length (m), positive, increasing
    std::vector<double> depth_mm;  // corrected depth
};

Measurements measurements(Raw raw, const std::array<bool, kSlots>& flagged_off) {
    Columns c;
    for (std::size_t s = 0; s < kSlots; ++s) {
        // A column the document flags as not measured, or that holds only voids, is absent.
        if (flagged_off[s] || std::all_of(raw[s].begin(), raw[s].end(), is_void)) continue;
        c[s] = std::move(raw[s]);
    }
    if (!c[kQc]) fail("the CPT has no cone resistance: column 4 (coneResistance) of the measurements holds no value");
    if (!c[kLength] && !c[kDepth])
        fail("the CPT has no penetration length: columns 1 and 2 (penetrationLength, depth) of the measurements hold no value");
    if (!c[kRf] && !c[kFs]) fail("The file has no friction data: neither a friction ratio nor a local friction column");
    // X/Y tilts only serve to correct the depth when nothing better is at hand; otherwise their
    // voids must not cost rows.
    if (c[kDepth] || c[kIncl] || (c[kInclNS] && c[kInclEW]) || !(c[kInclX] && c[kInclY])) {
        c[kInclX].reset();
        c[kInclY].reset();
    }

    // Rows without a position cannot be placed; the others go in order of penetration length,
    // since the registry stores them in runs that need not follow each other.
    const std::vector<double>& position = c[kLength] ? *c[kLength] : *c[kDepth];
    std::vector<std::size_t> keep;
    keep.reserve(position.size());
    for (std::size_t r = 0; r < position.size(); ++r)
        if (!is_void(position[r])) keep.push_back(r);
    auto shallower = [&](std::size_t a, std::size_t b) { return std::fabs(position[a]) < std::fabs(position[b]); };
    if (!std::is_sorted(keep.begin(), keep.end(), shallower)) std::stable_sort(keep.begin(), keep.end(), shallower);
    select_rows(c, keep);
    const std::vector<double>& placed = c[kLength] ? *c[kLength] : *c[kDepth];
    std::vector<double> along(placed.size());
    for (std::size_t k = 0; k < along.size(); ++k) along[k] = std::fabs(placed[k]);

    std::vector<double>& qc = *c[kQc];
    if (c[kRf] && c[kFs]) {
        std::vector<double>& rf = *c[kRf];
        const std::vector<double>& fs = *c[kFs];
        for (std::size_t k = 0; k < rf.size(); ++k) {
            // The registry writes a friction ratio of 0 where the sleeve gave no reading.
            if (is_void(fs[k]) && rf[k] == 0.0) rf[k] = kVoid;
            // A void ratio is recomputed from its own row where that row has fs and qc.
            if (is_void(rf[k]) && !is_void(fs[k]) && !is_void(qc[k]) && qc[k] > 0.0) rf[k] = fs[k] / qc[k] * 100.0;
        }
    }
    // Voids inside the other columns are bridged along the penetration length (a void
    // inclination must not reach the depth correction). The cone resistance is the measurement
    // itself and is never made up: a row without it is dropped, and so is a row with a void
    // left at either end of another column.
    for (std::size_t s = 0; s < kSlots; ++s)
        if (c[s] && s != kLength && s != kQc) interpolate_inner(*c[s], along);
    std::vector<std::size_t> complete;
    for (std::size_t k = 0; k < along.size(); ++k) {
        bool ok = true;
        for (const auto& column : c) ok = ok && (!column || !is_void((*column)[k]));
        if (ok) complete.push_back(k);
    }
    if (complete.empty()) fail("no measurement row remains once rows with void values are removed");
    select_rows(c, complete);
    for (std::size_t k = 0; k < complete.size(); ++k) along[k] = along[complete[k]];
    along.resize(complete.size());

    // Corrected depth: the document's own column when it has one; otherwise the penetration
    // length projected on the vertical, step by step with the inclination of the lower point
    // of each step.
    const std::size_t n = along.size();
    std::vector<double> depth_mm(n);
    double d = along[0];
    for (std::size_t k = 0; k < n; ++k) {
        if (c[kDepth]) {
            depth_mm[k] = mm(std::fabs((*c[kDepth])[k]));
            continue;
        }
        if (k > 0) {
            const auto cosine = tilt_cosine(c, k);
            d = cosine ? d + *cosine * (along[k] - along[k - 1]) : along[k];
        }
        depth_mm[k] = mm(d);
    }
    return {std::move(c), std::move(along), std::move(depth_mm)};
}

// ---------------------------------------------------------------------------------------
// Header

std::string coordinate_system_name(std::string_view srs_name, bool& latitude_first) {
    // "urn:ogc:def:crs:EPSG::28992", "EPSG:28992" and "http://www.opengis.net/def/crs/EPSG/0/28992".
    std::size_t digits = srs_name.size();
    while (digits > 0 && srs_name[digits - 1] >= '0' && srs_name[digits - 1] <= '9') --digits;
    const std::string_view code = srs_name.substr(digits);
    latitude_first = code == "4258" || code == "4326";  // geographic systems list latitude first
    if (code == "28992") return "RD";
    if (code == "31370") return "Belgian Lambert 72";
    if (code == "4326") return "WGS84";
    if (code == "4258") return "ETRS89";
    if (code.empty()) return std::string(srs_name);
    return "EPSG:" + std::string(code);
}

bool is_date(std::string_view s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// ---------------------------------------------------------------------------------------
// The document

std::string what_object(std::string_view name) {
    if (starts_with(name, "BHR")) return "a borehole";
    if (starts_with(name, "GMW")) return "a groundwater monitoring well";
    if (starts_with(name, "GLD")) return "a groundwater level dossier";
    if (starts_with(name, "GMN")) return "a groundwater monitoring network";
    if (starts_with(name, "GAR")) return "a groundwater analysis report";
    if (starts_with(name, "SFR")) return "a soil face research";
    return "a registry object";
}

void load(pugi::xml_document& document, std::string_view text) {
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        fail_at(line_at(text, nul), "the XML document holds a NUL character");
    // The default options read no document type declaration: entities it would declare are
    // neither expanded nor fetched, and nothing is read from anywhere but the text itself.
    const pugi::xml_parse_result result =
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        std::string description = result.description();
        if (!description.empty()) description.front() = static_cast<char>(std::tolower(description.front()));
        fail_at(line_at(text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(result.offset, 0))),
                "malformed XML (" + description + ")");
    }
}

CptElement the_cpt(const pugi::xml_document& document, std::string_view text) {
    Contents contents = survey(document);
    auto line = [&](pugi::xml_node node) { return line_at(text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(node.offset_debug(), 0))); };
    if (!contents.root) fail("the XML document holds no element");
    if (contents.cpt_count > 1)
        fail("the document holds " + std::to_string(contents.cpt_count) +
             " CPTs (CPT_O elements), but one CPT is read at a time: send each in a document of its own");
    if (contents.cpt_count == 0) {
        if (contents.other_object) {
            const std::string_view name = local_name(contents.other_object.name());
            fail_at(line(contents.other_object), "this BRO-XML document holds " + what_object(name) + " (" +
                                                     std::string(name) + "), not a CPT (CPT_O)");
        }
        if (contents.from_registry)
            fail_at(line(contents.root), "this BRO-XML document holds no CPT (no CPT_O element)");
        fail_at(line(contents.root), "not a GEF file nor a BRO-XML CPT: the XML document's root element is " +
                                         quoted(contents.root.name()));
    }
    return CptElement(contents.cpt, std::move(contents.cpt_bindings), text);
}

bool is_text(pugi::xml_node node) { return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata; }

// The text of the measurement block: one text node in every registry document (returned in
// `single`), pieced together into `joined` when comments or character data sections split it.
std::string_view values_text(pugi::xml_node values, pugi::xml_node& single, std::string& joined) {
    pugi::xml_node first = values.first_child();
    while (first && !is_text(first)) first = first.next_sibling();
    if (!first) return {};
    pugi::xml_node more = first.next_sibling();
    while (more && !is_text(more)) more = more.next_sibling();
    if (!more) {
        single = first;
        return first.value();
    }
    for (pugi::xml_node n = first; n; n = n.next_sibling())
        if (is_text(n)) joined += n.value();
    return joined;
}

Raw read_measurements(const CptElement& cpt, std::array<bool, kSlots>& flagged_off) {
    const pugi::xml_node result =
        cpt.find({{"conePenetrometerSurvey"}, {"conePenetrationTest"}, {"cptResult"}});
    const pugi::xml_node values = result ? cpt.child(result, {"values"}) : pugi::xml_node();
    if (!values) fail_at(cpt.line_of(cpt.root()), "the CPT holds no measurements (no conePenetrationTest/cptResult/values)");
    const Separators separators = read_separators(cpt, result);
    pugi::xml_node single;
    std::string joined;
    const std::string_view text = values_text(values, single, joined);
    // A row's line follows from its place in the text node, which starts where the node does.
    const std::ptrdiff_t start = single ? single.offset_debug() : -1;
    auto line_of = [&cpt, values, text, start](const char* p) -> std::size_t {
        if (start < 0 || p < text.data() || p > text.data() + text.size()) return cpt.line_of(values);
        return line_at(cpt.document_text(), static_cast<std::size_t>(start) + static_cast<std::size_t>(p - text.data()));
    };
    const pugi::xml_node flags = cpt.find({{"conePenetrometerSurvey"}, {"parameters"}});
    for (std::size_t s = 0; s < kSlots; ++s) {
        const pugi::xml_node flag = flags ? cpt.child(flags, {kQuantities[s].parameter}) : pugi::xml_node();
        flagged_off[s] = flag && trim(flag.child_value()) == "nee";
    }
    Raw raw = BlockReader(separators, flagged_off, line_of).read(text);
    if (raw[kLength].empty()) fail_at(cpt.line_of(values), "the CPT holds no measurements (its cptResult values are empty)");
    return raw;
}

GefCpt answer(const CptElement& cpt, const Measurements& m) {
    GefCpt out;
    auto& H = out.headers;
    const auto name = cpt.text({{"broId"}});
    if (!name) fail_at(cpt.line_of(cpt.root()), "the CPT has no broId, so the test has no name");
    // The offset is the level of the vertical reference point (the ground surface) in the
    // height system; depths count down from it.
    const auto offset = cpt.number({{"deliveredVerticalPosition"}, {"offset"}});
    if (!offset)
        fail_at(cpt.line_of(cpt.root()), "the CPT has no deliveredVerticalPosition/offset, so the ground level is unknown");
    const double ground_mm = mm(*offset);
    const std::size_t n = m.along.size();
    std::vector<double> elevation(n);
    for (std::size_t k = 0; k < n; ++k) elevation[k] = std::round((ground_mm - m.depth_mm[k]) * 1e6) / 1e6;

    H.emplace_back("name", std::string(*name));
    H.emplace_back("ground_level_wrt_reference", ground_mm);
    H.emplace_back("max_measurement_depth_wrt_reference", *std::min_element(elevation.begin(), elevation.end()));
    if (const auto datum = cpt.text({{"deliveredVerticalPosition"}, {"verticalDatum"}}))
        H.emplace_back("height_system", std::string(*datum));
    const pugi::xml_node location = cpt.find({{"deliveredLocation"}, {"location"}});
    if (const auto pos = location ? trim(cpt.child(location, {"pos", Family::gml}).child_value()) : std::string_view();
        !pos.empty()) {
        const std::size_t gap = pos.find_first_of(" \t\r\n");
        const auto first = to_number(pos.substr(0, gap));
        const auto second = gap == std::string_view::npos ? std::nullopt : to_number(trim(pos.substr(gap)));
        if (!first || !second)
            fail_at(cpt.line_of(location), "the delivered location " + quoted(pos) + " is not two numbers");
        bool latitude_first = false;
        std::string system = coordinate_system_name(trim(location.attribute("srsName").value()), latitude_first);
        // Coordinates stay in the units of their system (metres for RD), easting first.
        H.emplace_back("x_y_coordinates", latitude_first ? std::vector<double>{*second, *first}
                                                         : std::vector<double>{*first, *second});
        H.emplace_back("coordinate_system", std::move(system));
    }
    if (const auto date = cpt.text({{"researchReportDate"}, {"date"}}); date && is_date(*date))
        H.emplace_back("gef_file_date", std::string(*date));
    auto cone = [&](const char* item) { return cpt.number({{"conePenetrometerSurvey"}, {"conePenetrometer"}, {item}}); };
    if (auto v = cone("coneSurfaceArea")) H.emplace_back("cone_tip_area", *v);  // mm2
    if (auto t = cpt.text({{"conePenetrometerSurvey"}, {"conePenetrometer"}, {"conePenetrometerType"}}))
        H.emplace_back("cone_type", std::string(*t));
    if (auto v = cone("coneSurfaceQuotient")) H.emplace_back("surface_area_quotient_tip", *v);
    if (auto v = cpt.number({{"conePenetrometerSurvey"}, {"trajectory"}, {"predrilledDepth"}}))
        H.emplace_back("excavation_depth", mm(*v));
    if (auto v = cpt.number({{"additionalInvestigation"}, {"groundwaterLevel"}})) H.emplace_back("water_level", mm(*v));
    // As the registry writes it in its own GEF files: the standard, then the quality class.
    const auto standard = cpt.text({{"cptStandard"}});
    const auto quality = cpt.text({{"conePenetrometerSurvey"}, {"qualityClass"}});
    if (standard || quality)
        H.emplace_back("measurement_standard", standard && quality ? std::string(*standard) + " / " + std::string(*quality)
                                                                   : std::string(standard ? *standard : *quality));

    const Columns& c = m.columns;
    auto& C = out.columns;
    if (c[kLength]) {
        std::vector<double> l(n);
        for (std::size_t k = 0; k < n; ++k) l[k] = mm(m.along[k]);
        C.emplace_back("penetration_length", std::move(l));
    }
    C.emplace_back("corrected_depth", m.depth_mm);
    C.emplace_back("elevation", std::move(elevation));
    C.emplace_back("qc", *c[kQc]);
    if (c[kFs]) C.emplace_back("fs", *c[kFs]);
    std::vector<double> rf(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double qc = (*c[kQc])[k];
        // Without a friction-ratio column the ratio is formed from the row's own values; with
        // no cone resistance to divide by it is 0.
        rf[k] = c[kRf] ? (*c[kRf])[k] / 100.0 : (qc > 0.0 ? (*c[kFs])[k] / qc : 0.0);
    }
    C.emplace_back("Rf", std::move(rf));
    if (c[kU2]) C.emplace_back("u2", *c[kU2]);
    if (c[kIncl]) C.emplace_back("inclination", *c[kIncl]);
    if (c[kInclNS]) C.emplace_back("inclination_n_s", *c[kInclNS]);
    if (c[kInclEW]) C.emplace_back("inclination_e_w", *c[kInclEW]);

    // Finite numbers in the document can still leave the range of a double once converted to
    // millimetres, summed to levels or divided into ratios; the answer holds finite values only.
    auto too_large = [](const std::string& what) {
        fail(what + " is too large: the file holds a value out of range");
    };
    for (const auto& [key, values] : C)
        for (std::size_t k = 0; k < values.size(); ++k)
            if (!std::isfinite(values[k])) too_large("value " + std::to_string(k + 1) + " of column '" + key + "'");
    for (const auto& [key, value] : H) {
        if (const auto* v = std::get_if<double>(&value); v && !std::isfinite(*v)) too_large("header '" + key + "'");
        if (const auto* v = std::get_if<std::vector<double>>(&value))
            for (double x : *v)
                if (!std::isfinite(x)) too_large("header '" + key + "'");
    }
    return out;
}

}  // namespace

bool is_xml_document(std::string_view bytes) {
    // The byte order marks as they are, and as they arrive once read as ISO-8859-1 text and
    // sent as UTF-8.
    for (std::string_view utf16 : {"\xFF\xFE", "\xFE\xFF", "\xC3\xBF\xC3\xBE", "\xC3\xBE\xC3\xBF"})
        if (starts_with(bytes, utf16)) return true;
    for (std::string_view utf8 : {"\xEF\xBB\xBF", "\xC3\xAF\xC2\xBB\xC2\xBF"})
        if (starts_with(bytes, utf8)) bytes.remove_prefix(utf8.size());
    // NUL bytes: UTF-16 without a byte order mark.
    std::size_t i = 0;
    while (i < bytes.size() && (is_xml_space(bytes[i]) || bytes[i] == '\0')) ++i;
    return i < bytes.size() && bytes[i] == '<';
}

GefCpt parse_bro_xml(std::string_view bytes) {
    if (bytes.empty()) fail("the file is empty");
    std::string original, converted;
    const std::string_view text = document_text(bytes, original, converted);
    pugi::xml_document document;
    load(document, text);
    const CptElement cpt = the_cpt(document, text);
    std::array<bool, kSlots> flagged_off{};
    Raw raw = read_measurements(cpt, flagged_off);
    return answer(cpt, measurements(std::move(raw), flagged_off));
}

}  // namespace jobs

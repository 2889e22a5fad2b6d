#include "jobs/gef.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <optional>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "jobs/error.hpp"
#include "jobs/reader_text.hpp"

namespace jobs {

const HeaderValue* GefCpt::header(std::string_view key) const {
    for (const auto& [k, v] : headers)
        if (k == key) return &v;
    return nullptr;
}

const std::vector<double>* GefCpt::column(std::string_view key) const {
    for (const auto& [k, v] : columns)
        if (k == key) return &v;
    return nullptr;
}

namespace {

using reader::fail;
using reader::fail_at;
using reader::quoted;
[[noreturn]] void unsupported(const std::string& message) { throw JobError(kNotImplementedError, message); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) { return reader::trim(s, is_space); }

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// A sign that follows a '+' ("+-5", "++5") is refused, as float() and int() refuse it.
bool drop_plus_sign(std::string_view& s) {
    if (s.empty() || s.front() != '+') return true;
    s.remove_prefix(1);
    return s.empty() || (s.front() != '+' && s.front() != '-');
}

std::optional<double> to_number(std::string_view s) {
    s = trim(s);
    if (!drop_plus_sign(s) || s.empty()) return std::nullopt;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<long long> to_integer(std::string_view s) {
    s = trim(s);
    if (!drop_plus_sign(s) || s.empty()) return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> split_fields(std::string_view value) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        out.push_back(trim(value.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Text

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        // GEF files are almost all ASCII: test eight bytes at a time.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) { ++i; continue; }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

std::string latin1_to_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

struct Line {
    std::string_view text;
    std::size_t number;
};

// "\r\n", "\r" and "\n" all end a line: files come with any of them, and reading a file in
// text mode upstream may or may not have normalised them.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool next(Line& line) {
        if (pos_ >= text_.size()) return false;
        // A plain scan: find_first_of calls memchr once per character for a two-character set.
        std::size_t end = pos_;
        while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
        ++number_;
        if (end == text_.size()) {
            line = {text_.substr(pos_), number_};
            pos_ = text_.size();
            return true;
        }
        line = {text_.substr(pos_, end - pos_), number_};
        pos_ = end + 1;
        if (text_[end] == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
        return true;
    }
    std::size_t lines_read() const { return number_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

// ---------------------------------------------------------------------------------------
// Header

struct HeaderLine {
    std::string keyword;
    std::string value;
    std::size_t line;
};

// Column numbers this high do not occur in CPT files; the limit keeps a hostile header from
// making the reader allocate for millions of columns.
constexpr long long kMaxColumns = 1024;
// Headers of CPT files run to a few hundred lines. Each header line is kept until the header
// is read, at many times the size of a short line, so a file of endless header lines is
// refused at this count rather than at its end.
constexpr std::size_t kMaxHeaderLines = 10000;

// Quantity numbers of #COLUMNINFO that the answer uses.
enum Quantity : int {
    kPenetrationLength = 1,
    kConeResistance = 2,
    kLocalFriction = 3,
    kFrictionRatio = 4,
    kPorePressureU2 = 6,
    kInclination = 8,
    kInclinationNS = 9,
    kInclinationEW = 10,
    kCorrectedDepth = 11,
};

const char* quantity_text(int quantity) {
    switch (quantity) {
        case kPenetrationLength: return "penetration length";
        case kConeResistance: return "cone resistance";
        case kLocalFriction: return "local friction";
        case kFrictionRatio: return "friction ratio";
        case kPorePressureU2: return "pore pressure u2";
        case kInclination: return "inclination";
        case kInclinationNS: return "inclination N-S";
        case kInclinationEW: return "inclination E-W";
        case kCorrectedDepth: return "corrected depth";
        default: return "quantity";
    }
}

constexpr std::array<int, 9> kUsedQuantities = {kPenetrationLength, kConeResistance, kLocalFriction,
                                                kFrictionRatio,     kPorePressureU2,  kInclination,
                                                kInclinationNS,     kInclinationEW,   kCorrectedDepth};

struct Header {
    std::vector<HeaderLine> lines;
    std::size_t eoh_line = 0;

    const HeaderLine* first(std::string_view keyword) const {
        for (const auto& h : lines)
            if (h.keyword == keyword) return &h;
        return nullptr;
    }
};

Header read_header(LineReader& reader) {
    Header header;
    Line line;
    bool seen_gefid = false;
    while (reader.next(line)) {
        const std::string_view text = trim(line.text);
        if (text.empty()) continue;
        if (text.front() != '#') {
            if (!seen_gefid) fail_at(line.number, "not a GEF file: it must begin with a #GEFID line");
            // Long header texts wrap onto lines without '#'; they continue the previous value.
            header.lines.back().value += ' ';
            header.lines.back().value += text;
            continue;
        }
        const std::size_t eq = text.find('=');
        const std::string keyword = upper(trim(text.substr(1, eq == std::string_view::npos ? std::string_view::npos : eq - 1)));
        if (!seen_gefid) {
            if (keyword != "GEFID") fail_at(line.number, "not a GEF file: it must begin with a #GEFID line");
            seen_gefid = true;
        }
        if (keyword == "EOH") {
            header.eoh_line = line.number;
            return header;
        }
        if (eq == std::string_view::npos) fail_at(line.number, "header line " + quoted(text) + " has no '='");
        if (keyword.empty()) fail_at(line.number, "header line " + quoted(text) + " has no keyword");
        if (header.lines.size() == kMaxHeaderLines)
            fail_at(line.number, "the header has more than " + std::to_string(kMaxHeaderLines) +
                                     " lines; a CPT file's header ends with #EOH long before that");
        header.lines.push_back({keyword, std::string(text.substr(eq + 1)), line.number});
    }
    if (!seen_gefid) fail("the file is empty");
    fail("the header has no #EOH line (end of header); the file ends at line " +
         std::to_string(reader.lines_read()));
}

struct ColumnInfo {
    int quantity = 0;
    std::optional<double> void_value;
};

struct Layout {
    std::map<long long, ColumnInfo> columns;  // by column number, 1-based
    long long declared_count = 0;             // #COLUMN, 0 when absent
    char column_separator = 0;                // 0: runs of whitespace
    char record_separator = 0;                // 0: end of line only
    std::map<int, long long> column_of;       // quantity -> column number, used quantities only
};

char separator(const HeaderLine& h) {
    // The value is one character; a lone space or tab is trimmed away and means whitespace.
    const std::string_view v = trim(h.value);
    if (v.empty()) return 0;
    if (v.size() != 1) fail_at(h.line, "#" + h.keyword + " must be one character, not " + quoted(v));
    const char c = v.front();
    if ((c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E' ||
        static_cast<unsigned char>(c) >= 0x80)
        fail_at(h.line, "#" + h.keyword + " " + quoted(v) + " cannot separate numbers");
    return c;
}

long long column_number(const HeaderLine& h, std::string_view field) {
    const auto n = to_integer(field);
    if (!n) fail_at(h.line, "#" + h.keyword + " column number " + quoted(field) + " is not a whole number");
    if (*n < 1 || *n > kMaxColumns)
        fail_at(h.line, "#" + h.keyword + " column number " + std::to_string(*n) + " is out of range 1 to " +
                            std::to_string(kMaxColumns));
    return *n;
}

Layout read_layout(const Header& header) {
    Layout layout;
    for (const auto& h : header.lines) {
        if (h.keyword == "COLUMNINFO") {
            const auto f = split_fields(h.value);
            if (f.size() < 4)
                fail_at(h.line, "#COLUMNINFO needs column number, unit, description and quantity number");
            const long long col = column_number(h, f[0]);
            const auto quantity = to_integer(f[3]);
            if (!quantity || *quantity < 0 || *quantity > 1000000)
                fail_at(h.line, "#COLUMNINFO quantity number " + quoted(f[3]) + " is not a whole number");
            auto& info = layout.columns[col];
            if (info.quantity != 0) fail_at(h.line, "column " + std::to_string(col) + " is described twice");
            info.quantity = static_cast<int>(*quantity);
        }
    }
    if (layout.columns.empty()) fail("the header has no #COLUMNINFO lines, so the data columns are unknown");
    for (const auto& h : header.lines) {
        if (h.keyword == "COLUMNVOID") {
            const auto f = split_fields(h.value);
            if (f.size() < 2) fail_at(h.line, "#COLUMNVOID needs a column number and a void value");
            const long long col = column_number(h, f[0]);
            const auto value = to_number(f[1]);
            if (!value) fail_at(h.line, "#COLUMNVOID value " + quoted(f[1]) + " is not a number");
            const auto it = layout.columns.find(col);
            // A void for an undescribed column concerns no value we read.
            if (it != layout.columns.end() && !it->second.void_value) it->second.void_value = value;
        } else if (h.keyword == "COLUMN" && layout.declared_count == 0) {
            layout.declared_count = column_number(h, split_fields(h.value)[0]);
        } else if (h.keyword == "COLUMNSEPARATOR") {
            layout.column_separator = separator(h);
        } else if (h.keyword == "RECORDSEPARATOR") {
            layout.record_separator = separator(h);
        }
    }
    if (layout.column_separator != 0 && layout.column_separator == layout.record_separator)
        fail("#COLUMNSEPARATOR and #RECORDSEPARATOR are the same character");
    for (const auto& [col, info] : layout.columns) {
        if (std::find(kUsedQuantities.begin(), kUsedQuantities.end(), info.quantity) == kUsedQuantities.end())
            continue;
        const auto [it, fresh] = layout.column_of.emplace(info.quantity, col);
        if (!fresh)
            fail("columns " + std::to_string(it->second) + " and " + std::to_string(col) + " both hold the " +
                 quantity_text(info.quantity) + " (quantity number " + std::to_string(info.quantity) + ")");
    }
    if (!layout.column_of.count(kConeResistance))
        fail("the file has no cone resistance column (#COLUMNINFO with quantity number 2)");
    if (!layout.column_of.count(kPenetrationLength) && !layout.column_of.count(kCorrectedDepth))
        fail("the file has no penetration length column (#COLUMNINFO with quantity number 1)");
    return layout;
}

void check_file_type(const Header& header) {
    if (const auto* h = header.first("GEFID")) {
        const auto f = split_fields(h->value);
        const auto major = to_integer(f[0]);
        if (!major) fail_at(h->line, "#GEFID version " + quoted(trim(h->value)) + " is not a version number");
        if (*major != 1)
            unsupported("GEF version " + std::string(trim(h->value)) + " (line " + std::to_string(h->line) +
                        ") is not supported; this reader handles GEF 1.x files");
    }
    // #REPORTCODE names the report type; old files only have #PROCEDURECODE. Files without
    // either are read as CPTs when their columns say so.
    const HeaderLine* code = header.first("REPORTCODE");
    if (!code) code = header.first("PROCEDURECODE");
    if (code) {
        const std::string kind = upper(split_fields(code->value)[0]);
        if (kind.find("DISS") != std::string::npos)
            unsupported("dissipation test files (#" + code->keyword + "= " + std::string(trim(code->value)) +
                        ", line " + std::to_string(code->line) + ") are not supported; only CPT files are");
        if (kind.find("CPT") == std::string::npos) {
            const std::string what = kind.find("BORE") != std::string::npos ? "a bore log" : "not a CPT file";
            fail_at(code->line, "this GEF file is " + what + " (#" + code->keyword + "= " +
                                    std::string(trim(code->value)) + "); a CPT report is expected");
        }
    }
    if (const auto* h = header.first("DATAFORMAT")) {
        const std::string format = upper(split_fields(h->value)[0]);
        if (!format.empty() && format != "ASCII")
            unsupported("data format " + quoted(trim(h->value)) + " (line " + std::to_string(h->line) +
                        ") is not supported; only ASCII data is");
    }
}

// ---------------------------------------------------------------------------------------
// Data block

struct Table {
    // Raw values of the used quantities, one vector per quantity, one value per row.
    std::map<int, std::vector<double>> values;
    std::vector<std::size_t> line_of_row;
};

class DataReader {
public:
    DataReader(const Layout& layout) : layout_(layout) {
        max_described_ = layout.columns.rbegin()->first;
        for (const auto& [quantity, col] : layout.column_of) wanted_.emplace_back(col - 1, quantity);
        std::sort(wanted_.begin(), wanted_.end());
    }

    Table read(LineReader& reader, std::size_t size_hint) {
        Table table;
        for (const auto& [index, quantity] : wanted_) table.values[quantity].reserve(size_hint);
        for (const auto& [index, quantity] : wanted_) targets_.push_back(&table.values[quantity]);
        Line line;
        while (reader.next(line)) {
            std::string_view rest = line.text;
            if (layout_.record_separator == 0) {
                record(rest, line.number, table);
                continue;
            }
            // Records end at the record separator; a line end ends one too, since files
            // declare the separator and then leave it out.
            for (;;) {
                const std::size_t end = rest.find(layout_.record_separator);
                record(rest.substr(0, end), line.number, table);
                if (end == std::string_view::npos) break;
                rest.remove_prefix(end + 1);
            }
        }
        return table;
    }

private:
    void record(std::string_view text, std::size_t line, Table& table) {
        text = trim(text);
        if (text.empty()) return;
        if (text.front() == '#')
            fail_at(line, "header line " + quoted(text) + " after #EOH; the data block holds numbers only");
        // Only as many fields as a row may have are kept; the rest of a row that is too wide
        // is counted, not stored, so that one huge line cannot take memory many times its size
        // before it is refused.
        fields_.clear();
        const std::size_t room = widest_row();
        std::size_t extra = 0;
        auto take = [&](std::string_view field) {
            if (fields_.size() < room) fields_.push_back(field);
            else ++extra;
        };
        const char sep = layout_.column_separator;
        if (sep == 0) {
            std::size_t i = 0;
            while (i < text.size()) {
                while (i < text.size() && is_space(text[i])) ++i;
                const std::size_t start = i;
                while (i < text.size() && !is_space(text[i])) ++i;
                if (i > start) take(text.substr(start, i - start));
            }
        } else {
            // A separator after the last value is usual ("1.0;2.0;!") and adds no column.
            if (text.back() == sep) text.remove_suffix(1);
            std::size_t start = 0;
            for (;;) {
                const std::size_t end = text.find(sep, start);
                take(trim(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)));
                if (end == std::string_view::npos) break;
                start = end + 1;
            }
        }
        check_width(fields_.size() + extra, line);
        for (std::size_t k = 0; k < wanted_.size(); ++k) {
            const std::size_t index = wanted_[k].first;
            const std::string_view field = fields_[index];
            const auto value = to_number(field);
            if (!value)
                fail_at(line, "value " + quoted(field) + " in column " + std::to_string(index + 1) + " (" +
                                  quantity_text(wanted_[k].second) + ") is not a number");
            targets_[k]->push_back(*value);
        }
        table.line_of_row.push_back(line);
    }

    // The most values a row may carry: the width of the earlier rows, or before the first row
    // the widest that check_width accepts.
    std::size_t widest_row() const {
        if (width_ != 0) return width_;
        return static_cast<std::size_t>(std::max(max_described_, layout_.declared_count));
    }

    void check_width(std::size_t width, std::size_t line) {
        if (width_ == 0) {
            // Rows carry one value per described column; #COLUMN may count more columns
            // (then rows carry those too) or disagree with the descriptions altogether,
            // in which case the descriptions win.
            const bool fits_described = static_cast<long long>(width) == max_described_;
            const bool fits_declared =
                layout_.declared_count > max_described_ && static_cast<long long>(width) == layout_.declared_count;
            if (!fits_described && !fits_declared)
                fail_at(line, std::to_string(width) + " values in the row, but the header describes " +
                                  std::to_string(max_described_) + " columns");
            width_ = width;
        } else if (width != width_) {
            fail_at(line, std::to_string(width) + " values in the row, but earlier rows have " +
                              std::to_string(width_));
        }
    }

    const Layout& layout_;
    long long max_described_ = 0;
    std::vector<std::pair<std::size_t, int>> wanted_;  // (0-based column index, quantity)
    std::vector<std::vector<double>*> targets_;
    std::vector<std::string_view> fields_;
    std::size_t width_ = 0;
};

// ---------------------------------------------------------------------------------------
// From raw columns to the answer

struct Column {
    std::vector<double> v;
    std::vector<char> ok;  // false where the file holds the column's void value
};

// Millimetre values are rounded to a nanometre so that, e.g., 20.004 m reads 20004 mm and
// not 20004.000000000004; no measurement is that precise.
double mm(double metres) { return std::round(metres * 1e9) / 1e6; }

// Replaces each run of voids that has a valid value on both sides by straight-line
// interpolation against `x`; voids at either end stay void.
void interpolate_inner(Column& c, const std::vector<double>& x) {
    const std::size_t n = c.v.size();
    std::size_t i = 0;
    while (i < n && !c.ok[i]) ++i;
    while (i < n) {
        std::size_t j = i + 1;
        while (j < n && !c.ok[j]) ++j;
        if (j >= n) break;
        for (std::size_t k = i + 1; k < j; ++k) {
            const double span = x[j] - x[i];
            const double t = span != 0.0 ? (x[k] - x[i]) / span : static_cast<double>(k - i) / static_cast<double>(j - i);
            c.v[k] = c.v[i] + t * (c.v[j] - c.v[i]);
            c.ok[k] = 1;
        }
        i = j;
    }
}

std::string height_system_name(long long code) {
    switch (code) {
        case 31000: return "NAP";
        case 32000: return "Ostend";
        case 32001: return "TAW";
        case 0: return "local";
        default: return std::to_string(code);
    }
}

std::string coordinate_system_name(long long code) {
    switch (code) {
        // The GEF codes, and the EPSG codes of the same systems that newer files write.
        case 31000:
        case 28992: return "RD";
        case 32000:
        case 31370: return "Belgian Lambert 72";
        case 0: return "local";
        case 1: return "WGS84";
        default: return std::to_string(code);
    }
}

std::string two_digits(long long v) {
    std::string out = std::to_string(v);
    if (out.size() < 2) out.insert(out.begin(), '0');
    return out;
}

std::optional<std::string> measurement_text(const Header& header, int number) {
    for (const auto& h : header.lines) {
        if (h.keyword != "MEASUREMENTTEXT") continue;
        const auto f = split_fields(h.value);
        if (to_integer(f[0]) == number && f.size() >= 2 && !f[1].empty()) return std::string(f[1]);
    }
    return std::nullopt;
}

std::optional<double> measurement_var(const Header& header, int number) {
    for (const auto& h : header.lines) {
        if (h.keyword != "MEASUREMENTVAR") continue;
        const auto f = split_fields(h.value);
        if (to_integer(f[0]) != number) continue;
        const auto value = f.size() >= 2 ? to_number(f[1]) : std::nullopt;
        if (!value) fail_at(h.line, "#MEASUREMENTVAR " + std::to_string(number) + " value is not a number");
        return value;
    }
    return std::nullopt;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Blocks of 32 characters of the alphabet into 24 bytes each, as long as every character is in
// the alphabet; `out` must have eight bytes of room past the last block. Returns the number
// of blocks decoded: a block with any other character is left, undecided, to the caller.
__attribute__((target("avx2"))) std::size_t decode_blocks_avx2(const char* in, std::size_t blocks, char* out) {
    // A character is in the alphabet when the classes of its low and of its high half-byte share
    // no bit; bytes above 127 share the bit 0x10 with every low half.
    const __m256i classes_by_low = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                                    0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                                    0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i classes_by_high = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                                     0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                                     0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // A character's value is the character plus a shift fixed by its high half ('/' moved to a
    // slot of its own): digits +4, '+' +19, '/' +16, capitals -65, small letters -71.
    const __m256i shifts = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i low_half = _mm256_set1_epi8(0x0F), slash = _mm256_set1_epi8('/');
    // Pairs of 6-bit values into 12 bits, pairs of those into 24 bits per group of four, and the
    // three bytes of each group, most significant first, packed to the front.
    const __m256i pair_weights = _mm256_set1_epi32(0x01400140), group_weights = _mm256_set1_epi32(0x00011000);
    const __m256i group_bytes = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                                 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i halves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    std::size_t done = 0;
    for (; done < blocks; ++done, in += 32, out += 24) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), low_half);
        const __m256i low = _mm256_and_si256(c, low_half);
        if (!_mm256_testz_si256(_mm256_shuffle_epi8(classes_by_low, low), _mm256_shuffle_epi8(classes_by_high, high)))
            break;
        const __m256i shift = _mm256_shuffle_epi8(shifts, _mm256_add_epi8(_mm256_cmpeq_epi8(c, slash), high));
        const __m256i values = _mm256_add_epi8(c, shift);
        const __m256i groups = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pair_weights), group_weights);
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, group_bytes), halves);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
    }
    return done;
}

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// Base64 of one unbroken run of the alphabet with its padding, as GEFFile.parse sends a file,
// 32 characters per step with AVX2 where the processor has it, else eight characters (six
// bytes) per step through a table of character pairs; nullopt for any
// other text (white space, bad characters, wrong padding), which the general decoder below then reads
// and, where it must, refuses with its own message.
std::optional<std::string> decode_plain_base64(std::string_view text) {
    constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr std::uint16_t kBad = 0xFFFF;
    static_assert(std::endian::native == std::endian::little, "the first character must be the low byte");
    static const auto single = [&] {
        std::array<std::uint8_t, 256> t;
        t.fill(0xFF);
        for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
        return t;
    }();
    // Indexed by two characters as they lie in memory (the first in the low byte): their 12 bits.
    static const auto pairs = [&] {
        auto t = std::make_unique<std::array<std::uint16_t, 65536>>();
        t->fill(kBad);
        for (int a = 0; a < 64; ++a)
            for (int b = 0; b < 64; ++b)
                (*t)[static_cast<unsigned char>(kAlphabet[a]) | static_cast<unsigned char>(kAlphabet[b]) << 8] =
                    static_cast<std::uint16_t>(a << 6 | b);
        return t;
    }();
    const std::size_t n = text.size();
    if (n == 0 || n % 4 != 0) return std::nullopt;
    // Eight spare bytes: an AVX2 step stores 32 bytes of which 24 are kept, a table step eight
    // of which six are kept.
    std::string out(n / 4 * 3 + 8, '\0');
    char* o = out.data();
    const char* p = text.data();
    const char* const last_quad = p + n - 4;
#if defined(__x86_64__) && defined(__GNUC__)
    // The last quad may hold padding, so it is left to the steps below.
    if (has_avx2() && last_quad - p >= 32) {
        const std::size_t blocks = static_cast<std::size_t>(last_quad - p) / 32;
        if (decode_blocks_avx2(p, blocks, o) != blocks) return std::nullopt;
        p += blocks * 32;
        o += blocks * 24;
    }
#endif
    // Held in a local: to the compiler a store through `o` (a char pointer) might change the
    // unique_ptr, which would then be read again on every step.
    const std::uint16_t* const pair = pairs->data();
    for (; last_quad - p >= 8; p += 8, o += 6) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t a = pair[word & 0xFFFF], b = pair[(word >> 16) & 0xFFFF], c = pair[(word >> 32) & 0xFFFF],
                            d = pair[word >> 48];
        if ((a | b | c | d) & 0xF000) return std::nullopt;
        const std::uint64_t bits = (a << 36 | b << 24 | c << 12 | d) << 16;
        const std::uint64_t big_endian = __builtin_bswap64(bits);
        std::memcpy(o, &big_endian, 8);
    }
    for (; p <= last_quad; p += 4) {
        const std::uint8_t a = single[static_cast<unsigned char>(p[0])], b = single[static_cast<unsigned char>(p[1])];
        const bool last = p == last_quad;
        const bool pad2 = last && p[2] == '=' && p[3] == '=', pad1 = last && !pad2 && p[3] == '=';
        const std::uint8_t c = pad2 ? 0 : single[static_cast<unsigned char>(p[2])];
        const std::uint8_t d = pad2 || pad1 ? 0 : single[static_cast<unsigned char>(p[3])];
        if ((a | b | c | d) & 0xC0) return std::nullopt;
        *o++ = static_cast<char>(a << 2 | b >> 4);
        if (!pad2) *o++ = static_cast<char>((b & 0x0F) << 4 | c >> 2);
        if (!pad2 && !pad1) *o++ = static_cast<char>((c & 0x03) << 6 | d);
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace

std::string decode_base64(std::string_view text) {
    if (std::optional<std::string> plain = decode_plain_base64(text)) return std::move(*plain);
    static const auto table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        return t;
    }();
    // Every four characters give at most three bytes.
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t written = 0;
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t count = 0;    // alphabet characters seen
    std::size_t padding = 0;  // '=' seen
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Runs of plain Base64 text go four characters (three bytes) per step; white space,
        // padding and bad characters take the step below, one character at a time.
        if (bits == 0 && padding == 0) {
            while (n - i >= 4) {
                const int a = table[static_cast<unsigned char>(text[i])];
                const int b = table[static_cast<unsigned char>(text[i + 1])];
                const int c = table[static_cast<unsigned char>(text[i + 2])];
                const int d = table[static_cast<unsigned char>(text[i + 3])];
                if ((a | b | c | d) < 0) break;
                const std::uint32_t triple = (static_cast<std::uint32_t>(a) << 18) | (static_cast<std::uint32_t>(b) << 12) |
                                             (static_cast<std::uint32_t>(c) << 6) | static_cast<std::uint32_t>(d);
                out[written] = static_cast<char>(triple >> 16);
                out[written + 1] = static_cast<char>(triple >> 8);
                out[written + 2] = static_cast<char>(triple);
                written += 3;
                count += 4;
                i += 4;
            }
            if (i >= n) break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = table[c];
        if (v < 0 || padding > 0)
            fail("file_content is not Base64 text (character " + std::to_string(i + 1) + " is not allowed there)");
        ++count;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[written++] = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    if ((count + padding) % 4 != 0 || padding > 2 || (padding > 0 && (count % 4) + padding != 4) || count % 4 == 1)
        fail("file_content is not Base64 text (its length or padding is wrong)");
    out.resize(written);
    return out;
}

GefCpt parse_gef(std::string_view bytes) {
    if (bytes.empty()) fail("the file is empty");
    if (bytes.find('\0') != std::string_view::npos) {
        const std::size_t at = bytes.find('\0');
        const std::size_t line = 1 + static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
        fail_at(line, "the file holds binary data (a NUL byte), not text");
    }
    std::string converted;
    std::string_view text = bytes;
    if (!valid_utf8(text)) {
        // GEF files are usually written in ISO-8859-1; their degree signs and accented
        // letters must not make the file unreadable.
        converted = latin1_to_utf8(text);
        text = converted;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    LineReader reader(text);
    const Header header = read_header(reader);
    check_file_type(header);
    const Layout layout = read_layout(header);

    // A cheap row-count estimate: data lines of real files are 20 to 120 bytes.
    const std::size_t hint = std::min<std::size_t>(text.size() / 24 + 1, 1u << 20);
    Table table = DataReader(layout).read(reader, hint);
    const std::size_t rows = table.line_of_row.size();
    if (rows == 0) fail("the file holds no measurement rows after #EOH (line " + std::to_string(header.eoh_line) + ")");

    auto column = [&](int quantity) -> std::optional<Column> {
        const auto it = table.values.find(quantity);
        if (it == table.values.end()) return std::nullopt;
        Column c{std::move(it->second), std::vector<char>(rows, 1)};
        if (const auto& void_value = layout.columns.at(layout.column_of.at(quantity)).void_value)
            for (std::size_t r = 0; r < rows; ++r) c.ok[r] = c.v[r] != *void_value;
        // A column holding only voids carries no data: treat it as absent.
        if (std::find(c.ok.begin(), c.ok.end(), 1) == c.ok.end()) return std::nullopt;
        return c;
    };
    std::optional<Column> length = column(kPenetrationLength);
    std::optional<Column> qc = column(kConeResistance);
    std::optional<Column> fs = column(kLocalFriction);
    std::optional<Column> rf = column(kFrictionRatio);
    std::optional<Column> u2 = column(kPorePressureU2);
    std::optional<Column> incl = column(kInclination);
    std::optional<Column> incl_ns = column(kInclinationNS);
    std::optional<Column> incl_ew = column(kInclinationEW);
    std::optional<Column> depth = column(kCorrectedDepth);
    if (!qc) fail("the cone resistance column holds only void values");
    if (!length && !depth) fail("the penetration length column holds only void values");

    // Rows without a position cannot be placed: they are dropped first, so that the bridging
    // below works along known positions only.
    Column& position = length ? *length : *depth;
    std::vector<std::size_t> keep;
    keep.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r)
        if (position.ok[r]) keep.push_back(r);
    auto compact = [&](std::optional<Column>& c) {
        if (!c) return;
        for (std::size_t k = 0; k < keep.size(); ++k) {
            c->v[k] = c->v[keep[k]];
            c->ok[k] = c->ok[keep[k]];
        }
        c->v.resize(keep.size());
        c->ok.resize(keep.size());
    };
    for (auto* c : {&length, &qc, &fs, &rf, &u2, &incl, &incl_ns, &incl_ew, &depth}) compact(*c);

    // Penetration length counts downwards; some files store it negative.
    std::vector<double> along(keep.size());
    for (std::size_t k = 0; k < keep.size(); ++k) along[k] = std::fabs(position.v[k]);

    // A void friction ratio is recomputed from its own row where that row has fs and qc.
    if (rf && fs)
        for (std::size_t k = 0; k < keep.size(); ++k)
            if (!rf->ok[k] && fs->ok[k] && qc->ok[k] && qc->v[k] > 0.0) {
                rf->v[k] = fs->v[k] / qc->v[k] * 100.0;
                rf->ok[k] = 1;
            }
    // Voids inside the other columns are bridged linearly along the penetration length (a
    // void inclination must not reach the depth correction). The cone resistance is the
    // measurement itself and is never made up: a row without it is dropped, and so is a row
    // with a void left at either end of another column.
    for (auto* c : {&fs, &rf, &u2, &incl, &incl_ns, &incl_ew, &depth})
        if (*c) interpolate_inner(**c, along);
    std::vector<char> complete(qc->ok);
    for (auto* c : {&fs, &rf, &u2, &incl, &incl_ns, &incl_ew, &depth})
        if (*c)
            for (std::size_t k = 0; k < keep.size(); ++k) complete[k] &= (*c)->ok[k];
    std::size_t n = 0;
    for (std::size_t k = 0; k < keep.size(); ++k) {
        if (!complete[k]) continue;
        along[n] = along[k];
        for (auto* c : {&length, &qc, &fs, &rf, &u2, &incl, &incl_ns, &incl_ew, &depth})
            if (*c) (*c)->v[n] = (*c)->v[k];
        ++n;
    }
    if (n == 0) fail("no measurement row remains once rows with void values are removed");
    along.resize(n);
    for (auto* c : {&length, &qc, &fs, &rf, &u2, &incl, &incl_ns, &incl_ew, &depth})
        if (*c) (*c)->v.resize(n);

    // Corrected depth: the file's own column when it has one; otherwise the penetration
    // length projected on the vertical, step by step with the inclination of the lower
    // point of each step (as the format's reference procedure does).
    std::vector<double> depth_mm(n);
    if (depth) {
        for (std::size_t k = 0; k < n; ++k) depth_mm[k] = mm(std::fabs(depth->v[k]));
    } else {
        const bool inclined = incl || (incl_ns && incl_ew);
        double d = along[0];
        for (std::size_t k = 0; k < n; ++k) {
            if (k > 0 && inclined) {
                double cosine = 0.0;
                if (incl) {
                    cosine = std::cos(incl->v[k] * std::numbers::pi / 180.0);
                } else {
                    // Resultant of two perpendicular tilts: the axis direction is
                    // (tan a, tan b, 1) normalised.
                    const double ta = std::tan(incl_ns->v[k] * std::numbers::pi / 180.0);
                    const double tb = std::tan(incl_ew->v[k] * std::numbers::pi / 180.0);
                    cosine = 1.0 / std::sqrt(1.0 + ta * ta + tb * tb);
                }
                d += std::fabs(cosine) * (along[k] - along[k - 1]);
            } else if (k > 0) {
                d = along[k];
            }
            depth_mm[k] = mm(d);
        }
    }

    GefCpt out;
    auto& H = out.headers;

    // #ZID gives the level of the reference plane (normally the ground surface) in metres
    // in a height system; levels of the answer are relative to that height system.
    const HeaderLine* zid = header.first("ZID");
    if (!zid) fail("the header has no #ZID line, so the ground level is unknown");
    const auto zf = split_fields(zid->value);
    const auto z_code = to_integer(zf[0]);
    const auto z = zf.size() >= 2 ? to_number(zf[1]) : std::nullopt;
    if (!z_code || !z) fail_at(zid->line, "#ZID needs a height system code and a level in metres");
    const double ground_mm = mm(*z);

    std::vector<double> elevation(n);
    for (std::size_t k = 0; k < n; ++k) elevation[k] = std::round((ground_mm - depth_mm[k]) * 1e6) / 1e6;

    const HeaderLine* testid = header.first("TESTID");
    if (!testid || trim(testid->value).empty()) fail("the header has no #TESTID line, so the test has no name");
    H.emplace_back("name", std::string(trim(testid->value)));
    H.emplace_back("ground_level_wrt_reference", ground_mm);
    H.emplace_back("max_measurement_depth_wrt_reference", *std::min_element(elevation.begin(), elevation.end()));
    H.emplace_back("height_system", height_system_name(*z_code));
    if (const auto* xy = header.first("XYID")) {
        const auto f = split_fields(xy->value);
        const auto code = to_integer(f[0]);
        const auto x = f.size() >= 3 ? to_number(f[1]) : std::nullopt;
        const auto y = f.size() >= 3 ? to_number(f[2]) : std::nullopt;
        if (!code || !x || !y) fail_at(xy->line, "#XYID needs a coordinate system code, X and Y");
        // Coordinates stay in the units of their coordinate system (metres for RD).
        H.emplace_back("x_y_coordinates", std::vector<double>{*x, *y});
        H.emplace_back("coordinate_system", coordinate_system_name(*code));
    }
    if (const auto* date = header.first("FILEDATE")) {
        const auto f = split_fields(date->value);
        const auto y = to_integer(f[0]);
        const auto m = f.size() >= 3 ? to_integer(f[1]) : std::nullopt;
        const auto d = f.size() >= 3 ? to_integer(f[2]) : std::nullopt;
        if (!y || !m || !d || *y < 0 || *y > 9999 || *m < 1 || *m > 12 || *d < 1 || *d > 31)
            fail_at(date->line, "#FILEDATE " + quoted(trim(date->value)) + " is not a date (year, month, day)");
        std::string year = std::to_string(*y);
        year.insert(0, 4 - year.size(), '0');
        H.emplace_back("gef_file_date", year + "-" + two_digits(*m) + "-" + two_digits(*d));
    }
    if (const auto* id = header.first("GEFID")) {
        std::string version;
        for (const auto& part : split_fields(id->value)) version += (version.empty() ? "" : ".") + std::string(part);
        H.emplace_back("gef_version_number", version);
    }
    if (const auto* p = header.first("PROJECTID"); p && !trim(p->value).empty())
        H.emplace_back("project_id", std::string(trim(p->value)));
    if (const auto* p = header.first("PROJECTNAME"); p && !trim(p->value).empty())
        H.emplace_back("project_name", std::string(trim(p->value)));
    else if (auto name = measurement_text(header, 2))
        H.emplace_back("project_name", *name);
    if (auto v = measurement_var(header, 1)) H.emplace_back("cone_tip_area", *v);  // mm2
    if (auto t = measurement_text(header, 4)) H.emplace_back("cone_type", *t);
    if (auto v = measurement_var(header, 3)) H.emplace_back("surface_area_quotient_tip", *v);
    if (auto v = measurement_var(header, 13)) H.emplace_back("excavation_depth", mm(*v));
    if (auto v = measurement_var(header, 14)) H.emplace_back("water_level", mm(*v));
    if (auto t = measurement_text(header, 6)) H.emplace_back("measurement_standard", *t);

    auto& C = out.columns;
    if (length) {
        std::vector<double> l(n);
        for (std::size_t k = 0; k < n; ++k) l[k] = mm(along[k]);
        C.emplace_back("penetration_length", std::move(l));
    }
    C.emplace_back("corrected_depth", std::move(depth_mm));
    C.emplace_back("elevation", std::move(elevation));
    C.emplace_back("qc", qc->v);
    if (fs) C.emplace_back("fs", fs->v);
    // Every consumer of a parsed CPT needs the friction ratio; a file without any friction data
    // is refused here with a clear message rather than arriving without its "Rf" column.
    if (!rf && !fs) fail("The file has no friction data: neither a friction ratio nor a local friction column");
    if (rf) {
        std::vector<double> r(n);
        for (std::size_t k = 0; k < n; ++k) r[k] = rf->v[k] / 100.0;
        C.emplace_back("Rf", std::move(r));
    } else if (fs) {
        // Without a friction-ratio column the ratio is formed from the row's own values;
        // with no cone resistance to divide by it is 0.
        std::vector<double> r(n);
        for (std::size_t k = 0; k < n; ++k) r[k] = qc->v[k] > 0.0 ? fs->v[k] / qc->v[k] : 0.0;
        C.emplace_back("Rf", std::move(r));
    }
    if (u2) C.emplace_back("u2", u2->v);
    if (incl) C.emplace_back("inclination", incl->v);
    if (incl_ns) C.emplace_back("inclination_n_s", incl_ns->v);
    if (incl_ew) C.emplace_back("inclination_e_w", incl_ew->v);
    // Values the file gives as finite numbers can still leave the range of a double once
    // converted to millimetres, summed to levels or divided into ratios; the answer promises
    // finite values only.
    auto too_large = [](const std::string& what) {
        fail(what + " is too large: the file holds a value out of range");
    };
    for (const auto& [name, values] : C)
        for (std::size_t k = 0; k < values.size(); ++k)
            if (!std::isfinite(values[k]))
                too_large("value " + std::to_string(k + 1) + " of column '" + name + "'");
    for (const auto& [name, value] : H) {
        if (const auto* v = std::get_if<double>(&value); v && !std::isfinite(*v)) too_large("header '" + name + "'");
        if (const auto* v = std::get_if<std::vector<double>>(&value))
            for (double x : *v)
                if (!std::isfinite(x)) too_large("header '" + name + "'");
    }
    return out;
}

}  // namespace jobs

#include <gtest/gtest.h>

#include <charconv>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/broxml.hpp"
#include "jobs/error.hpp"

namespace {

std::string sample(const std::string& name) {
    const auto path = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "data" / "broxml" / name;
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::vector<double>& col(const jobs::GefCpt& r, const char* name) {
    const auto* c = r.column(name);
    if (!c) throw std::runtime_error(std::string("no column ") + name);
    return *c;
}

std::string text_header(const jobs::GefCpt& r, const char* name) { return std::get<std::string>(*r.header(name)); }

// A row of 25 values: penetration length, depth and qc given, fs 0.01 and Rf 1 %, the rest void.
std::string row(const std::string& length, const std::string& qc) {
    std::string out = length + "," + length + ",-999999," + qc;
    for (int column = 5; column <= 25; ++column)
        out += column == 19 ? ",0.01" : column == 25 ? ",1.0" : ",-999999";
    return out + ";";
}

// A small dispatch document in the registry's usual form; `rows` is the measurement block.
std::string document(const std::string& rows, const std::string& cone_type = "T-1",
                     const std::string& declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") {
    return declaration +
           "<dispatchDataResponse xmlns=\"http://www.broservices.nl/xsd/dscpt/1.1\"\n"
           " xmlns:brocom=\"http://www.broservices.nl/xsd/brocommon/3.0\"\n"
           " xmlns:cptcommon=\"http://www.broservices.nl/xsd/cptcommon/1.1\"\n"
           " xmlns:gml=\"http://www.opengis.net/gml/3.2\" xmlns:swe=\"http://www.opengis.net/swe/2.0\">\n"
           "<dispatchDocument><CPT_O>\n"
           "<brocom:broId>CPT000000000001</brocom:broId>\n"
           "<deliveredVerticalPosition><cptcommon:offset>-1.25</cptcommon:offset>"
           "<cptcommon:verticalDatum>NAP</cptcommon:verticalDatum></deliveredVerticalPosition>\n"
           "<conePenetrometerSurvey>\n"
           "<cptcommon:conePenetrometer><cptcommon:conePenetrometerType>" + cone_type +
           "</cptcommon:conePenetrometerType></cptcommon:conePenetrometer>\n"
           "<cptcommon:conePenetrationTest><cptcommon:cptResult>\n"
           "<swe:encoding><swe:TextEncoding decimalSeparator=\".\" tokenSeparator=\",\" blockSeparator=\";\"/></swe:encoding>\n"
           "<cptcommon:values>" + rows + "</cptcommon:values>\n"
           "</cptcommon:cptResult></cptcommon:conePenetrationTest>\n"
           "</conePenetrometerSurvey>\n"
           "</CPT_O></dispatchDocument></dispatchDataResponse>\n";
}

const std::string kRows = row("0.10", "1.5") + row("0.20", "2.5") + row("0.30", "3.5");

std::string refusal(const std::string& bytes) {
    try {
        jobs::parse_bro_xml(bytes);
    } catch (const jobs::JobError& e) {
        EXPECT_EQ(e.name(), jobs::kParsingError);
        return e.what();
    }
    ADD_FAILURE() << "no refusal";
    return "";
}

// The text as it arrives after GEFFile.from_file read the bytes as ISO-8859-1: every byte one
// character, sent as UTF-8.
std::string read_as_latin1(const std::string& bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

TEST(BroXml, SamplesGiveTheRegistryValues) {
    const auto cpt = jobs::parse_bro_xml(sample("CPT000000155283.xml"));
    EXPECT_EQ(text_header(cpt, "name"), "CPT000000155283");
    EXPECT_EQ(std::get<double>(*cpt.header("ground_level_wrt_reference")), 90.0);
    EXPECT_EQ(std::get<double>(*cpt.header("excavation_depth")), 500.0);
    EXPECT_EQ(std::get<std::vector<double>>(*cpt.header("x_y_coordinates")), (std::vector<double>{132782.52, 448030.34}));
    EXPECT_EQ(text_header(cpt, "coordinate_system"), "RD");
    // 305 rows; the first four and last five have no friction reading.
    EXPECT_EQ(col(cpt, "qc").size(), 296u);
    EXPECT_EQ(col(cpt, "penetration_length").front(), 580.0);
    EXPECT_EQ(col(cpt, "elevation").back(), 90.0 - 6480.0);
    const auto& length = col(cpt, "penetration_length");
    EXPECT_TRUE(std::is_sorted(length.begin(), length.end()));

    const auto example = jobs::parse_bro_xml(sample("example.xml"));
    EXPECT_EQ(text_header(example, "measurement_standard"), "ISO22476D1 / klasse2");
    EXPECT_EQ(col(example, "qc").front(), 2.708);  // the first row (L 0) is void throughout
    EXPECT_EQ(col(example, "corrected_depth").back(), 7339.0);
    EXPECT_NE(example.column("inclination_n_s"), nullptr);
    EXPECT_EQ(example.column("u2"), nullptr);  // flagged as not measured
}

TEST(BroXml, RecognisedByContent) {
    struct Case {
        std::string bytes;
        bool xml;
    };
    const std::vector<Case> cases = {
        {"<?xml version=\"1.0\"?><a/>", true},
        {" \r\n\t<a/>", true},
        {"\xEF\xBB\xBF<a/>", true},
        {"\xC3\xAF\xC2\xBB\xC2\xBF<a/>", true},  // a UTF-8 byte order mark read as ISO-8859-1
        {std::string("\xFF\xFE<\0a\0", 6), true},
        {"\xC3\xBF\xC3\xBE<", true},              // a UTF-16 one, read the same way
        {std::string("<\0?\0x\0", 6), true},
        {"#GEFID= 1, 1, 0\n", false},
        {"", false},
        {"   ", false},
        {std::string("\0\x01<", 3), false},
    };
    for (const auto& c : cases) EXPECT_EQ(jobs::is_xml_document(c.bytes), c.xml) << c.bytes;
}

TEST(BroXml, NumbersReadAsFromCharsDoes) {
    // Plain decimals take a shortcut; every spelling must still give from_chars's double.
    const std::vector<std::string> spellings = {
        "0.1",  "2.675",    "-0.000", "5.", ".5", "+0.25", "1e-3", "1.5E2", "0.30000000000000004",
        "123456789012345.6", "9007199254740993", "0.000000000000000000001", "7.4399999999999995", " 3.25 "};
    std::string rows;
    for (std::size_t k = 0; k < spellings.size(); ++k) rows += row(std::to_string(k + 1) + ".0", spellings[k]);
    const auto cpt = jobs::parse_bro_xml(document(rows));
    ASSERT_EQ(col(cpt, "qc").size(), spellings.size());
    for (std::size_t k = 0; k < spellings.size(); ++k) {
        std::string s(spellings[k]);
        s.erase(0, s.find_first_not_of(' '));
        s.erase(s.find_last_not_of(' ') + 1);
        if (s.front() == '+') s.erase(0, 1);
        double expected = 0.0;
        std::from_chars(s.data(), s.data() + s.size(), expected);
        EXPECT_EQ(col(cpt, "qc")[k], expected) << spellings[k];
        EXPECT_EQ(std::signbit(col(cpt, "qc")[k]), std::signbit(expected)) << spellings[k];
    }
}

TEST(BroXml, NumbersIgnoreTheCLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "nl_NL.utf8")) GTEST_SKIP() << "no nl_NL.utf8 locale (decimal comma)";
    const auto in_dutch = jobs::parse_bro_xml(sample("example.xml"));
    std::setlocale(LC_ALL, before.c_str());
    const auto in_c = jobs::parse_bro_xml(sample("example.xml"));
    EXPECT_EQ(col(in_dutch, "qc"), col(in_c, "qc"));
    EXPECT_EQ(col(in_dutch, "elevation"), col(in_c, "elevation"));
}

TEST(BroXml, TextReadAsLatin1IsRecovered) {
    const std::string cone = "Sonde \xC3\xAB\xC2\xB0 \xE2\x82\xAC";  // "Sonde ë° €" in UTF-8
    const std::string utf8 = document(kRows, cone);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(utf8), "cone_type"), cone);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(read_as_latin1(utf8)), "cone_type"), cone);
    const std::string declared = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n";
    const std::string cp1252 = document(kRows, "Sonde \xEB\xB0 \x80", declared);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(cp1252), "cone_type"), cone);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(read_as_latin1(cp1252)), "cone_type"), cone);
}

TEST(BroXml, Refusals) {
    EXPECT_EQ(refusal(document(kRows).replace(document(kRows).find("</brocom:broId>"), 15, "</brocom:brold>")),
              "line 7: malformed XML (start-end tags mismatch)");
    const std::string two = document(kRows).replace(document(kRows).find("</dispatchDocument>"), 0,
                                                    "<CPT_O/><CPT_O/>");
    EXPECT_EQ(refusal(two), "the document holds 3 CPTs (CPT_O elements), but one CPT is read at a time: send each "
                            "in a document of its own");
    EXPECT_EQ(refusal(document(row("0.1", "1.0") + "0.2,0.2;")),
              "line 13: row 2 of the measurements holds 2 values, but a CPT result row has 25");
    EXPECT_EQ(refusal(document(row("0.1", "-999999.000"))),
              "the CPT has no cone resistance: column 4 (coneResistance) of the measurements holds no value");
    EXPECT_EQ(refusal("<a>"), "line 1: malformed XML (start-end tags mismatch)");
}

TEST(BroXml, EntitiesStayUnexpanded) {
    const std::string doctype =
        "<!DOCTYPE dispatchDataResponse [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY file SYSTEM \"file:///etc/passwd\">]>\n";
    std::string text = document(kRows, "&b;&file;&lt;&#x41;", "<?xml version=\"1.0\"?>\n" + doctype);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(text), "cone_type"), "&b;&file;<A");
}

TEST(BroXml, DeepNestingNeedsNoStack) {
    // Far deeper than any call stack could follow: the walk over the tree is iterative.
    const std::size_t depth = 2'000'000;
    std::string nested;
    nested.reserve(depth * 7);
    for (std::size_t k = 0; k < depth; ++k) nested += "<x>";
    for (std::size_t k = 0; k < depth; ++k) nested += "</x>";
    std::string text = document(kRows);
    text.insert(text.find("<brocom:broId>"), nested);
    EXPECT_EQ(text_header(jobs::parse_bro_xml(text), "name"), "CPT000000000001");
}

}  // namespace

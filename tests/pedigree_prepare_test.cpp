// Preparing a pedigree with text identifiers: the faults, each alone and
// together; the order and the added parents; the file syntax; and a
// generated herd in shuffled order against the order rule worked out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kit/herd.hpp"
#include "io/pedigree_ids.hpp"
#include "pedigree/prepare.hpp"

namespace gw {
namespace {

std::string hex64(std::uint64_t x) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(x));
  return buf;
}

struct Prepared {
  MessageList faults, warnings;
  PreparedPedigree ped;
  std::string records, ids;
};

Prepared prepare(const std::string& text, bool header = false, std::optional<int> traits = std::nullopt) {
  Prepared p;
  const PedigreeSource source{"herd.txt", text, header, traits};
  const IdentifierPedigree identified = read_identifier_pedigree(source, p.faults, p.warnings);
  p.ped = order_pedigree(identified, p.faults);
  if (p.faults.empty()) {
    p.records = pedigree_record_text(p.ped);
    p.ids = pedigree_ids_text(p.ped, p.records);
  }
  return p;
}

struct FaultCase {
  const char* name;
  std::string text;
  std::optional<int> traits;
  // One entry per fault, in the order reported: fragments its text holds.
  std::vector<std::vector<std::string>> faults;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, AreEachReportedWithTheirIdentifiersAndLines) {
  const FaultCase& c = GetParam();
  const Prepared p = prepare(c.text, false, c.traits);
  ASSERT_EQ(p.faults.total(), static_cast<std::int64_t>(c.faults.size())) << p.faults.report("more");
  for (std::size_t i = 0; i < c.faults.size(); ++i)
    for (const std::string& fragment : c.faults[i])
      EXPECT_NE(p.faults.shown()[i].find(fragment), std::string::npos)
          << "fault " << i << ": " << p.faults.shown()[i] << "\nlacks: " << fragment;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    ::testing::Values(
        FaultCase{"same_animal_other_fields",
                  "A 0 0 1 1\nB A 0 0 2\nA 0 0 0 1\n",
                  {},
                  {{"herd.txt line 3: animal A has a line already, line 1,", "field 4, candidate flag: \"0\" here, \"1\" there"}}},
        FaultCase{"own_sire", "A A 0 1 1\n", {}, {{"herd.txt line 1: animal A is given as its own sire;"}}},
        FaultCase{"own_sire_and_dam", "B 0 0 1 1\nA A A 1 1\n", {}, {{"line 2: animal A is given as its own sire and dam"}}},
        FaultCase{"loop_of_three",
                  "A B 0 1 1\nB C 0 1 1\nC A 0 1 1\nD A 0 1 1\n",
                  {},
                  {{"herd.txt lines 1, 3, 2: a loop in the pedigree, A -> C -> B -> A (each a parent of the next), so A is "
                    "its own ancestor; correct"}}},
        // B and C are both sire and dam's offspring of A and its parents:
        // one group, one loop shown, the other member named.
        FaultCase{"two_loops_through_one_animal",
                  "A B C 1 1\nB A 0 1 1\nC A 0 1 1\n",
                  {},
                  {{"lines 1, 2: a loop in the pedigree, A -> B -> A", "1 more in loops with these animals: C (line 3)"}}},
        FaultCase{"two_separate_loops",
                  "P Q 0 1 1\nQ P 0 1 1\nR S 0 1 1\nS R 0 1 1\n",
                  {},
                  {{"P -> Q -> P"}, {"R -> S -> R"}}},
        FaultCase{"sire_and_dam",
                  "S 0 0 0 1\nX S 0 0 1\nY 0 S 0 1\nZ S 0 0 1\n",
                  {},
                  {{"herd.txt: S is used as a sire (line 2, offspring X) and as a dam (line 3, offspring Y)"}}},
        FaultCase{"sire_and_dam_of_one_offspring", "X S S 0 1\n", {}, {{"S is used as both sire and dam of X (line 1)"}}},
        FaultCase{"field_count_differs",
                  "A 0 0 1 1 1\nB 0 0 1 1\nC 0 0 1 1 1 1\n",
                  {},
                  {{"line 2: 5 fields, but the first data line (line 1) has 6"}, {"line 3: 7 fields"}}},
        FaultCase{"field_count_against_parameter_file",
                  "A 0 0 1 1 1\n",
                  2,
                  {{"line 1: 6 fields, but GParameter.csv has 2 traits, so every line needs 7", "or GParameter.csv"}}},
        FaultCase{"too_few_fields", "A 0 0 1\n", {}, {{"line 1: 4 fields, but a line needs at least 5"}}},
        FaultCase{"flags_not_integers",
                  "A 0 0 1 1\nB 0 0 x 1.5\nC 0 0 1 2147483648\n",
                  {},
                  {{"line 2: field 4 (candidate flag) \"x\" is not an integer (animal B)"},
                   {"line 2: field 5 (group flag) \"1.5\" is not an integer"},
                   {"line 3: field 5 (group flag) \"2147483648\" is outside the range of a 32-bit integer"}}},
        FaultCase{"record_flag_and_header_hint",
                  "id sire dam cand group t1\nA 0 0 1 1 y\n",
                  {},
                  {{"line 1: field 4 (candidate flag) \"cand\"", "prepare with --header"},
                   {"field 5 (group flag)"},
                   {"line 1: field 6 (record flag of trait 1) \"t1\"", "; the same on 1 more line: 2"}}},
        FaultCase{"unknown_codes_as_identifiers",
                  "NA 0 0 1 1\n,0,0,1,1\n* 0 0 1 1\n0 0 0 1 1\n. 0 0 1 1\n",
                  {},
                  {{"line 1: the identifier \"NA\" stands for an unknown parent"},
                   {"line 2: the identifier \"\""},
                   {"line 3: the identifier \"*\""},
                   {"line 4: the identifier \"0\""},
                   {"line 5: the identifier \".\""}}},
        FaultCase{"quoted_identifiers",
                  "\"A\",\"\",\"\",1,1\nB A \"0\" 1 1\n",
                  {},
                  {{"line 1: field 1 (identifier) \"A\" holds a double quote"},
                   {"line 1: field 2 (sire) \"\""},
                   {"line 1: field 3 (dam)", "; the same on 1 more line: 2"}}},
        FaultCase{"no_animal", "# nothing\n\n  \n", {}, {{"herd.txt: no animal line"}}},
        // Every kind in one file: each reported, line faults in line order,
        // then the parents used both ways, then the loops.
        FaultCase{"all_together",
                  "A B 0 1 1\nB A 0 1 1\nC C 0 1 1\nD 0 0 1\nE 0 0 q 1\nA B 0 2 1\nNA 0 0 1 1\nF S 0 1 1\nG 0 S 1 1\n",
                  {},
                  {{"line 3: animal C is given as its own sire"},
                   {"line 4: 4 fields"},
                   {"line 5: field 4"},
                   {"line 6: animal A has a line already, line 1"},
                   {"line 7: the identifier \"NA\""},
                   {"S is used as a sire (line 8, offspring F) and as a dam (line 9, offspring G)"},
                   {"A -> B -> A"}}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(Faults, FiftyAreShownAndTheRestCounted) {
  std::string text;
  for (int k = 0; k < 60; ++k) {
    text += 'A';
    text += std::to_string(k);
    text += " A";
    text += std::to_string(k);
    text += " 0 1 1\n";
  }
  const Prepared p = prepare(text);
  EXPECT_EQ(p.faults.total(), 60);
  ASSERT_EQ(p.faults.shown().size(), 50u);
  EXPECT_NE(p.faults.shown()[49].find("line 50:"), std::string::npos);
  const std::string report = p.faults.report("faults in herd.txt");
  EXPECT_EQ(report.substr(report.rfind('\n') + 1), "10 more faults in herd.txt");
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 50);
}

// The order rule: generation, then first appearance, an added parent where
// it is first named (sire before dam); added parents get zeros. The flags
// are copied as they stand.
TEST(Order, GenerationThenFirstAppearanceWithAddedParents) {
  const Prepared p = prepare(
      "K7 BOAR9 SOW3 1 1 1 -1\n"
      "SOW3 BOAR2 SOW1 0 2 +1 1\n"
      "BOAR9 0 NA 0 1 1 0\n"
      "X1 K7 SOW3 1 2 1 1\n"
      "Y2 K7 SOW8 1 2 2 1\n");
  ASSERT_TRUE(p.faults.empty()) << p.faults.report("more");
  EXPECT_EQ(p.records,
            "1,0,0,0,0,0,0\n"    // BOAR2, named on line 2 as a sire
            "2,0,0,0,0,0,0\n"    // SOW1, named there as a dam
            "3,0,0,0,1,1,0\n"    // BOAR9, own line 3
            "4,0,0,0,0,0,0\n"    // SOW8, named on line 5
            "5,1,2,0,2,+1,1\n"   // SOW3: generation 1
            "6,3,5,1,1,1,-1\n"   // K7: 2
            "7,6,5,1,2,1,1\n"    // X1: 3, line 4
            "8,6,4,1,2,2,1\n");  // Y2: 3, line 5
  // The last column: the animal's line in the source, none for an added
  // parent.
  EXPECT_EQ(p.ids, "line,id,added,source_line\n0,fingerprint of Pedigree&Record.csv (8 lines): " +
                       hex64(fnv1a64(p.records)) +
                       ",,\n1,BOAR2,1,\n2,SOW1,1,\n3,BOAR9,0,3\n4,SOW8,1,\n5,SOW3,0,2\n6,K7,0,1\n7,X1,0,4\n8,Y2,0,5\n");
  EXPECT_EQ(p.ped.animals_read, 5);
  EXPECT_EQ(p.ped.added(), 3);
  EXPECT_EQ(p.ped.generations, 4);
  EXPECT_EQ(p.ped.candidates[0], 1);
  EXPECT_EQ(p.ped.candidates[1], 2);
  EXPECT_EQ(p.ped.records, (std::vector<std::int64_t>{4, 3}));
}

// The same pedigree in other spellings gives the same files.
TEST(Syntax, SeparatorsLineEndsCommentsAndHeader) {
  const std::string plain = "B 0 0 0 1 1\nA B 0 1 2 1\nC B A 1 1 0\n";
  const Prepared reference = prepare(plain);
  ASSERT_TRUE(reference.faults.empty());
  EXPECT_EQ(reference.records, "1,0,0,0,1,1\n2,1,0,1,2,1\n3,1,2,1,1,0\n");
  struct Variant {
    const char* name;
    std::string text;
    bool header;
  };
  // The same animals in the same order; only their source lines differ.
  const auto without_source_lines = [](const std::string& ids) {
    std::string out;
    std::istringstream in(ids);
    for (std::string line; std::getline(in, line);) out += line.substr(0, line.rfind(',')) + "\n";
    return out;
  };
  const Variant variants[] = {
      {"commas", "B,0,0,0,1,1\nA,B,,1,2,1\nC,B,A,1,1,0\n", false},
      {"commas_with_blanks_and_tabs", "B , NA ,\t.\t,0,1,1\n  A\t\tB ,  , 1 2 1,\nC,B,A,1,1,0", false},
      {"crlf_comments_blank_lines", "# herd\r\nB 0 0 0 1 1\r\n\r\n   \t\r\nA B * 1 2 1\r\n  # gilt\r\nC B A 1 1 0\r\n", false},
      {"header", "animal sire dam candidate group trait\n" + plain, true},
      {"header_that_looks_like_a_comment", "# animal sire dam\n" + plain, true},
      {"identical_repeat", plain + "A,B,NA,1,2,1\n", false},
  };
  for (const Variant& v : variants) {
    const Prepared p = prepare(v.text, v.header);
    EXPECT_TRUE(p.faults.empty()) << v.name << ": " << p.faults.report("more");
    EXPECT_EQ(p.records, reference.records) << v.name;
    EXPECT_EQ(without_source_lines(p.ids), without_source_lines(reference.ids)) << v.name;
  }
  EXPECT_NE(prepare(variants[2].text).ids.find("\n1,B,0,2\n2,A,0,5\n3,C,0,7\n"), std::string::npos)
      << "source lines count comments and blank lines";
  const Prepared repeated = prepare(plain + "A,B,NA,1,2,1\n");
  ASSERT_EQ(repeated.warnings.total(), 1);
  EXPECT_EQ(repeated.warnings.shown()[0], "herd.txt line 4 repeats line 2 (animal A); the repeat is ignored");
  EXPECT_EQ(repeated.ped.repeated_lines, 1);
}

// A generated herd with text identifiers, its lines shuffled and a few
// founders left out: the files keep every animal's parents, and the order
// follows the rule as worked out here from the source text.
TEST(Order, ShuffledHerdAgainstTheRule) {
  herd::Shape shape;
  shape.animals = 3000;
  shape.generations = 8;
  std::mt19937_64 rng(7);
  const std::vector<herd::Animal> animals = herd::animals(shape, rng);
  const auto tag = [](int k) { return k < 0 ? std::string("NA") : "DE" + std::to_string(1000003LL * (k + 1) % 9999991); };
  const std::vector<bool> is_parent = herd::parents(animals);
  std::vector<int> lines;  // some parents without known parents of their own are left out
  for (int k = 0; k < static_cast<int>(animals.size()); ++k) {
    const herd::Animal& a = animals[static_cast<std::size_t>(k)];
    if (k % 13 != 5 || a.sire >= 0 || a.dam >= 0 || !is_parent[static_cast<std::size_t>(k)]) lines.push_back(k);
  }
  std::shuffle(lines.begin(), lines.end(), rng);
  const std::string text = herd::tagged_pedigree_file(animals, lines, tag, ',');
  const Prepared p = prepare(text, false, shape.traits);
  ASSERT_TRUE(p.faults.empty()) << p.faults.report("more");
  EXPECT_EQ(p.ped.lines(), static_cast<std::int64_t>(animals.size()));
  EXPECT_EQ(p.ped.added(), static_cast<std::int64_t>(animals.size() - lines.size()));

  // First appearance: own line (slot 0), else first naming as sire (1) or
  // dam (2); line index times 3 plus the slot.
  std::map<std::string, std::int64_t> own, named;
  std::map<std::string, std::pair<std::string, std::string>> parents;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const herd::Animal& a = animals[static_cast<std::size_t>(lines[i])];
    own[tag(lines[i])] = static_cast<std::int64_t>(3 * i);
    parents[tag(lines[i])] = {tag(a.sire), tag(a.dam)};
    if (a.sire >= 0) named.try_emplace(tag(a.sire), 3 * i + 1);
    if (a.dam >= 0) named.try_emplace(tag(a.dam), 3 * i + 2);
  }
  std::vector<int> gen(static_cast<std::size_t>(p.ped.lines()));
  std::pair<int, std::int64_t> previous{-1, -1};
  for (std::size_t k = 0; k < gen.size(); ++k) {
    const std::string id(p.ped.ids[k]);
    const std::int32_t s = p.ped.id1[k], d = p.ped.id2[k];
    ASSERT_LE(s, static_cast<std::int32_t>(k));
    ASSERT_LE(d, static_cast<std::int32_t>(k));
    const auto it = parents.find(id);
    if (it == parents.end()) {
      EXPECT_EQ(s + d, 0) << id;
    } else {
      EXPECT_EQ(s == 0 ? "NA" : std::string(p.ped.ids[static_cast<std::size_t>(s - 1)]), it->second.first) << id;
      EXPECT_EQ(d == 0 ? "NA" : std::string(p.ped.ids[static_cast<std::size_t>(d - 1)]), it->second.second) << id;
    }
    gen[k] = std::max(s ? gen[static_cast<std::size_t>(s - 1)] + 1 : 0, d ? gen[static_cast<std::size_t>(d - 1)] + 1 : 0);
    const std::pair<int, std::int64_t> key{gen[k], own.count(id) ? own[id] : named.at(id)};
    ASSERT_LT(previous, key) << "line " << k + 1 << " " << id;
    previous = key;
  }
  EXPECT_EQ(p.ped.generations, shape.generations);
}

struct TrapCase {
  const char* name;
  std::string text;
  bool header = false;
  std::optional<int> traits;
  std::vector<std::string> warnings;  // a fragment of each warning, in order
  std::string records = {};           // the pedigree file, when it is to be checked
  std::vector<std::vector<std::string>> faults = {};  // fragments of each fault
};

void PrintTo(const TrapCase& c, std::ostream* os) { *os << c.name; }

class Traps : public ::testing::TestWithParam<TrapCase> {};

// What spreadsheets and careless hands make of a pedigree: each trap gets
// its warning (or, used as sire and dam, its fault with a hint), and where
// the file can be read as meant, it is.
TEST_P(Traps, EachGetsItsWarning) {
  const TrapCase& c = GetParam();
  const Prepared p = prepare(c.text, c.header, c.traits);
  ASSERT_EQ(p.faults.total(), static_cast<std::int64_t>(c.faults.size())) << p.faults.report("more");
  for (std::size_t i = 0; i < c.faults.size(); ++i)
    for (const std::string& fragment : c.faults[i])
      EXPECT_NE(p.faults.shown()[i].find(fragment), std::string::npos) << p.faults.shown()[i];
  ASSERT_EQ(p.warnings.total(), static_cast<std::int64_t>(c.warnings.size())) << p.warnings.report("more");
  for (std::size_t i = 0; i < c.warnings.size(); ++i)
    EXPECT_NE(p.warnings.shown()[i].find(c.warnings[i]), std::string::npos)
        << "warning " << i << ": " << p.warnings.shown()[i] << "\nlacks: " << c.warnings[i];
  if (!c.records.empty()) {
    EXPECT_EQ(p.records, c.records);
  }
}

std::string many_offspring_of(const std::string& dam, int n) {
  std::string text = "S1 0 0 0 1 1\n";
  for (int k = 0; k < n; ++k) {
    text += 'K';
    text += std::to_string(k);
    text += " S1 " + dam + " 1 2 1\n";
  }
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Traps,
    ::testing::Values(
        // On a cattle pedigree, dams coded "-" became one dam of 2 619 animals.
        TrapCase{"dash_as_the_unknown_dam",
                 "A 0 - 1 1 1\nB 0 - 1 2 1\nC A - 0 2 1\n",
                 false,
                 {},
                 {"herd.txt: the dam \"-\" of 3 animals (first on line 1, A) looks like a code for an unknown parent, "
                  "but only 0, NA, ., * and an empty field are: it is taken as one animal"}},
        TrapCase{"codes_that_look_unknown",
                 "A ? na 1 1 1\nB N/A NULL 1 1 1\nC 00 none 1 2 1\nD unknown MISSING 1 2 1\nE 0 0 1 1 1\n",
                 false,
                 {},
                 {"sire \"?\"", "dam \"na\"", "sire \"N/A\"", "dam \"NULL\"", "sire \"00\"", "dam \"none\"",
                  "sire \"unknown\"", "dam \"MISSING\""}},
        TrapCase{"a_code_in_both_columns",
                 "A - 0 1 1 1\nB 0 - 1 2 1\n",
                 false,
                 {},
                 {},
                 "",
                 {{"herd.txt: - is used as a sire (line 1, offspring A) and as a dam (line 2, offspring B); \"-\" "
                   "looks like a code for an unknown parent"}}},
        TrapCase{"a_dam_of_more_offspring_than_a_dam_can_have",
                 many_offspring_of("D7", 201),
                 false,
                 {},
                 {"herd.txt: the dam \"D7\" of 201 animals (first on line 2, K0) has more offspring than a dam can "
                  "have (200); it has no line of its own and is added as a founder"}},
        TrapCase{"two_hundred_offspring_are_fine", many_offspring_of("D7", 200), false, {}, {}},
        // A no-break space after an identifier made another animal.
        TrapCase{"blanks_that_are_not_ascii",
                 "A\xC2\xA0 0 0 1 1 1\nB A 0 1 2 1\nC \xE3\x80\x80" "A \xE2\x80\xAF" "B\xE2\x80\x8B 0 2 1\n",
                 false,
                 {},
                 {"herd.txt: 3 fields had blanks that are not ASCII (such as the no-break space U+00A0) at an end, "
                  "first on line 1 (field 1, \"A\")"},
                 "1,0,0,1,1,1\n2,1,0,1,2,1\n3,1,2,0,2,1\n"},
        // An animal whose identifier starts with # came back as a founder.
        TrapCase{"an_animal_line_that_starts_with_a_hash",
                 "# herd of 2024\n#B7 0 0 1 1 1\nC #B7 0 1 2 1\n#D8 0 0 1 1 1\n",
                 false,
                 {},
                 {"herd.txt line 2 starts with # and is skipped as a comment, but it reads as an animal line (\"#B7 0 "
                  "0 1 1 1\"); #B7 is named as a parent (line 3) and so added as a founder without the fields of this "
                  "line; if it is an animal, give it an identifier that does not start with #; the same on 1 more "
                  "line: 4"}},
        TrapCase{"a_header_that_is_an_animal_line",
                 "A 0 0 1 1 1\nB A 0 1 2 1\n",
                 true,
                 {},
                 {"herd.txt line 1 is skipped as the header (--header), but it reads as an animal line (\"A 0 0 1 1 "
                  "1\"); A is named as a parent (line 2) and so added as a founder without the fields of this line; "
                  "prepare without --header"}},
        TrapCase{"a_header_that_is_one", "animal sire dam cand group t1\nA 0 0 1 1 1\n", true, {}, {}},
        // A tab-separated export: an empty cell stays an empty field.
        TrapCase{"empty_cells_between_tabs",
                 "A\t\t\t1\t1\t1\nB\tA\t\t1\t2\t1\nC\tA\tB\t0\t2\t\n",
                 false,
                 {},
                 {},
                 "",
                 {{"herd.txt line 3: field 6 (record flag of trait 1) \"\" is not an integer"}}},
        TrapCase{"tab_separated", "A\t\t\t1\t1\t1\nB\tA\t\t1\t2\t1\n", false, {}, {}, "1,0,0,1,1,1\n2,1,0,1,2,1\n"},
        // Litter sizes in the candidate field; group flags 1 and 2 are fine.
        TrapCase{"flags_other_than_0_and_1",
                 "A 0 0 12 1 1\nB 0 0 14 2 -1\nC 0 0 12 3 1\nD 0 0 0 0 0\n",
                 false,
                 {},
                 {"herd.txt: field 4 (candidate flag) is 12, 14, ... on 3 lines (first on line 1), not 0 or 1: only 1 "
                  "means yes, every other value no",
                  "herd.txt: field 5 (group flag) is 3 on 1 line (first on line 3), not 1 or 2: every value other "
                  "than 1 means group 2",
                  "herd.txt: field 6 (record flag of trait 1) is -1 on 1 line (first on line 2)"}},
        TrapCase{"a_trait_without_records",
                 "A 0 0 1 1 1 0\nB 0 0 1 2 1 0\n",
                 false,
                 2,
                 {"herd.txt: no animal has a record of trait 2 (field 7 is 1 on no line)"}},
        // The default CSV of many spreadsheets.
        TrapCase{"semicolons", "A;0;0;1;1;1\nB;A;;1;2;1\n", false, {}, {}, "1,0,0,1,1,1\n2,1,0,1,2,1\n"},
        // A fault of one kind on every line is reported once, with a count.
        TrapCase{"the_same_fault_on_every_line",
                 "A|0|0|1|1|1\nB|0|0|1|2|1\nC|0|0|1|1|1\n",
                 false,
                 4,
                 {},
                 "",
                 {{"herd.txt line 1: 1 fields, but GParameter.csv has 4 traits, so every line needs 9",
                   "(the fields are separated by commas, semicolons, blanks or tabs); the same on 2 more lines: 2, "
                   "3"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The summary names the added parents (ten, then a count), the separator,
// the comment lines skipped, at most twenty traits' records one a line.
TEST(Summary, NamesAddedParentsAndBoundsTheTraitLines) {
  std::string text = "# comment\n";
  for (int k = 0; k < 12; ++k) {
    const std::string n = std::to_string(k);
    text += 'A';
    text += n;
    text += ";P";
    text += n;
    text += ";;1;1;1\n";
  }
  Prepared p = prepare(text);
  ASSERT_TRUE(p.faults.empty()) << p.faults.report("more");
  std::string summary = prepare_summary(p.ped, std::vector<double>(static_cast<std::size_t>(p.ped.lines()), 0.0));
  EXPECT_NE(summary.find("Animals read:     12 (herd.txt; fields separated by semicolons; 1 comment line skipped)\n"
                         "Parents added:    12 (no line of their own; added as founders): P0, P1, P2, P3, P4, P5, P6, "
                         "P7, P8, P9 and 2 more\n"),
            std::string::npos)
      << summary;

  std::string wide = "A 0 0 1 1";
  for (int t = 0; t < 30; ++t) wide += t % 3 ? " 0" : " 1";
  p = prepare(wide + "\n");
  ASSERT_TRUE(p.faults.empty());
  summary = prepare_summary(p.ped, std::vector<double>(1, 0.0));
  EXPECT_NE(summary.find("Records trait 20: 0\nRecords traits 21 to 30: 3 in all\nInbred animals:"), std::string::npos)
      << summary;
  EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 4 + 21 + 1);
}

}  // namespace
}  // namespace gw

// The pedigree ids file's fingerprint and the identifiers as CSV fields.
#include <gtest/gtest.h>

#include <string>

#include "io/pedigree_ids.hpp"

namespace gw {
namespace {

// The published test values of the 64-bit FNV-1a checksum.
TEST(PedigreeIds, FingerprintIsTheFnv1a64Checksum) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ULL);
  EXPECT_EQ(pedigree_fingerprint("a"), "fingerprint of Pedigree&Record.csv (1 line): af63dc4c8601ec8c");
  EXPECT_NE(pedigree_fingerprint("1,0,0,1,1,1\n2,1,0,1,1,1\n"), pedigree_fingerprint("1,0,0,1,1,1\n2,0,1,1,1,1\n"));
  EXPECT_EQ(pedigree_fingerprint("").rfind("fingerprint of Pedigree&Record.csv (0 lines): cbf29ce484222325", 0), 0u);
}

// A field that a spreadsheet would take for a formula gets an apostrophe,
// plain whole numbers do not, and dropping one apostrophe gives the
// identifier back.
TEST(PedigreeIds, IdentifiersAreSafeInASpreadsheetAndComeBack) {
  struct Case {
    std::string id, field;
  };
  const Case cases[] = {{"DE0912", "DE0912"},   {"=HYPERLINK(x)", "'=HYPERLINK(x)"}, {"+49", "+49"},
                        {"-7", "-7"},           {"-B12", "'-B12"},                   {"+1+1", "'+1+1"},
                        {"@SUM(A1)", "'@SUM(A1)"}, {"'quoted", "''quoted"},         {"a,b", "\"a,b\""},
                        {"=a,b", "\"'=a,b\""}};
  for (const Case& c : cases) {
    std::string out;
    append_identifier(out, c.id);
    EXPECT_EQ(out, c.field) << c.id;
    if (out.front() != '"') {
      EXPECT_EQ(identifier_from_field(out), c.id) << c.id;
    }
  }
}

}  // namespace
}  // namespace gw

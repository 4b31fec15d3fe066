// Loading: files, gzip, format detection, hostile bytes and line ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdb_records.hpp"

namespace tarvo {
namespace {

// ---- Files and compression

TEST(LoadFile, ReadsRealPdbInFileOrder) {
  auto s = load_structure(examples("2GTP_native.pdb"), {}, false, 0);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->id, examples("2GTP_native.pdb"));
  EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"A", "B"}));
  for (const auto& [id, chain] : s->chains) {
    EXPECT_EQ(chain.sequence.size(), chain.residues.size()) << id;
    EXPECT_FALSE(chain.het_name);
  }
}

TEST(LoadFile, ReadsGzipByNameAndChainSubset) {
  const std::vector<std::string> wanted{"C", "A"};
  auto s = load_structure(examples("homo24_native.pdb.gz"), wanted, false, 0);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(s->chain("A")->residues.size(), 115u);
  EXPECT_EQ(s->chain("A")->sequence, s->chain("C")->sequence);
}

TEST(LoadFile, MissingFileAndDirectoryAreIoErrors) {
  auto missing = load_structure("/nonexistent/x.pdb", {}, false, 0);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(missing.error().message().starts_with("I/O error reading /nonexistent/x.pdb: "));
  auto directory = load_structure(TARVO_EXAMPLES_DIR, {}, false, 0);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().kind(), ErrorKind::Io);
}

TEST(Gzip, CompressedBytesAreRecognisedWhateverTheName) {
  const std::string text = lines({Rec{}.line()});
  EXPECT_EQ(atom_count(load_ok(gzip(text))), 1u);
  EXPECT_EQ(atom_count(load_ok(gzip(text), {.path = "x.pdb.gz"})), 1u);
}

TEST(Gzip, OnlyTheFirstMemberIsRead) {
  const std::string first = lines({atom('A', "   1").line()});
  const std::string second = lines({atom('B', "   1").line()});
  const Structure s = load_ok(gzip(first) + gzip(second) + "trailing junk");
  EXPECT_EQ(s.chain_ids(), (std::vector<std::string>{"A"}));
}

TEST(Gzip, LargeRatioGrowsTheOutput) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += atom('A', "   1", " CA ").line() + "\n";
  text += std::string(4 << 20, ' ') + "\n";
  EXPECT_EQ(atom_count(load_ok(gzip(text))), 1u);
}

struct BadGzipCase {
  const char* what;
  std::string bytes;
  std::string path;
};

class BadGzip : public testing::TestWithParam<BadGzipCase> {};

TEST_P(BadGzip, IsAnIoError) {
  auto s = load(GetParam().bytes, {.path = GetParam().path});
  ASSERT_FALSE(s) << GetParam().what;
  EXPECT_EQ(s.error().kind(), ErrorKind::Io) << s.error().message();
  EXPECT_TRUE(s.error().message().starts_with("I/O error reading " + GetParam().path + ": "));
}

std::string corrupted_gzip() {
  std::string z = gzip(lines({Rec{}.line(), Rec{}.line()}));
  for (std::size_t i = 12; i < z.size() - 8; ++i) z[i] = static_cast<char>(z[i] ^ 0x5A);
  return z;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadGzip,
    testing::Values(BadGzipCase{"plain text named .gz", lines({Rec{}.line()}), "x.pdb.gz"},
                    BadGzipCase{"empty .gz", "", "x.pdb.gz"},
                    BadGzipCase{"magic bytes only", "\x1F\x8B", "x.pdb"},
                    BadGzipCase{"truncated", gzip(lines({Rec{}.line()})).substr(0, 30), "x.pdb"},
                    BadGzipCase{"corrupt deflate data", corrupted_gzip(), "x.pdb"}));

// ---- Format detection and hostile bytes

struct HostileCase {
  const char* what;
  std::string bytes;
};

class UnknownFormat : public testing::TestWithParam<HostileCase> {};

TEST_P(UnknownFormat, ReportsTheFixedDetail) { EXPECT_EQ(error_of(GetParam().bytes), kUnknown); }

INSTANTIATE_TEST_SUITE_P(
    Inputs, UnknownFormat,
    testing::Values(HostileCase{"empty", ""}, HostileCase{"blank lines", "\n\n  \n"},
                    HostileCase{"header only", "HEADER    x\nREMARK 1\nTER\nEND\n"},
                    HostileCase{"binary", std::string("\x00\xFF\xFE\x01\x80\x1F", 6)},
                    HostileCase{"NUL bytes", std::string(1000, '\0')},
                    HostileCase{"record split by invalid UTF-8", "ATOM\xC3\xA9 1 CA\n"},
                    HostileCase{"lowercase record", "atom      1  CA  ALA A   1\n"},
                    HostileCase{"long garbage line", std::string(1'000'000, 'x')}));

TEST(FormatDetection, AtomAfterEndStillMakesPdb) {
  // The reader stops at END, so no model is read, but the text is PDB.
  EXPECT_EQ(error_of(lines({"END", Rec{}.line()})),
            "model index 0 out of range (structure has 0 model(s))");
}

TEST(HostileBytes, NulBytesAndInvalidUtf8AroundRecordsAreHarmless) {
  const std::string text = std::string("REMARK \0\xFF\xFE\xC3\n", 12) + Rec{}.line() + "\n\xF0\x9F\n";
  EXPECT_EQ(atom_count(load_ok(text)), 1u);
}

TEST(HostileBytes, MillionCharacterRecordIsCutAtItsColumns) {
  const Structure s = load_ok(Rec{}.line() + std::string(1'000'000, '7') + "\n");
  EXPECT_EQ(atom_count(s), 1u);
}

TEST(HostileBytes, InvalidUtf8ShiftsColumnsAfterReplacement) {
  // "\xFF" becomes the three bytes of U+FFFD, moving the later columns right.
  Rec r;
  r.residue = "A\xFF" "A";
  EXPECT_EQ(error_of(r.line()), "failed to parse structure t.pdb: invalid residue sequence number \"A\"");
}

TEST(HostileBytes, ColumnSplittingACharacterReadsAsEmpty) {
  // "é" spans columns 20-21: the residue name columns 18-20 cut it and read as empty.
  Rec r;
  r.residue = "AL\xC3";
  const std::string line = r.line();
  const std::string fixed = line.substr(0, 20) + "\xA9" + line.substr(21);
  const Structure s = load_ok(fixed);
  EXPECT_EQ(s.chain("A")->residues[0].name, "");
}

TEST(HostileBytes, ChainByteIsTakenAsCharacterCode) {
  // "©" is C2 A9: column 21 holds C2, column 22 holds A9, read as U+00A9.
  Rec r;
  const std::string line = r.line();
  const std::string text = line.substr(0, 20) + "\xC2\xA9" + line.substr(22);
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"\xC2\xA9"}));
}

// ---- Line ends

TEST(LineEnds, CrlfAndRepeatedCarriageReturnsAreRemoved) {
  const std::string text = atom('A', "   1").line() + "\r\n" + atom('A', "   2").line() + "\r\r\r\n" +
                           atom('A', "   3").line() + "\r";
  EXPECT_EQ(load_ok(text).chain("A")->residues.size(), 3u);
}

TEST(LineEnds, LoneCarriageReturnDoesNotSplitLines) {
  const std::string text = atom('A', "   1").line() + "\r" + atom('B', "   2").line() + "\n";
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A"}));
}

TEST(LineEnds, RecordWithoutFinalNewlineIsRead) {
  EXPECT_EQ(atom_count(load_ok(Rec{}.line())), 1u);
}

}  // namespace
}  // namespace tarvo

// Loading: files, gzip, format detection, hostile bytes and line ends.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
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

// ---- Gzip members: every one is read, as zcat does

const std::string kTwoChains = lines({atom('A', "   1").line(), atom('B', "   1").line()});

struct MembersCase {
  const char* what;
  std::string bytes;
};

class GzipMembers : public testing::TestWithParam<MembersCase> {};

TEST_P(GzipMembers, AreAllRead) {
  EXPECT_EQ(load_ok(GetParam().bytes).chain_ids(), (std::vector<std::string>{"A", "B"})) << GetParam().what;
}

// BGZF (bgzip): blocks of at most 64 KiB, each a gzip member, and an empty member last.
std::string blocks(std::string_view text, std::size_t size) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); at += size) out += gzip(text.substr(at, size));
  return out + gzip("");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GzipMembers,
    testing::Values(
        MembersCase{"one chain per member", gzip(lines({atom('A', "   1").line()})) +
                                                gzip(lines({atom('B', "   1").line()}))},
        MembersCase{"a record split between members", gzip(kTwoChains.substr(0, 100)) + gzip(kTwoChains.substr(100))},
        MembersCase{"BGZF blocks", blocks(kTwoChains, 7)},
        MembersCase{"zero padding after the last member", blocks(kTwoChains, 60) + std::string(512, '\0')},
        MembersCase{"junk after the last member", blocks(kTwoChains, 60) + "trailing junk"},
        MembersCase{"a lone magic byte after the last member", blocks(kTwoChains, 60) + "\x1F"}));

std::string temp_file(const std::string& name, std::string_view bytes) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(GzipMembers, MemberBoundariesAnywhereInTheFileAreFound) {
  // A file is inflated as it is read; members of about 64 KiB put the next
  // member's magic bytes on every side of a read's end.
  std::set<std::size_t> sizes;
  for (std::size_t pad = 65300; pad < 65560; ++pad) {
    const std::string first = lines({atom('A', "   1").line(), "REMARK " + std::string(pad, 'x')});
    const std::string member = gzip(first, 0);
    if (member.size() < 65528 || member.size() >= 65548) continue;
    sizes.insert(member.size());
    auto s = load_structure(temp_file("members.pdb", member + gzip(lines({atom('B', "   1").line()}))), {},
                            false, 0);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"A", "B"})) << member.size();
  }
  EXPECT_GE(sizes.size(), 16u);
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
                    BadGzipCase{"corrupt deflate data", corrupted_gzip(), "x.pdb"},
                    BadGzipCase{"corrupt second member", gzip(kTwoChains) + corrupted_gzip(), "x.pdb"},
                    BadGzipCase{"truncated second member", gzip(kTwoChains) + gzip(kTwoChains).substr(0, 30),
                                "x.pdb"}));

// ---- Large gzip files, parsed while they are inflated

// Every field of a load's result, or its error.
std::string described(const Result<Structure>& s) {
  if (!s) return "error: " + s.error().message();
  std::string out = s->id;
  char number[64];
  for (const auto& [id, chain] : s->chains) {
    out += "|" + id + ":" + chain.sequence + ":" + chain.het_name.value_or("-");
    for (const auto& r : chain.residues) {
      std::snprintf(number, sizeof number, ",%lld%c%c", static_cast<long long>(r.number), static_cast<char>(r.het),
                    static_cast<char>(r.insertion_code));
      out += "/" + r.name + r.code + number;
      for (const auto& a : r.atoms) {
        std::snprintf(number, sizeof number, ",%a,%a,%a,%c", a.x, a.y, a.z, static_cast<char>(a.alt_loc));
        out += " " + std::string(a.name) + std::string(a.element) + number;
      }
    }
  }
  return out;
}

// A file read while it inflates gives what the same bytes give in memory,
// read the ordinary way: a fit file, and every kind that must fall back.
TEST(LargeGzip, FileReadsAsTheSameBytesInMemory) {
  std::ifstream in(examples("2GTP_native.pdb"));
  const std::string native(std::istreambuf_iterator<char>(in), {});
  std::string carriage_returns = native, bad_coordinate = native, not_utf8 = native;
  std::ranges::replace(carriage_returns, '\n', '\r');
  bad_coordinate.replace(bad_coordinate.find("ATOM", 150000) + 32, 4, "x.yz");
  not_utf8[not_utf8.find("ATOM", 150000) + 13] = '\xFF';  // shifts the record's columns once repaired
  std::ifstream cif_in(examples("2XHE.cif"));
  const std::string cif(std::istreambuf_iterator<char>(cif_in), {});
  std::string stated_wrong = gzip(native);
  stated_wrong[stated_wrong.size() - 2] ^= 1;
  std::string cut = gzip(native);
  cut.resize(cut.size() * 2 / 3);
  std::string corrupt = gzip(native);
  corrupt[corrupt.size() / 2] ^= 0x5A;
  const std::vector<std::pair<const char*, std::string>> files{
      {"fit", gzip(native)},
      {"old Mac line ends", gzip(carriage_returns)},
      {"not UTF-8", gzip(not_utf8)},
      {"a byte-order mark", gzip("\xEF\xBB\xBF" + native)},
      {"two members", gzip(native.substr(0, 100000)) + gzip(native.substr(100000))},
      {"zero padding", gzip(native) + std::string(512, '\0')},
      {"a stated size that is wrong", stated_wrong},
      {"cut short", cut},
      {"corrupt", corrupt},
      {"mmCIF", gzip(cif)},
      {"an error in the text", gzip(bad_coordinate)},
      {"atoms after END", gzip("END\n" + native)},
  };
  for (const auto& [what, bytes] : files) {
    ASSERT_GE(bytes.size(), 16u << 10) << what;  // large enough to be inflated ahead
    const std::string path = temp_file("large.pdb.gz", bytes);
    for (const Options& o : {Options{.path = path}, Options{.chains = {"B"}, .path = path},
                             Options{.n_model = 1, .path = path}}) {
      const std::string from_file = described(load_structure(path, o.chains, false, o.n_model));
      EXPECT_TRUE(from_file == described(load(bytes, o))) << what << ": " << from_file.substr(0, 200);
    }
  }
}

// ---- The input limit

// TARVO_MAX_INPUT_BYTES for the length of one test.
struct LimitSetting {
  explicit LimitSetting(const std::string& value) { setenv("TARVO_MAX_INPUT_BYTES", value.c_str(), 1); }
  ~LimitSetting() { unsetenv("TARVO_MAX_INPUT_BYTES"); }
};

std::string over_limit(const std::string& path, const char* what, std::size_t limit) {
  return "I/O error reading " + path + ": " + what + " is larger than the limit of " + std::to_string(limit) +
         " bytes (TARVO_MAX_INPUT_BYTES)";
}

TEST(InputLimit, BytesInMemory) {
  const std::size_t size = kTwoChains.size();
  {
    LimitSetting limit(std::to_string(size));
    EXPECT_EQ(atom_count(load_ok(kTwoChains)), 2u);
    EXPECT_EQ(atom_count(load_ok(gzip(kTwoChains))), 2u);
  }
  LimitSetting limit(std::to_string(size - 1));
  EXPECT_EQ(error_of(kTwoChains), over_limit("t.pdb", "input", size - 1));
  EXPECT_EQ(error_of(gzip(kTwoChains)), over_limit("t.pdb", "inflated input", size - 1));
}

TEST(InputLimit, FilesDevicesAndGzipBombs) {
  const std::string plain = temp_file("limit.pdb", kTwoChains);
  const std::string bomb = temp_file("bomb.pdb.gz", gzip(std::string(64 << 20, ' ')));
  LimitSetting limit(std::to_string(1 << 20));
  auto read = [](const std::string& path) {
    auto s = load_structure(path, {}, false, 0);
    return s ? "<loaded>" : s.error().message();
  };
  EXPECT_EQ(read(plain), "<loaded>");
  EXPECT_EQ(read("/dev/zero"), over_limit("/dev/zero", "input", 1 << 20));
  EXPECT_EQ(read(bomb), over_limit(bomb, "inflated input", 1 << 20));
}

TEST(InputLimit, MalformedSettingIsAnIoError) {
  for (const char* setting : {"", "0", "12k", "-5"}) {
    LimitSetting limit(setting);
    EXPECT_EQ(error_of(kTwoChains), std::string("I/O error reading t.pdb: TARVO_MAX_INPUT_BYTES is not a positive "
                                                "whole number of bytes: ") +
                                        quoted(setting));
  }
  LimitSetting limit("99999999999999999999999");
  EXPECT_EQ(error_of(kTwoChains), "I/O error reading t.pdb: TARVO_MAX_INPUT_BYTES is larger than the largest size, "
                                  "18446744073709551615 bytes: \"99999999999999999999999\"");
}

TEST(InputLimit, TheLargestSizeIsAccepted) {
  LimitSetting limit("18446744073709551615");
  EXPECT_EQ(atom_count(load_ok(kTwoChains)), 2u);
}

// ---- Files that are not regular files

TEST(NonRegularFiles, FifoIsReadThroughPlainOrGzip) {
  for (const std::string& bytes : {kTwoChains, blocks(kTwoChains, 50)}) {
    const std::string path = testing::TempDir() + "structure.fifo";
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&] {
      std::ofstream out(path, std::ios::binary);
      for (char c : bytes) out.put(c).flush();  // byte by byte: reads come back short
    });
    auto s = load_structure(path, {}, false, 0);
    writer.join();
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->chain_ids(), (std::vector<std::string>{"A", "B"}));
  }
}

TEST(NonRegularFiles, FifoWithoutWriterEndsOnStop) {
  const std::string path = testing::TempDir() + "silent.fifo";
  std::remove(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.request_stop();
  });
  auto s = load_structure(path, {}, false, 0, stop.get_token());  // waited for ever before
  stopper.join();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Cancelled);
}

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

TEST(FormatDetection, AtomSiteTagInsideAPdbRecordLeavesPdb) {
  for (const char* remark : {"REMARK 250 converted from _atom_site.Cartn_x", "REMARK _atom_site.id"})
    EXPECT_EQ(atom_count(load_ok(lines({remark, Rec{}.line()}))), 1u) << remark;
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
  // "\xFF" becomes the three bytes of U+FFFD, moving the later columns right,
  // wherever it falls in the blocks of bytes the check skips as ASCII.
  Rec r;
  r.residue = "A\xFF" "A";
  for (std::size_t pad = 0; pad < 140; ++pad) {
    SCOPED_TRACE(pad);
    EXPECT_EQ(error_of(lines({"REMARK" + std::string(pad, ' '), r.line()})),
              "failed to parse structure t.pdb: invalid residue sequence number \"A\"");
  }
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

TEST(LineEnds, LoneCarriageReturnEndsALine) {
  const std::string text = atom('A', "   1").line() + "\r" + atom('B', "   2").line() + "\r";
  EXPECT_EQ(load_ok(text).chain_ids(), (std::vector<std::string>{"A", "B"}));
}

TEST(ByteOrderMark, IsSkippedInPlainAndGzipText) {
  const std::string text = "\xEF\xBB\xBF" + kTwoChains;
  EXPECT_EQ(atom_count(load_ok(text)), 2u);
  EXPECT_EQ(atom_count(load_ok(gzip(text))), 2u);
}

TEST(LineEnds, RecordWithoutFinalNewlineIsRead) {
  EXPECT_EQ(atom_count(load_ok(Rec{}.line())), 1u);
}

}  // namespace
}  // namespace tarvo

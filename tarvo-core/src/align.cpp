#include "align.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <span>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "error.hpp"
#include "utf8.hpp"  // next_code_point

namespace tarvo {
namespace {

constexpr double kMatch = 5.0;
constexpr double kGapOpen = 4.0;
constexpr double kGapExtend = 0.5;
constexpr double kTolerance = 1e-9;
constexpr double kNone = -std::numeric_limits<double>::infinity();
constexpr char32_t kGap = U'-';
constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kFirstCoded = 0xF0000;
constexpr char32_t kLastScalar = 0x10FFFF;

// All three predecessor flag sets of a cell share one byte: M in bits 0-2,
// X in bits 3-4, Y in bits 5 and 7. Each set keeps the bit values of its own
// table (from M 1, from X 2, from Y 4) once shifted down, so the traceback
// reads the same choices the separate tables would give.
constexpr std::uint8_t kFromM = 1;
constexpr std::uint8_t kFromX = 2;
constexpr std::uint8_t kFromY = 4;
constexpr int kShiftX = 3;
constexpr int kShiftY = 5;

enum class Table { M, X, Y };

std::u32string decode(std::string_view text) {
  std::u32string out;
  std::size_t pos = 0;
  while (pos < text.size()) out.push_back(next_code_point(text, pos));
  return out;
}

bool is_scalar(__int128 code) {
  return code >= 0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
}

// Numbers become code points n + offset. The offset maps the smallest number to
// 46 or above, so no residue ever lands on the gap symbol (45); symbol equality,
// and with it every score, is the same as with any other common offset.
// A residue with an insertion code (100A, 100B) is a residue of its own: each
// distinct number and code gets a symbol that no plain number has, counted up
// from the supplementary private use planes.
void number_symbols(const Chain& first, const Chain& second, std::u32string& a,
                    std::u32string& b) {
  __int128 min = std::numeric_limits<std::int64_t>::max();
  for (const Chain* chain : {&first, &second})
    for (const Residue& residue : chain->residues) min = std::min<__int128>(min, residue.number);
  const __int128 offset = std::max<__int128>(45, 46 - min);
  auto plain = [offset](const Residue& residue) {
    const __int128 code = residue.number + offset;
    return is_scalar(code) ? static_cast<char32_t>(code) : kReplacement;
  };
  std::map<std::pair<std::int64_t, char32_t>, char32_t> coded;
  std::unordered_set<char32_t> taken;
  for (const Chain* chain : {&first, &second})
    for (const Residue& residue : chain->residues)
      if (residue.insertion_code != U' ') coded.emplace(std::pair{residue.number, residue.insertion_code}, kReplacement);
  if (!coded.empty())
    for (const Chain* chain : {&first, &second})
      for (const Residue& residue : chain->residues)
        if (residue.insertion_code == U' ') taken.insert(plain(residue));
  char32_t next = kFirstCoded;
  for (auto& [key, symbol] : coded) {
    while (next <= kLastScalar && taken.contains(next)) ++next;
    if (next <= kLastScalar) symbol = next++;
  }
  auto symbols = [&](const Chain& chain) {
    std::u32string out;
    out.reserve(chain.residues.size());
    for (const Residue& residue : chain.residues)
      out.push_back(residue.insertion_code == U' ' ? plain(residue)
                                                   : coded.at({residue.number, residue.insertion_code}));
    return out;
  };
  a = symbols(first);
  b = symbols(second);
}

// Bits of the candidates that are finite and within the tolerance of the best.
std::uint8_t best_of(double& best, std::span<const std::pair<double, std::uint8_t>> candidates) {
  best = kNone;
  for (const auto& [value, bit] : candidates) best = std::max(best, value);
  std::uint8_t flags = 0;
  if (best == kNone) return flags;
  for (const auto& [value, bit] : candidates)
    if (value != kNone && best - value <= kTolerance) flags |= bit;
  return flags;
}

struct Rows {
  std::vector<double> m, x, y;
  explicit Rows(std::size_t width) : m(width, kNone), x(width, kNone), y(width, kNone) {}
};

// Fills the packed flag table row by row, keeping only two rows of scores per
// table, and returns the table to start the traceback in.
Table fill(std::u32string_view a, std::u32string_view b, std::vector<std::uint8_t>& flags) {
  const std::size_t n = a.size(), m = b.size(), width = m + 1;
  Rows prev(width), cur(width);
  prev.m[0] = 0;
  for (std::size_t j = 1; j <= m; ++j) {
    const std::pair<double, std::uint8_t> y[] = {{prev.m[j - 1] - kGapOpen, kFromM},
                                                 {prev.y[j - 1] - kGapExtend, kFromY}};
    flags[j] = best_of(prev.y[j], y) << kShiftY;
  }
  for (std::size_t i = 1; i <= n; ++i) {
    std::uint8_t* row = flags.data() + i * width;
    const std::pair<double, std::uint8_t> x0[] = {{prev.m[0] - kGapOpen, kFromM},
                                                  {prev.x[0] - kGapExtend, kFromX}};
    row[0] = best_of(cur.x[0], x0) << kShiftX;
    cur.m[0] = kNone;
    cur.y[0] = kNone;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::pair<double, std::uint8_t> diag[] = {
          {prev.m[j - 1], kFromM}, {prev.x[j - 1], kFromX}, {prev.y[j - 1], kFromY}};
      const std::uint8_t from_m = best_of(cur.m[j], diag);
      cur.m[j] += a[i - 1] == b[j - 1] ? kMatch : 0.0;
      const std::pair<double, std::uint8_t> x[] = {{prev.m[j] - kGapOpen, kFromM},
                                                   {prev.x[j] - kGapExtend, kFromX}};
      const std::uint8_t from_x = best_of(cur.x[j], x);
      const std::pair<double, std::uint8_t> y[] = {{cur.m[j - 1] - kGapOpen, kFromM},
                                                   {cur.y[j - 1] - kGapExtend, kFromY}};
      const std::uint8_t from_y = best_of(cur.y[j], y);
      row[j] = static_cast<std::uint8_t>(from_m | from_x << kShiftX | from_y << kShiftY);
    }
    std::swap(prev, cur);
  }
  const double end_m = prev.m[m], end_x = prev.x[m], end_y = prev.y[m];
  const double best = std::max({end_m, end_x, end_y});
  if (std::abs(end_m - best) <= kTolerance) return Table::M;
  if (std::abs(end_x - best) <= kTolerance) return Table::X;
  return Table::Y;
}

Table next_table(std::uint8_t set) {
  if (set & kFromM) return Table::M;
  if (set & kFromX) return Table::X;
  return Table::Y;
}

char32_t match_symbol(char32_t left, char32_t right) {
  if (left == right) return U'|';
  if (left == kGap || right == kGap) return U' ';
  return U'.';
}

Alignment align_symbols(std::u32string_view a, std::u32string_view b) {
  Alignment out;
  if (a.empty() && b.empty()) return out;
  const std::size_t width = b.size() + 1;
  std::vector<std::uint8_t> flags((a.size() + 1) * width, 0);
  Table table = fill(a, b, flags);
  std::size_t i = a.size(), j = b.size();
  while (i > 0 || j > 0) {
    const bool takes_a = table != Table::Y, takes_b = table != Table::X;
    if ((takes_a && i == 0) || (takes_b && j == 0))
      throw InternalError("align: traceback left the table");
    const std::uint8_t cell = flags[i * width + j];
    out.first_aligned.push_back(takes_a ? a[i - 1] : kGap);
    out.second_aligned.push_back(takes_b ? b[j - 1] : kGap);
    switch (table) {
      case Table::M: table = next_table(cell & 7); break;
      case Table::X: table = next_table(cell >> kShiftX & 3); break;
      case Table::Y: table = next_table(cell >> kShiftY & 5); break;
    }
    i -= takes_a;
    j -= takes_b;
  }
  std::ranges::reverse(out.first_aligned);
  std::ranges::reverse(out.second_aligned);
  out.match_line.reserve(out.first_aligned.size());
  for (std::size_t k = 0; k < out.first_aligned.size(); ++k)
    out.match_line.push_back(match_symbol(out.first_aligned[k], out.second_aligned[k]));
  return out;
}

// Equal symbols pair column by column: any gap would cost more than the
// matches it could gain, so the table's traceback gives exactly this.
Alignment identical(const std::u32string& symbols) {
  return Alignment{symbols, std::u32string(symbols.size(), U'|'), symbols};
}

[[noreturn]] void refuse(const Chain& first, std::size_t n, const Chain& second, std::size_t m) {
  throw ThrownError(TarvoError{err::Mapping{
      "cannot align chain '" + first.id + "' of length " + std::to_string(n) + " with chain '" + second.id +
      "' of length " + std::to_string(m) + ": the alignment table would have more than " +
      std::to_string(kMaxAlignmentCells) + " cells"}});
}

}  // namespace

Alignment align_chains(const Chain& first, const Chain& second, bool no_align) {
  std::u32string a, b;
  if (no_align) {
    number_symbols(first, second, a, b);
  } else {
    a = decode(first.sequence);
    b = decode(second.sequence);
  }
  if (a == b) return identical(a);
  if (a.size() + 1 > kMaxAlignmentCells / (b.size() + 1)) refuse(first, a.size(), second, b.size());
  return align_symbols(a, b);
}

}  // namespace tarvo

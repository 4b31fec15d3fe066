#include "tarvo/align.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tarvo/error.hpp"
#include "utf8.hpp"  // next_code_point

namespace tarvo {
namespace {

// Scores in half points (match 5, gap open 4, gap extend 0.5), so integer
// arithmetic is exact and ties compare equal without a tolerance.
constexpr std::int32_t kMatch = 10;
constexpr std::int32_t kGapOpen = 8;
constexpr std::int32_t kGapExtend = 1;
// An unreachable cell. Every reachable score lies above -2^29 (a table has at
// most 2^28 cells), and every score derived from this one stays far below it
// without overflowing, so unreachable cells never tie with reachable ones.
constexpr std::int32_t kNone = -(std::int32_t{1} << 30);
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

struct Rows {
  std::vector<std::int32_t> m, x, y;
  explicit Rows(std::size_t width) : m(width, kNone), x(width, kNone), y(width, kNone) {}
};

// The larger of an open and an extend step, and the flags of the steps that reach it.
inline std::int32_t best_gap(std::int32_t open, std::int32_t extend, std::uint8_t extend_flag,
                             std::uint8_t& flags) {
  const std::int32_t best = std::max(open, extend);
  flags = static_cast<std::uint8_t>((open == best) * kFromM | (extend == best) * extend_flag);
  return best;
}

// Fills the packed flag table row by row, keeping only two rows of scores per
// table, and returns the table to start the traceback in. M and X of a row
// depend on the row above only, so they fill in one branch-free pass; Y runs
// along the row after them. Flags of unreachable cells are set but never read:
// a traceback only follows steps that tie with a reachable best.
[[gnu::target_clones("avx2", "default")]] Table fill(std::u32string_view a, std::u32string_view b,
                                                      std::vector<std::uint8_t>& flags) {
  const std::size_t n = a.size(), m = b.size(), width = m + 1;
  Rows prev(width), cur(width);
  prev.m[0] = 0;
  for (std::size_t j = 1; j <= m; ++j) {
    std::uint8_t from_y;
    prev.y[j] = best_gap(prev.m[j - 1] - kGapOpen, prev.y[j - 1] - kGapExtend, kFromY, from_y);
    flags[j] = static_cast<std::uint8_t>(from_y << kShiftY);
  }
  for (std::size_t i = 1; i <= n; ++i) {
    std::uint8_t* row = flags.data() + i * width;
    const char32_t symbol = a[i - 1];
    std::uint8_t from_x;
    cur.x[0] = best_gap(prev.m[0] - kGapOpen, prev.x[0] - kGapExtend, kFromX, from_x);
    row[0] = static_cast<std::uint8_t>(from_x << kShiftX);
    cur.m[0] = kNone;
    cur.y[0] = kNone;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::int32_t dm = prev.m[j - 1], dx = prev.x[j - 1], dy = prev.y[j - 1];
      const std::int32_t diagonal = std::max({dm, dx, dy});
      cur.m[j] = diagonal + (symbol == b[j - 1] ? kMatch : 0);
      const std::int32_t open = prev.m[j] - kGapOpen, extend = prev.x[j] - kGapExtend;
      const std::int32_t x = std::max(open, extend);
      cur.x[j] = x;
      row[j] = static_cast<std::uint8_t>((dm == diagonal) * kFromM | (dx == diagonal) * kFromX |
                                         (dy == diagonal) * kFromY | (open == x) << kShiftX |
                                         (extend == x) * kFromX << kShiftX);
    }
    // y[j] = max(m[j-1] - open, y[j-1] - extend) is a running maximum of
    // m[k-1] - open + k once shifted by j: one dependent step per cell.
    std::int32_t shifted = kNone;
    for (std::size_t j = 1; j <= m; ++j) {
      shifted = std::max(shifted, cur.m[j - 1] - kGapOpen + static_cast<std::int32_t>(j));
      cur.y[j] = shifted - static_cast<std::int32_t>(j);
    }
    for (std::size_t j = 1; j <= m; ++j) {
      const std::int32_t y = cur.y[j];
      row[j] |= static_cast<std::uint8_t>(((cur.m[j - 1] - kGapOpen == y) * kFromM |
                                           (cur.y[j - 1] - kGapExtend == y) * kFromY) << kShiftY);
    }
    std::swap(prev, cur);
  }
  const std::int32_t end_m = prev.m[m], end_x = prev.x[m];
  const std::int32_t best = std::max({end_m, end_x, prev.y[m]});
  if (end_m == best) return Table::M;
  if (end_x == best) return Table::X;
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

// Results for pairs of sequences (alignments, verdicts), for every thread and
// call: the decoys or predictions of one target share their sequences, so a
// batch or a rank works each pair out once. Emptied whole when it outgrows
// kMemoBytes; a pair too large for a quarter of it is not kept.
template <class Key, class Value>
class Memo {
 public:
  std::optional<Value> find(const Key& key) {
    const std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

  void add(Key key, const Value& value, std::size_t bytes) {
    if (bytes > kMemoBytes / 4) return;  // a giant pair would crowd out every other
    const std::lock_guard lock(mutex_);
    if (bytes_ + bytes > kMemoBytes) {
      entries_.clear();
      bytes_ = 0;
    }
    if (entries_.try_emplace(std::move(key), value).second) bytes_ += bytes;
  }

 private:
  static constexpr std::size_t kMemoBytes = std::size_t{32} << 20;
  std::mutex mutex_;
  std::unordered_map<Key, Value> entries_;
  std::size_t bytes_ = 0;
};

// The key of numbered symbols: "#" (no text key starts so), then the bytes of
// both symbol strings, apart by a code point that no symbol is.
std::string numbered_key(const std::u32string& a, const std::u32string& b) {
  constexpr char32_t kApart = kLastScalar + 1;
  std::string key("#");
  for (std::u32string_view symbols : {std::u32string_view(a), std::u32string_view(&kApart, 1), std::u32string_view(b)})
    key.append(reinterpret_cast<const char*>(symbols.data()), sizeof(char32_t) * symbols.size());
  return key;
}

// The length of the longest common subsequence, bit-parallel over `b`
// (Hyyro's form of the Allison-Dix recurrence): the zero bits of `v` count it.
std::size_t common_subsequence(std::u32string_view a, std::u32string_view b) {
  const std::size_t words = (b.size() + 63) / 64;
  std::unordered_map<char32_t, std::vector<std::uint64_t>> where;
  for (std::size_t j = 0; j < b.size(); ++j) {
    auto& mask = where.try_emplace(b[j], words, 0).first->second;
    mask[j / 64] |= std::uint64_t{1} << (j % 64);
  }
  std::vector<std::uint64_t> v(words, ~std::uint64_t{0});
  for (char32_t symbol : a) {
    auto found = where.find(symbol);
    if (found == where.end()) continue;
    const std::vector<std::uint64_t>& match = found->second;
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words; ++w) {
      const std::uint64_t u = v[w] & match[w];
      const std::uint64_t partial = v[w] + u;
      const std::uint64_t sum = partial + carry;
      carry = (partial < u) | (sum < partial);
      v[w] = sum | (v[w] & ~match[w]);
    }
  }
  std::size_t ones = 0;
  for (std::uint64_t word : v) ones += static_cast<std::size_t>(std::popcount(word));
  return 64 * words - ones;
}

// In the table's units (match 10, a gap run of length l costs 7 + l), an
// alignment with M matches, X mismatches and gap columns in R runs scores
// 12M + 2X - (n + m) - 7R, as its gap columns number n + m - 2M - 2X. With M at
// most the longest common subsequence and X at most `allowed`, that stays below
// the gapless alignment's score (its end gap at either end) only if no optimal
// alignment, the one chosen included, has so few mismatches.
bool more_mismatches_than(std::u32string_view a, std::u32string_view b, std::size_t allowed) {
  const std::size_t n = a.size(), m = b.size(), common = std::min(n, m);
  auto gapless = [&](std::size_t shift_a, std::size_t shift_b) {
    std::int64_t matches = 0;
    for (std::size_t k = 0; k < common; ++k) matches += a[shift_a + k] == b[shift_b + k];
    return matches;
  };
  const std::int64_t head = gapless(0, 0), tail = gapless(n - common, m - common);
  // Equal lengths: the gapless alignment itself may be the one with few mismatches.
  if (n == m && static_cast<std::size_t>(n) - static_cast<std::size_t>(head) <= allowed) return false;
  const std::int64_t end_gap = n == m ? 0 : 7 + static_cast<std::int64_t>(std::max(n, m) - common);
  const std::int64_t lower = kMatch * std::max(head, tail) - end_gap;
  const std::int64_t runs = n == m ? 2 : 1;  // gaps on both sides when the lengths are equal
  const std::int64_t few = static_cast<std::int64_t>(std::min<std::size_t>(allowed, common));
  const std::int64_t upper = 12 * static_cast<std::int64_t>(common_subsequence(a, b)) + 2 * few -
                             static_cast<std::int64_t>(n + m) - 7 * runs;
  return upper < lower;
}

// The two texts as they are, in one key, the first's length first.
std::string text_pair_key(std::string_view head, const Chain& first, const Chain& second) {
  std::string key(head);
  key.append(std::to_string(first.sequence.size())).push_back(' ');
  return key.append(first.sequence).append(second.sequence);
}

}  // namespace

// Both memos are never destroyed: a helper thread may still align while the
// process exits. A repeated pair of sequences is looked up without decoding either.
bool surely_more_mismatches(const Chain& first, const Chain& second, std::size_t allowed) {
  static Memo<std::string, bool>& memo = *new Memo<std::string, bool>;
  std::string key = text_pair_key(std::to_string(allowed) + ' ', first, second);
  if (auto known = memo.find(key)) return *known;
  const bool verdict = more_mismatches_than(decode(first.sequence), decode(second.sequence), allowed);
  const std::size_t bytes = key.size();
  memo.add(std::move(key), verdict, bytes);
  return verdict;
}

Alignment align_chains(const Chain& first, const Chain& second, bool no_align) {
  static Memo<std::string, Alignment>& memo = *new Memo<std::string, Alignment>;
  std::u32string a, b;
  std::string key;
  if (no_align) {
    number_symbols(first, second, a, b);
    if (a == b) return identical(a);
    key = numbered_key(a, b);
  } else {
    if (first.sequence == second.sequence) return identical(decode(first.sequence));
    key = text_pair_key("", first, second);
  }
  if (auto known = memo.find(key)) return std::move(*known);
  if (!no_align) {
    a = decode(first.sequence);
    b = decode(second.sequence);
  }
  if (a.size() + 1 > kMaxAlignmentCells / (b.size() + 1)) refuse(first, a.size(), second, b.size());
  Alignment alignment = align_symbols(a, b);
  const std::size_t bytes = key.size() + sizeof(char32_t) * 3 * alignment.match_line.size();
  memo.add(std::move(key), alignment, bytes);
  return alignment;
}

}  // namespace tarvo

#include "mapping.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "mapping_exhaustive.hpp"

namespace tarvo {

namespace {

constexpr const char* kNeedTwoChains = "Need at least two chains in the two inputs";
constexpr const char* kNoMapping = "No valid chain mapping could be enumerated";
constexpr const char* kNoInterfaces =
    "Could not find interfaces in the native. Check the inputs or select chains with --mapping.";
constexpr const char* kAllUndefined =
    "No chain mapping produced a defined score: an interface has no backbone atoms in common "
    "between model and native (iRMSD or LRMSD undefined)";

// The work a walk may do before it gives up, in steps: one per partial
// assignment looked at and one per entry read while bounding it (a few ns
// each), kTupleCost per interface scored during the walk (about 40 µs for a
// 115-residue pair). The walk runs on one core: a billion steps take 5 to 7 s,
// so with the tuples scored up front (under 1 s on two cores) a search that
// exhausts the budget ends within 10 s. A native-like 24-mer needs under 1 %.
constexpr std::size_t kStepBudget = 1'000'000'000;
constexpr std::size_t kTupleCost = 8'000;

// Up to this many interface tuples are all scored before the walk (a 24-mer has
// 33 000): exact values make the tightest bounds. Beyond it, tuples are scored
// as the walk reaches them.
constexpr std::size_t kUpfrontTuples = 50'000;

// Bounds are sums of a few hundred values of at most 1; their rounding error is
// below 1e-12, so this margin keeps every pruning decision on the safe side.
constexpr double kMargin = 1e-6;

// Tarvo of an interface whose model chains touch nowhere: fnat is 0, so the score
// is at most (0 + 1 + 1) / 3, computed here exactly as the score itself rounds.
const double kNoModelContactBound = (0.0 + 1.0 + 1.0) / 3.0;

// Weight of an anchor-choice pair no completion can hold, in the assignment
// bound: low enough that the best assignment avoids it whenever it can.
constexpr double kUnreachable = -1e6;

std::vector<std::string> without_repeats(const std::vector<std::string>& ids) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& id : ids)
    if (seen.insert(id).second) out.push_back(id);
  return out;
}

bool same_het(const Chain& a, const Chain& b) {
  return a.het_name && b.het_name && *a.het_name == *b.het_name;
}

// Everything of a run up to the candidate table, shared by both searches.
struct Setup {
  ChainMapping fixed;
  bool native_anchors = true;
  std::vector<std::string> anchors;
  std::vector<std::string> candidates;
  std::vector<std::vector<std::size_t>> lists;  // per anchor, positions in `candidates`
  // Sequence alignments of the table that double as scoring alignments, by (model, native).
  std::map<std::pair<std::string, std::string>, Alignment> alignments;
};

Result<Setup> prepare(const Structure& model, const Structure& native, const ScoreOptions& options) {
  if (options.small_molecule) return fail(err::SmallMoleculeUnsupported{});
  if (!options.mapping) return std::unexpected(options.mapping.error());
  const MappingSpec& spec = *options.mapping;
  auto model_list = spec.model_chains ? *spec.model_chains : model.chain_ids();
  auto native_list = spec.native_chains ? *spec.native_chains : native.chain_ids();
  if (model_list.size() < 2 || native_list.size() < 2) return fail(err::Mapping{kNeedTwoChains});
  // A repeated id would be one anchor with two places in the assignment.
  model_list = without_repeats(model_list);
  native_list = without_repeats(native_list);

  Setup setup;
  setup.fixed = spec.fixed;
  std::unordered_set<std::string> fixed_models;
  for (const auto& [native_id, model_id] : setup.fixed) fixed_models.insert(model_id);
  std::vector<std::string> free_models, free_natives;
  for (const auto& id : model_list)
    if (!fixed_models.contains(id)) free_models.push_back(id);
  for (const auto& id : native_list)
    if (!setup.fixed.contains(id)) free_natives.push_back(id);

  setup.native_anchors = !(free_models.size() < free_natives.size());
  const Structure& anchor_side = setup.native_anchors ? native : model;
  const Structure& candidate_side = setup.native_anchors ? model : native;
  setup.anchors = setup.native_anchors ? free_natives : free_models;
  setup.candidates = setup.native_anchors ? free_models : free_natives;
  setup.lists.assign(setup.anchors.size(), {});

  for (std::size_t c = 0; c < setup.candidates.size(); ++c) {
    for (std::size_t a = 0; a < setup.anchors.size(); ++a) {
      const Chain* candidate = candidate_side.chain(setup.candidates[c]);
      if (!candidate) return fail(err::ChainNotFound{setup.candidates[c]});
      const Chain* anchor = anchor_side.chain(setup.anchors[a]);
      if (!anchor) return fail(err::ChainNotFound{setup.anchors[a]});
      bool accepted;
      if (!candidate->het_name && !anchor->het_name) {
        if (candidate->sequence == anchor->sequence) {
          accepted = true;  // no mismatch possible, no alignment needed
        } else {
          Alignment alignment = align_chains(*candidate, *anchor, false);
          auto mismatches = std::count(alignment.match_line.begin(), alignment.match_line.end(), U'.');
          accepted = static_cast<std::uint64_t>(mismatches) <= options.allowed_mismatches;
          if (setup.native_anchors && !options.no_align)
            setup.alignments.emplace(std::pair{candidate->id, anchor->id}, std::move(alignment));
        }
      } else {
        accepted = same_het(*candidate, *anchor);
      }
      if (accepted) setup.lists[a].push_back(c);
    }
  }

  std::vector<std::string> lonely;
  for (std::size_t a = 0; a < setup.anchors.size(); ++a)
    if (setup.lists[a].empty()) lonely.push_back(setup.anchors[a]);
  if (!lonely.empty()) return fail(err::NoIdenticalNativeChain{lonely});
  return setup;
}

// Runs work(0..count-1) on the pool. The first error recorded wins; once one is
// recorded no task starts another item.
template <class Work>
Result<void> run_in_parallel(std::size_t count, Work work) {
  std::mutex error_lock;
  std::optional<TarvoError> first_error;
  std::atomic<bool> stop{false};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        if (stop.load(std::memory_order_relaxed)) return;
                        Result<void> done = work(i, stop);
                        if (!done) {
                          std::lock_guard lock(error_lock);
                          if (!first_error) first_error = std::move(done.error());
                          stop = true;
                          return;
                        }
                      }
                    });
  if (first_error) return std::unexpected(std::move(*first_error));
  return {};
}

template <class Score>
Result<std::vector<std::optional<InterfaceResult>>> score_in_parallel(std::size_t count, Score score) {
  std::vector<std::optional<InterfaceResult>> out(count);
  auto done = run_in_parallel(count, [&](std::size_t i, const std::atomic<bool>&) -> Result<void> {
    auto result = score(i);
    if (!result) return std::unexpected(std::move(result.error()));
    out[i] = std::move(*result);
    return {};
  });
  if (!done) return std::unexpected(done.error());
  return out;
}

Result<RunResult> finish(const Structure& model, const Structure& native, ChainMapping mapping,
                         OrderedMap<std::string, InterfaceResult> results, double total) {
  if (results.empty()) return fail(err::Mapping{kNoInterfaces});
  RunResult run;
  run.model = model.id;
  run.native = native.id;
  run.best_mapping_str = format_mapping_string(mapping);
  run.best_mapping = std::move(mapping);
  run.best_tarvo = total;
  run.GlobalTarvo = total / static_cast<double>(results.size());
  run.best_result = std::move(results);
  return run;
}

double sum_tarvo(const OrderedMap<std::string, InterfaceResult>& results) {
  double total = 0.0;
  for (const auto& [name, result] : results) total += result.Tarvo;
  return total;
}

// ---------------------------------------------------------------------------
// Plain enumeration: every assignment, every tuple, every mapping scored.

using Tuple = std::array<std::string, 4>;  // model i, model j, native i, native j

template <class Visit>
void for_each_pair(const ChainMapping& mapping, Visit visit) {
  std::vector<std::pair<const std::string*, const std::string*>> entries;
  for (const auto& [native_id, model_id] : mapping) entries.emplace_back(&native_id, &model_id);
  for (std::size_t i = 0; i < entries.size(); ++i)
    for (std::size_t j = i + 1; j < entries.size(); ++j)
      if (*entries[i].second != *entries[j].second)
        visit(Tuple{*entries[i].second, *entries[j].second, *entries[i].first, *entries[j].first});
}

Result<std::optional<InterfaceResult>> score_tuple(const Structure& model, const Structure& native,
                                                   const Tuple& t, const ScoreOptions& options) {
  const Chain* model1 = model.chain(t[0]);
  if (!model1) return fail(err::ChainNotFound{t[0]});
  const Chain* model2 = model.chain(t[1]);
  if (!model2) return fail(err::ChainNotFound{t[1]});
  const Chain* native1 = native.chain(t[2]);
  if (!native1) return fail(err::ChainNotFound{t[2]});
  const Chain* native2 = native.chain(t[3]);
  if (!native2) return fail(err::ChainNotFound{t[3]});
  bool het = native1->het_name.has_value() || native2->het_name.has_value();
  return run_on_chains(*model1, *model2, *native1, *native2, options.no_align,
                       options.capri_peptide, het);
}

}  // namespace

Result<RunResult> score_structures_exhaustive(const Structure& model, const Structure& native,
                                              const ScoreOptions& options) {
  auto setup = prepare(model, native, options);
  if (!setup) return std::unexpected(setup.error());

  std::vector<std::vector<std::size_t>> assignments(1);
  for (const auto& list : setup->lists) {
    std::vector<std::vector<std::size_t>> next;
    for (const auto& assignment : assignments)
      for (std::size_t candidate : list)
        if (std::find(assignment.begin(), assignment.end(), candidate) == assignment.end()) {
          next.push_back(assignment);
          next.back().push_back(candidate);
        }
    assignments = std::move(next);
  }
  std::vector<ChainMapping> mappings;
  for (const auto& assignment : assignments) {
    ChainMapping mapping = setup->fixed;
    for (std::size_t k = 0; k < assignment.size(); ++k) {
      const std::string& anchor = setup->anchors[k];
      const std::string& candidate = setup->candidates[assignment[k]];
      if (setup->native_anchors)
        mapping.insert_or_assign(anchor, candidate);
      else
        mapping.insert_or_assign(candidate, anchor);
    }
    mappings.push_back(std::move(mapping));
  }
  if (mappings.empty()) return fail(err::Mapping{kNoMapping});

  std::vector<Tuple> tuples;
  std::map<Tuple, std::optional<InterfaceResult>> outcomes;
  for (const auto& mapping : mappings)
    for_each_pair(mapping, [&](Tuple t) {
      if (outcomes.emplace(t, std::nullopt).second) tuples.push_back(std::move(t));
    });
  auto scored = score_in_parallel(tuples.size(), [&](std::size_t i) {
    return score_tuple(model, native, tuples[i], options);
  });
  if (!scored) return std::unexpected(scored.error());
  for (std::size_t i = 0; i < tuples.size(); ++i) outcomes[tuples[i]] = std::move((*scored)[i]);

  double best = -1.0;
  std::optional<std::size_t> selected;
  OrderedMap<std::string, InterfaceResult> best_results;
  for (std::size_t m = 0; m < mappings.size(); ++m) {
    OrderedMap<std::string, InterfaceResult> results;
    for_each_pair(mappings[m], [&](const Tuple& t) {
      const auto& outcome = outcomes.at(t);
      if (!outcome) return;
      InterfaceResult copy = *outcome;
      copy.chain1 = t[0];
      copy.chain2 = t[1];
      results.insert_or_assign(t[2] + t[3], std::move(copy));
    });
    double total = sum_tarvo(results);
    if (total > best) {
      best = total;
      selected = m;
      best_results = std::move(results);
    }
  }
  if (!selected) return fail(err::Mapping{kAllUndefined});
  return finish(model, native, mappings[*selected], std::move(best_results), best);
}

namespace {

// ---------------------------------------------------------------------------
// Branch-and-bound search.
//
// A mapping is a list of positions: the fixed pairs, then one position per
// anchor whose model or native chain is the anchor's choice. Chain ids are
// numbered (one numbering per structure) so that an interface tuple packs into
// one 64-bit key. The search walks assignments depth first in enumeration
// order and drops a branch when an upper bound on every total below it cannot
// beat the best total so far.

using Index = std::uint32_t;
constexpr Index kChosen = std::numeric_limits<Index>::max();

struct ChainSet {
  std::vector<std::string> ids;
  std::vector<const Chain*> chains;  // nullptr when the structure lacks the id
  std::unordered_map<std::string, Index> index;

  Index add(const std::string& id, const Structure& structure) {
    auto [it, inserted] = index.emplace(id, static_cast<Index>(ids.size()));
    if (inserted) {
      ids.push_back(id);
      chains.push_back(structure.chain(id));
    }
    return it->second;
  }
};

struct Position {
  Index model = kChosen;
  Index native = kChosen;
};

std::uint64_t tuple_key(Index m1, Index m2, Index n1, Index n2) {
  return (std::uint64_t{m1} << 48) | (std::uint64_t{m2} << 32) | (std::uint64_t{n1} << 16) | n2;
}

std::array<Index, 4> unpack_key(std::uint64_t key) {
  return {Index(key >> 48), Index((key >> 32) & 0xFFFF), Index((key >> 16) & 0xFFFF), Index(key & 0xFFFF)};
}

// One model chain against one native chain, as every interface pairing them uses it.
struct Side {
  Alignment alignment;
  std::optional<AlignedChain> chain;  // absent when the residues do not fit the alignment
  bool whole = false;                 // every model residue aligned, in chain order
};

// Another anchor seen from one anchor: per choice of the one, the other's
// choices that score with it, by decreasing bound.
struct OtherAnchor {
  std::size_t anchor;
  std::vector<std::vector<std::pair<double, Index>>> ranked;
};

// Bipartite matching of anchors to choices (augmenting paths), with some
// anchors' choices forced: does the partial assignment extend to a full one?
class Completion {
 public:
  Completion(const std::vector<std::vector<Index>>& choices, std::size_t universe)
      : choices_(choices), universe_(universe) {}

  bool possible(std::span<const std::pair<std::size_t, Index>> forced) {
    owner_.assign(universe_, kFree);
    std::vector<char> is_forced(choices_.size(), 0);
    for (auto [anchor, choice] : forced) {
      if (owner_[choice] != kFree) return false;
      owner_[choice] = kForced;
      is_forced[anchor] = 1;
    }
    for (std::size_t a = 0; a < choices_.size(); ++a) {
      if (is_forced[a]) continue;
      seen_.assign(universe_, 0);
      if (!augment(a)) return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kFree = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kForced = kFree - 1;

  bool augment(std::size_t anchor) {
    for (Index c : choices_[anchor]) {
      if (seen_[c] || owner_[c] == kForced) continue;
      seen_[c] = 1;
      if (owner_[c] == kFree || augment(owner_[c])) {
        owner_[c] = anchor;
        return true;
      }
    }
    return false;
  }

  const std::vector<std::vector<Index>>& choices_;
  std::size_t universe_;
  std::vector<std::size_t> owner_;
  std::vector<char> seen_;
};

// Before the search, the checks that every scored tuple of every mapping would make.
bool chain_is_unusual(const Chain& chain, bool is_native, bool capri_peptide) {
  std::size_t symbols = 0;
  for (std::size_t pos = 0; pos < chain.sequence.size(); ++symbols) {
    if (next_code_point(chain.sequence, pos) == U'-') return true;
  }
  if (symbols != chain.residues.size()) return true;
  if (!is_native || !capri_peptide) return false;
  return std::any_of(chain.residues.begin(), chain.residues.end(), [](const Residue& r) {
    return std::none_of(r.atoms.begin(), r.atoms.end(),
                        [](const Atom& a) { return a.name == "CB" || a.name == "CA"; });
  });
}

class Search {
 public:
  Search(const Structure& model, const Structure& native, const ScoreOptions& options, Setup setup,
         std::size_t step_budget, std::size_t upfront_tuples)
      : model_(model), native_(native), options_(options), setup_(std::move(setup)),
        budget_(step_budget), upfront_tuples_(upfront_tuples) {}

  Result<RunResult> run();

 private:
  // Setting up.
  void number_chains();
  std::optional<TarvoError> first_lookup_error() const;
  void find_contacts();
  Result<void> prepare_tuples();
  void prepare_bounds();

  // Tuples and their values.
  std::pair<Index, Index> resolve(std::size_t position, Index choice) const;
  // Calls visit(p, c, q, d, m1, n1, m2, n2) for every pair of positions p < q
  // and every two choices c, d that one mapping could hold together.
  template <class Visit>
  void for_each_possible_pair(Visit visit) const;
  bool native_contact(Index n1, Index n2) const { return native_contact_[n1 * natives_.ids.size() + n2]; }
  bool model_contact(Index m1, Index m2) const { return model_contact_[m1 * models_.ids.size() + m2]; }
  double bound(Index m1, Index m2, Index n1, Index n2) const;
  double fnat_bound(Index m1, Index m2, Index n1, Index n2) const;
  Result<void> score_tuples(std::span<const std::uint64_t> keys);
  void collect_between_fixed(std::vector<std::uint64_t>& missing,
                             std::unordered_set<std::uint64_t>& listed) const;
  void collect_fixed_by(std::size_t depth, Index choice, bool every_tuple,
                        std::vector<std::uint64_t>& missing,
                        std::unordered_set<std::uint64_t>& listed) const;

  // The walk.
  double known_increment(std::size_t depth, Index choice, bool& undefined) const;
  std::optional<double> expand(std::size_t depth, Index choice);
  std::optional<double> best_assignment(std::span<const double> weights, std::size_t rows, std::size_t cols);
  bool prunable(double upper) const;
  Result<void> refine(std::size_t depth);
  Result<void> visit(std::size_t depth);
  Result<std::vector<Index>> prepare_leaves(std::size_t depth);
  double leaf_total() const;
  Result<void> dive();
  double quick_total(const std::vector<Index>& assignment) const;
  void climb();
  bool over_budget() { return ++nodes_ > budget_; }
  TarvoError budget_error() const;
  Result<RunResult> best_run() const;

  const Structure& model_;
  const Structure& native_;
  const ScoreOptions& options_;
  Setup setup_;
  std::size_t budget_;
  std::size_t upfront_tuples_;

  ChainSet models_, natives_;
  std::vector<Position> positions_;
  std::size_t fixed_count_ = 0;
  std::vector<std::vector<Index>> choices_;  // per anchor, in candidate order
  std::size_t choice_universe_ = 0;
  bool names_unique_ = true;

  std::vector<char> native_contact_, model_contact_;
  std::unordered_map<std::uint32_t, DistanceMatrix> native_matrices_;
  std::unordered_map<std::uint32_t, DistanceMatrix> model_matrices_;  // pairs in contact
  std::unordered_map<std::uint32_t, Side> sides_;
  std::unordered_map<std::uint64_t, std::optional<InterfaceResult>> scored_;
  // Tuples whose model chains touch: the score once known, else a bound from fnat.
  std::unordered_map<std::uint64_t, double> values_;
  bool all_scored_ = false;  // every tuple of every mapping scored before the walk

  std::vector<std::size_t> offsets_;       // of each anchor's choices in a flat row
  std::vector<std::vector<OtherAnchor>> others_;  // per anchor, the other anchors it may score with
  std::vector<double> known_;              // per depth: bound on the pairs already fixed
  std::vector<std::vector<double>> rows_;  // per depth: bound per (later anchor, choice)
  std::vector<Index> assignment_;
  std::vector<char> used_;
  std::vector<Index> columns_;     // the free choices, in order
  std::vector<std::size_t> column_of_;  // per choice: its place among the free ones
  std::vector<std::vector<double>> pair_caps_;  // per (anchor, choice), per closed neighbours
  std::vector<double> weights_;    // per open anchor and free choice: its bound, for the assignment

  double best_ = -1.0;
  double floor_ = -std::numeric_limits<double>::infinity();
  std::optional<std::vector<Index>> selected_;
  std::size_t nodes_ = 0;
};

void Search::number_chains() {
  for (const auto& [native_id, model_id] : setup_.fixed) {
    Position p;
    p.model = models_.add(model_id, model_);
    p.native = natives_.add(native_id, native_);
    positions_.push_back(p);
  }
  fixed_count_ = positions_.size();
  ChainSet& anchor_set = setup_.native_anchors ? natives_ : models_;
  ChainSet& choice_set = setup_.native_anchors ? models_ : natives_;
  const Structure& anchor_side = setup_.native_anchors ? native_ : model_;
  const Structure& choice_side = setup_.native_anchors ? model_ : native_;
  for (std::size_t k = 0; k < setup_.anchors.size(); ++k) {
    Position p;
    Index anchor = anchor_set.add(setup_.anchors[k], anchor_side);
    (setup_.native_anchors ? p.native : p.model) = anchor;
    positions_.push_back(p);
    std::vector<Index> list;
    for (std::size_t c : setup_.lists[k]) list.push_back(choice_set.add(setup_.candidates[c], choice_side));
    choices_.push_back(std::move(list));
  }
  choice_universe_ = choice_set.ids.size();
  if (models_.ids.size() > 0xFFFF || natives_.ids.size() > 0xFFFF)
    throw InternalError("more than 65535 chains in a chain mapping search");
  // Names are concatenations of two ids: ids of one length never collide.
  for (const auto& id : natives_.ids)
    if (id.size() != natives_.ids.front().size()) names_unique_ = false;
}

std::pair<Index, Index> Search::resolve(std::size_t position, Index choice) const {
  const Position& p = positions_[position];
  return {p.model == kChosen ? choice : p.model, p.native == kChosen ? choice : p.native};
}

template <class Visit>
void Search::for_each_possible_pair(Visit visit) const {
  static constexpr std::array<Index, 1> kFixed{0};  // a fixed position has one "choice"
  auto choices_at = [&](std::size_t p) -> std::span<const Index> {
    if (p < fixed_count_) return kFixed;
    return choices_[p - fixed_count_];
  };
  for (std::size_t p = 0; p < positions_.size(); ++p)
    for (std::size_t q = p + 1; q < positions_.size(); ++q)
      for (Index c : choices_at(p))
        for (Index d : choices_at(q)) {
          if (p >= fixed_count_ && c == d) continue;
          auto [m1, n1] = resolve(p, c);
          auto [m2, n2] = resolve(q, d);
          visit(p, c, q, d, m1, n1, m2, n2);
        }
}

// The lookups and the small-molecule test of the tuples of the first mapping, in
// their order. Every other mapping holds the same fixed chains, and anchors and
// candidates were all found while building the table; a native candidate has a
// het_name exactly when its model anchor has one.
std::optional<TarvoError> Search::first_lookup_error() const {
  auto missing = [](const ChainSet& set, Index i) { return i != kChosen && !set.chains[i]; };
  auto native_het = [&](const Position& p) {
    const Chain* chain = p.native != kChosen ? natives_.chains[p.native] : models_.chains[p.model];
    return chain->het_name.has_value();
  };
  for (std::size_t p = 0; p < positions_.size(); ++p) {
    for (std::size_t q = p + 1; q < positions_.size(); ++q) {
      const Position& a = positions_[p];
      const Position& b = positions_[q];
      if (a.model != kChosen && a.model == b.model) continue;
      for (auto [set, i] : {std::pair{&models_, a.model}, std::pair{&models_, b.model},
                            std::pair{&natives_, a.native}, std::pair{&natives_, b.native}})
        if (missing(*set, i)) return TarvoError{err::ChainNotFound{set->ids[i]}};
      if (native_het(a) || native_het(b)) return TarvoError{err::SmallMoleculeUnsupported{}};
    }
  }
  return std::nullopt;
}

// Contact between every ordered pair of chains that some mapping may pair, on
// both sides. A native pair without contact has no interface whatever the model;
// its matrix is kept for scoring when there is contact.
void Search::find_contacts() {
  const std::size_t model_count = models_.ids.size(), native_count = natives_.ids.size();
  std::vector<char> wanted_native(native_count * native_count, 0);
  std::vector<char> wanted_model(model_count * model_count, 0);
  for_each_possible_pair([&](std::size_t, Index, std::size_t, Index, Index m1, Index n1, Index m2, Index n2) {
    if (m1 == m2) return;
    wanted_native[n1 * native_count + n2] = 1;
    wanted_model[m1 * model_count + m2] = 1;
  });

  // With one choice per anchor there is only one mapping: every tuple of it is
  // scored, so the model side needs no test.
  bool one_mapping = std::all_of(choices_.begin(), choices_.end(),
                                 [](const auto& list) { return list.size() == 1; });
  native_contact_.assign(native_count * native_count, 0);
  model_contact_.assign(model_count * model_count, one_mapping ? 1 : 0);

  std::vector<std::pair<bool, std::uint32_t>> jobs;  // (is native, flat pair index)
  for (std::uint32_t i = 0; i < wanted_native.size(); ++i)
    if (wanted_native[i]) jobs.emplace_back(true, i);
  if (!one_mapping)
    for (std::uint32_t i = 0; i < wanted_model.size(); ++i)
      if (wanted_model[i]) jobs.emplace_back(false, i);

  std::vector<DistanceMatrix> matrices(jobs.size());
  std::vector<char> contact(jobs.size(), 0);
  const float cutoff = contact_cutoff(options_.capri_peptide);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, jobs.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        auto [is_native, flat] = jobs[i];
                        const ChainSet& set = is_native ? natives_ : models_;
                        std::size_t count = set.ids.size();
                        matrices[i] = native_distances(*set.chains[flat / count], *set.chains[flat % count]);
                        contact[i] = count_below(matrices[i], cutoff) > 0;
                      }
                    });
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto [is_native, flat] = jobs[i];
    (is_native ? native_contact_ : model_contact_)[flat] = contact[i];
    if (contact[i]) (is_native ? native_matrices_ : model_matrices_).emplace(flat, std::move(matrices[i]));
  }
}

// Upper bound on a tuple's score, or its score (NaN included) once known.
double Search::bound(Index m1, Index m2, Index n1, Index n2) const {
  if (m1 == m2 || !native_contact(n1, n2)) return 0.0;
  auto it = values_.find(tuple_key(m1, m2, n1, n2));
  if (it != values_.end()) return it->second;
  return model_contact(m1, m2) ? 1.0 : kNoModelContactBound;
}

Result<void> Search::score_tuples(std::span<const std::uint64_t> keys) {
  const std::uint32_t native_count = natives_.ids.size();
  const std::uint32_t model_count = models_.ids.size();
  std::vector<std::uint32_t> missing_sides;
  std::unordered_set<std::uint32_t> listed;
  // Tuples grouped by model pair, which shares one whole-chain model matrix.
  std::vector<std::vector<std::size_t>> groups;
  std::unordered_map<std::uint32_t, std::size_t> group_of;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto t = unpack_key(keys[i]);
    for (std::uint32_t side : {t[0] * native_count + t[2], t[1] * native_count + t[3]})
      if (!sides_.contains(side) && listed.insert(side).second) missing_sides.push_back(side);
    auto [it, added] = group_of.emplace(t[0] * model_count + t[1], groups.size());
    if (added) groups.emplace_back();
    groups[it->second].push_back(i);
  }
  std::vector<Side> prepared(missing_sides.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, missing_sides.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        const Chain& m = *models_.chains[missing_sides[i] / native_count];
                        const Chain& n = *natives_.chains[missing_sides[i] % native_count];
                        auto shared = setup_.alignments.find({m.id, n.id});
                        Side& side = prepared[i];
                        side.alignment = shared != setup_.alignments.end()
                                             ? shared->second
                                             : align_chains(m, n, options_.no_align);
                        if (auto chain = align_chain_pair(m, n, side.alignment)) {
                          side.whole = chain->residues.model.size() == m.residues.size();
                          side.chain = std::move(*chain);
                        }
                      }
                    });
  for (std::size_t i = 0; i < missing_sides.size(); ++i)
    sides_.emplace(missing_sides[i], std::move(prepared[i]));

  std::vector<std::optional<InterfaceResult>> results(keys.size());
  auto done = run_in_parallel(groups.size(), [&](std::size_t g, const std::atomic<bool>& stop) -> Result<void> {
    DistanceMatrix whole_matrix;
    for (std::size_t i : groups[g]) {
      if (stop.load(std::memory_order_relaxed)) return {};
      auto t = unpack_key(keys[i]);
      const Chain& model1 = *models_.chains[t[0]];
      const Chain& model2 = *models_.chains[t[1]];
      const Chain& native1 = *natives_.chains[t[2]];
      const Chain& native2 = *natives_.chains[t[3]];
      const Side& side1 = sides_.at(t[0] * native_count + t[2]);
      const Side& side2 = sides_.at(t[1] * native_count + t[3]);
      const DistanceMatrix& native_matrix = native_matrices_.at(t[2] * native_count + t[3]);
      Result<std::optional<InterfaceResult>> result;
      if (!side1.chain || !side2.chain) {
        // The residues do not fit the alignment: the plain scoring reports why.
        result = calc_tarvo(model1, model2, native1, native2, side1.alignment, side2.alignment,
                            options_.capri_peptide, native_matrix);
      } else if (side1.whole && side2.whole) {
        auto cached = model_matrices_.find(t[0] * model_count + t[1]);
        if (cached == model_matrices_.end() && whole_matrix.values.empty())
          whole_matrix = native_distances(model1, model2);
        result = calc_tarvo(native1, native2, *side1.chain, *side2.chain, options_.capri_peptide, native_matrix,
                            cached != model_matrices_.end() ? cached->second : whole_matrix);
      } else {
        DistanceMatrix model_matrix =
            *residue_group_distances(side1.chain->residues.model, side2.chain->residues.model, true);
        result = calc_tarvo(native1, native2, *side1.chain, *side2.chain, options_.capri_peptide, native_matrix,
                            model_matrix);
      }
      if (!result) return std::unexpected(std::move(result.error()));
      results[i] = std::move(*result);
    }
    return {};
  });
  if (!done) return std::unexpected(done.error());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    values_[keys[i]] = results[i] ? results[i]->Tarvo : 0.0;
    scored_[keys[i]] = std::move(results[i]);
  }
  return {};
}

// A bound on the score from the contacts alone. When both sides pair identical
// sequences every residue is aligned, so fnat is exactly the share of native
// contacts that the whole-chain model matrix reproduces; the two RMSD terms are
// at most 1 each, and the score is summed as the score itself is.
double Search::fnat_bound(Index m1, Index m2, Index n1, Index n2) const {
  const Chain& model1 = *models_.chains[m1];
  const Chain& model2 = *models_.chains[m2];
  if (options_.no_align || model1.sequence != natives_.chains[n1]->sequence ||
      model2.sequence != natives_.chains[n2]->sequence)
    return 1.0;
  const DistanceMatrix& model = model_matrices_.at(m1 * models_.ids.size() + m2);
  const DistanceMatrix& native = native_matrices_.at(n1 * natives_.ids.size() + n2);
  if (model.rows != native.rows || model.cols != native.cols) return 1.0;
  const float cutoff = contact_cutoff(options_.capri_peptide);
  std::uint32_t correct = 0, total = 0;
  for (std::size_t i = 0; i < native.values.size(); ++i) {
    bool in_native = native.values[i] < cutoff;
    total += in_native;
    correct += in_native && model.values[i] < cutoff;
  }
  double fnat = static_cast<double>(correct) / static_cast<double>(total);
  return ((fnat + 1.0) + 1.0) / 3.0;
}

// Before the walk: every tuple of some mapping scored, when there are few
// enough; otherwise a cheap bound for those whose chains touch on both sides
// (the interfaces that can score well), the scores coming when the walk reaches
// a branch that needs them. Tuples with a chain whose residues and sequence
// disagree may fail to score, so those of every mapping are scored now either
// way, as the plain enumeration would.
Result<void> Search::prepare_tuples() {
  std::vector<char> unusual_model(models_.ids.size(), 0), unusual_native(natives_.ids.size(), 0);
  for (std::size_t i = 0; i < models_.ids.size(); ++i)
    unusual_model[i] = models_.chains[i] && chain_is_unusual(*models_.chains[i], false, false);
  for (std::size_t i = 0; i < natives_.ids.size(); ++i)
    unusual_native[i] = natives_.chains[i] &&
                        chain_is_unusual(*natives_.chains[i], true, options_.capri_peptide);

  bool same_lists = std::all_of(choices_.begin(), choices_.end(),
                                [&](const auto& list) { return list == choices_.front(); });
  Completion completion(choices_, choice_universe_);
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::uint64_t> usual_keys, unusual_keys;
  for_each_possible_pair([&](std::size_t p, Index c, std::size_t q, Index d, Index m1, Index n1,
                             Index m2, Index n2) {
    if (m1 == m2 || !native_contact(n1, n2)) return;
    std::uint64_t key = tuple_key(m1, m2, n1, n2);
    if (!seen.insert(key).second) return;
    if (!unusual_model[m1] && !unusual_model[m2] && !unusual_native[n1] && !unusual_native[n2]) {
      usual_keys.push_back(key);
      return;
    }
    // With equal lists any two distinct choices complete to a mapping.
    if (!same_lists) {
      std::vector<std::pair<std::size_t, Index>> forced;
      if (p >= fixed_count_) forced.emplace_back(p - fixed_count_, c);
      if (q >= fixed_count_) forced.emplace_back(q - fixed_count_, d);
      if (!completion.possible(forced)) return;
    }
    unusual_keys.push_back(key);
  });

  if (usual_keys.size() + unusual_keys.size() <= upfront_tuples_) {
    usual_keys.insert(usual_keys.end(), unusual_keys.begin(), unusual_keys.end());
    all_scored_ = true;
    return score_tuples(usual_keys);
  }
  std::erase_if(usual_keys, [&](std::uint64_t k) {
    return model_matrices_.empty() || !model_contact(Index(k >> 48), Index((k >> 32) & 0xFFFF));
  });
  std::vector<double> bounds(usual_keys.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, usual_keys.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        auto t = unpack_key(usual_keys[i]);
                        bounds[i] = fnat_bound(t[0], t[1], t[2], t[3]);
                      }
                    });
  for (std::size_t i = 0; i < usual_keys.size(); ++i) values_.emplace(usual_keys[i], bounds[i]);
  return score_tuples(unusual_keys);
}

// Bounds that do not depend on the walk: for each anchor and choice, the pairs
// with the fixed positions; for each pair of anchors, the best any two choices
// can give, summed over the anchors from depth d on.
void Search::prepare_bounds() {
  const std::size_t n = choices_.size();
  offsets_.assign(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) offsets_[k + 1] = offsets_[k] + choices_[k].size();
  rows_.assign(n + 1, std::vector<double>(offsets_[n], 0.0));
  known_.assign(n + 1, 0.0);
  auto clean = [](double v) { return std::isnan(v) ? 0.0 : v; };
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t j = 0; j < choices_[k].size(); ++j) {
      auto [m2, n2] = resolve(fixed_count_ + k, choices_[k][j]);
      double sum = 0.0;
      for (std::size_t f = 0; f < fixed_count_; ++f)
        sum += clean(bound(positions_[f].model, m2, positions_[f].native, n2));
      rows_[0][offsets_[k] + j] = sum;
    }
  others_.assign(n, {});
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t l = 0; l < n; ++l) {
      if (l == k) continue;
      OtherAnchor pair{l, std::vector<std::vector<std::pair<double, Index>>>(choices_[k].size())};
      bool scores = false;
      for (std::size_t j = 0; j < choices_[k].size(); ++j) {
        auto [m1, n1] = resolve(fixed_count_ + k, choices_[k][j]);
        auto& ranked = pair.ranked[j];
        for (Index d : choices_[l]) {
          if (d == choices_[k][j]) continue;
          auto [m2, n2] = resolve(fixed_count_ + l, d);
          // The interface holds the earlier position first.
          double v = clean(k < l ? bound(m1, m2, n1, n2) : bound(m2, m1, n2, n1));
          if (v > 0.0) ranked.emplace_back(v, d);
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        scores = scores || !ranked.empty();
      }
      if (scores) others_[k].push_back(std::move(pair));
    }
  assignment_.assign(n, kChosen);
  used_.assign(choice_universe_, 0);
  column_of_.assign(choice_universe_, 0);
  if (!all_scored_) return;
  // Per anchor, choice and set of open neighbours (those after a depth, a
  // suffix of others_): the best their pairs with it can give when the
  // neighbours take distinct choices, whichever are still free.
  pair_caps_.assign(offsets_[n], {});
  std::vector<double> weights;
  for (std::size_t k = 0; k < n; ++k) {
    const auto& others = others_[k];
    std::size_t earlier = 0;
    while (earlier < others.size() && others[earlier].anchor < k) ++earlier;
    for (std::size_t j = 0; j < choices_[k].size(); ++j) {
      auto& caps = pair_caps_[offsets_[k] + j];
      caps.assign(earlier + 1, 0.0);
      for (std::size_t from = 0; from <= earlier; ++from) {
        std::size_t rows = others.size() - from;
        weights.assign(rows * choice_universe_, 0.0);
        for (std::size_t r = 0; r < rows; ++r)
          for (auto [value, e] : others[from + r].ranked[j]) weights[r * choice_universe_ + e] = value;
        caps[from] = *best_assignment(weights, rows, choice_universe_);
      }
    }
  }
}

// The pairs that choosing `choice` at `depth` fixes: with every fixed position
// and with every anchor chosen before.
double Search::known_increment(std::size_t depth, Index choice, bool& undefined) const {
  auto [m2, n2] = resolve(fixed_count_ + depth, choice);
  double sum = 0.0;
  auto add = [&](Index m1, Index n1) {
    double v = bound(m1, m2, n1, n2);
    if (std::isnan(v)) {
      // With unique names a NaN entry stays in the result map and the total is NaN.
      if (names_unique_) undefined = true;
      return;
    }
    sum += v;
  };
  for (std::size_t f = 0; f < fixed_count_; ++f) add(positions_[f].model, positions_[f].native);
  for (std::size_t k = 0; k < depth; ++k) {
    auto [m1, n1] = resolve(fixed_count_ + k, assignment_[k]);
    add(m1, n1);
  }
  return sum;
}

// Fills the state of depth + 1 for `choice` at `depth`; returns the upper bound
// on every total below, or nothing when no mapping below can be selected.
std::optional<double> Search::expand(std::size_t depth, Index choice) {
  bool undefined = false;
  double known = known_[depth] + known_increment(depth, choice, undefined);
  if (undefined) return std::nullopt;
  known_[depth + 1] = known;
  auto [m1, n1] = resolve(fixed_count_ + depth, choice);
  const auto& row = rows_[depth];
  auto& next = rows_[depth + 1];
  double upper = known;
  const std::size_t open = choices_.size() - depth - 1;
  const bool assignment = all_scored_ && open > 1;
  if (assignment) {
    columns_.clear();
    for (Index c = 0; c < choice_universe_; ++c)
      if (!used_[c] && c != choice) {
        column_of_[c] = columns_.size();
        columns_.push_back(c);
      }
    weights_.assign(open * columns_.size(), kUnreachable);
  }
  for (std::size_t l = depth + 1; l < choices_.size(); ++l) {
    double best = -1.0;
    for (std::size_t j = 0; j < choices_[l].size(); ++j) {
      Index d = choices_[l][j];
      std::size_t at = offsets_[l] + j;
      if (d == choice || used_[d]) continue;
      auto [m2, n2] = resolve(fixed_count_ + l, d);
      double v = bound(m1, m2, n1, n2);
      next[at] = row[at] + (std::isnan(v) ? 0.0 : v);
      // Each pair of open anchors counts at the earlier one, with the best
      // partner still free; for the assignment, half at each end, and no more
      // than what distinct partners can give.
      double pairs = 0.0, halves = 0.0;
      std::size_t closed = 0;
      for (const OtherAnchor& other : others_[l]) {
        if (other.anchor <= depth) {
          ++closed;
          continue;
        }
        if (!assignment && other.anchor < l) continue;
        for (auto [value, e] : other.ranked[j]) {
          ++nodes_;
          if (e == d || e == choice || used_[e]) continue;
          if (other.anchor > l) pairs += value;
          halves += value;
          break;
        }
      }
      best = std::max(best, next[at] + pairs);
      if (assignment)
        weights_[(l - depth - 1) * columns_.size() + column_of_[d]] =
            next[at] + 0.5 * std::min(halves, pair_caps_[at][closed]);
    }
    if (best < 0.0) return std::nullopt;  // an anchor below has no choice left
    upper += best;
  }
  if (!assignment || prunable(upper)) return upper;
  // The open anchors take distinct choices: the best assignment of choices to
  // them, each counted at its per-choice bound, bounds every completion too.
  auto assigned = best_assignment(weights_, open, columns_.size());
  return assigned ? std::min(upper, known + *assigned) : upper;
}

// Maximum-weight assignment of the rows of a rows x cols matrix (rows <= cols)
// to distinct columns (Hungarian method with potentials, O(rows^2 * cols));
// nothing when the best one holds an unreachable entry.
std::optional<double> Search::best_assignment(std::span<const double> weights, std::size_t rows,
                                              std::size_t cols) {
  const double inf = std::numeric_limits<double>::infinity();
  auto cost = [&](std::size_t i, std::size_t j) { return -weights[(i - 1) * cols + (j - 1)]; };
  std::vector<double> u(rows + 1, 0.0), v(cols + 1, 0.0), slack(cols + 1);
  std::vector<std::size_t> owner(cols + 1, 0), way(cols + 1, 0);
  std::vector<char> done(cols + 1);
  for (std::size_t i = 1; i <= rows; ++i) {
    owner[0] = i;
    std::size_t j0 = 0;
    std::fill(slack.begin(), slack.end(), inf);
    std::fill(done.begin(), done.end(), 0);
    do {
      done[j0] = 1;
      std::size_t i0 = owner[j0], j1 = 0;
      double delta = inf;
      nodes_ += cols;
      for (std::size_t j = 1; j <= cols; ++j) {
        if (done[j]) continue;
        double reduced = cost(i0, j) - u[i0] - v[j];
        if (reduced < slack[j]) {
          slack[j] = reduced;
          way[j] = j0;
        }
        if (slack[j] < delta) {
          delta = slack[j];
          j1 = j;
        }
      }
      for (std::size_t j = 0; j <= cols; ++j) {
        if (done[j]) {
          u[owner[j]] += delta;
          v[j] -= delta;
        } else {
          slack[j] -= delta;
        }
      }
      j0 = j1;
    } while (owner[j0] != 0);
    do {
      std::size_t j1 = way[j0];
      owner[j0] = owner[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  double total = 0.0;
  for (std::size_t j = 1; j <= cols; ++j) {
    if (owner[j] == 0) continue;
    double w = weights[(owner[j] - 1) * cols + (j - 1)];
    if (w == kUnreachable) return std::nullopt;
    total += w;
  }
  return total;
}

bool Search::prunable(double upper) const {
  return upper + kMargin <= best_ || upper + kMargin < floor_;
}

void Search::collect_between_fixed(std::vector<std::uint64_t>& missing,
                                   std::unordered_set<std::uint64_t>& listed) const {
  for (std::size_t q = 1; q < fixed_count_; ++q)
    for (std::size_t p = 0; p < q; ++p) {
      const Position& a = positions_[p];
      const Position& b = positions_[q];
      std::uint64_t key = tuple_key(a.model, b.model, a.native, b.native);
      if (a.model != b.model && native_contact(a.native, b.native) && !scored_.contains(key) &&
          listed.insert(key).second)
        missing.push_back(key);
    }
}

// The unscored tuples that choosing `choice` at `depth` fixes, with contact on
// the native side, and also on the model side unless `every_tuple`.
void Search::collect_fixed_by(std::size_t depth, Index choice, bool every_tuple,
                              std::vector<std::uint64_t>& missing,
                              std::unordered_set<std::uint64_t>& listed) const {
  auto [m2, n2] = resolve(fixed_count_ + depth, choice);
  for (std::size_t p = 0; p < fixed_count_ + depth; ++p) {
    auto [m1, n1] = resolve(p, p < fixed_count_ ? 0 : assignment_[p - fixed_count_]);
    std::uint64_t key = tuple_key(m1, m2, n1, n2);
    if (m1 == m2 || !native_contact(n1, n2) || scored_.contains(key)) continue;
    if (!every_tuple && !model_contact(m1, m2)) continue;
    if (listed.insert(key).second) missing.push_back(key);
  }
}

// Scores the tuples, fixed at this depth, of the choices that the cheap bounds
// keep, all in one parallel step; each costs the budget as much as many nodes.
Result<void> Search::refine(std::size_t depth) {
  if (all_scored_) return {};
  std::vector<std::uint64_t> missing;
  std::unordered_set<std::uint64_t> listed;
  for (Index c : choices_[depth]) {
    if (used_[c]) continue;
    auto upper = expand(depth, c);
    if (upper && !prunable(*upper)) collect_fixed_by(depth, c, false, missing, listed);
  }
  nodes_ += kTupleCost * missing.size();
  return score_tuples(missing);
}

// The last anchor's choices that may still beat the best total, with every
// tuple of their mappings scored.
Result<std::vector<Index>> Search::prepare_leaves(std::size_t depth) {
  std::vector<Index> leaves;
  std::vector<std::uint64_t> missing;
  std::unordered_set<std::uint64_t> listed;
  collect_between_fixed(missing, listed);
  for (std::size_t d = 0; d < depth; ++d) collect_fixed_by(d, assignment_[d], true, missing, listed);
  for (Index c : choices_[depth]) {
    if (used_[c]) continue;
    if (over_budget()) return std::vector<Index>{};
    bool undefined = false;
    double upper = known_[depth] + known_increment(depth, c, undefined);
    if (undefined || prunable(upper)) continue;
    leaves.push_back(c);
    collect_fixed_by(depth, c, true, missing, listed);
  }
  if (leaves.empty()) return leaves;
  nodes_ += kTupleCost * missing.size();
  if (auto done = score_tuples(missing); !done) return std::unexpected(done.error());
  return leaves;
}

// The total of the complete assignment, summed as the result map sums it.
double Search::leaf_total() const {
  std::vector<std::pair<Index, Index>> chains;
  for (std::size_t p = 0; p < positions_.size(); ++p)
    chains.push_back(resolve(p, p < fixed_count_ ? 0 : assignment_[p - fixed_count_]));
  double total = 0.0;
  OrderedMap<std::string, double> by_name;
  for (std::size_t p = 0; p < chains.size(); ++p)
    for (std::size_t q = p + 1; q < chains.size(); ++q) {
      auto [m1, n1] = chains[p];
      auto [m2, n2] = chains[q];
      if (m1 == m2 || !native_contact(n1, n2)) continue;
      const auto& outcome = scored_.at(tuple_key(m1, m2, n1, n2));
      if (!outcome) continue;
      if (names_unique_)
        total += outcome->Tarvo;
      else
        by_name.insert_or_assign(natives_.ids[n1] + natives_.ids[n2], outcome->Tarvo);
    }
  for (const auto& [name, value] : by_name) total += value;
  return total;
}

Result<void> Search::visit(std::size_t depth) {
  if (depth + 1 == choices_.size()) {
    auto leaves = prepare_leaves(depth);
    if (!leaves) return std::unexpected(leaves.error());
    for (Index c : *leaves) {
      assignment_[depth] = c;
      double total = leaf_total();
      if (total > best_) {
        best_ = total;
        selected_ = assignment_;
      }
    }
    return {};
  }
  if (auto done = refine(depth); !done) return done;
  for (Index c : choices_[depth]) {
    if (used_[c]) continue;
    if (over_budget()) return {};
    auto upper = expand(depth, c);
    if (!upper || prunable(*upper)) continue;
    assignment_[depth] = c;
    used_[c] = 1;
    auto done = visit(depth + 1);
    used_[c] = 0;
    if (!done) return done;
  }
  return {};
}

// A first mapping found greedily (at each depth the choice with the highest
// bound). Its total is reached by some mapping, so any branch whose bound stays
// below it cannot hold the selected mapping; the walk prunes with it from the start.
Result<void> Search::dive() {
  const std::size_t n = choices_.size();
  std::size_t depth = 0;
  for (; depth + 1 < n; ++depth) {
    if (auto done = refine(depth); !done) return done;
    std::optional<Index> pick;
    double pick_upper = 0.0;
    for (Index c : choices_[depth]) {
      if (used_[c] || over_budget()) continue;
      auto upper = expand(depth, c);
      if (upper && (!pick || *upper > pick_upper)) {
        pick = c;
        pick_upper = *upper;
      }
    }
    if (!pick) break;
    expand(depth, *pick);
    assignment_[depth] = *pick;
    used_[*pick] = 1;
  }
  if (depth + 1 == n) {
    auto leaves = prepare_leaves(depth);
    if (!leaves) return std::unexpected(leaves.error());
    std::optional<Index> pick;
    for (Index c : *leaves) {
      assignment_[depth] = c;
      double total = leaf_total();
      if (!std::isnan(total) && total > floor_) {
        floor_ = total;
        pick = c;
      }
    }
    if (pick && all_scored_) {
      assignment_[depth] = *pick;
      climb();
    }
  }
  std::fill(used_.begin(), used_.end(), 0);
  return {};
}

// The sum of the scores of the complete assignment in any order, or NaN.
double Search::quick_total(const std::vector<Index>& assignment) const {
  double sum = 0.0;
  for (std::size_t p = 0; p < positions_.size(); ++p) {
    auto [m1, n1] = resolve(p, p < fixed_count_ ? 0 : assignment[p - fixed_count_]);
    for (std::size_t q = p + 1; q < positions_.size(); ++q) {
      auto [m2, n2] = resolve(q, q < fixed_count_ ? 0 : assignment[q - fixed_count_]);
      sum += bound(m1, m2, n1, n2);
    }
  }
  return sum;
}

// From the dive's mapping, exchanges of two anchors' choices and moves to a free
// choice while they raise the total: a higher floor prunes more of the walk.
// Needs every tuple scored, so that the totals compared are the true ones.
void Search::climb() {
  const std::size_t n = choices_.size();
  std::vector<std::vector<char>> allowed(n, std::vector<char>(choice_universe_, 0));
  for (std::size_t k = 0; k < n; ++k)
    for (Index c : choices_[k]) allowed[k][c] = 1;
  std::vector<Index> current = assignment_;
  std::vector<char> used(choice_universe_, 0);
  for (Index c : current) used[c] = 1;
  double value = quick_total(current);
  bool improved = true;
  while (improved && !std::isnan(value)) {
    improved = false;
    for (std::size_t a = 0; a < n; ++a) {
      for (std::size_t b = a + 1; b < n; ++b) {
        nodes_ += n * n;
        if (!allowed[a][current[b]] || !allowed[b][current[a]]) continue;
        std::swap(current[a], current[b]);
        double next = quick_total(current);
        if (next > value) {
          value = next;
          improved = true;
        } else {
          std::swap(current[a], current[b]);
        }
      }
      for (Index c : choices_[a]) {
        nodes_ += n * n;
        if (used[c]) continue;
        Index old = current[a];
        current[a] = c;
        double next = quick_total(current);
        if (next > value) {
          value = next;
          improved = true;
          used[old] = 0;
          used[c] = 1;
        } else {
          current[a] = old;
        }
      }
    }
  }
  std::vector<Index> dived = std::exchange(assignment_, current);
  double total = leaf_total();
  if (!std::isnan(total)) floor_ = std::max(floor_, total);
  assignment_ = std::move(dived);
}

TarvoError Search::budget_error() const {
  std::size_t interchangeable = 0;
  for (const auto& list : choices_)
    if (list.size() > 1) ++interchangeable;
  return TarvoError{err::Mapping{
      "The chain mapping search stopped after " + std::to_string(budget_) + " steps: " +
      std::to_string(interchangeable) +
      " chains were interchangeable, too many to find the best mapping exactly. Fix part of "
      "the mapping with a mapping text (e.g. --mapping AB*:AB*) to narrow the search."}};
}

Result<RunResult> Search::best_run() const {
  ChainMapping mapping = setup_.fixed;
  for (std::size_t k = 0; k < choices_.size(); ++k) {
    const std::string& anchor = setup_.anchors[k];
    const std::string& chosen =
        (setup_.native_anchors ? models_ : natives_).ids[(*selected_)[k]];
    if (setup_.native_anchors)
      mapping.insert_or_assign(anchor, chosen);
    else
      mapping.insert_or_assign(chosen, anchor);
  }
  OrderedMap<std::string, InterfaceResult> results;
  for_each_pair(mapping, [&](const Tuple& t) {
    Index m1 = models_.index.at(t[0]), m2 = models_.index.at(t[1]);
    Index n1 = natives_.index.at(t[2]), n2 = natives_.index.at(t[3]);
    if (!native_contact(n1, n2)) return;
    const auto& outcome = scored_.at(tuple_key(m1, m2, n1, n2));
    if (!outcome) return;
    InterfaceResult copy = *outcome;
    copy.chain1 = t[0];
    copy.chain2 = t[1];
    results.insert_or_assign(t[2] + t[3], std::move(copy));
  });
  return finish(model_, native_, std::move(mapping), std::move(results), best_);
}

Result<RunResult> Search::run() {
  number_chains();
  if (!Completion(choices_, choice_universe_).possible({})) return fail(err::Mapping{kNoMapping});
  if (auto error = first_lookup_error()) return std::unexpected(std::move(*error));
  find_contacts();
  if (auto done = prepare_tuples(); !done) return std::unexpected(done.error());
  prepare_bounds();

  if (choices_.empty()) {
    // Only the fixed pairs: one mapping, unless one of its interfaces is NaN.
    std::vector<std::uint64_t> missing;
    std::unordered_set<std::uint64_t> listed;
    collect_between_fixed(missing, listed);
    if (auto done = score_tuples(missing); !done) return std::unexpected(done.error());
    selected_ = std::vector<Index>{};
    best_ = leaf_total();
    if (std::isnan(best_)) selected_.reset();
  } else {
    bool undefined = false;
    for (std::size_t f = 0; f < fixed_count_ && !undefined; ++f)
      for (std::size_t g = f + 1; g < fixed_count_; ++g) {
        const Position& a = positions_[f];
        const Position& b = positions_[g];
        double v = bound(a.model, b.model, a.native, b.native);
        if (std::isnan(v) && names_unique_) undefined = true;
        known_[0] += std::isnan(v) ? 0.0 : v;
      }
    if (!undefined) {
      if (auto done = dive(); !done) return std::unexpected(done.error());
      if (auto done = visit(0); !done) return std::unexpected(done.error());
    }
    if (nodes_ > budget_) return std::unexpected(budget_error());
  }
  if (!selected_) return fail(err::Mapping{kAllUndefined});
  return best_run();
}

}  // namespace

Result<RunResult> score_structures(const Structure& model, const Structure& native,
                                   const ScoreOptions& options) {
  return score_structures_with_budget(model, native, options, kStepBudget, kUpfrontTuples);
}

Result<RunResult> score_structures_with_budget(const Structure& model, const Structure& native,
                                               const ScoreOptions& options, std::size_t step_budget,
                                               std::size_t upfront_tuples) {
  auto setup = prepare(model, native, options);
  if (!setup) return std::unexpected(setup.error());
  return Search(model, native, options, std::move(*setup), step_budget, upfront_tuples).run();
}

}  // namespace tarvo

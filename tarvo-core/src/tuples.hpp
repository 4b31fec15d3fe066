// The interface tuples of a chain-mapping search (model i, model j, native i,
// native j, packed by tuple_key): which chain pairs touch, their distance
// matrices and prepared sides, and per tuple its score once known, else a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tarvo/align.hpp"      // Alignment
#include "tarvo/error.hpp"      // Result
#include "tarvo/geometry.hpp"   // DistanceMatrix
#include "tarvo/run.hpp"        // ScoreOptions
#include "tarvo/tarvo.hpp"      // InterfaceResult, AlignedChain
#include "budget.hpp"           // Budget
#include "candidates.hpp"       // Setup
#include "layout.hpp"           // Layout, Index, tuple_key
#include "native_matrices.hpp"  // NativeMatrices

namespace tarvo {

// Tarvo of an interface whose model chains touch nowhere: fnat is 0.
inline constexpr double kNoModelContactBound = tarvo_score(0.0, 0.0, 0.0);
// Tarvo of any interface whose chains touch on both sides.
inline constexpr double kContactBound = tarvo_score(1.0, 0.0, 0.0);

// One model chain against one native chain, as every interface pairing them uses it.
struct Side {
  Alignment alignment;
  std::optional<AlignedChain> chain;  // absent when the residues do not fit the alignment
  bool whole = false;                 // every model residue aligned, in chain order
};

class TupleStore {
 public:
  TupleStore(const Layout& layout, const Setup& setup, const ScoreOptions& options, Budget& budget,
             NativeMatrices& native_side)
      : layout_(layout), setup_(setup), options_(options), budget_(budget), native_side_(native_side) {}

  // Both fail with the budget error when their work would exceed the budget.
  Result<void> find_contacts();
  Result<void> prepare_tuples(std::size_t upfront_tuples);
  Result<void> score_tuples(std::span<const std::uint64_t> keys);

  bool native_contact(Index n1, Index n2) const {
    return native_contact_[n1 * layout_.natives.ids.size() + n2];
  }
  bool model_contact(Index m1, Index m2) const {
    return model_contact_[m1 * layout_.models.ids.size() + m2];
  }
  // Upper bound on a tuple's score, or its score (NaN included) once known.
  double bound(Index m1, Index m2, Index n1, Index n2) const {
    if (m1 == m2 || !native_contact(n1, n2)) return 0.0;
    auto it = values_.find(tuple_key(m1, m2, n1, n2));
    if (it != values_.end()) return it->second;
    return model_contact(m1, m2) ? kContactBound : kNoModelContactBound;
  }
  // The bound of the interface between positions p and q holding these chains.
  double bound_between(std::size_t p, std::pair<Index, Index> at_p, std::size_t q,
                       std::pair<Index, Index> at_q) const {
    return layout_.earlier(p, q) ? bound(at_p.first, at_q.first, at_p.second, at_q.second)
                                 : bound(at_q.first, at_p.first, at_q.second, at_p.second);
  }
  // No mapping totals more: one per native pair in contact.
  double most_total() const;
  // Every tuple of every mapping scored before the walk.
  bool all_scored() const { return all_scored_; }
  const std::optional<InterfaceResult>& outcome(std::uint64_t key) const { return scored_.at(key); }

  void collect_between_fixed(std::vector<std::uint64_t>& missing,
                             std::unordered_set<std::uint64_t>& listed) const;
  void collect_fixed_by(std::size_t depth, Index choice, std::span<const Index> assignment,
                        bool every_tuple, std::vector<std::uint64_t>& missing,
                        std::unordered_set<std::uint64_t>& listed) const;
  // The unscored tuples that position p forms with every other position of a
  // complete assignment, with contact on the native side.
  void collect_around(std::size_t p, std::span<const Index> assignment, std::vector<std::uint64_t>& missing,
                      std::unordered_set<std::uint64_t>& listed) const;

 private:
  double fnat_bound(Index m1, Index m2, Index n1, Index n2) const;
  Result<void> bound_touching_tuples(const std::vector<std::vector<std::pair<std::size_t, Index>>>& places,
                                     std::size_t upfront_tuples);
  Result<void> bound_by_contacts(const std::vector<std::uint64_t>& keys);

  const Layout& layout_;
  const Setup& setup_;
  const ScoreOptions& options_;
  Budget& budget_;  // charged for the set-up only; the walk counts its own steps
  NativeMatrices& native_side_;

  std::vector<char> native_contact_, model_contact_;
  // The ordered pairs in contact: native ones, and model ones unless one mapping is all there is.
  std::vector<std::pair<Index, Index>> native_contacts_, model_contacts_;
  std::unordered_map<std::uint32_t, const DistanceMatrix*> native_matrices_;  // pairs in contact
  std::unordered_map<std::uint32_t, DistanceMatrix> model_matrices_;  // pairs in contact
  std::unordered_map<std::uint32_t, Side> sides_;
  std::unordered_map<std::uint64_t, std::optional<InterfaceResult>> scored_;
  // Tuples whose model chains touch: the score once known, else a bound from fnat.
  std::unordered_map<std::uint64_t, double> values_;
  bool all_scored_ = false;  // every tuple of every mapping scored before the walk
};

}  // namespace tarvo

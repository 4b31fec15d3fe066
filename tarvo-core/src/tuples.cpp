#include "tuples.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "tarvo/pool.hpp"   // run_in_parallel
#include "assignment.hpp"   // Completion
#include "near_chains.hpp"  // near_pairs
#include "utf8.hpp"         // next_code_point

namespace tarvo {

namespace {

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

}  // namespace

// Contact between the chains of each side that come near each other, in each
// order that an interface may hold them in. A native pair without contact has no
// interface whatever the model; its matrix is kept for scoring when there is contact.
Result<void> TupleStore::find_contacts() {
  const std::size_t model_count = layout_.models.ids.size(), native_count = layout_.natives.ids.size();
  // With one choice per anchor there is only one mapping: every tuple of it is
  // scored, so the model side needs no test.
  bool one_mapping = std::all_of(layout_.choices.begin(), layout_.choices.end(),
                                 [](const auto& list) { return list.size() == 1; });
  native_contact_.assign(native_count * native_count, 0);
  model_contact_.assign(model_count * model_count, one_mapping ? 1 : 0);

  const float cutoff = contact_cutoff(options_.capri_peptide);
  const float reach = contact_reach(options_.capri_peptide);
  std::vector<std::pair<bool, std::uint32_t>> jobs;  // (is native, flat pair index)
  auto add_jobs = [&](bool is_native, const ChainSet& set) {
    const std::uint32_t count = set.ids.size();
    const auto span = layout_.mapping_span(is_native);
    for (auto [i, j] : near_pairs(set.chains, reach)) {
      if (span[i].first < span[j].second) jobs.emplace_back(is_native, i * count + j);
      if (span[j].first < span[i].second) jobs.emplace_back(is_native, j * count + i);
    }
  };
  add_jobs(true, layout_.natives);
  if (!one_mapping) add_jobs(false, layout_.models);

  std::size_t residue_pairs = 0;
  for (auto [is_native, flat] : jobs) {
    const ChainSet& set = is_native ? layout_.natives : layout_.models;
    residue_pairs += set.chains[flat / set.ids.size()]->residues.size() * set.chains[flat % set.ids.size()]->residues.size();
  }
  if (!budget_.charge(kResiduePairCost * residue_pairs)) return std::unexpected(interchangeable_error(budget_, setup_));

  // Native matrices live in the shared native side; model matrices here.
  std::vector<DistanceMatrix> matrices(jobs.size());
  std::vector<const DistanceMatrix*> natives(jobs.size(), nullptr);
  std::vector<char> contact(jobs.size(), 0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, jobs.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        auto [is_native, flat] = jobs[i];
                        const ChainSet& set = is_native ? layout_.natives : layout_.models;
                        const Chain& first = *set.chains[flat / set.ids.size()];
                        const Chain& second = *set.chains[flat % set.ids.size()];
                        if (is_native) {
                          natives[i] = native_side_.between(first, second);
                          contact[i] = natives[i] && count_below(*natives[i], cutoff) > 0;
                        } else {
                          matrices[i] = contact_distances(first, second);
                          contact[i] = count_below(matrices[i], cutoff) > 0;
                        }
                      }
                    });
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto [is_native, flat] = jobs[i];
    (is_native ? native_contact_ : model_contact_)[flat] = contact[i];
    if (!contact[i]) continue;
    if (is_native) {
      native_matrices_.emplace(flat, natives[i]);
      native_contacts_.emplace_back(flat / native_count, flat % native_count);
    } else {
      model_matrices_.emplace(flat, std::move(matrices[i]));
      model_contacts_.emplace_back(flat / model_count, flat % model_count);
    }
  }
  return {};
}

Result<void> TupleStore::score_tuples(std::span<const std::uint64_t> keys) {
  const std::uint32_t native_count = layout_.natives.ids.size();
  const std::uint32_t model_count = layout_.models.ids.size();
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
  // A group whose model chains have their natives' sequences has whole sides
  // (the alignment is the identity), so its whole-chain model matrix is made
  // beside the sides rather than after them: three chains give three tasks in
  // each step, which two threads would otherwise take in two rounds each.
  std::vector<std::optional<DistanceMatrix>> early(groups.size());
  std::vector<std::size_t> early_groups;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    auto t = unpack_key(keys[groups[g].front()]);
    if (!options_.no_align && !model_matrices_.contains(t[0] * model_count + t[1]) &&
        layout_.models.chains[t[0]]->sequence == layout_.natives.chains[t[2]]->sequence &&
        layout_.models.chains[t[1]]->sequence == layout_.natives.chains[t[3]]->sequence)
      early_groups.push_back(g);
  }
  std::vector<Side> prepared(missing_sides.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, missing_sides.size() + early_groups.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        if (i >= missing_sides.size()) {
                          const std::size_t g = early_groups[i - missing_sides.size()];
                          auto t = unpack_key(keys[groups[g].front()]);
                          early[g] = contact_distances(*layout_.models.chains[t[0]], *layout_.models.chains[t[1]]);
                          continue;
                        }
                        const Chain& m = *layout_.models.chains[missing_sides[i] / native_count];
                        const Chain& n = *layout_.natives.chains[missing_sides[i] % native_count];
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
    std::optional<DistanceMatrix> whole_matrix = std::move(early[g]);
    for (std::size_t i : groups[g]) {
      if (stop.load(std::memory_order_relaxed)) return {};
      auto t = unpack_key(keys[i]);
      const Chain& model1 = *layout_.models.chains[t[0]];
      const Chain& model2 = *layout_.models.chains[t[1]];
      const Chain& native1 = *layout_.natives.chains[t[2]];
      const Chain& native2 = *layout_.natives.chains[t[3]];
      const Side& side1 = sides_.at(t[0] * native_count + t[2]);
      const Side& side2 = sides_.at(t[1] * native_count + t[3]);
      const DistanceMatrix& native_matrix = *native_matrices_.at(t[2] * native_count + t[3]);
      Result<std::optional<InterfaceResult>> result;
      if (!side1.chain || !side2.chain) {
        // The residues do not fit the alignment: the plain scoring reports why.
        result = calc_tarvo(model1, model2, native1, native2, side1.alignment, side2.alignment,
                            options_.capri_peptide, native_matrix);
      } else if (side1.whole && side2.whole) {
        auto cached = model_matrices_.find(t[0] * model_count + t[1]);
        if (cached == model_matrices_.end() && !whole_matrix) whole_matrix = contact_distances(model1, model2);
        result = calc_tarvo(native1, native2, *side1.chain, *side2.chain, options_.capri_peptide, native_matrix,
                            cached != model_matrices_.end() ? cached->second : *whole_matrix);
      } else {
        DistanceMatrix model_matrix = contact_distances(side1.chain->residues.model, side2.chain->residues.model);
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
// at most 1 each.
double TupleStore::fnat_bound(Index m1, Index m2, Index n1, Index n2) const {
  const Chain& model1 = *layout_.models.chains[m1];
  const Chain& model2 = *layout_.models.chains[m2];
  if (options_.no_align || model1.sequence != layout_.natives.chains[n1]->sequence ||
      model2.sequence != layout_.natives.chains[n2]->sequence)
    return kContactBound;
  const DistanceMatrix& model = model_matrices_.at(m1 * layout_.models.ids.size() + m2);
  const DistanceMatrix& native = *native_matrices_.at(n1 * layout_.natives.ids.size() + n2);
  if (model.rows != native.rows || model.cols != native.cols) return kContactBound;
  const SharedBelow contacts = shared_below(native, model, contact_cutoff(options_.capri_peptide));
  return tarvo_score(static_cast<double>(contacts.both) / static_cast<double>(contacts.first), 0.0, 0.0);
}

// Before the walk: every tuple of some mapping scored, when there are few
// enough; otherwise a cheap bound for those whose chains touch on both sides
// (the interfaces that can score well), the scores coming when the walk reaches
// a branch that needs them. Tuples with a chain whose residues and sequence
// disagree may fail to score, so those of every mapping are scored now either
// way, as the plain enumeration would.
Result<void> TupleStore::prepare_tuples(std::size_t upfront_tuples) {
  std::vector<char> unusual_model(layout_.models.ids.size(), 0);
  std::vector<char> unusual_native(layout_.natives.ids.size(), 0);
  for (std::size_t i = 0; i < layout_.models.ids.size(); ++i)
    unusual_model[i] = layout_.models.chains[i] && chain_is_unusual(*layout_.models.chains[i], false, false);
  for (std::size_t i = 0; i < layout_.natives.ids.size(); ++i)
    unusual_native[i] = layout_.natives.chains[i] &&
                        chain_is_unusual(*layout_.natives.chains[i], true, options_.capri_peptide);

  const auto places = layout_.native_places();
  // Too many tuples to score them all, and none that may fail to score: only
  // those whose model chains touch too are listed, for their bounds.
  std::size_t estimate = 0;
  for (auto [n1, n2] : native_contacts_)
    if (!places[n1].empty() && !places[n2].empty() && layout_.earlier(places[n1][0].first, places[n2][0].first))
      estimate += places[n1].size() * places[n2].size();
  if (estimate > upfront_tuples && std::ranges::none_of(unusual_model, [](char u) { return u; }) &&
      std::ranges::none_of(unusual_native, [](char u) { return u; }))
    return bound_touching_tuples(places, upfront_tuples);

  bool same_lists = std::all_of(layout_.choices.begin(), layout_.choices.end(),
                                [&](const auto& list) { return list == layout_.choices.front(); });
  Completion completion(layout_.choices, layout_.choice_universe);
  // The tuples of some mapping: native chains in contact, at two positions with
  // choices that one mapping may hold together, the earlier position first.
  std::size_t visits = 0;
  for (auto [n1, n2] : native_contacts_) visits += places[n1].size() * places[n2].size();
  if (!budget_.charge(kPairCost * visits)) return std::unexpected(interchangeable_error(budget_, setup_));
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::uint64_t> usual_keys, unusual_keys;
  for (auto [n1, n2] : native_contacts_)
    for (auto [p, c] : places[n1])
      for (auto [q, d] : places[n2]) {
        if (!layout_.earlier(p, q) || (p >= layout_.fixed_count && q >= layout_.fixed_count && c == d)) continue;
        const Index m1 = layout_.resolve(p, c).first, m2 = layout_.resolve(q, d).first;
        if (m1 == m2) continue;
        std::uint64_t key = tuple_key(m1, m2, n1, n2);
        if (!seen.insert(key).second) continue;
        if (!unusual_model[m1] && !unusual_model[m2] && !unusual_native[n1] && !unusual_native[n2]) {
          usual_keys.push_back(key);
          continue;
        }
        // With equal lists any two distinct choices complete to a mapping.
        if (!same_lists) {
          std::vector<std::pair<std::size_t, Index>> forced;
          if (p >= layout_.fixed_count) forced.emplace_back(p - layout_.fixed_count, c);
          if (q >= layout_.fixed_count) forced.emplace_back(q - layout_.fixed_count, d);
          if (!completion.possible(forced)) continue;
        }
        unusual_keys.push_back(key);
      }

  const bool upfront = usual_keys.size() + unusual_keys.size() <= upfront_tuples;
  if (!budget_.charge(kTupleCost * (upfront ? usual_keys.size() + unusual_keys.size() : unusual_keys.size())))
    return std::unexpected(interchangeable_error(budget_, setup_));
  if (upfront) {
    usual_keys.insert(usual_keys.end(), unusual_keys.begin(), unusual_keys.end());
    all_scored_ = true;
    return score_tuples(usual_keys);
  }
  std::erase_if(usual_keys, [&](std::uint64_t k) {
    return model_matrices_.empty() || !model_contact(Index(k >> 48), Index((k >> 32) & 0xFFFF));
  });
  if (auto done = bound_by_contacts(usual_keys); !done) return done;
  return score_tuples(unusual_keys);
}

// The tuples whose chains touch on both sides, found from the model chains in
// contact with each chain rather than from every pair of choices: scored when
// there are at most `upfront_tuples`, else bounded.
Result<void> TupleStore::bound_touching_tuples(const std::vector<std::vector<std::pair<std::size_t, Index>>>& places,
                                               std::size_t upfront_tuples) {
  std::vector<std::vector<Index>> partners(layout_.models.ids.size());
  for (auto [m1, m2] : model_contacts_) partners[m1].push_back(m2);
  // The places holding a native chain and a model chain together, by (native, model).
  std::unordered_map<std::uint64_t, std::vector<std::pair<std::size_t, Index>>> place_of;
  for (Index n = 0; n < places.size(); ++n)
    for (auto [p, c] : places[n]) place_of[std::uint64_t{n} << 32 | layout_.resolve(p, c).first].emplace_back(p, c);
  std::size_t visits = 0;
  for (auto [n1, n2] : native_contacts_)
    for (auto [p, c] : places[n1]) visits += partners[layout_.resolve(p, c).first].size();
  if (!budget_.charge(kPairCost * visits)) return std::unexpected(interchangeable_error(budget_, setup_));
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::uint64_t> keys;
  for (auto [n1, n2] : native_contacts_)
    for (auto [p, c] : places[n1]) {
      const Index m1 = layout_.resolve(p, c).first;
      for (Index m2 : partners[m1]) {
        auto found = place_of.find(std::uint64_t{n2} << 32 | m2);
        if (found == place_of.end()) continue;
        for (auto [q, d] : found->second) {
          if (!layout_.earlier(p, q) || (p >= layout_.fixed_count && q >= layout_.fixed_count && c == d)) continue;
          std::uint64_t key = tuple_key(m1, m2, n1, n2);
          if (seen.insert(key).second) keys.push_back(key);
        }
      }
    }
  // Few enough to score: exact values bound tighter than fnat alone.
  if (keys.size() <= upfront_tuples) {
    if (!budget_.charge(kTupleCost * keys.size())) return std::unexpected(interchangeable_error(budget_, setup_));
    return score_tuples(keys);
  }
  return bound_by_contacts(keys);
}

// Per tuple, the bound its contacts allow (fnat_bound), computed in parallel.
Result<void> TupleStore::bound_by_contacts(const std::vector<std::uint64_t>& usual_keys) {
  std::size_t compared = 0;  // native matrix cells that the bounds cover, stored or not
  for (std::uint64_t key : usual_keys) {
    auto t = unpack_key(key);
    const DistanceMatrix& native = *native_matrices_.at(t[2] * layout_.natives.ids.size() + t[3]);
    compared += native.rows * native.cols;
  }
  if (!budget_.charge(compared)) return std::unexpected(interchangeable_error(budget_, setup_));
  std::vector<double> bounds(usual_keys.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, usual_keys.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        auto t = unpack_key(usual_keys[i]);
                        bounds[i] = fnat_bound(t[0], t[1], t[2], t[3]);
                      }
                    });
  for (std::size_t i = 0; i < usual_keys.size(); ++i) values_.emplace(usual_keys[i], bounds[i]);
  return {};
}

double TupleStore::most_total() const {
  std::unordered_set<std::uint64_t> pairs;
  for (auto [a, b] : native_contacts_) pairs.insert(std::uint64_t{std::min(a, b)} << 32 | std::max(a, b));
  return static_cast<double>(pairs.size());
}

// The unscored tuples between fixed positions, with contact on the native side.
void TupleStore::collect_between_fixed(std::vector<std::uint64_t>& missing,
                                       std::unordered_set<std::uint64_t>& listed) const {
  for (std::size_t q = 1; q < layout_.fixed_count; ++q)
    for (std::size_t p = 0; p < q; ++p) {
      std::uint64_t key = layout_.key_between(p, layout_.resolve(p, 0), q, layout_.resolve(q, 0));
      auto [m1, m2, n1, n2] = unpack_key(key);
      if (m1 != m2 && native_contact(n1, n2) && !scored_.contains(key) && listed.insert(key).second)
        missing.push_back(key);
    }
}

// The unscored tuples that choosing `choice` at `depth` fixes, with contact on
// the native side, and also on the model side unless `every_tuple`.
void TupleStore::collect_fixed_by(std::size_t depth, Index choice, std::span<const Index> assignment,
                                  bool every_tuple, std::vector<std::uint64_t>& missing,
                                  std::unordered_set<std::uint64_t>& listed) const {
  const std::size_t q = layout_.fixed_count + depth;
  const auto at_q = layout_.resolve(q, choice);
  for (std::size_t p = 0; p < q; ++p) {
    const auto at_p = layout_.resolve_in(p, assignment);
    std::uint64_t key = layout_.key_between(p, at_p, q, at_q);
    auto [m1, m2, n1, n2] = unpack_key(key);
    if (m1 == m2 || !native_contact(n1, n2) || scored_.contains(key)) continue;
    if (!every_tuple && !model_contact(m1, m2)) continue;
    if (listed.insert(key).second) missing.push_back(key);
  }
}

void TupleStore::collect_around(std::size_t p, std::span<const Index> assignment,
                                std::vector<std::uint64_t>& missing,
                                std::unordered_set<std::uint64_t>& listed) const {
  const auto at_p = layout_.resolve_in(p, assignment);
  for (std::size_t q = 0; q < layout_.positions.size(); ++q) {
    if (q == p) continue;
    std::uint64_t key = layout_.key_between(p, at_p, q, layout_.resolve_in(q, assignment));
    auto [m1, m2, n1, n2] = unpack_key(key);
    if (m1 != m2 && native_contact(n1, n2) && !scored_.contains(key) && listed.insert(key).second)
      missing.push_back(key);
  }
}

}  // namespace tarvo

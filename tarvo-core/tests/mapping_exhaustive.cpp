#include "mapping_exhaustive.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/interfaces.hpp"  // run_on_chains
#include "tarvo/pool.hpp"        // run_in_parallel
#include "candidates.hpp"        // prepare_candidates
#include "run_result.hpp"        // Tuple, for_each_pair, finish

namespace tarvo {

namespace {

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

double sum_tarvo(const OrderedMap<std::string, InterfaceResult>& results) {
  double total = 0.0;
  for (const auto& [name, result] : results) total += result.Tarvo;
  return total;
}

Result<std::optional<InterfaceResult>> score_tuple(const Structure& model, const Structure& native,
                                                   const Tuple& t, const ScoreOptions& options) {
  const Chain* model1 = model.chain(t[0]);
  if (!model1) return std::unexpected(chain_not_found(model, "model", t[0]));
  const Chain* model2 = model.chain(t[1]);
  if (!model2) return std::unexpected(chain_not_found(model, "model", t[1]));
  const Chain* native1 = native.chain(t[2]);
  if (!native1) return std::unexpected(chain_not_found(native, "native", t[2]));
  const Chain* native2 = native.chain(t[3]);
  if (!native2) return std::unexpected(chain_not_found(native, "native", t[3]));
  bool het = native1->het_name.has_value() || native2->het_name.has_value();
  return run_on_chains(*model1, *model2, *native1, *native2, options.no_align,
                       options.capri_peptide, het);
}

}  // namespace

Result<RunResult> score_structures_exhaustive(const Structure& model, const Structure& native,
                                              const ScoreOptions& options) {
  Budget unlimited;  // the plain enumeration has no budget
  auto setup = prepare_candidates(model, native, options, unlimited);
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
      results.insert_or_assign(interface_name(t[2], t[3], setup->form), std::move(copy));
    });
    double total = sum_tarvo(results);
    if (total > best) {
      best = total;
      selected = m;
      best_results = std::move(results);
    }
  }
  if (!selected) return fail(err::Mapping{kAllUndefined});
  return finish(model, native, *setup, options.capri_peptide, mappings[*selected], std::move(best_results), best);
}

}  // namespace tarvo

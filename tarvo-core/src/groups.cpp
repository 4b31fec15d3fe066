#include "groups.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tarvo/align.hpp"  // align_chains
#include "tarvo/tarvo.hpp"  // calc_tarvo, AlignedChain
#include "candidates.hpp"   // prepare_candidates, interchangeable_error
#include "run_result.hpp"   // kNoMapping, kAllUndefined
#include "walk_state.hpp"   // pruning_margin

namespace tarvo {

namespace {

constexpr double kMostTarvo = tarvo_score(1.0, 0.0, 0.0);  // fnat 1, both RMSDs 0

Result<void> check_natives(const Structure& native, const ChainGroups& groups) {
  for (const auto* side : {&groups.receptor, &groups.ligand})
    for (const auto& id : *side)
      if (!native.chain(id))
        return fail(err::Mapping{"groups text " + quoted(groups.text) + ": native chain " + quoted(id) +
                                 " is not in the native, whose chains are " + quoted_list(native.chain_ids())});
  return {};
}

// The mapping text narrowed to the grouped chains: its pairs for them stay fixed,
// and a model chain it gives to another native chain is no candidate.
ScoreOptions grouped_options(const Structure& model, const ScoreOptions& options,
                             const std::vector<std::string>& natives) {
  const MappingSpec& spec = options.mapping;
  MappingSpec grouped;
  std::unordered_set<std::string> elsewhere;
  for (const auto& [native_id, model_id] : spec.fixed) {
    if (std::ranges::find(natives, native_id) != natives.end()) grouped.fixed.insert_or_assign(native_id, model_id);
    else elsewhere.insert(model_id);
  }
  grouped.model_chains.emplace();
  for (const auto& id : spec.model_chains.value_or(model.chain_ids()))
    if (!elsewhere.contains(id)) grouped.model_chains->push_back(id);
  grouped.native_chains = natives;
  ScoreOptions out = options;
  out.mapping = std::move(grouped);
  out.groups.reset();
  return out;
}

// Calls visit(chosen) for every assignment of distinct candidates to the anchors,
// anchors in order and each taking its candidates in table order, one step charged
// per partial assignment; false once visit or the budget says stop.
template <class Visit>
bool each_assignment(const Setup& setup, Budget& budget, std::vector<std::size_t>& chosen,
                     std::vector<char>& used, Visit& visit) {
  if (!budget.charge(1)) return false;
  if (chosen.size() == setup.anchors.size()) return visit(chosen);
  for (std::size_t c : setup.lists[chosen.size()]) {
    if (used[c]) continue;
    used[c] = 1;
    chosen.push_back(c);
    const bool go_on = each_assignment(setup, budget, chosen, used, visit);
    chosen.pop_back();
    used[c] = 0;
    if (!go_on) return false;
  }
  return true;
}

// The grouped native chains with a model chain, in the order written.
ChainMapping mapping_of(const Setup& setup, const std::vector<std::size_t>& chosen) {
  std::unordered_map<std::string, std::string> pairs(setup.fixed.begin(), setup.fixed.end());
  for (std::size_t a = 0; a < chosen.size(); ++a) {
    const std::string& candidate = setup.candidates[chosen[a]];
    if (setup.native_anchors) pairs.emplace(setup.anchors[a], candidate);
    else pairs.emplace(candidate, setup.anchors[a]);
  }
  ChainMapping mapping;
  for (const auto& id : setup.natives)
    if (auto found = pairs.find(id); found != pairs.end()) mapping.insert_or_assign(id, found->second);
  return mapping;
}

void append(AlignedChain& into, const AlignedChain& part) {
  const std::size_t shift = into.backbone.a.size();
  into.residues.model.insert(into.residues.model.end(), part.residues.model.begin(), part.residues.model.end());
  into.residues.native.insert(into.residues.native.end(), part.residues.native.begin(), part.residues.native.end());
  into.backbone.a.insert(into.backbone.a.end(), part.backbone.a.begin(), part.backbone.a.end());
  into.backbone.b.insert(into.backbone.b.end(), part.backbone.b.begin(), part.backbone.b.end());
  for (std::size_t k = 1; k < part.offsets.size(); ++k) into.offsets.push_back(shift + part.offsets[k]);
}

std::vector<const Residue*> group_residues(const Structure& native, const std::vector<std::string>& ids) {
  std::vector<const Residue*> out;
  for (const auto& id : ids)
    for (const Residue& residue : native.chain(id)->residues) out.push_back(&residue);
  return out;
}

// Scores the grouped interface under one mapping at a time, aligning each
// (model, native) pair once.
class GroupScorer {
 public:
  GroupScorer(const Structure& model, const Structure& native, const ScoreOptions& options, const Setup& setup,
              const ChainGroups& groups)
      : model_(model), native_(native), options_(options), setup_(setup), groups_(groups),
        native_matrix_(*residue_group_distances(group_residues(native, groups.receptor),
                                                group_residues(native, groups.ligand), true)) {}

  bool in_contact() const { return count_below(native_matrix_, contact_cutoff(options_.capri_peptide)) > 0; }

  Result<InterfaceResult> score(const ChainMapping& mapping, Budget& budget) {
    auto side1 = side(groups_.receptor, mapping);
    if (!side1) return std::unexpected(side1.error());
    auto side2 = side(groups_.ligand, mapping);
    if (!side2) return std::unexpected(side2.error());
    const std::size_t rows = side1->residues.model.size(), cols = side2->residues.model.size();
    if (!budget.charge(kTupleCost + kResiduePairCost * rows * cols))
      return std::unexpected(interchangeable_error(budget, setup_));
    const DistanceMatrix model_matrix = contact_distances(side1->residues.model, side2->residues.model);
    const SideRoles roles{native_matrix_.rows, native_matrix_.cols, true};
    auto result = calc_tarvo(*side1, *side2, options_.capri_peptide, native_matrix_, model_matrix, roles);
    if (!result) return std::unexpected(result.error());
    InterfaceResult interface = std::move(**result);  // the native sides are in contact
    interface.chain1 = model_ids(groups_.receptor, mapping);
    interface.chain2 = model_ids(groups_.ligand, mapping);
    return interface;
  }

 private:
  Result<AlignedChain> side(const std::vector<std::string>& natives, const ChainMapping& mapping) {
    AlignedChain out;
    out.offsets.push_back(0);
    for (const auto& native_id : natives) {
      auto found = mapping.find(native_id);
      if (found == mapping.end()) continue;
      auto pair = aligned(found->second, native_id);
      if (!pair) return std::unexpected(pair.error());
      append(out, **pair);
    }
    return out;
  }

  Result<const AlignedChain*> aligned(const std::string& model_id, const std::string& native_id) {
    auto key = std::pair{model_id, native_id};
    if (auto known = pairs_.find(key); known != pairs_.end()) return &known->second;
    const Chain* m = model_.chain(model_id);
    if (!m) return std::unexpected(chain_not_found(model_, "model", model_id));
    const Chain& n = *native_.chain(native_id);
    auto shared = setup_.alignments.find(key);
    const Alignment alignment =
        shared != setup_.alignments.end() ? shared->second : align_chains(*m, n, options_.no_align);
    auto chain = align_chain_pair(*m, n, alignment);
    if (!chain) return std::unexpected(chain.error());
    return &pairs_.emplace(std::move(key), std::move(*chain)).first->second;
  }

  std::string model_ids(const std::vector<std::string>& natives, const ChainMapping& mapping) const {
    std::string out;
    for (const auto& native_id : natives) {
      auto found = mapping.find(native_id);
      if (found == mapping.end()) continue;
      if (!out.empty() && setup_.form == ChainText::Comma) out += ',';
      out += found->second;
    }
    return out;
  }

  const Structure& model_;
  const Structure& native_;
  const ScoreOptions& options_;
  const Setup& setup_;
  const ChainGroups& groups_;
  const DistanceMatrix native_matrix_;
  std::map<std::pair<std::string, std::string>, AlignedChain> pairs_;
};

}  // namespace

Result<RunResult> score_groups(const Structure& model, const Structure& native, const ScoreOptions& options,
                               Budget& budget, std::stop_token stop) {
  if (options.small_molecule) return fail(err::SmallMoleculeUnsupported{});
  const ChainGroups& groups = *options.groups;
  if (auto checked = check_natives(native, groups); !checked) return std::unexpected(checked.error());
  std::vector<std::string> natives = groups.receptor;
  natives.insert(natives.end(), groups.ligand.begin(), groups.ligand.end());
  const ScoreOptions grouped = grouped_options(model, options, natives);
  auto setup = prepare_candidates(model, native, grouped, budget);
  if (!setup) return std::unexpected(setup.error());

  GroupScorer scorer(model, native, grouped, *setup, groups);
  if (!scorer.in_contact())
    return fail(err::Mapping{"groups text " + quoted(groups.text) + ": the two sides have no contact in the native"});
  std::optional<TarvoError> error;
  std::optional<std::pair<ChainMapping, InterfaceResult>> best;
  bool any = false;
  auto visit = [&](const std::vector<std::size_t>& chosen) {
    any = true;
    if (stop.stop_requested()) return error.emplace(err::Cancelled{}), false;
    ChainMapping mapping = mapping_of(*setup, chosen);
    auto result = scorer.score(mapping, budget);
    if (!result) {
      if (!budget.exceeded()) error.emplace(std::move(result.error()));
      return false;  // an error, or the budget ended the enumeration
    }
    // Strictly better only: ties stay with the first, and NaN never wins.
    if (!best ? !std::isnan(result->Tarvo) : result->Tarvo > best->second.Tarvo)
      best.emplace(std::move(mapping), std::move(*result));
    return true;
  };
  std::vector<std::size_t> chosen;
  std::vector<char> used(setup->candidates.size(), 0);
  each_assignment(*setup, budget, chosen, used, visit);
  if (error) return std::unexpected(std::move(*error));
  if (budget.exceeded() && (options.exact || !best)) return std::unexpected(interchangeable_error(budget, *setup));
  if (!any) return fail(err::Mapping{kNoMapping});
  if (!best) return fail(err::Mapping{kAllUndefined});

  RunResult run;
  run.model = model.id;
  run.native = native.id;
  run.best_mapping_str = format_mapping_string(best->first, setup->form);
  run.best_mapping = std::move(best->first);
  run.best_tarvo = best->second.Tarvo;
  run.GlobalTarvo = run.best_tarvo;
  run.best_result.insert_or_assign(groups.text, std::move(best->second));
  // Out of budget: the assignments not scored come later in table order, so
  // only one scoring more (at most the best any interface can) would win.
  if (budget.exceeded() && run.best_tarvo < kMostTarvo) {
    run.mapping_exact = false;
    run.mapping_gap = kMostTarvo - run.best_tarvo + pruning_margin(1);
  }
  return run;
}

}  // namespace tarvo

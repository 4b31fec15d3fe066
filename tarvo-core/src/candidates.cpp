#include "candidates.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

namespace tarvo {

namespace {

constexpr const char* kNeedTwoChains = "Need at least two chains in the two inputs";

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

}  // namespace

Result<Setup> prepare_candidates(const Structure& model, const Structure& native,
                                 const ScoreOptions& options) {
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

}  // namespace tarvo

#include "candidates.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "utf8.hpp"  // next_code_point, append_utf8

namespace tarvo {

namespace {

constexpr const char* kNeedTwoChains = "Need at least two chains in the two inputs";
constexpr std::size_t kShownMismatches = 3;

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

// The residue of each symbol of the chain's sequence, in order.
std::vector<const Residue*> residue_per_symbol(const Chain& chain) {
  std::vector<const Residue*> out;
  for (const Residue& residue : chain.residues)
    for (std::size_t pos = 0; pos < residue.code.size();) {
      next_code_point(residue.code, pos);
      out.push_back(&residue);
    }
  return out;
}

// "B90" (chain, number, insertion code) and the residue's name.
std::string residue_label(const Chain& chain, const Residue& residue) {
  std::string out = chain.id + std::to_string(residue.number);
  if (residue.insertion_code != U' ') append_utf8(out, residue.insertion_code);
  return out;
}

// Where the closest chains of a lonely anchor differ, for the error: "native chain B
// and model chain C are closest, with 1 mismatch (native/model: B90 NEP/HIS); ...".
// The two chains are aligned as the table aligned them, candidate first.
std::string closest_text(const Chain& candidate, const Chain& anchor, bool native_anchors) {
  const Alignment alignment = align_chains(candidate, anchor, false);
  const Chain& native = native_anchors ? anchor : candidate;
  const Chain& model = native_anchors ? candidate : anchor;
  const auto candidate_residues = residue_per_symbol(candidate), anchor_residues = residue_per_symbol(anchor);
  const std::size_t count = mismatches(alignment);
  std::string shown;
  std::size_t i = 0, j = 0, listed = 0;
  for (std::size_t k = 0; k < alignment.match_line.size() && listed < kShownMismatches; ++k) {
    if (alignment.match_line[k] == U'.' && i < candidate_residues.size() && j < anchor_residues.size()) {
      const Residue& from_candidate = *candidate_residues[i];
      const Residue& from_anchor = *anchor_residues[j];
      const Residue& native_residue = native_anchors ? from_anchor : from_candidate;
      const Residue& model_residue = native_anchors ? from_candidate : from_anchor;
      shown += (listed++ ? ", " : "") + residue_label(native, native_residue) + " " + native_residue.name + "/" +
               model_residue.name;
    }
    i += alignment.first_aligned[k] != U'-';
    j += alignment.second_aligned[k] != U'-';
  }
  if (count > listed) shown += ", ...";
  const std::string n = std::to_string(count);
  return "native chain " + native.id + " and model chain " + model.id + " are closest, with " + n +
         (count == 1 ? " mismatch" : " mismatches") + " (native/model: " + shown + "); pass allowed_mismatches=" +
         n + " (or --allowed_mismatches " + n + ") to accept it";
}

// The structures of the anchors and of the candidates, and what errors call them.
struct Sides {
  const Structure& anchor;
  const Structure& candidate;
  const char* anchor_name;
  const char* candidate_name;
};

// The budget error of a table too large to build: the anchors that have at least
// two candidates of the very same sequence were interchangeable whatever the
// alignments would say; with fewer, the sizes of the two sides are the cause.
TarvoError table_error(const Budget& budget, const Setup& setup, const Sides& sides) {
  auto key = [](const Chain* chain) { return std::pair{chain->het_name.has_value(), chain->sequence}; };
  std::map<std::pair<bool, std::string>, std::size_t> copies;
  for (const auto& id : setup.candidates)
    if (const Chain* chain = sides.candidate.chain(id)) ++copies[key(chain)];
  std::size_t interchangeable = 0;
  for (const auto& id : setup.anchors) {
    const Chain* chain = sides.anchor.chain(id);
    auto found = chain ? copies.find(key(chain)) : copies.end();
    if (found != copies.end() && found->second > 1) ++interchangeable;
  }
  if (interchangeable > 1) return budget_error(budget, std::to_string(interchangeable) + " chains were interchangeable");
  return budget_error(budget, std::to_string(setup.anchors.size()) + " " + sides.anchor_name +
                                  " chains were to be compared with " + std::to_string(setup.candidates.size()) + " " +
                                  sides.candidate_name + " chains");
}

// Every chain of the table looked up once, in the order in which the table
// meets them first: the first candidate, the anchors, the other candidates.
// Without anchors the table meets none.
Result<void> look_up(const Setup& setup, const Sides& sides, std::vector<const Chain*>& anchors,
                     std::vector<const Chain*>& candidates) {
  if (setup.anchors.empty()) return {};
  for (std::size_t c = 0; c < setup.candidates.size(); ++c) {
    candidates.push_back(sides.candidate.chain(setup.candidates[c]));
    if (!candidates.back()) return std::unexpected(chain_not_found(sides.candidate, sides.candidate_name, setup.candidates[c]));
    for (std::size_t a = 0; c == 0 && a < setup.anchors.size(); ++a) {
      anchors.push_back(sides.anchor.chain(setup.anchors[a]));
      if (!anchors.back()) return std::unexpected(chain_not_found(sides.anchor, sides.anchor_name, setup.anchors[a]));
    }
  }
  return {};
}

// Chains that pair alike: het chains of one het name, other chains of one sequence.
struct Kinds {
  std::vector<std::size_t> kind;                  // per chain, its kind
  std::vector<std::vector<std::size_t>> members;  // per kind, its chains in order
};

Kinds kinds_of(const std::vector<const Chain*>& chains) {
  Kinds out;
  out.kind.reserve(chains.size());
  std::unordered_map<std::string_view, std::size_t> by_sequence, by_het_name;
  for (std::size_t i = 0; i < chains.size(); ++i) {
    const Chain& chain = *chains[i];
    auto [it, fresh] = chain.het_name ? by_het_name.try_emplace(*chain.het_name, out.members.size())
                                      : by_sequence.try_emplace(chain.sequence, out.members.size());
    if (fresh) out.members.emplace_back();
    out.kind.push_back(it->second);
    out.members[it->second].push_back(i);
  }
  return out;
}

// The candidate of fewest mismatches with a lonely anchor (the first of them
// on a tie), among those of another sequence; none when no candidate aligns.
std::optional<std::size_t> closest_candidate(const Chain& anchor, const std::vector<const Chain*>& candidates,
                                             const Kinds& kinds) {
  std::optional<std::pair<std::size_t, std::size_t>> closest;  // (mismatches, candidate)
  if (anchor.het_name) return std::nullopt;
  for (const auto& members : kinds.members) {
    const Chain& candidate = *candidates[members.front()];
    if (candidate.het_name) continue;
    const std::pair count{mismatches(align_chains(candidate, anchor, false)), members.front()};
    if (!closest || count < *closest) closest = count;
  }
  if (!closest) return std::nullopt;
  return closest->second;
}

// The fixed text, then which input falls short: one side or both, with the
// chains that take part there.
std::string too_few_chains(const Structure& model, const Structure& native, const std::vector<std::string>& models,
                           const std::vector<std::string>& natives) {
  std::string text = kNeedTwoChains;
  const char* joint = ": ";
  for (const auto& [structure, ids, side] : {std::tuple{&model, &models, "model"}, std::tuple{&native, &natives, "native"}})
    if (ids->size() < 2) {
      text += joint + std::string("the ") + side + " " + structure->id + " takes part with " + quoted_list(*ids);
      joint = "; ";
    }
  return text;
}

// The search names interfaces and writes its mapping as text: an id holding
// one of these would make "A" with "B,C" the interface "A,B" with "C", and a
// best_mapping_str that cannot be read back.
std::optional<TarvoError> unnamable_chain(const std::vector<std::string>& ids, const char* side) {
  for (const auto& id : ids) {
    if (auto bad = unnamable_character(id))
      return TarvoError{err::Mapping{std::string(side) + " chain " + quoted(id) + " holds " + quoted(std::string(1, *bad)) +
                                     ": chain ids holding ',', ':', '*' or white space cannot be named in a "
                                     "mapping text or an interface name; leave the chain out with --mapping "
                                     "(e.g. :AB names native chains A and B only)"}};
  }
  return std::nullopt;
}

}  // namespace

Result<Setup> prepare_candidates(const Structure& model, const Structure& native,
                                 const ScoreOptions& options, Budget& budget) {
  if (options.small_molecule) return fail(err::SmallMoleculeUnsupported{});
  const MappingSpec& spec = options.mapping;
  auto model_list = spec.model_chains ? *spec.model_chains : model.chain_ids();
  auto native_list = spec.native_chains ? *spec.native_chains : native.chain_ids();
  if (model_list.size() < 2 || native_list.size() < 2) return fail(err::Mapping{too_few_chains(model, native, model_list, native_list)});
  if (auto error = unnamable_chain(native_list, "native")) return std::unexpected(std::move(*error));
  if (auto error = unnamable_chain(model_list, "model")) return std::unexpected(std::move(*error));
  // A repeated id would be one anchor with two places in the assignment.
  model_list = without_repeats(model_list);
  native_list = without_repeats(native_list);

  Setup setup;
  setup.form = chain_text(model, native);
  setup.fixed = spec.fixed;
  std::unordered_set<std::string> fixed_models;
  for (const auto& [native_id, model_id] : setup.fixed) fixed_models.insert(model_id);
  std::vector<std::string> free_models, free_natives;
  for (const auto& id : model_list)
    if (!fixed_models.contains(id)) free_models.push_back(id);
  for (const auto& id : native_list)
    if (!setup.fixed.contains(id)) free_natives.push_back(id);
  setup.natives = std::move(native_list);

  setup.native_anchors = !(free_models.size() < free_natives.size());
  const Sides sides = setup.native_anchors ? Sides{native, model, "native", "model"}
                                           : Sides{model, native, "model", "native"};
  setup.anchors = setup.native_anchors ? free_natives : free_models;
  setup.candidates = setup.native_anchors ? free_models : free_natives;
  setup.lists.assign(setup.anchors.size(), {});
  std::vector<const Chain*> anchor_chains, candidate_chains;
  if (auto found = look_up(setup, sides, anchor_chains, candidate_chains); !found)
    return std::unexpected(found.error());
  const Kinds anchor_kinds = kinds_of(anchor_chains), candidate_kinds = kinds_of(candidate_chains);

  // The kinds of candidate each kind of anchor accepts, and the alignment of
  // those that pair unlike sequences.
  std::vector<std::vector<std::size_t>> accepted(anchor_kinds.members.size());
  std::map<std::pair<std::size_t, std::size_t>, Alignment> unlike;
  std::size_t entries = 0;
  for (std::size_t kc = 0; kc < candidate_kinds.members.size(); ++kc) {
    if (!budget.charge(kCompareCost * anchor_kinds.members.size())) return std::unexpected(table_error(budget, setup, sides));
    for (std::size_t ka = 0; ka < anchor_kinds.members.size(); ++ka) {
      const Chain& candidate = *candidate_chains[candidate_kinds.members[kc].front()];
      const Chain& anchor = *anchor_chains[anchor_kinds.members[ka].front()];
      bool pairs;
      if (candidate.het_name || anchor.het_name) {
        pairs = same_het(candidate, anchor);
      } else if (candidate.sequence == anchor.sequence) {
        pairs = true;  // no mismatch possible, no alignment needed
      } else {
        // Most unlike sequences are told apart without an alignment table.
        budget.charge(kAlignCost + candidate.sequence.size() * (anchor.sequence.size() / 64 + 1));
        pairs = !surely_more_mismatches(candidate, anchor, options.allowed_mismatches);
        if (pairs) {
          budget.charge(kAlignCost + (candidate.sequence.size() + 1) * (anchor.sequence.size() + 1));
          Alignment alignment = align_chains(candidate, anchor, false);
          pairs = mismatches(alignment) <= options.allowed_mismatches;
          // Only a pair that may be chosen is scored, so only its alignment is kept.
          if (pairs && setup.native_anchors && !options.no_align) unlike.emplace(std::pair{ka, kc}, std::move(alignment));
        }
      }
      if (!pairs) continue;
      accepted[ka].push_back(kc);
      entries += anchor_kinds.members[ka].size() * candidate_kinds.members[kc].size();
    }
    if (budget.exceeded()) return std::unexpected(table_error(budget, setup, sides));
  }
  if (!budget.charge(kCompareCost * entries)) return std::unexpected(table_error(budget, setup, sides));
  for (std::size_t a = 0; a < setup.anchors.size(); ++a) {
    const std::size_t ka = anchor_kinds.kind[a];
    auto& list = setup.lists[a];
    for (std::size_t kc : accepted[ka]) {
      const auto& members = candidate_kinds.members[kc];
      list.insert(list.end(), members.begin(), members.end());
      auto shared = unlike.find({ka, kc});
      if (shared == unlike.end()) continue;
      for (std::size_t c : members) {
        budget.charge(12 * shared->second.match_line.size() + 128);  // its bytes
        setup.alignments.emplace(std::pair{setup.candidates[c], setup.anchors[a]}, shared->second);
      }
    }
    std::sort(list.begin(), list.end());
  }
  if (budget.exceeded()) return std::unexpected(table_error(budget, setup, sides));

  err::NoIdenticalNativeChain lonely;
  for (std::size_t a = 0; a < setup.anchors.size(); ++a) {
    if (!setup.lists[a].empty()) continue;
    lonely.chains.push_back(setup.anchors[a]);
    if (lonely.closest.empty())
      if (auto nearest = closest_candidate(*anchor_chains[a], candidate_chains, candidate_kinds))
        lonely.closest = closest_text(*candidate_chains[*nearest], *anchor_chains[a], setup.native_anchors);
  }
  if (!lonely.chains.empty()) return fail(std::move(lonely));
  return setup;
}

TarvoError interchangeable_error(const Budget& budget, const Setup& setup) {
  std::size_t interchangeable = 0;
  for (const auto& list : setup.lists)
    if (list.size() > 1) ++interchangeable;
  // Without two chains to exchange, the size of the assembly is the cause.
  if (interchangeable < 2)
    return budget_error(budget, std::to_string(setup.natives.size()) + " native chains took part");
  return budget_error(budget, std::to_string(interchangeable) + " chains were interchangeable");
}

}  // namespace tarvo

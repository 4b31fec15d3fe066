#include "layout.hpp"

#include <algorithm>
#include <set>

#include "near_chains.hpp"  // touching_pairs

namespace tarvo {

namespace {

// Two chains touch, for the walk's order, when their traces come within this
// distance: their interface is then one that can refute a choice.
constexpr float kTouching = 8.0f;

// The anchors of `free` (places in the table) in the walk's order: breadth
// first over the anchors whose chains touch, the earliest in table order first.
std::vector<std::size_t> walk_order(const Structure& anchor_side, const Setup& setup,
                                    const std::vector<std::size_t>& free) {
  const std::size_t n = free.size();
  std::vector<const Chain*> chains;
  for (std::size_t t : free) chains.push_back(anchor_side.chain(setup.anchors[t]));
  std::vector<std::vector<std::size_t>> neighbours(n);
  for (auto [i, j] : touching_pairs(chains, kTouching)) {
    neighbours[i].push_back(j);
    neighbours[j].push_back(i);
  }
  std::vector<std::size_t> order;
  std::vector<char> placed(n, 0);
  std::set<std::size_t> frontier;
  for (std::size_t start = 0; start < n; ++start) {
    if (placed[start]) continue;
    frontier.insert(start);
    while (!frontier.empty()) {
      const std::size_t next = *frontier.begin();
      frontier.erase(frontier.begin());
      if (placed[next]) continue;
      placed[next] = 1;
      order.push_back(free[next]);
      for (std::size_t other : neighbours[next])
        if (!placed[other]) frontier.insert(other);
    }
  }
  return order;
}

// Per anchor of the table, whether it holds the same chain in every mapping:
// its one candidate, which no other anchor lists.
std::vector<char> settled_anchors(const Setup& setup) {
  std::vector<std::size_t> listed(setup.candidates.size(), 0);
  for (const auto& list : setup.lists)
    for (std::size_t c : list) ++listed[c];
  std::vector<char> settled(setup.anchors.size(), 0);
  for (std::size_t t = 0; t < setup.anchors.size(); ++t)
    settled[t] = setup.lists[t].size() == 1 && listed[setup.lists[t][0]] == 1;
  return settled;
}

}  // namespace

Layout number_chains(const Structure& model, const Structure& native, const Setup& setup) {
  Layout layout;
  for (const auto& [native_id, model_id] : setup.fixed) {
    Position p;
    p.model = layout.models.add(model_id, model);
    p.native = layout.natives.add(native_id, native);
    layout.positions.push_back(p);
    layout.rank.push_back(layout.rank.size());
  }
  ChainSet& anchor_set = setup.native_anchors ? layout.natives : layout.models;
  ChainSet& choice_set = setup.native_anchors ? layout.models : layout.natives;
  const Structure& anchor_side = setup.native_anchors ? native : model;
  const Structure& choice_side = setup.native_anchors ? model : native;
  // Settled anchors join the fixed positions, keeping their place in the mapping.
  const std::vector<char> settled = settled_anchors(setup);
  std::vector<std::size_t> free;
  for (std::size_t t = 0; t < setup.anchors.size(); ++t) {
    if (!settled[t]) {
      free.push_back(t);
      continue;
    }
    Position p;
    (setup.native_anchors ? p.native : p.model) = anchor_set.add(setup.anchors[t], anchor_side);
    (setup.native_anchors ? p.model : p.native) = choice_set.add(setup.candidates[setup.lists[t][0]], choice_side);
    layout.positions.push_back(p);
    layout.rank.push_back(setup.fixed.size() + t);
  }
  layout.fixed_count = layout.positions.size();
  for (std::size_t t : walk_order(anchor_side, setup, free)) {
    layout.rank.push_back(setup.fixed.size() + t);
    Position p;
    Index anchor = anchor_set.add(setup.anchors[t], anchor_side);
    (setup.native_anchors ? p.native : p.model) = anchor;
    layout.positions.push_back(p);
    std::vector<Index> list;
    for (std::size_t c : setup.lists[t]) list.push_back(choice_set.add(setup.candidates[c], choice_side));
    layout.choices.push_back(std::move(list));
  }
  layout.mapping_order.resize(layout.rank.size());
  for (std::size_t p = 0; p < layout.rank.size(); ++p) layout.mapping_order[layout.rank[p]] = p;
  layout.choice_universe = choice_set.ids.size();
  if (layout.models.ids.size() > 0xFFFF || layout.natives.ids.size() > 0xFFFF)
    throw InternalError("more than 65535 chains in a chain mapping search");
  // Names join two ids, with "," between them in the comma form: only an id
  // that holds "," can make two names alike.
  if (setup.form == ChainText::Comma)
    for (const auto& id : layout.natives.ids)
      if (id.find(',') != std::string::npos) layout.names_unique = false;
  return layout;
}

std::vector<std::vector<std::pair<std::size_t, Index>>> Layout::native_places() const {
  std::vector<std::vector<std::pair<std::size_t, Index>>> places(natives.ids.size());
  for (std::size_t p = 0; p < fixed_count; ++p) places[positions[p].native].emplace_back(p, 0);
  for (std::size_t k = 0; k < choices.size(); ++k)
    for (Index c : choices[k]) places[resolve(fixed_count + k, c).second].emplace_back(fixed_count + k, c);
  return places;
}

std::vector<std::pair<std::size_t, std::size_t>> Layout::mapping_span(bool native_side) const {
  const ChainSet& set = native_side ? natives : models;
  std::vector<std::pair<std::size_t, std::size_t>> span(set.ids.size(), {rank.size(), 0});
  auto hold = [&](std::size_t p, Index c) {
    auto [m, n] = resolve(p, c);
    auto& [low, high] = span[native_side ? n : m];
    low = std::min(low, rank[p]);
    high = std::max(high, rank[p]);
  };
  for (std::size_t p = 0; p < fixed_count; ++p) hold(p, 0);
  for (std::size_t k = 0; k < choices.size(); ++k)
    for (Index c : choices[k]) hold(fixed_count + k, c);
  return span;
}

// The lookups and the small-molecule test of the tuples of the first mapping, in
// the mapping's order. Every other mapping holds the same fixed chains, and anchors and
// candidates were all found while building the table; a native candidate has a
// het_name exactly when its model anchor has one.
std::optional<TarvoError> Layout::first_lookup_error(const Structure& model, const Structure& native) const {
  auto missing = [](const ChainSet& set, Index i) { return i != kChosen && !set.chains[i]; };
  auto native_het = [&](const Position& p) {
    const Chain* chain = p.native != kChosen ? natives.chains[p.native] : models.chains[p.model];
    return chain->het_name.has_value();
  };
  for (std::size_t x = 0; x < positions.size(); ++x) {
    for (std::size_t y = x + 1; y < positions.size(); ++y) {
      const Position& a = positions[mapping_order[x]];
      const Position& b = positions[mapping_order[y]];
      if (a.model != kChosen && a.model == b.model) continue;
      for (auto [set, i] : {std::pair{&models, a.model}, std::pair{&models, b.model},
                            std::pair{&natives, a.native}, std::pair{&natives, b.native}})
        if (missing(*set, i))
          return set == &models ? chain_not_found(model, "model", set->ids[i])
                                : chain_not_found(native, "native", set->ids[i]);
      if (native_het(a) || native_het(b)) return TarvoError{err::SmallMoleculeUnsupported{}};
    }
  }
  return std::nullopt;
}

}  // namespace tarvo

// The positions of a chain mapping and the numbering of the chains they hold.
//
// A mapping is a list of positions: the fixed pairs and the anchors that hold
// the same chain in every mapping, then one position per anchor whose model or
// native chain is the walk's choice. Chain ids are
// numbered (one numbering per structure) so that an interface tuple packs into
// one 64-bit key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarvo/error.hpp"  // TarvoError
#include "tarvo/model.hpp"  // Chain, Structure
#include "candidates.hpp"   // Setup

namespace tarvo {

using Index = std::uint32_t;
inline constexpr Index kChosen = std::numeric_limits<Index>::max();

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

inline std::uint64_t tuple_key(Index m1, Index m2, Index n1, Index n2) {
  return (std::uint64_t{m1} << 48) | (std::uint64_t{m2} << 32) | (std::uint64_t{n1} << 16) | n2;
}

inline std::array<Index, 4> unpack_key(std::uint64_t key) {
  return {Index(key >> 48), Index((key >> 32) & 0xFFFF), Index((key >> 16) & 0xFFFF), Index(key & 0xFFFF)};
}

// The anchors come in the order of the walk, which may differ from the table's
// (see number_chains); the mapping, its interfaces and their sums keep the
// table's order.
struct Layout {
  ChainSet models, natives;
  std::vector<Position> positions;
  std::size_t fixed_count = 0;              // positions whose chains every mapping holds
  std::vector<std::vector<Index>> choices;  // per walked anchor, in candidate order
  std::vector<std::size_t> mapping_order;   // the positions in the mapping's order
  std::vector<std::size_t> rank;            // per position, its place in mapping_order
  std::size_t choice_universe = 0;
  bool names_unique = true;

  // The model and native chains of a position when it holds `choice`.
  std::pair<Index, Index> resolve(std::size_t position, Index choice) const {
    const Position& p = positions[position];
    return {p.model == kChosen ? choice : p.model, p.native == kChosen ? choice : p.native};
  }
  // An interface holds the chains of the position earlier in the mapping first.
  bool earlier(std::size_t p, std::size_t q) const { return rank[p] < rank[q]; }
  std::uint64_t key_between(std::size_t p, std::pair<Index, Index> at_p, std::size_t q,
                            std::pair<Index, Index> at_q) const {
    return earlier(p, q) ? tuple_key(at_p.first, at_q.first, at_p.second, at_q.second)
                         : tuple_key(at_q.first, at_p.first, at_q.second, at_p.second);
  }
  // The chains of a position when the anchors hold `assignment`.
  std::pair<Index, Index> resolve_in(std::size_t position, std::span<const Index> assignment) const {
    return resolve(position, position < fixed_count ? 0 : assignment[position - fixed_count]);
  }

  // Per chain of one side, the earliest and the latest place in the mapping
  // that may hold it: an interface can hold a before b only if a's earliest
  // comes before b's latest.
  std::vector<std::pair<std::size_t, std::size_t>> mapping_span(bool native_side) const;

  // Per native chain, the places that may hold it: (position, choice), the
  // choice 0 at a fixed position.
  std::vector<std::vector<std::pair<std::size_t, Index>>> native_places() const;

  // The error that scoring the first mapping would meet first, if any.
  std::optional<TarvoError> first_lookup_error(const Structure& model, const Structure& native) const;
};

// Numbers the chains of the fixed pairs and of the anchors with one candidate
// that no other anchor lists (they join the fixed positions but keep their
// place in the mapping), then each other anchor and its choices in the walk's
// order: the table's first anchor, then always the earliest anchor near one
// already placed (the earliest of all when none is), so that each choice meets
// the contacts that can refute it as early as possible.
Layout number_chains(const Structure& model, const Structure& native, const Setup& setup);

}  // namespace tarvo

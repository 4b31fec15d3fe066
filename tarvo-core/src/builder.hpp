// The builder the readers hand atoms to. Internal to the reader: the public
// reader header does not include it; tests use it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarvo/error.hpp"
#include "tarvo/model.hpp"

namespace tarvo {

// An atom record as a reader hands it over, its name still a slice of the
// reader's text: the atom is built in place in its residue, not moved there.
struct AtomFields {
  std::string_view name;
  ElementSymbol element;
  char32_t alt_loc = U' ';
  float x = 0, y = 0, z = 0;
};

// Groups the atoms handed in by a reader into chains and residues of the one
// model wanted; the other models are only counted, so that memory follows one
// model however many the file holds. Chains and residues are kept in their
// final form so that `finish` only moves them; occupancies and the atom-name
// index matter only while a residue is open (a residue is never reopened), so
// they live here, not in every residue.
struct Builder {
  struct Model {
    std::vector<Chain> chains;
    std::unordered_map<std::string, std::size_t> chain_index;
  };

  std::size_t wanted_model = 0;  // 0-based, in reading order
  std::size_t models = 0;        // models started so far
  Model model{};                 // the wanted model, once started
  bool keeps_atoms = false;      // the open model is the wanted one
  std::optional<std::size_t> chain_cursor{};
  std::optional<std::size_t> residue_cursor{};

  // Open residue only: occupancy per atom, and an open-addressing table of
  // atom positions whose slots are stamped with `name_generation` so that
  // starting a residue empties it in constant time.
  std::vector<double> occupancies{};
  std::vector<std::uint64_t> name_slots{};
  std::uint32_t name_generation = 0;

  // Starts the next model. False once that is past the wanted model: nothing
  // after the wanted model is kept, so the reader can stop.
  bool init_model();
  void init_chain(std::string_view chain_id);
  void init_residue(std::string_view name, char32_t het, std::int64_t number, char32_t insertion_code);
  // Duplicate names: a later atom replaces the kept one only with a non-blank
  // alternate location and a strictly greater occupancy.
  void init_atom(const AtomFields& atom, double occupancy);
  // "ENDMDL": no chain and no residue open, models kept.
  void close_chain();

  // The open chain and residue of the wanted model; an InternalError when
  // none is open. Inline: every atom reaches its residue through them.
  Chain& chain() {
    if (!keeps_atoms || !chain_cursor) throw InternalError(keeps_atoms ? "chain open" : "model open");
    return model.chains[*chain_cursor];
  }
  Residue& residue() {
    Chain& open = chain();
    if (!residue_cursor) throw InternalError("residue open");
    return open.residues[*residue_cursor];
  }

  // The wanted model; ModelIndexOutOfRange when the reader started fewer models.
  Result<Structure> finish() &&;
};

// Gives the open residue its one-letter code and extends the open chain's
// sequence; a hetero residue instead names the chain (sequence and het_name).
void set_residue_sequence(Builder& builder, char32_t het, std::string_view name);

// Opens chain and residue as needed, then adds the atom.
void add_atom(Builder& b, std::string_view chain_id, std::string_view residue_name, char32_t het,
              std::int64_t number, char32_t insertion_code, const AtomFields& atom, double occupancy);

// Whether chain `id` is read: `chains` lists the ones to read, all when empty.
bool listed(std::span<const std::string> chains, std::string_view id);

}  // namespace tarvo

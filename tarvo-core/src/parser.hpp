// Reading PDB and mmCIF coordinate files (plain or gzip) into a Structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "model.hpp"

namespace tarvo {

// Reads `path`, keeps the chains listed in `chains` (all when empty) and model
// `n_model` (0-based). The Structure's id is `path` exactly as passed.
Result<Structure> load_structure(const std::string& path, std::span<const std::string> chains,
                                 bool small_molecule, std::size_t n_model);

// The same on bytes already in memory (file content, possibly gzip); `path` is
// used for the ".gz" test, for error messages and as the id.
Result<Structure> load_structure_from_bytes(const std::string& path, std::string_view bytes,
                                            std::span<const std::string> chains,
                                            bool small_molecule, std::size_t n_model);

std::vector<std::string> tokenize_cif_line(std::string_view line);

// Groups the atoms handed in by a reader into models, chains and residues.
// Chains and residues are kept in their final form so that `finish` only moves
// them; occupancies and the atom-name index matter only while a residue is
// open (a residue is never reopened), so they live here, not in every residue.
struct Builder {
  struct Model {
    std::vector<Chain> chains;
    std::unordered_map<std::string, std::size_t> chain_index;
  };

  std::vector<Model> models;
  std::optional<std::size_t> model_cursor;
  std::optional<std::size_t> chain_cursor;
  std::optional<std::size_t> residue_cursor;

  // Open residue only: occupancy per atom, and an open-addressing table of
  // atom positions whose slots are stamped with `name_generation` so that
  // starting a residue empties it in constant time.
  std::vector<double> occupancies;
  std::vector<std::uint64_t> name_slots;
  std::uint32_t name_generation = 0;

  void init_model();
  void init_chain(std::string_view chain_id);
  void init_residue(std::string_view name, char32_t het, std::int64_t number, char32_t insertion_code);
  // Duplicate names: a later atom replaces the kept one only with a non-blank
  // alternate location and a strictly greater occupancy.
  void init_atom(Atom&& atom, double occupancy);
  // "ENDMDL": no chain and no residue open, models kept.
  void close_chain();

  Chain& chain();
  Residue& residue();

  Result<Structure> finish(std::size_t n_model) &&;
};

// Gives the open residue its one-letter code and extends the open chain's
// sequence; a hetero residue instead names the chain (sequence and het_name).
void set_residue_sequence(Builder& builder, char32_t het, std::string_view name);

}  // namespace tarvo

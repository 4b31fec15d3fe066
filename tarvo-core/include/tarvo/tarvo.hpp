// The score of one interface: a pair of model chains against a pair of native chains.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvo/align.hpp"
#include "tarvo/error.hpp"
#include "tarvo/geometry.hpp"
#include "tarvo/model.hpp"

namespace tarvo {

// Field names are the keys of the Python interface dictionary, in this order.
struct InterfaceResult {
  double Tarvo = 0;
  double F1 = 0;
  double iRMSD = 0;
  double LRMSD = 0;
  double fnat = 0;
  std::uint32_t nat_correct = 0;
  std::uint32_t nat_total = 0;
  double fnonnat = 0;
  std::uint32_t nonnat_count = 0;
  std::uint32_t model_total = 0;
  std::uint32_t clashes = 0;
  std::size_t len1 = 0;
  std::size_t len2 = 0;
  std::string class1;
  std::string class2;
  std::string chain1;  // model chain ids, filled in by the caller
  std::string chain2;
};

// The combined score of an interface, 0 to 1: fnat and two RMSD terms that fall
// from 1 as iRMSD passes 1.5 Å and LRMSD 8.5 Å, averaged. It rises with fnat and
// falls with either RMSD, so tarvo_score(fnat, 0, 0) bounds every score of that fnat.
constexpr double tarvo_score(double fnat, double irmsd, double lrmsd) {
  const double i_term = irmsd / 1.5;
  const double l_term = lrmsd / 8.5;
  return ((fnat + 1.0 / (1.0 + i_term * i_term)) + 1.0 / (1.0 + l_term * l_term)) / 3.0;
}

// Squared-distance cutoffs (Å²); all comparisons are strict.
inline constexpr float contact_cutoff(bool capri_peptide) { return capri_peptide ? 16.0f : 25.0f; }
inline constexpr float interface_cutoff(bool capri_peptide) { return capri_peptide ? 64.0f : 100.0f; }
inline constexpr float kClashCutoff = 4.0f;
// Chains further apart than this (Å) have no atoms in contact; the margin covers rounding.
inline float contact_reach(bool capri_peptide) { return std::sqrt(contact_cutoff(capri_peptide)) + 0.01f; }
// Distance matrices keep cells only below kExactBelow: no cutoff may exceed it.
static_assert(interface_cutoff(false) <= kExactBelow && interface_cutoff(true) <= kExactBelow &&
              contact_cutoff(false) <= kExactBelow && kClashCutoff <= kExactBelow);
// 5 Å: the farthest a count of contacts or clashes looks. A matrix made exact
// within it only scans about half the residue pairs.
inline constexpr float kContactWithin = 5.0f;
static_assert(contact_cutoff(false) <= kContactWithin * kContactWithin &&
              contact_cutoff(true) <= kContactWithin * kContactWithin &&
              kClashCutoff <= kContactWithin * kContactWithin);

// Residues paired in '|' columns, model and native lists of equal length.
struct AlignedResidues {
  std::vector<const Residue*> model;
  std::vector<const Residue*> native;
};

// Fails (naming the chain) when the alignment's symbols do not number the
// chain's residues one to one, e.g. for residue names of four or more characters.
Result<AlignedResidues> get_aligned_residues(const Chain& model, const Chain& native,
                                             const Alignment& alignment);

struct PointPairs {
  std::vector<Point> a;
  std::vector<Point> b;
};

// Backbone atoms present in both residues of each indexed pair, in the fixed
// backbone-name order; without indices every position of `a` is used.
PointPairs subset_atoms(std::span<const Residue* const> a, std::span<const Residue* const> b,
                        std::optional<std::span<const std::size_t>> indices = std::nullopt);

// all_atoms false: one point per residue, its CB, else its CA (Geometry error if neither).
Result<DistanceMatrix> residue_group_distances(std::span<const Residue* const> a,
                                               std::span<const Residue* const> b, bool all_atoms);

// All-atom matrix of two native chains (the first step of calc_tarvo). A mapping
// search computes it once per native pair and passes it to every tuple of that pair.
DistanceMatrix native_distances(const Chain& native1, const Chain& native2);
// All-atom matrix of two residue lists, or of two chains, exact and kept below
// kContactWithin² only: enough to count contacts and clashes, all that a score
// reads of a model matrix.
DistanceMatrix contact_distances(std::span<const Residue* const> a, std::span<const Residue* const> b);
DistanceMatrix contact_distances(const Chain& first, const Chain& second);
std::uint32_t count_below(const DistanceMatrix& matrix, float cutoff);

// Absent result: the native chains have no contact (or one has no residues).
// alignment1 = align_chains(model1, native1), alignment2 = align_chains(model2, native2).
Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& model1, const Chain& model2,
                                                  const Chain& native1, const Chain& native2,
                                                  const Alignment& alignment1,
                                                  const Alignment& alignment2, bool capri_peptide);

// The same with the native matrix already computed by native_distances(native1, native2).
Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& model1, const Chain& model2,
                                                  const Chain& native1, const Chain& native2,
                                                  const Alignment& alignment1,
                                                  const Alignment& alignment2, bool capri_peptide,
                                                  const DistanceMatrix& native_matrix);

// One model chain aligned to one native chain, with the backbone points that
// calc_tarvo takes from it: a caller scoring the pair in many interfaces
// prepares it once.
struct AlignedChain {
  AlignedResidues residues;
  PointPairs backbone;               // subset_atoms(residues.model, residues.native)
  std::vector<std::size_t> offsets;  // aligned pair k owns backbone points offsets[k]..offsets[k + 1]
};

// Fails as get_aligned_residues does.
Result<AlignedChain> align_chain_pair(const Chain& model, const Chain& native, const Alignment& alignment);

// The same score from prepared sides, side1 = align_chain_pair(model1, native1,
// alignment1) and likewise side2, and model_matrix = contact_distances(
// side1.residues.model, side2.residues.model).
Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& native1, const Chain& native2,
                                                  const AlignedChain& side1, const AlignedChain& side2,
                                                  bool capri_peptide, const DistanceMatrix& native_matrix,
                                                  const DistanceMatrix& model_matrix);

// What the native chains tell the score: their residue counts, and which side
// is the receptor that LRMSD superposes.
struct SideRoles {
  std::size_t len1 = 0;
  std::size_t len2 = 0;
  bool receptor1 = false;
};

// The same score with the roles given: sides of several chains each, or a
// receptor chosen by the caller rather than by size.
Result<std::optional<InterfaceResult>> calc_tarvo(const AlignedChain& side1, const AlignedChain& side2,
                                                  bool capri_peptide, const DistanceMatrix& native_matrix,
                                                  const DistanceMatrix& model_matrix, SideRoles roles);

}  // namespace tarvo

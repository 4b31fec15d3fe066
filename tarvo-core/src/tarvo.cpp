#include "tarvo/tarvo.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace tarvo {

namespace {

// Protein backbone, then nucleic-acid backbone and sugar atoms.
constexpr std::array<std::string_view, 16> kBackboneAtoms = {
    "CA", "C", "N", "O", "P", "OP1", "OP2", "O2'", "O3'", "O4'", "O5'", "C1'", "C2'", "C3'", "C4'", "C5'"};

constexpr char32_t kGap = U'-';

const Atom* find_atom(const Residue& residue, std::string_view name) {
  auto it = std::ranges::find_if(residue.atoms, [name](const Atom& atom) { return atom.name == name; });
  return it == residue.atoms.end() ? nullptr : &*it;
}

// A name of one to three bytes packed with its length into one integer (no
// backbone name is longer); 0 for any other name.
constexpr std::uint32_t packed_name(std::string_view name) {
  if (name.empty() || name.size() > 3) return 0;
  std::uint32_t key = static_cast<std::uint32_t>(name.size()) << 24;
  for (std::size_t i = 0; i < name.size(); ++i) key |= std::uint32_t{static_cast<unsigned char>(name[i])} << (8 * i);
  return key;
}

// Packed backbone names by slot of a multiplicative hash, the multiplier chosen
// at compile time so that no two names share a slot: a lookup is one multiply
// and one compare, where a search of the sorted names took four branches that
// side-chain names, most of a residue's atoms, made hard to predict.
struct BackboneSlot {
  std::uint32_t key = 0;
  std::uint8_t position = kBackboneAtoms.size();
};
constexpr unsigned kBackboneSlotBits = 6;

constexpr std::size_t backbone_slot(std::uint32_t key, std::uint32_t multiplier) {
  return (key * multiplier) >> (32 - kBackboneSlotBits);
}

constexpr auto kBackboneTable = [] {
  for (std::uint32_t multiplier = 0x9E3779B1u;; multiplier += 2) {
    std::array<BackboneSlot, std::size_t{1} << kBackboneSlotBits> slots{};
    bool collided = false;
    for (std::size_t k = 0; k < kBackboneAtoms.size() && !collided; ++k) {
      const std::uint32_t key = packed_name(kBackboneAtoms[k]);
      BackboneSlot& slot = slots[backbone_slot(key, multiplier)];
      collided = slot.key != 0;
      slot = {key, static_cast<std::uint8_t>(k)};
    }
    if (!collided) return std::pair{multiplier, slots};
  }
}();

// The position of a packed name in kBackboneAtoms; kBackboneAtoms.size() for any other name.
std::size_t backbone_position(std::uint32_t key) {
  const BackboneSlot& slot = kBackboneTable.second[backbone_slot(key, kBackboneTable.first)];
  return slot.key == key ? slot.position : kBackboneAtoms.size();
}

// The first atom of each backbone name in the residue (null where none), in
// one pass over its atoms.
using BackboneAtoms = std::array<const Atom*, kBackboneAtoms.size()>;
BackboneAtoms backbone_atoms(const Residue& residue) {
  BackboneAtoms out{};
  for (const Atom& atom : residue.atoms) {
    const std::size_t k = backbone_position(packed_name(atom.name));
    if (k < out.size() && out[k] == nullptr) out[k] = &atom;
  }
  return out;
}

// The backbone atoms present in both residues, in the fixed name order.
void add_backbone_pair(const Residue& a, const Residue& b, PointPairs& points) {
  const BackboneAtoms atoms_a = backbone_atoms(a), atoms_b = backbone_atoms(b);
  for (std::size_t k = 0; k < atoms_a.size(); ++k) {
    const Atom* atom_a = atoms_a[k];
    const Atom* atom_b = atoms_b[k];
    if (atom_a == nullptr || atom_b == nullptr) continue;
    points.a.push_back({atom_a->x, atom_a->y, atom_a->z});
    points.b.push_back({atom_b->x, atom_b->y, atom_b->z});
  }
}

std::vector<const Residue*> residue_refs(const Chain& chain) {
  std::vector<const Residue*> refs;
  refs.reserve(chain.residues.size());
  for (const Residue& residue : chain.residues) refs.push_back(&residue);
  return refs;
}

// Walking the columns hands out one residue per non-gap symbol, so the counts
// must agree before the walk starts.
Result<void> check_symbol_count(std::u32string_view aligned, const Chain& chain, std::string_view role) {
  auto symbols = static_cast<std::size_t>(std::ranges::count_if(aligned, [](char32_t c) { return c != kGap; }));
  if (symbols == chain.residues.size()) return {};
  return fail(err::Mapping{std::string(role) + " chain '" + chain.id + "' has " +
                           std::to_string(symbols) + " sequence symbols for " +
                           std::to_string(chain.residues.size()) +
                           " residue(s); residues whose names are not one letter long cannot be "
                           "aligned residue by residue"});
}

Result<Point> representative_point(const Residue& residue) {
  const Atom* atom = find_atom(residue, "CB");
  if (atom == nullptr) atom = find_atom(residue, "CA");
  if (atom == nullptr)
    return fail(err::Geometry{"residue " + residue.name + " " + std::to_string(residue.number) +
                              "; has neither CB nor CA (needed for capri_peptide interface)"});
  return Point{atom->x, atom->y, atom->z};
}

Result<std::vector<Point>> representative_points(std::span<const Residue* const> residues) {
  std::vector<Point> points;
  points.reserve(residues.size());
  for (const Residue* residue : residues) {
    Result<Point> point = representative_point(*residue);
    if (!point) return std::unexpected(std::move(point.error()));
    points.push_back(*point);
  }
  return points;
}

// sqrt(S / n) with S summed in point order; no points gives NaN (0 / 0).
float rmsd(std::span<const Point> reference, std::span<const Point> moved) {
  float sum = 0.0f;
  for (std::size_t k = 0; k < reference.size(); ++k) {
    float dx = reference[k].x - moved[k].x;
    float dy = reference[k].y - moved[k].y;
    float dz = reference[k].z - moved[k].z;
    sum += (dx * dx + dy * dy) + dz * dz;
  }
  return std::sqrt(sum / static_cast<float>(reference.size()));
}

// Finds the motion taking `mobile` onto `target`, applies it to `measured` and
// measures the result against `reference`.
float rmsd_after_fit(std::span<const Point> target, std::span<const Point> mobile,
                     std::span<const Point> reference, std::span<const Point> measured) {
  const Transform transform = kabsch(target, mobile);
  std::vector<Point> moved;
  moved.reserve(measured.size());
  for (const Point& p : measured) moved.push_back(transform.apply(p));
  return rmsd(reference, moved);
}

// Rows and columns of `matrix` holding a value below `cutoff`, each ascending.
std::pair<std::vector<std::size_t>, std::vector<std::size_t>> interface_sets(const DistanceMatrix& matrix,
                                                                             float cutoff) {
  std::vector<bool> in_rows(matrix.rows, false);
  std::vector<bool> in_cols(matrix.cols, false);
  for (std::size_t i = 0; i < matrix.rows; ++i)
    for (const DistanceMatrix::Cell& cell : matrix.row(i))
      if (cell.value < cutoff) in_rows[i] = in_cols[cell.col] = true;
  auto indices = [](const std::vector<bool>& flags) {
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < flags.size(); ++k)
      if (flags[k]) out.push_back(k);
    return out;
  };
  return {indices(in_rows), indices(in_cols)};
}

float interface_rmsd(const AlignedChain& side1, const AlignedChain& side2,
                     const DistanceMatrix& interface_matrix, bool capri_peptide) {
  const auto [set1, set2] = interface_sets(interface_matrix, interface_cutoff(capri_peptide));
  std::vector<Point> model_points, native_points;
  auto take = [&](const AlignedChain& side, const std::vector<std::size_t>& set) {
    for (std::size_t k : set) {
      auto first = static_cast<std::ptrdiff_t>(side.offsets[k]);
      auto last = static_cast<std::ptrdiff_t>(side.offsets[k + 1]);
      model_points.insert(model_points.end(), side.backbone.a.begin() + first, side.backbone.a.begin() + last);
      native_points.insert(native_points.end(), side.backbone.b.begin() + first, side.backbone.b.begin() + last);
    }
  };
  take(side1, set1);
  take(side2, set2);
  // The native interface is moved onto the model's.
  return rmsd_after_fit(model_points, native_points, model_points, native_points);
}

float ligand_rmsd(const AlignedChain& receptor, const AlignedChain& ligand) {
  // The model is moved onto the native receptor; its ligand is measured there.
  return rmsd_after_fit(receptor.backbone.b, receptor.backbone.a, ligand.backbone.b, ligand.backbone.a);
}

}  // namespace

Result<AlignedResidues> get_aligned_residues(const Chain& model, const Chain& native,
                                             const Alignment& alignment) {
  if (auto checked = check_symbol_count(alignment.first_aligned, model, "model"); !checked)
    return std::unexpected(std::move(checked.error()));
  if (auto checked = check_symbol_count(alignment.second_aligned, native, "native"); !checked)
    return std::unexpected(std::move(checked.error()));

  if (alignment.first_aligned == alignment.second_aligned)
    return AlignedResidues{residue_refs(model), residue_refs(native)};

  if (alignment.match_line.size() != alignment.first_aligned.size() ||
      alignment.second_aligned.size() != alignment.first_aligned.size())
    throw InternalError("alignment texts of unequal length");

  AlignedResidues aligned;
  const Residue* current_model = nullptr;
  const Residue* current_native = nullptr;
  std::size_t next_model = 0;
  std::size_t next_native = 0;
  for (std::size_t col = 0; col < alignment.first_aligned.size(); ++col) {
    if (alignment.first_aligned[col] != kGap) current_model = &model.residues[next_model++];
    if (alignment.second_aligned[col] != kGap) current_native = &native.residues[next_native++];
    if (alignment.match_line[col] != U'|') continue;
    if (current_model == nullptr) throw InternalError("aligned '|' column with no model residue");
    if (current_native == nullptr) throw InternalError("aligned '|' column with no native residue");
    aligned.model.push_back(current_model);
    aligned.native.push_back(current_native);
  }
  return aligned;
}

PointPairs subset_atoms(std::span<const Residue* const> a, std::span<const Residue* const> b,
                        std::optional<std::span<const std::size_t>> indices) {
  PointPairs points;
  if (indices) {
    for (std::size_t index : *indices) add_backbone_pair(*a[index], *b[index], points);
  } else {
    for (std::size_t index = 0; index < a.size(); ++index) add_backbone_pair(*a[index], *b[index], points);
  }
  return points;
}

Result<AlignedChain> align_chain_pair(const Chain& model, const Chain& native, const Alignment& alignment) {
  Result<AlignedResidues> residues = get_aligned_residues(model, native, alignment);
  if (!residues) return std::unexpected(std::move(residues.error()));
  AlignedChain side;
  side.residues = std::move(*residues);
  side.offsets.reserve(side.residues.model.size() + 1);
  side.offsets.push_back(0);
  for (std::size_t k = 0; k < side.residues.model.size(); ++k) {
    add_backbone_pair(*side.residues.model[k], *side.residues.native[k], side.backbone);
    side.offsets.push_back(side.backbone.a.size());
  }
  return side;
}

namespace {

DistanceMatrix all_atom_distances(std::span<const Residue* const> a, std::span<const Residue* const> b,
                                  float exact_within) {
  const FlatGroup group_a = group_coords_and_counts(a);
  const FlatGroup group_b = group_coords_and_counts(b);
  return residue_distances(group_a.points, group_b.points, group_a.counts, group_b.counts, exact_within);
}

}  // namespace

Result<DistanceMatrix> residue_group_distances(std::span<const Residue* const> a,
                                               std::span<const Residue* const> b, bool all_atoms) {
  if (all_atoms) return all_atom_distances(a, b, kExactWithin);
  Result<std::vector<Point>> points_a = representative_points(a);
  if (!points_a) return std::unexpected(std::move(points_a.error()));
  Result<std::vector<Point>> points_b = representative_points(b);
  if (!points_b) return std::unexpected(std::move(points_b.error()));
  const std::vector<std::uint32_t> ones_a(a.size(), 1);
  const std::vector<std::uint32_t> ones_b(b.size(), 1);
  return residue_distances(*points_a, *points_b, ones_a, ones_b);
}

DistanceMatrix native_distances(const Chain& native1, const Chain& native2) {
  const std::vector<const Residue*> residues1 = residue_refs(native1);
  const std::vector<const Residue*> residues2 = residue_refs(native2);
  // The all-atom variant has no failure.
  return *residue_group_distances(residues1, residues2, true);
}

DistanceMatrix contact_distances(std::span<const Residue* const> a, std::span<const Residue* const> b) {
  return all_atom_distances(a, b, kContactWithin);
}

DistanceMatrix contact_distances(const Chain& first, const Chain& second) {
  return contact_distances(residue_refs(first), residue_refs(second));
}

std::uint32_t count_below(const DistanceMatrix& matrix, float cutoff) {
  return static_cast<std::uint32_t>(
      std::ranges::count_if(matrix.cells, [cutoff](const DistanceMatrix::Cell& cell) { return cell.value < cutoff; }));
}

Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& model1, const Chain& model2,
                                                  const Chain& native1, const Chain& native2,
                                                  const Alignment& alignment1,
                                                  const Alignment& alignment2, bool capri_peptide) {
  return calc_tarvo(model1, model2, native1, native2, alignment1, alignment2, capri_peptide,
                    native_distances(native1, native2));
}

Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& model1, const Chain& model2,
                                                  const Chain& native1, const Chain& native2,
                                                  const Alignment& alignment1,
                                                  const Alignment& alignment2, bool capri_peptide,
                                                  const DistanceMatrix& native_matrix) {
  if (count_below(native_matrix, contact_cutoff(capri_peptide)) == 0) return std::nullopt;
  Result<AlignedChain> side1 = align_chain_pair(model1, native1, alignment1);
  if (!side1) return std::unexpected(std::move(side1.error()));
  Result<AlignedChain> side2 = align_chain_pair(model2, native2, alignment2);
  if (!side2) return std::unexpected(std::move(side2.error()));
  const DistanceMatrix model_matrix = contact_distances(side1->residues.model, side2->residues.model);
  return calc_tarvo(native1, native2, *side1, *side2, capri_peptide, native_matrix, model_matrix);
}

Result<std::optional<InterfaceResult>> calc_tarvo(const Chain& native1, const Chain& native2,
                                                  const AlignedChain& side1, const AlignedChain& side2,
                                                  bool capri_peptide, const DistanceMatrix& native_matrix,
                                                  const DistanceMatrix& model_matrix) {
  // The larger native chain is the receptor; on a tie chain 2 is.
  const SideRoles roles{native1.residues.size(), native2.residues.size(),
                        native1.residues.size() > native2.residues.size()};
  return calc_tarvo(side1, side2, capri_peptide, native_matrix, model_matrix, roles);
}

Result<std::optional<InterfaceResult>> calc_tarvo(const AlignedChain& side1, const AlignedChain& side2,
                                                  bool capri_peptide, const DistanceMatrix& native_matrix,
                                                  const DistanceMatrix& model_matrix, SideRoles roles) {
  const float contact = contact_cutoff(capri_peptide);
  InterfaceResult result;
  result.nat_total = count_below(native_matrix, contact);
  if (result.nat_total == 0) return std::nullopt;  // also covers an empty matrix
  const AlignedResidues& aligned1 = side1.residues;
  const AlignedResidues& aligned2 = side2.residues;

  // When the alignment covers every native residue the native matrix already is
  // the aligned one; only otherwise is it worth a second pass.
  DistanceMatrix recomputed;
  const DistanceMatrix* aligned_native = &native_matrix;
  if (model_matrix.rows != native_matrix.rows || model_matrix.cols != native_matrix.cols) {
    recomputed = *residue_group_distances(aligned1.native, aligned2.native, true);
    aligned_native = &recomputed;
  }
  if (model_matrix.rows != aligned_native->rows || model_matrix.cols != aligned_native->cols)
    return fail(err::InterfaceSizeMismatch{{model_matrix.rows, model_matrix.cols},
                                           {aligned_native->rows, aligned_native->cols}});

  const SharedBelow contacts = shared_below(model_matrix, *aligned_native, contact);
  result.model_total = contacts.first;
  result.nat_correct = contacts.both;
  result.nonnat_count = contacts.first - contacts.both;
  result.fnonnat = result.model_total == 0
                       ? 0.0
                       : static_cast<double>(result.nonnat_count) / static_cast<double>(result.model_total);

  DistanceMatrix peptide_interface;
  const DistanceMatrix* interface_matrix = aligned_native;
  if (capri_peptide) {
    Result<DistanceMatrix> representatives = residue_group_distances(aligned1.native, aligned2.native, false);
    if (!representatives) return std::unexpected(std::move(representatives.error()));
    peptide_interface = std::move(*representatives);
    interface_matrix = &peptide_interface;
  }
  const float irmsd = interface_rmsd(side1, side2, *interface_matrix, capri_peptide);

  result.class1 = roles.receptor1 ? "receptor" : "ligand";
  result.class2 = roles.receptor1 ? "ligand" : "receptor";
  const float lrmsd = roles.receptor1 ? ligand_rmsd(side1, side2) : ligand_rmsd(side2, side1);

  result.clashes = count_below(model_matrix, kClashCutoff);

  result.fnat = static_cast<double>(result.nat_correct) / static_cast<double>(result.nat_total);
  result.iRMSD = static_cast<double>(irmsd);
  result.LRMSD = static_cast<double>(lrmsd);
  result.Tarvo = tarvo_score(result.fnat, result.iRMSD, result.LRMSD);
  result.F1 = 2.0 * static_cast<double>(result.nat_correct) /
              ((static_cast<double>(result.nonnat_count) + static_cast<double>(result.nat_correct)) +
               static_cast<double>(result.nat_total));
  result.len1 = roles.len1;
  result.len2 = roles.len2;
  return result;
}

}  // namespace tarvo

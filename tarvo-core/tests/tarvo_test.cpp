#include "tarvo/tarvo.hpp"

#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvo/align.hpp"
#include "tarvo/reader.hpp"  // load_structure

namespace tarvo {
namespace {

Atom atom(std::string name, Point p) { return Atom{std::string_view(name), "C", U' ', p.x, p.y, p.z}; }

Residue residue(std::string name, std::string code, std::int64_t number, std::vector<Atom> atoms) {
  return Residue{std::move(name), std::move(code), std::move(atoms), number, U' ', U' '};
}

Chain chain_of(std::string id, std::vector<Residue> residues) {
  Chain chain{std::move(id), std::move(residues), "", std::nullopt};
  for (const Residue& r : chain.residues) chain.sequence += r.code;
  return chain;
}

Point add(Point p, Point q, float scale = 1.0f) { return {p.x + scale * q.x, p.y + scale * q.y, p.z + scale * q.z}; }

// An idealised helix along z through (x_axis, 0): 100° and 1.5 Å per residue,
// with N, CA, C, O and CB placed around each CA.
Chain helix(std::string id, std::string_view codes, float x_axis) {
  std::vector<Residue> residues;
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const double angle = static_cast<double>(k) * 100.0 * std::numbers::pi / 180.0;
    const Point radial{static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)), 0};
    const Point tangent{-radial.y, radial.x, 0};
    const Point axis{0, 0, 1};
    const Point ca{x_axis + 2.3f * radial.x, 2.3f * radial.y, 1.5f * static_cast<float>(k)};
    residues.push_back(residue("ALA", std::string(1, codes[k]), static_cast<std::int64_t>(k + 1),
                               {atom("N", add(add(ca, tangent, -0.9f), axis, -0.5f)), atom("CA", ca),
                                atom("C", add(add(ca, tangent, 0.9f), axis, 0.5f)),
                                atom("O", add(add(add(ca, tangent, 1.0f), axis, 0.5f), radial, 1.0f)),
                                atom("CB", add(ca, radial, 1.5f))}));
  }
  return chain_of(std::move(id), std::move(residues));
}

// A rigid motion applied in double precision, then rounded to the stored floats.
struct Motion {
  std::array<std::array<double, 3>, 3> r;
  std::array<double, 3> t;

  Point apply(const Atom& a) const {
    const double p[3] = {a.x, a.y, a.z};
    float out[3];
    for (int k = 0; k < 3; ++k) out[k] = static_cast<float>(r[k][0] * p[0] + r[k][1] * p[1] + r[k][2] * p[2] + t[k]);
    return {out[0], out[1], out[2]};
  }
};

Motion turn(double ax, double ay, double az, std::array<double, 3> t) {
  auto rad = [](double deg) { return deg * std::numbers::pi / 180.0; };
  const double a = rad(ax), b = rad(ay), c = rad(az);
  // Rz(c)·Ry(b)·Rx(a)
  return {{{{std::cos(c) * std::cos(b), std::cos(c) * std::sin(b) * std::sin(a) - std::sin(c) * std::cos(a),
             std::cos(c) * std::sin(b) * std::cos(a) + std::sin(c) * std::sin(a)},
            {std::sin(c) * std::cos(b), std::sin(c) * std::sin(b) * std::sin(a) + std::cos(c) * std::cos(a),
             std::sin(c) * std::sin(b) * std::cos(a) - std::cos(c) * std::sin(a)},
            {-std::sin(b), std::cos(b) * std::sin(a), std::cos(b) * std::cos(a)}}},
          t};
}

Chain moved(Chain chain, const Motion& motion) {
  for (Residue& r : chain.residues)
    for (Atom& a : r.atoms) {
      const Point p = motion.apply(a);
      a.x = p.x, a.y = p.y, a.z = p.z;
    }
  return chain;
}

std::u32string u32(std::string_view text) { return std::u32string(text.begin(), text.end()); }

Alignment hand_alignment(std::string_view first, std::string_view match, std::string_view second) {
  return {u32(first), u32(match), u32(second)};
}

InterfaceResult score(const Chain& model1, const Chain& model2, const Chain& native1, const Chain& native2,
                      bool capri_peptide = false) {
  auto result = calc_tarvo(model1, model2, native1, native2, align_chains(model1, native1, false),
                           align_chains(model2, native2, false), capri_peptide);
  if (!result) ADD_FAILURE() << result.error().message();
  if (!result || !*result) {
    ADD_FAILURE() << "no interface";
    return {};
  }
  return **result;
}

const std::string_view kReceptorSeq = "MKTAYIAKQRQISFVKSHFSRQ";
const std::string_view kLigandSeq = "GSHMLEDPVAG";

struct Native {
  Chain receptor = helix("A", kReceptorSeq, 0.0f);
  Chain ligand = helix("B", kLigandSeq, 10.0f);
};

// ---- get_aligned_residues ----

std::vector<std::size_t> positions(const std::vector<const Residue*>& refs, const Chain& chain) {
  std::vector<std::size_t> out;
  for (const Residue* r : refs) out.push_back(static_cast<std::size_t>(r - chain.residues.data()));
  return out;
}

struct PairingCase {
  const char* name;
  std::string_view model;
  std::string_view native;
  std::vector<std::size_t> model_positions;
  std::vector<std::size_t> native_positions;
};

class AlignedPairs : public testing::TestWithParam<PairingCase> {};

TEST_P(AlignedPairs, FollowTheMatchedColumns) {
  const PairingCase& c = GetParam();
  const Chain model = helix("A", c.model, 0);
  const Chain native = helix("A", c.native, 0);
  auto aligned = get_aligned_residues(model, native, align_chains(model, native, false));
  ASSERT_TRUE(aligned) << aligned.error().message();
  EXPECT_EQ(positions(aligned->model, model), c.model_positions);
  EXPECT_EQ(positions(aligned->native, native), c.native_positions);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlignedPairs,
    testing::Values(PairingCase{"Identical", "MKTAYI", "MKTAYI", {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}},
                    PairingCase{"ModelLacksResidue", "MKTYIAK", "MKTAYIAK", {0, 1, 2, 3, 4, 5, 6}, {0, 1, 2, 4, 5, 6, 7}},
                    PairingCase{"NativeLacksResidue", "MKTAYIAK", "MKTYIAK", {0, 1, 2, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6}},
                    PairingCase{"MutatedResidueIsLeftOut", "MKTWYIAK", "MKTAYIAK", {0, 1, 2, 4, 5, 6, 7}, {0, 1, 2, 4, 5, 6, 7}}),
    [](const testing::TestParamInfo<PairingCase>& info) { return info.param.name; });

TEST(GetAlignedResidues, EqualTextsPairEveryResidueWithoutReadingMatchLine) {
  const Chain model = helix("A", "MKT", 0);
  const Chain native = helix("B", "MKT", 5);
  auto aligned = get_aligned_residues(model, native, hand_alignment("MKT", "   ", "MKT"));
  ASSERT_TRUE(aligned);
  EXPECT_EQ(positions(aligned->model, model), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(positions(aligned->native, native), (std::vector<std::size_t>{0, 1, 2}));
}

TEST(GetAlignedResidues, MoreSymbolsThanResiduesIsAMappingErrorNamingTheChain) {
  Chain long_name = chain_of("A", {residue("ABCD", "ABCD", 1, {})});
  const Chain four = helix("B", "ABCD", 0);
  auto model_side = get_aligned_residues(long_name, four, hand_alignment("ABCD", "||||", "ABCD"));
  ASSERT_FALSE(model_side);
  EXPECT_EQ(model_side.error().kind(), ErrorKind::Mapping);
  EXPECT_EQ(model_side.error().message(),
            "model chain 'A' has 4 sequence symbols for 1 residue(s); residues whose names are not one letter "
            "long cannot be aligned residue by residue");

  long_name.id = "C";
  long_name.sequence = "HEM";  // a hetero residue replaces the sequence
  auto native_side = get_aligned_residues(helix("B", "HEM", 0), long_name, hand_alignment("HEM", "|||", "HEM"));
  ASSERT_FALSE(native_side);
  EXPECT_EQ(native_side.error().message(),
            "native chain 'C' has 3 sequence symbols for 1 residue(s); residues whose names are not one letter "
            "long cannot be aligned residue by residue");
}

TEST(GetAlignedResidues, MatchedColumnBeforeAnyResidueIsAnInternalFault) {
  const Chain one = helix("A", "A", 0);
  const Chain two = helix("B", "AB", 0);
  EXPECT_THROW((void)get_aligned_residues(one, two, hand_alignment("-A", "|.", "AB")), InternalError);
  EXPECT_THROW((void)get_aligned_residues(two, one, hand_alignment("AB", "| ", "-A")), InternalError);
}

// ---- subset_atoms and residue_group_distances ----

TEST(SubsetAtoms, PairsBackboneNamesPresentOnBothSidesInFixedOrder) {
  const std::vector<Residue> a = {residue("ALA", "A", 1, {atom("O", {1, 0, 0}), atom("CB", {2, 0, 0}), atom("CA", {3, 0, 0}),
                                                          atom("N", {4, 0, 0}), atom("P", {5, 0, 0})})};
  const std::vector<Residue> b = {residue("ALA", "A", 1, {atom("N", {0, 4, 0}), atom("CA", {0, 3, 0}), atom("C", {0, 9, 0}),
                                                          atom("CB", {0, 2, 0}), atom("O", {0, 1, 0})})};
  const std::vector<const Residue*> ra = {&a[0]}, rb = {&b[0]};
  PointPairs points = subset_atoms(ra, rb);
  ASSERT_EQ(points.a.size(), 3u);  // CA, N, O: C and P are missing on one side, CB is no backbone atom
  EXPECT_EQ(points.a[0].x, 3.0f);
  EXPECT_EQ(points.a[1].x, 4.0f);
  EXPECT_EQ(points.a[2].x, 1.0f);
  EXPECT_EQ(points.b[0].y, 3.0f);
  EXPECT_EQ(points.b[1].y, 4.0f);
  EXPECT_EQ(points.b[2].y, 1.0f);
}

TEST(SubsetAtoms, IndicesSelectResiduePairsInTheirOrder) {
  const Chain c = helix("A", "MKTA", 0);
  const std::vector<const Residue*> refs = {&c.residues[0], &c.residues[1], &c.residues[2], &c.residues[3]};
  const std::vector<std::size_t> indices = {3, 1};
  PointPairs points = subset_atoms(refs, refs, std::span<const std::size_t>(indices));
  ASSERT_EQ(points.a.size(), 8u);
  EXPECT_EQ(points.a[0].z, c.residues[3].atoms[1].z);  // CA of residue 3 comes first
  EXPECT_EQ(points.a[4].z, c.residues[1].atoms[1].z);
}

TEST(RepresentativeDistances, UseCBElseCA) {
  const std::vector<Residue> a = {residue("ALA", "A", 1, {atom("CA", {0, 0, 50}), atom("CB", {0, 0, 0})})};
  const std::vector<Residue> b = {residue("GLY", "G", 1, {atom("N", {0, 0, 1}), atom("CA", {0, 0, 3})})};
  const std::vector<const Residue*> ra = {&a[0]}, rb = {&b[0]};
  auto m = residue_group_distances(ra, rb, false);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->at(0, 0), 9.0f);
}

TEST(RepresentativeDistances, ResidueWithoutCBOrCAIsAGeometryErrorFirstGroupFirst) {
  const std::vector<Residue> a = {residue("GLY", "G", 3, {atom("CA", {0, 0, 0})}), residue("ALA", "A", 17, {atom("N", {0, 0, 0})})};
  const std::vector<Residue> b = {residue("SER", "S", 2, {atom("O", {0, 0, 0})})};
  const std::vector<const Residue*> ra = {&a[0], &a[1]}, rb = {&b[0]};
  auto m = residue_group_distances(ra, rb, false);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().kind(), ErrorKind::Geometry);
  EXPECT_EQ(m.error().message(),
            "geometry error: residue ALA 17; has neither CB nor CA (needed for capri_peptide interface)");
  EXPECT_TRUE(residue_group_distances(ra, rb, true));
}

// ---- calc_tarvo ----

class WholeModelMoved : public testing::TestWithParam<Motion> {};

TEST_P(WholeModelMoved, ScoresAsTheNativeItself) {
  const Native n;
  const InterfaceResult r = score(moved(n.receptor, GetParam()), moved(n.ligand, GetParam()), n.receptor, n.ligand);
  EXPECT_GT(r.nat_total, 0u);
  EXPECT_EQ(r.nat_correct, r.nat_total);
  EXPECT_EQ(r.model_total, r.nat_total);
  EXPECT_EQ(r.fnat, 1.0);
  EXPECT_EQ(r.F1, 1.0);
  EXPECT_EQ(r.fnonnat, 0.0);
  EXPECT_NEAR(r.iRMSD, 0.0, 1e-3);
  EXPECT_NEAR(r.LRMSD, 0.0, 1e-3);
  EXPECT_NEAR(r.Tarvo, 1.0, 1e-6);
  EXPECT_EQ(r.len1, kReceptorSeq.size());
  EXPECT_EQ(r.len2, kLigandSeq.size());
  EXPECT_TRUE(r.chain1.empty() && r.chain2.empty());
}

INSTANTIATE_TEST_SUITE_P(Motions, WholeModelMoved,
                         testing::Values(turn(0, 0, 0, {0, 0, 0}), turn(30, -50, 70, {12.5, -40.0, 7.25})));

double backbone_displacement(const Chain& before, const Chain& after) {
  const std::array<std::string_view, 4> backbone = {"N", "CA", "C", "O"};
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t k = 0; k < before.residues.size(); ++k)
    for (std::size_t a = 0; a < before.residues[k].atoms.size(); ++a) {
      const Atom& p = before.residues[k].atoms[a];
      const Atom& q = after.residues[k].atoms[a];
      if (std::ranges::find(backbone, p.name.view()) == backbone.end()) continue;
      sum += (double(p.x) - q.x) * (double(p.x) - q.x) + (double(p.y) - q.y) * (double(p.y) - q.y) +
             (double(p.z) - q.z) * (double(p.z) - q.z);
      ++count;
    }
  return std::sqrt(sum / static_cast<double>(count));
}

class LigandMoved : public testing::TestWithParam<bool> {};

TEST_P(LigandMoved, LRMSDIsTheLigandBackboneDisplacement) {
  const bool ligand_first = GetParam();
  const Native n;
  const Chain ligand = moved(n.ligand, turn(8, 3, -5, {1.5, -0.75, 2.0}));
  const InterfaceResult r = ligand_first ? score(ligand, n.receptor, n.ligand, n.receptor)
                                         : score(n.receptor, ligand, n.receptor, n.ligand);
  EXPECT_EQ(r.class1, ligand_first ? "ligand" : "receptor");
  EXPECT_EQ(r.class2, ligand_first ? "receptor" : "ligand");
  const double expected = backbone_displacement(n.ligand, ligand);
  ASSERT_GT(expected, 1.0);
  EXPECT_NEAR(r.LRMSD, expected, 1e-4 * expected);
  EXPECT_GT(r.iRMSD, 0.1);

  const double i = r.iRMSD / 1.5, l = r.LRMSD / 8.5;
  EXPECT_DOUBLE_EQ(r.Tarvo, (r.fnat + 1 / (1 + i * i) + 1 / (1 + l * l)) / 3);
  EXPECT_DOUBLE_EQ(r.F1, 2.0 * r.nat_correct / (r.nonnat_count + r.nat_correct + r.nat_total));
  EXPECT_EQ(r.model_total, r.nat_correct + r.nonnat_count);
}

INSTANTIATE_TEST_SUITE_P(Order, LigandMoved, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "LigandFirst" : "LigandSecond"; });

TEST(CalcTarvo, RealComplexMovedAsAWholeOrByItsLigand) {
  const std::vector<std::string> ids = {"A", "B"};
  auto native = load_structure(TARVO_EXAMPLES_DIR "/2GTP_native.pdb", ids, false, 0);
  ASSERT_TRUE(native) << native.error().message();
  const Chain& a = *native->chain("A");
  const Chain& b = *native->chain("B");
  const Motion motion = turn(-20, 35, 110, {-30.0, 15.5, 4.0});
  const InterfaceResult whole = score(moved(a, motion), moved(b, motion), a, b);
  EXPECT_EQ(whole.fnat, 1.0);
  EXPECT_EQ(whole.fnonnat, 0.0);
  EXPECT_NEAR(whole.iRMSD, 0.0, 1e-3);
  EXPECT_NEAR(whole.LRMSD, 0.0, 1e-3);
  EXPECT_NEAR(whole.Tarvo, 1.0, 1e-6);

  const Chain ligand = moved(b, turn(4, -6, 3, {1.0, 0.5, -1.5}));
  const InterfaceResult r = score(a, ligand, a, b);
  EXPECT_EQ(r.class2, "ligand");
  EXPECT_NEAR(r.LRMSD, backbone_displacement(b, ligand), 1e-3);
}

struct RoleCase {
  std::size_t len1;
  std::size_t len2;
  const char* class1;
};

class Roles : public testing::TestWithParam<RoleCase> {};

TEST_P(Roles, ChainOneIsReceptorOnlyWhenStrictlyLonger) {
  const RoleCase& c = GetParam();
  const Chain one = helix("A", std::string(c.len1, 'A'), 0);
  const Chain two = helix("B", std::string(c.len2, 'A'), 10);
  const InterfaceResult r = score(one, two, one, two);
  EXPECT_EQ(r.class1, c.class1);
  EXPECT_EQ(r.class2, std::string(c.class1) == "receptor" ? "ligand" : "receptor");
}

INSTANTIATE_TEST_SUITE_P(Lengths, Roles,
                         testing::Values(RoleCase{120, 80, "receptor"}, RoleCase{80, 120, "ligand"},
                                         RoleCase{100, 100, "ligand"}),
                         [](const testing::TestParamInfo<RoleCase>& info) {
                           return std::to_string(info.param.len1) + "vs" + std::to_string(info.param.len2);
                         });

TEST(CalcTarvo, NoInterfaceWhenNativeChainsDoNotTouchOrOneIsEmpty) {
  const Chain a = helix("A", "MKTAYI", 0);
  const Chain far = helix("B", "GSHM", 30);
  const Chain empty = chain_of("C", {});
  for (const Chain* other : {&far, &empty}) {
    auto r = calc_tarvo(a, *other, a, *other, align_chains(a, a, false), align_chains(*other, *other, false), false);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->has_value());
  }
}

TEST(CalcTarvo, NativeContactOfUnalignedResidueCountsOnlyInTotal) {
  const Native n;
  const DistanceMatrix native = native_distances(n.receptor, n.ligand);
  // Drop the receptor residue with the most native contacts from the model.
  std::size_t dropped = 0, most = 0;
  for (std::size_t i = 0; i < native.rows; ++i) {
    std::size_t contacts = 0;
    for (std::size_t j = 0; j < native.cols; ++j) contacts += native.at(i, j) < 25.0f;
    if (contacts > most) most = contacts, dropped = i;
  }
  ASSERT_GT(most, 0u);
  Chain model = n.receptor;
  model.residues.erase(model.residues.begin() + static_cast<std::ptrdiff_t>(dropped));
  model.sequence.erase(dropped, 1);

  const InterfaceResult r = score(model, n.ligand, n.receptor, n.ligand);
  EXPECT_EQ(r.nat_total, count_below(native, 25.0f));
  EXPECT_EQ(r.nat_correct, r.nat_total - most);
  EXPECT_EQ(r.fnonnat, 0.0);
  EXPECT_NEAR(r.iRMSD, 0.0, 1e-3);
}

TEST(CalcTarvo, LigandTakenAwayLeavesNoModelContacts) {
  const Native n;
  const InterfaceResult r = score(n.receptor, moved(n.ligand, turn(0, 0, 0, {40, 0, 0})), n.receptor, n.ligand);
  EXPECT_EQ(r.model_total, 0u);
  EXPECT_EQ(r.fnonnat, 0.0);
  EXPECT_EQ(r.F1, 0.0);
  EXPECT_EQ(r.fnat, 0.0);
  EXPECT_NEAR(r.LRMSD, 40.0, 1e-3);
  // Interface residues come from the native, so the moved ligand still counts.
  EXPECT_GT(r.iRMSD, 1.0);
}

Chain single_atoms(std::string id, std::vector<Point> points) {
  std::vector<Residue> residues;
  for (const Point& p : points) residues.push_back(residue("GLY", "G", static_cast<std::int64_t>(residues.size() + 1), {atom("CA", p)}));
  return chain_of(std::move(id), std::move(residues));
}

TEST(CalcTarvo, PairExactlyAtTheContactCutoffIsNoContact) {
  // Native: a1-b1 3 Å apart, a2-b2 exactly 5 Å; the model brings b2 to 3 Å.
  const Chain a = single_atoms("A", {{0, 0, 0}, {0, 10, 0}});
  const Chain native_b = single_atoms("B", {{3, 0, 0}, {3, 14, 0}});
  const Chain model_b = single_atoms("B", {{3, 0, 0}, {3, 10, 0}});
  const InterfaceResult r = score(a, model_b, a, native_b);
  EXPECT_EQ(r.nat_total, 1u);
  EXPECT_EQ(r.model_total, 2u);
  EXPECT_EQ(r.nat_correct, 1u);
  EXPECT_EQ(r.nonnat_count, 1u);
  EXPECT_EQ(r.fnonnat, 0.5);
  EXPECT_EQ(r.F1, 2.0 / 3.0);
}

// Two one-residue chains whose side chains touch: `gap` Å between the NZ atoms,
// CB atoms 10 Å apart.
std::pair<Chain, Chain> touching_side_chains(float gap) {
  const float half = gap / 2;
  Chain a = chain_of("A", {residue("LYS", "K", 1, {atom("CA", {-6.5f, 0, 0}), atom("CB", {-5, 0, 0}), atom("NZ", {-half, 0, 0})})});
  Chain b = chain_of("B", {residue("LYS", "K", 1, {atom("CA", {6.5f, 0, 0}), atom("CB", {5, 0, 0}), atom("NZ", {half, 0, 0})})});
  return {a, b};
}

TEST(CalcTarvo, PeptideModeUsesFourAngstromContacts) {
  const auto [a, b] = touching_side_chains(4.5f);
  EXPECT_EQ(score(a, b, a, b).nat_total, 1u);
  auto peptide = calc_tarvo(a, b, a, b, align_chains(a, a, false), align_chains(b, b, false), true);
  ASSERT_TRUE(peptide);
  EXPECT_FALSE(peptide->has_value());
}

TEST(CalcTarvo, PeptideModeFindsInterfaceResiduesByCBWithinEightAngstroms) {
  const auto [a, b] = touching_side_chains(3.5f);
  EXPECT_NEAR(score(a, b, a, b).iRMSD, 0.0, 1e-4);
  // CB atoms 10 Å apart: no interface residue, so no points and no iRMSD.
  const InterfaceResult peptide = score(a, b, a, b, true);
  EXPECT_EQ(peptide.fnat, 1.0);
  EXPECT_TRUE(std::isnan(peptide.iRMSD));
  EXPECT_TRUE(std::isnan(peptide.Tarvo));
}

TEST(CalcTarvo, PeptideModeNeedsCBOrCAOnAlignedNativeResidues) {
  Chain a = chain_of("A", {residue("ALA", "A", 17, {atom("N", {0, 0, 0}), atom("O", {1, 0, 0})})});
  Chain b = chain_of("B", {residue("GLY", "G", 1, {atom("CA", {3, 0, 0})})});
  auto r = calc_tarvo(a, b, a, b, align_chains(a, a, false), align_chains(b, b, false), true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "geometry error: residue ALA 17; has neither CB nor CA (needed for capri_peptide interface)");
}

TEST(CalcTarvo, ClashIsCountedOncePerResiduePair) {
  Chain a = chain_of("A", {residue("GLY", "G", 1, {atom("N", {0, 0, 0}), atom("CA", {0, 1, 0}), atom("C", {0, 2, 0})})});
  Chain b = chain_of("B", {residue("GLY", "G", 1, {atom("N", {1.9f, 0, 0}), atom("CA", {1.9f, 1, 0}), atom("C", {1.9f, 2, 0})}),
                           residue("GLY", "G", 2, {atom("CA", {0, 4.05f, 0})})});  // 2.05 Å: no clash
  EXPECT_EQ(score(a, b, a, b).clashes, 1u);
}

}  // namespace
}  // namespace tarvo

// Homo-oligomer natives read from the 24-chain example, and models made from them
// in memory by renaming, reordering and rigidly moving chains; and large grids of
// tiny chains. Shared by the mapping tests and benchmarks.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/reader.hpp"  // load_structure

namespace tarvo::oligomer {

inline const std::string kHomo24 = std::string(TARVO_EXAMPLES_DIR) + "/homo24_native.pdb.gz";

// The first `count` chains (A, B, ...) of the 24-chain example.
inline Structure homo_native(std::size_t count) {
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < count; ++i) ids.push_back(std::string(1, static_cast<char>('A' + i)));
  auto loaded = load_structure(kHomo24, ids, false, 0);
  if (!loaded) throw std::runtime_error(loaded.error().message());
  return std::move(*loaded);
}

// The chains of `from` named by (source, new name) pairs, in that order.
inline Structure pick(const Structure& from, const std::vector<std::pair<std::string, std::string>>& chains,
                      const std::string& id) {
  Structure out;
  out.id = id;
  for (const auto& [source, name] : chains) {
    Chain chain = from.chains.at(source);
    chain.id = name;
    out.chains.insert_or_assign(name, std::move(chain));
  }
  return out;
}

// Every other residue with only its N, CA, C, O and CB atoms: the same interfaces
// at a tenth of the distance work, for tests that score thousands of tuples.
inline Structure thinned(const Structure& structure) {
  Structure out;
  out.id = structure.id;
  for (const auto& [id, chain] : structure.chains) {
    Chain thin = chain;
    thin.residues.clear();
    thin.sequence.clear();
    for (std::size_t i = 0; i < chain.residues.size(); i += 2) {
      Residue residue = chain.residues[i];
      std::erase_if(residue.atoms, [](const Atom& a) {
        return a.name != "N" && a.name != "CA" && a.name != "C" && a.name != "O" && a.name != "CB";
      });
      thin.sequence += residue.code;
      thin.residues.push_back(std::move(residue));
    }
    out.chains.insert_or_assign(id, std::move(thin));
  }
  return out;
}

enum class ModelKind {
  NativeLike,  // every chain nudged (about 1.5 degrees, 0.5 Å), names and order shuffled
  Shuffled,    // the whole complex moved rigidly, names and order shuffled
  PartlyWrong, // like NativeLike, but a third of the chains turned and shifted far away
  Random,      // every chain turned and shifted at random
};

inline const char* kind_name(ModelKind kind) {
  switch (kind) {
    case ModelKind::NativeLike: return "NativeLike";
    case ModelKind::Shuffled: return "Shuffled";
    case ModelKind::PartlyWrong: return "PartlyWrong";
    case ModelKind::Random: return "Random";
  }
  return "";
}

struct Motion {
  double axis[3];
  double angle;  // radians
  double shift[3];
};

// Uniform in [lo, hi) from the raw 32-bit output, the same on every platform.
inline double uniform(std::mt19937& rng, double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(rng()) / 4294967296.0);
}

inline Motion random_motion(std::mt19937& rng, double max_angle_deg, double max_shift) {
  Motion m{};
  double norm = 0;
  for (double& a : m.axis) {
    a = uniform(rng, -1, 1);
    norm += a * a;
  }
  norm = std::sqrt(norm) + 1e-12;
  for (double& a : m.axis) a /= norm;
  m.angle = uniform(rng, -max_angle_deg, max_angle_deg) * M_PI / 180.0;
  for (double& s : m.shift) s = uniform(rng, -max_shift, max_shift);
  return m;
}

// Rotation about the chain's centroid (or `center`), then the shift.
inline void move_chain(Chain& chain, const Motion& m, const double* center = nullptr) {
  double c[3] = {0, 0, 0};
  std::size_t n = 0;
  if (center) {
    std::copy(center, center + 3, c);
  } else {
    for (const auto& r : chain.residues)
      for (const auto& a : r.atoms) {
        c[0] += a.x, c[1] += a.y, c[2] += a.z;
        ++n;
      }
    for (double& v : c) v /= std::max<std::size_t>(n, 1);
  }
  const double* k = m.axis;
  double cs = std::cos(m.angle), sn = std::sin(m.angle), t = 1 - cs;
  double rot[3][3] = {{t * k[0] * k[0] + cs, t * k[0] * k[1] - sn * k[2], t * k[0] * k[2] + sn * k[1]},
                      {t * k[0] * k[1] + sn * k[2], t * k[1] * k[1] + cs, t * k[1] * k[2] - sn * k[0]},
                      {t * k[0] * k[2] - sn * k[1], t * k[1] * k[2] + sn * k[0], t * k[2] * k[2] + cs}};
  for (auto& r : chain.residues)
    for (auto& a : r.atoms) {
      double p[3] = {a.x - c[0], a.y - c[1], a.z - c[2]};
      double q[3];
      for (int i = 0; i < 3; ++i) q[i] = rot[i][0] * p[0] + rot[i][1] * p[1] + rot[i][2] * p[2];
      a.x = static_cast<float>(q[0] + c[0] + m.shift[0]);
      a.y = static_cast<float>(q[1] + c[1] + m.shift[1]);
      a.z = static_cast<float>(q[2] + c[2] + m.shift[2]);
    }
}

// A model of `native`: chains renamed by a random permutation of the native ids,
// stored in a random order, and moved as `kind` says.
inline Structure make_model(const Structure& native, ModelKind kind, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Chain> chains;
  for (const auto& [id, chain] : native.chains) chains.push_back(chain);
  const std::size_t n = chains.size();
  double origin[3] = {0, 0, 0};
  Motion whole = random_motion(rng, 180, 20);
  for (std::size_t i = 0; i < n; ++i) {
    switch (kind) {
      case ModelKind::NativeLike: move_chain(chains[i], random_motion(rng, 1.5, 0.5)); break;
      case ModelKind::Shuffled: move_chain(chains[i], whole, origin); break;
      case ModelKind::PartlyWrong:
        move_chain(chains[i], i % 3 == 1 ? random_motion(rng, 40, 6) : random_motion(rng, 1.5, 0.5));
        break;
      case ModelKind::Random: move_chain(chains[i], random_motion(rng, 180, 8)); break;
    }
  }
  std::vector<std::string> names;
  for (const auto& c : chains) names.push_back(c.id);
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = n; i > 1; --i) {
    std::swap(names[i - 1], names[rng() % i]);
    std::swap(order[i - 1], order[rng() % i]);
  }
  Structure model;
  model.id = "model";
  for (std::size_t i = 0; i < n; ++i) {
    Chain chain = chains[order[i]];
    chain.id = names[order[i]];
    model.chains.insert_or_assign(chain.id, std::move(chain));
  }
  return model;
}

using Rotation = std::array<double, 9>;  // row major

inline Rotation rotation_about(std::array<double, 3> axis, double angle) {
  const double norm = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  for (double& a : axis) a /= norm;
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  const auto& k = axis;
  return {t * k[0] * k[0] + c,        t * k[0] * k[1] - s * k[2], t * k[0] * k[2] + s * k[1],
          t * k[0] * k[1] + s * k[2], t * k[1] * k[1] + c,        t * k[1] * k[2] - s * k[0],
          t * k[0] * k[2] - s * k[1], t * k[1] * k[2] + s * k[0], t * k[2] * k[2] + c};
}

inline Rotation compose(const Rotation& a, const Rotation& b) {
  Rotation out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) out[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
  return out;
}

inline std::array<double, 3> rotated(const Rotation& r, const std::array<double, 3>& p) {
  return {r[0] * p[0] + r[1] * p[1] + r[2] * p[2], r[3] * p[0] + r[4] * p[1] + r[5] * p[2],
          r[6] * p[0] + r[7] * p[1] + r[8] * p[2]};
}

// The 60 rotations of the icosahedral group: the closure of a five-fold turn
// about (0, 1, phi) and a three-fold turn about (1, 1, 1), identity first.
inline std::vector<Rotation> icosahedral_rotations() {
  const double phi = (1 + std::sqrt(5.0)) / 2;
  const Rotation generators[] = {rotation_about({0, 1, phi}, 2 * M_PI / 5), rotation_about({1, 1, 1}, 2 * M_PI / 3)};
  std::vector<Rotation> group{{1, 0, 0, 0, 1, 0, 0, 0, 1}};
  auto known = [&](const Rotation& r) {
    return std::any_of(group.begin(), group.end(), [&](const Rotation& g) {
      double d = 0;
      for (int i = 0; i < 9; ++i) d = std::max(d, std::abs(g[i] - r[i]));
      return d < 1e-6;
    });
  };
  for (std::size_t i = 0; i < group.size(); ++i)
    for (const Rotation& g : generators) {
      Rotation next = compose(g, group[i]);
      if (!known(next)) group.push_back(next);
    }
  return group;
}

// Two-letter chain ids: AA, AB, ..., ZZ.
inline std::string two_letter_id(std::size_t k) {
  return {static_cast<char>('A' + k / 26 % 26), static_cast<char>('A' + k % 26)};
}

inline std::array<double, 3> centroid(const std::vector<const Chain*>& chains) {
  std::array<double, 3> c{0, 0, 0};
  std::size_t n = 0;
  for (const Chain* chain : chains)
    for (const auto& r : chain->residues)
      for (const auto& a : r.atoms) {
        c[0] += a.x, c[1] += a.y, c[2] += a.z;
        ++n;
      }
  for (double& v : c) v /= static_cast<double>(std::max<std::size_t>(n, 1));
  return c;
}

// An icosahedral capsid of `copies` (at most 60) copies of an asymmetric unit
// made of chains A, B and C of the 24-chain example, the copies nearest the
// first so that a fragment is one patch of the shell. The unit sits on a generic
// direction, as far out as lets its CA atoms come within 6 Å of a neighbour's.
// Chains are named AA, AB, ... in copy order.
inline Structure capsid(std::size_t copies) {
  const Structure unit = homo_native(3);
  std::vector<const Chain*> chains;
  for (const auto& [id, chain] : unit.chains) chains.push_back(&chain);
  const std::array<double, 3> center = centroid(chains);
  std::vector<std::array<double, 3>> cas;
  for (const Chain* chain : chains)
    for (const auto& r : chain->residues)
      for (const auto& a : r.atoms)
        if (a.name == "CA") cas.push_back({a.x - center[0], a.y - center[1], a.z - center[2]});
  std::array<double, 3> direction{0.31, 0.52, 0.79};
  const double norm = std::sqrt(direction[0] * direction[0] + direction[1] * direction[1] + direction[2] * direction[2]);
  for (double& d : direction) d /= norm;
  std::vector<Rotation> group = icosahedral_rotations();
  auto spread = [&](const Rotation& g) {
    auto p = rotated(g, direction);
    return std::hypot(p[0] - direction[0], p[1] - direction[1], p[2] - direction[2]);
  };
  std::stable_sort(group.begin(), group.end(), [&](const Rotation& a, const Rotation& b) { return spread(a) < spread(b); });
  group.resize(std::min<std::size_t>(copies, group.size()));
  auto closest_ca = [&](double radius) {
    double best = 1e30;
    for (std::size_t g = 1; g < std::min<std::size_t>(group.size(), 6); ++g)
      for (const auto& p : cas) {
        auto q = rotated(group[g], {p[0] + radius * direction[0], p[1] + radius * direction[1], p[2] + radius * direction[2]});
        for (const auto& r : cas) {
          double d = std::hypot(q[0] - r[0] - radius * direction[0], q[1] - r[1] - radius * direction[1],
                                q[2] - r[2] - radius * direction[2]);
          best = std::min(best, d);
        }
      }
    return best;
  };
  double radius = 400;
  while (radius > 10 && closest_ca(radius - 2) > 6) radius -= 2;
  Structure out;
  out.id = "capsid";
  std::size_t k = 0;
  for (const Rotation& g : group)
    for (const Chain* source : chains) {
      Chain chain = *source;
      chain.id = two_letter_id(k++);
      for (auto& r : chain.residues)
        for (auto& a : r.atoms) {
          auto q = rotated(g, {a.x - center[0] + radius * direction[0], a.y - center[1] + radius * direction[1],
                             a.z - center[2] + radius * direction[2]});
          a.x = static_cast<float>(q[0]), a.y = static_cast<float>(q[1]), a.z = static_cast<float>(q[2]);
        }
      out.chains.insert_or_assign(chain.id, std::move(chain));
    }
  return out;
}

// Gaussian noise of `sd` Å on every coordinate (Box-Muller on the raw generator).
inline void add_noise(Structure& structure, double sd, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (auto it = structure.chains.begin(); it != structure.chains.end(); ++it)
    for (auto& r : it.value().residues)
      for (auto& a : r.atoms)
        for (float* v : {&a.x, &a.y, &a.z}) {
          const double u = uniform(rng, 1e-12, 1), w = uniform(rng, 0, 1);
          *v += static_cast<float>(sd * std::sqrt(-2 * std::log(u)) * std::cos(2 * M_PI * w));
        }
}

// Every chain made a sequence of its own: residues k % 50 and 50 + k / 50 of
// the k-th chain become unknown residues (X), which no chain holds elsewhere.
inline void make_sequences_distinct(Structure& structure) {
  std::size_t k = 0;
  for (auto it = structure.chains.begin(); it != structure.chains.end(); ++it) {
    Chain& chain = it.value();
    for (std::size_t at : {k % 50, 50 + k / 50}) {
      chain.residues.at(at).name = "UNK";
      chain.residues.at(at).code = "X";
    }
    chain.sequence.clear();
    for (const auto& r : chain.residues) chain.sequence += r.code;
    ++k;
  }
}

// `structure` with its chains renamed by a random permutation of their ids and
// stored in a random order; `true_mapping` receives the mapping text that undoes it.
inline Structure renamed(const Structure& structure, std::uint32_t seed, std::string& true_mapping) {
  std::mt19937 rng(seed);
  std::vector<std::string> ids;
  for (const auto& [id, chain] : structure.chains) ids.push_back(id);
  std::vector<std::string> names = ids;
  std::vector<std::size_t> order(ids.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t i = ids.size(); i > 1; --i) {
    std::swap(names[i - 1], names[rng() % i]);
    std::swap(order[i - 1], order[rng() % i]);
  }
  Structure out;
  out.id = "model";
  std::string model_side, native_side;
  for (std::size_t i : order) {
    Chain chain = structure.chains.at(ids[i]);
    chain.id = names[i];
    out.chains.insert_or_assign(chain.id, std::move(chain));
    model_side += (model_side.empty() ? "" : ",") + names[i];
    native_side += (native_side.empty() ? "" : ",") + ids[i];
  }
  true_mapping = model_side + ":" + native_side;
  return out;
}

// `count` chains of two glycines (one CA each) on a grid 4 Å apart, so that
// neighbours touch: a large assembly whose chains are all interchangeable.
inline Structure grid_of_chains(std::size_t count) {
  Structure s;
  s.id = "grid";
  for (std::size_t i = 0; i < count; ++i) {
    Chain chain{"C" + std::to_string(i), {}, "GG", std::nullopt};
    for (int k = 0; k < 2; ++k) {
      Residue residue{"GLY", "G", {}, k + 1, U' ', U' '};
      residue.atoms.push_back(Atom{"CA", "C", U' ', 4.0f * static_cast<float>(i % 100),
                                   4.0f * static_cast<float>(i / 100), 3.8f * static_cast<float>(k)});
      chain.residues.push_back(std::move(residue));
    }
    s.chains.insert_or_assign(chain.id, std::move(chain));
  }
  return s;
}

}  // namespace tarvo::oligomer

// Homo-oligomer natives read from the 24-chain example, and models made from them
// in memory by renaming, reordering and rigidly moving chains; and large grids of
// tiny chains. Shared by the mapping tests and benchmarks.
#pragma once

#include <algorithm>
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

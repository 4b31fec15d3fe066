// Reader throughput on large PDB and mmCIF files, plain and gzip-compressed.
// The inputs are built from the real examples: 2GTP_native.pdb copied with a
// distinct chain id per copy, and the 2XHE.cif atom-site rows copied with
// renamed chains. Prints MB/s (file bytes) and atoms/s, and zlib's own
// decompression rate beside the gzip figures. Rates are from the best of five
// runs in wall time; beside them, the processor time of all threads, since a
// large gzip file is inflated on the pool while it is parsed.
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tarvo/reader.hpp"  // load_structure
#include "cif.hpp"           // tokenize_cif

namespace {

namespace fs = std::filesystem;

double seconds_of(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Times {
  double wall = 1e30, processor = 1e30;
};

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string gzip(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// 47 copies of the two chains with chain ids from the printable ASCII range.
std::string large_pdb() {
  std::istringstream in(read(fs::path(TARVO_EXAMPLES_DIR) / "2GTP_native.pdb"));
  std::vector<std::string> records;
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("ATOM  ") || line.starts_with("HETATM")) records.push_back(line);
  std::string out;
  char id = '!';
  for (int copy = 0; copy < 47; ++copy) {
    for (char original : {'A', 'B'}) {
      for (std::string line : records) {
        if (line.size() < 22 || line[21] != original) continue;
        line[21] = id;
        out += line;
        out += '\n';
      }
      ++id;
    }
  }
  return out + "END\n";
}

// The 2XHE atom-site loop with its rows repeated; every copy renames the chains.
std::string large_cif() {
  std::istringstream in(read(fs::path(TARVO_EXAMPLES_DIR) / "2XHE.cif"));
  std::vector<std::string> tags;
  std::vector<std::vector<std::string>> rows;
  bool in_loop = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("_atom_site.")) {
      in_loop = true;
      tags.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    } else if (in_loop) {
      if (line.starts_with("#")) break;
      rows.push_back(tarvo::tokenize_cif(line));
    }
  }
  auto column = [&](const char* tag) {
    return static_cast<std::size_t>(std::find(tags.begin(), tags.end(), tag) - tags.begin());
  };
  const std::size_t auth = column("_atom_site.auth_asym_id"), label = column("_atom_site.label_asym_id");
  std::string out = "data_big\nloop_\n";
  for (const std::string& tag : tags) out += tag + "\n";
  for (int copy = 0; copy < 20; ++copy) {
    for (std::vector<std::string> row : rows) {
      row[auth] += std::to_string(copy);
      row[label] += std::to_string(copy);
      for (std::size_t i = 0; i < row.size(); ++i) {
        const bool quote = row[i].find_first_of(" '") != std::string::npos || row[i].empty();
        out += (i ? " " : "") + (quote ? "\"" + row[i] + "\"" : row[i]);
      }
      out += '\n';
    }
  }
  return out + "#\n";
}

template <class F>
Times best_seconds(F&& run) {
  Times best;
  for (int i = 0; i < 5; ++i) {
    const double wall = seconds_of(CLOCK_MONOTONIC), processor = seconds_of(CLOCK_PROCESS_CPUTIME_ID);
    run();
    best.wall = std::min(best.wall, seconds_of(CLOCK_MONOTONIC) - wall);
    best.processor = std::min(best.processor, seconds_of(CLOCK_PROCESS_CPUTIME_ID) - processor);
  }
  return best;
}

std::size_t atom_count(const tarvo::Structure& s) {
  std::size_t n = 0;
  for (const auto& [id, chain] : s.chains)
    for (const tarvo::Residue& r : chain.residues) n += r.atoms.size();
  return n;
}

void bench_load(const char* label, const fs::path& path, std::size_t text_bytes) {
  std::size_t atoms = 0;
  const Times times = best_seconds([&] {
    auto s = tarvo::load_structure(path.string(), {}, false, 0);
    if (!s) {
      std::fprintf(stderr, "%s: %s\n", label, s.error().message().c_str());
      std::exit(1);
    }
    atoms = atom_count(*s);
  });
  const double file_mb = static_cast<double>(fs::file_size(path)) / 1e6, seconds = times.wall;
  std::printf("%-10s %7.1f MB file %7.1f MB text %9zu atoms  %8.3f s  %7.1f MB/s file  %7.1f MB/s text  %6.2f M atoms/s"
              "  (%.3f s processor)\n",
              label, file_mb, static_cast<double>(text_bytes) / 1e6, atoms, seconds, file_mb / seconds,
              static_cast<double>(text_bytes) / 1e6 / seconds, static_cast<double>(atoms) / 1e6 / seconds,
              times.processor);
}

void bench_zlib(const char* label, const std::string& compressed, std::size_t text_bytes) {
  std::string out(text_bytes, '\0');
  const double seconds = best_seconds([&] {
    z_stream zs{};
    inflateInit2(&zs, 16 + MAX_WBITS);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    zs.avail_in = static_cast<uInt>(compressed.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
  }).wall;
  std::printf("%-10s %7.1f MB file %7.1f MB text (zlib inflate alone) %8.3f s  %7.1f MB/s file  %7.1f MB/s text\n",
              label, static_cast<double>(compressed.size()) / 1e6, static_cast<double>(text_bytes) / 1e6,
              seconds, static_cast<double>(compressed.size()) / 1e6 / seconds,
              static_cast<double>(text_bytes) / 1e6 / seconds);
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / ("tarvo_load_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (auto [name, text] : {std::pair{"pdb", large_pdb()}, std::pair{"cif", large_cif()}}) {
    const std::string compressed = gzip(text);
    const fs::path plain = dir / (std::string("big.") + name);
    const fs::path packed = dir / (std::string("big.") + name + ".gz");
    write(plain, text);
    write(packed, compressed);
    bench_load(name, plain, text.size());
    bench_load((std::string(name) + ".gz").c_str(), packed, text.size());
    bench_zlib((std::string(name) + ".gz").c_str(), compressed, text.size());
  }
  fs::remove_all(dir);
  return 0;
}

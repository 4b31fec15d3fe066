#include "reader.hpp"

#include <utility>

#include "builder.hpp"  // Builder
#include "cif.hpp"  // read_cif
#include "input.hpp"  // read_file, gunzip
#include "pdb.hpp"  // read_pdb
#include "utf8.hpp"  // decode_utf8_lossy

namespace tarvo {

Result<Structure> load_structure_from_bytes(const std::string& path, std::string_view bytes,
                                            std::span<const std::string> chains,
                                            bool small_molecule, std::size_t n_model) {
  std::string inflated;
  if (path.ends_with(".gz") || bytes.starts_with("\x1F\x8B")) {
    auto data = gunzip(bytes);
    if (!data) return fail(err::Io{path, std::move(data.error())});
    inflated = std::move(*data);
    bytes = inflated;
  }
  std::string repaired;
  const std::string_view text = decode_utf8_lossy(bytes, repaired);

  Builder builder;
  if (text.find("_atom_site.") != std::string_view::npos) {
    if (auto ok = read_cif(path, text, chains, small_molecule, builder); !ok)
      return std::unexpected(std::move(ok.error()));
  } else {
    auto is_pdb = read_pdb(path, text, chains, small_molecule, builder);
    if (!is_pdb) return std::unexpected(std::move(is_pdb.error()));
    if (!*is_pdb)
      return fail(err::UnknownFormat{
          path, "no `_atom_site.` mmCIF tags and no ATOM/HETATM records found"});
  }
  auto structure = std::move(builder).finish(n_model);
  if (structure) structure->id = path;
  return structure;
}

Result<Structure> load_structure(const std::string& path, std::span<const std::string> chains,
                                 bool small_molecule, std::size_t n_model) {
  auto bytes = read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return load_structure_from_bytes(path, *bytes, chains, small_molecule, n_model);
}

}  // namespace tarvo

#include "tarvo/reader.hpp"

#include <utility>

#include "builder.hpp"  // Builder
#include "cif.hpp"  // read_cif
#include "input.hpp"  // input_limit, read_input, memory_input
#include "pdb.hpp"  // read_pdb
#include "utf8.hpp"  // decode_utf8_lossy

namespace tarvo {

namespace {

// Editors on Windows start UTF-8 files with it; it is no part of the text.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// mmCIF writes its `_atom_site.` tags at the start of a line (blanks aside), or
// at least inside a data block opened at one; a PDB record may quote the tag
// elsewhere (in a REMARK, say) and stays PDB.
bool is_mmcif(std::string_view text) {
  constexpr std::string_view kTag = "_atom_site.";
  const std::size_t first = text.find(kTag);
  if (first == std::string_view::npos) return false;
  for (std::size_t pos = first; pos != std::string_view::npos; pos = text.find(kTag, pos + 1)) {
    std::size_t start = pos;
    while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) --start;
    if (start == 0 || text[start - 1] == '\n' || text[start - 1] == '\r') return true;
  }
  return text.starts_with("data_") || text.find("\ndata_") != std::string_view::npos ||
         text.find("\rdata_") != std::string_view::npos;
}

// The input's bytes, gzip undone, read as PDB or mmCIF; then model `n_model`.
Result<Structure> load_text(const std::string& path, std::string_view bytes, std::span<const std::string> chains,
                            bool small_molecule, std::size_t n_model) {
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  std::string repaired;
  bool ascii;
  const std::string_view text = decode_utf8_lossy(bytes, repaired, &ascii);

  Builder builder{.wanted_model = n_model};
  if (is_mmcif(text)) {
    if (auto ok = read_cif(path, text, chains, small_molecule, builder); !ok)
      return std::unexpected(std::move(ok.error()));
  } else {
    auto is_pdb = read_pdb(path, text, ascii, chains, small_molecule, builder);
    if (!is_pdb) return std::unexpected(std::move(is_pdb.error()));
    if (!*is_pdb)
      return fail(err::UnknownFormat{
          path, "no `_atom_site.` mmCIF tags and no ATOM/HETATM records found"});
  }
  auto structure = std::move(builder).finish();
  if (structure) structure->id = path;
  return structure;
}

// Reads what `input(limit, storage)` gives; running out of memory anywhere in
// reading or parsing is an I/O error of this file.
template <class Input>
Result<Structure> load(const std::string& path, Input input, std::span<const std::string> chains,
                       bool small_molecule, std::size_t n_model) {
  return within_resources(
      [&]() -> Result<Structure> {
        auto limit = input_limit(path);
        if (!limit) return std::unexpected(std::move(limit.error()));
        Bytes storage;
        auto bytes = input(*limit, storage);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        return load_text(path, *bytes, chains, small_molecule, n_model);
      },
      [&] { return TarvoError{err::Io{path, "out of memory while reading the structure"}}; });
}

}  // namespace

Result<Structure> load_structure_from_bytes(const std::string& path, std::string_view bytes,
                                            std::span<const std::string> chains,
                                            bool small_molecule, std::size_t n_model) {
  const auto input = [&](std::size_t limit, Bytes& storage) { return memory_input(path, bytes, limit, storage); };
  return load(path, input, chains, small_molecule, n_model);
}

Result<Structure> load_structure(const std::string& path, std::span<const std::string> chains,
                                 bool small_molecule, std::size_t n_model, std::stop_token stop) {
  const auto input = [&](std::size_t limit, Bytes& storage) { return read_input(path, limit, storage, stop); };
  return load(path, input, chains, small_molecule, n_model);
}

}  // namespace tarvo

#include "tarvo/reader.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "builder.hpp"  // Builder
#include "cif.hpp"  // read_cif
#include "input.hpp"  // input_limit, read_input, memory_input, InflatingGzip
#include "pdb.hpp"  // read_pdb
#include "utf8.hpp"  // decode_utf8_lossy

namespace tarvo {

namespace {

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

// Parses the decoded text into `builder`: PDB or mmCIF, model builder.wanted_model.
// PDB text may still be `arriving`.
Result<void> parse(const std::string& path, std::string_view text, bool ascii, bool mmcif,
                   std::span<const std::string> chains, bool small_molecule, Builder& builder,
                   InflatingGzip* arriving = nullptr) {
  if (mmcif) return read_cif(path, text, chains, small_molecule, builder);
  auto is_pdb = read_pdb(path, text, ascii, chains, small_molecule, builder, arriving);
  if (!is_pdb) return std::unexpected(std::move(is_pdb.error()));
  if (!*is_pdb)
    return fail(err::UnknownFormat{path, "no `_atom_site.` mmCIF tags and no ATOM/HETATM records found"});
  return {};
}

Result<Structure> parse_model(const std::string& path, std::string_view text, bool ascii, bool mmcif,
                              std::span<const std::string> chains, bool small_molecule, std::size_t n_model,
                              InflatingGzip* arriving = nullptr) {
  Builder builder{.wanted_model = n_model};
  if (auto ok = parse(path, text, ascii, mmcif, chains, small_molecule, builder, arriving); !ok)
    return std::unexpected(std::move(ok.error()));
  auto structure = std::move(builder).finish();
  if (structure) structure->id = path;
  return structure;
}

TarvoError out_of_memory(const std::string& path) {
  return TarvoError{err::Io{path, "out of memory while reading the structure"}};
}

}  // namespace

// The input's bytes, gzip undone and decoded once.
struct ModelFile::Text {
  std::string path;
  Bytes storage;
  std::string repaired;
  std::string_view text;
  bool ascii = false;
  bool mmcif = false;

  // Reads what `input(limit, storage)` gives.
  template <class Input>
  static Result<std::unique_ptr<Text>> read(const std::string& path, Input input) {
    auto text = std::make_unique<Text>();
    text->path = path;
    auto limit = input_limit(path);
    if (!limit) return std::unexpected(std::move(limit.error()));
    auto bytes = input(*limit, text->storage);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    // Editors on Windows start UTF-8 files with a byte-order mark; it is no part of the text.
    if (bytes->starts_with(kByteOrderMark)) bytes->remove_prefix(kByteOrderMark.size());
    text->text = decode_utf8_lossy(*bytes, text->repaired, &text->ascii);
    text->mmcif = is_mmcif(text->text);
    return text;
  }
};

namespace {

// Reads what `input(limit, storage)` gives, then model `n_model`; running out
// of memory anywhere in reading or parsing is an I/O error of this file.
template <class Input>
Result<Structure> load(const std::string& path, Input input, std::span<const std::string> chains,
                       bool small_molecule, std::size_t n_model) {
  return within_resources(
      [&]() -> Result<Structure> {
        auto text = ModelFile::Text::read(path, input);
        if (!text) return std::unexpected(std::move(text.error()));
        const ModelFile::Text& t = **text;
        return parse_model(path, t.text, t.ascii, t.mmcif, chains, small_molecule, n_model);
      },
      [&] { return out_of_memory(path); });
}

// A gzip PDB file parsed while the pool inflates it; nothing when the file is
// not fit for that (see InflatingGzip), and the ordinary read then gives its
// text or its error. Running out of memory leaves nothing too: the ordinary
// read meets it again and says so. Only ".gz" names are tried, so that other
// files cost no look at all; gzip under another name is read the ordinary way.
std::optional<Result<Structure>> parse_while_inflating(const std::string& path, std::span<const std::string> chains,
                                                       bool small_molecule, std::size_t n_model) {
  if (!path.ends_with(".gz")) return std::nullopt;
  auto limit = input_limit(path);
  if (!limit) return std::nullopt;
  std::optional<Result<Structure>> parsed;
  static_cast<void>(within_resources(
      [&]() -> Result<void> {
        auto gzip = InflatingGzip::open(path, *limit);
        if (!gzip) return {};
        auto structure = parse_model(path, gzip->text_after(0), true, false, chains, small_molecule, n_model, gzip.get());
        if (gzip->finish()) parsed = std::move(structure);
        return {};
      },
      [&] { return out_of_memory(path); }));
  return parsed;
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
  if (stop.stop_requested()) return fail(err::Cancelled{});
  if (auto parsed = parse_while_inflating(path, chains, small_molecule, n_model)) return std::move(*parsed);
  const auto input = [&](std::size_t limit, Bytes& storage) { return read_input(path, limit, storage, stop); };
  return load(path, input, chains, small_molecule, n_model);
}

ModelFile::ModelFile(std::unique_ptr<Text> text) : text_(std::move(text)) {}
ModelFile::ModelFile(ModelFile&&) noexcept = default;
ModelFile& ModelFile::operator=(ModelFile&&) noexcept = default;
ModelFile::~ModelFile() = default;

Result<ModelFile> ModelFile::read(const std::string& path, std::stop_token stop) {
  const auto input = [&](std::size_t limit, Bytes& storage) { return read_input(path, limit, storage, stop); };
  return within_resources(
      [&]() -> Result<ModelFile> {
        auto text = Text::read(path, input);
        if (!text) return std::unexpected(std::move(text.error()));
        return ModelFile(std::move(*text));
      },
      [&] { return out_of_memory(path); });
}

Result<std::size_t> ModelFile::model_count(std::span<const std::string> chains, bool small_molecule) const {
  return within_resources(
      [&]() -> Result<std::size_t> {
        // A model past every one: the builder only counts them.
        Builder builder{.wanted_model = SIZE_MAX};
        if (auto ok = parse(text_->path, text_->text, text_->ascii, text_->mmcif, chains, small_molecule, builder); !ok)
          return std::unexpected(std::move(ok.error()));
        return builder.models;
      },
      [&] { return out_of_memory(text_->path); });
}

Result<Structure> ModelFile::model(std::span<const std::string> chains, bool small_molecule,
                                   std::size_t n_model) const {
  return within_resources(
      [&] { return parse_model(text_->path, text_->text, text_->ascii, text_->mmcif, chains, small_molecule, n_model); },
      [&] { return out_of_memory(text_->path); });
}

}  // namespace tarvo

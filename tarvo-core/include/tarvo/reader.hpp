// Reading PDB and mmCIF coordinate files (plain or gzip) into a Structure.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "tarvo/error.hpp"
#include "tarvo/model.hpp"

namespace tarvo {

// Reads `path` (any file that can be read through: a FIFO or /dev/stdin too),
// keeps the chains listed in `chains` (all when empty) and model `n_model`
// (0-based, counting the models that have atoms). Only that model is parsed
// and built, and parsing stops after it: memory follows one model, and faults
// in other models go unnoticed. The Structure's id is `path` exactly as
// passed. At most TARVO_MAX_INPUT_BYTES (2 GiB by default) are read or
// inflated; past that, and when memory runs out, the load fails with an I/O
// error naming `path`. A stop requested while the file is read, or waited
// for, is a Cancelled error.
Result<Structure> load_structure(const std::string& path, std::span<const std::string> chains,
                                 bool small_molecule, std::size_t n_model, std::stop_token stop = {});

// The same on bytes already in memory (file content, possibly gzip); `path` is
// used for the ".gz" test, for error messages and as the id.
Result<Structure> load_structure_from_bytes(const std::string& path, std::string_view bytes,
                                            std::span<const std::string> chains,
                                            bool small_molecule, std::size_t n_model);

// One file's models, its bytes read, inflated and decoded once: a multi-model
// file (a docking program's poses, NMR or MD frames) scored model by model.
class ModelFile {
 public:
  static Result<ModelFile> read(const std::string& path, std::stop_token stop = {});
  ModelFile(ModelFile&&) noexcept;
  ModelFile& operator=(ModelFile&&) noexcept;
  ~ModelFile();

  // The models that load_structure numbers, with this chain filter.
  Result<std::size_t> model_count(std::span<const std::string> chains, bool small_molecule) const;
  // What load_structure(path, chains, small_molecule, n_model) gives, without reading the file again.
  Result<Structure> model(std::span<const std::string> chains, bool small_molecule, std::size_t n_model) const;

  struct Text;

 private:
  explicit ModelFile(std::unique_ptr<Text> text);
  std::unique_ptr<Text> text_;
};

}  // namespace tarvo

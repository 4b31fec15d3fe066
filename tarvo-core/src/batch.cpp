#include "tarvo/batch.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <variant>

#include "tarvo/reader.hpp"     // load_structure
#include "tarvo/search.hpp"     // score_structures
#include "tarvo/tarvo.hpp"      // contact_reach
#include "native_matrices.hpp"  // NativeMatrices

namespace tarvo {

namespace {

// Runs `item(i)` for every slot of a list sized in full beforehand, one item per task.
template <class Value, class Item>
std::vector<Value> in_parallel(std::size_t count, Item item) {
  std::vector<Value> out(count);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) out[i] = item(i);
                    });
  return out;
}

template <class Item>
std::vector<BatchOutcome> run_batch(std::size_t count, Item item) {
  return in_parallel<BatchOutcome>(count, item);
}

// `item(i)` gives a list of outcomes for slot i; the lists, joined in slot order.
template <class Item>
std::vector<BatchOutcome> run_nested_batch(std::size_t count, Item item) {
  auto lists = in_parallel<std::vector<BatchOutcome>>(count, item);
  std::vector<BatchOutcome> out;
  for (auto& list : lists) std::ranges::move(list, std::back_inserter(out));
  return out;
}

// A chain that the mapping text names but a file lacks: the reader kept only the
// named chains, so the error's list of the file's chains comes from reading it whole.
void list_every_chain(TarvoError& error, const std::string& model_path, const std::string& native_path,
                      const ScoreOptions& options, std::stop_token stop) {
  auto* missing = std::get_if<err::ChainNotFound>(&error.payload);
  if (!missing || missing->side.empty()) return;
  const bool model_side = missing->side == "model";
  const auto& filter = model_side ? options.mapping.model_chains : options.mapping.native_chains;
  if (!filter) return;
  if (auto whole = load_structure(model_side ? model_path : native_path, {}, options.small_molecule, 0, stop))
    missing->chains = whole->chain_ids();
}

Result<Structure> load_side(const std::string& path, const std::optional<std::vector<std::string>>& chains,
                            const ScoreOptions& options, std::stop_token stop) {
  auto structure =
      load_structure(path, chains.value_or(std::vector<std::string>{}), options.small_molecule, 0, stop);
  if (structure) structure->id = path;
  return structure;
}

// A model against a native, each read (or failed to read) beforehand: a pair
// of unreadable files reports the model.
Result<RunResult> score_loaded(const std::string& model_path, const std::string& native_path,
                               const Result<Structure>& model, const Result<Structure>& native,
                               const ScoreOptions& options, std::stop_token stop,
                               NativeMatrices* native_matrices) {
  if (!model) return std::unexpected(model.error());
  if (!native) return std::unexpected(native.error());
  if (stop.stop_requested()) return fail(err::Cancelled{});
  // Huge chains may exhaust memory, or meet a size limit, deep inside the
  // search's parallel loops: either is this pair's error, not the batch's.
  auto result = within_resources(
      [&] { return score_structures(*model, *native, options, stop, native_matrices); },
      [&] {
        return TarvoError{err::Mapping{"out of memory while scoring " + model_path + " against " + native_path}};
      });
  if (!result) list_every_chain(result.error(), model_path, native_path, options, stop);
  return result;
}

// Every model of `model_path` against the loaded native: the file is read once
// and its models are scored side by side, each one built only for its own run.
std::vector<BatchOutcome> each_model(const std::string& model_path, const std::string& native_path,
                                     const Result<Structure>& native, const ScoreOptions& options,
                                     std::stop_token stop, NativeMatrices* native_matrices) {
  const auto& chains = options.mapping.model_chains;
  const std::span<const std::string> filter = chains ? std::span<const std::string>(*chains) : std::span<const std::string>();
  auto file = ModelFile::read(model_path, stop);
  Result<std::size_t> count = file ? file->model_count(filter, options.small_molecule) : std::unexpected(file.error());
  if (count && *count == 0) count = fail(err::ModelIndexOutOfRange{0, 0});
  if (!count) {
    // The error a load of its first model would give, in the order a pair reports errors.
    const Result<Structure> first = std::unexpected(count.error());
    return {BatchOutcome{model_path, native_path, score_loaded(model_path, native_path, first, native, options, stop,
                                                                 native_matrices), 0}};
  }
  return run_batch(*count, [&](std::size_t k) {
    auto model = file->model(filter, options.small_molecule, k);
    if (model) model->id = model_path;
    return BatchOutcome{model_path, native_path,
                        score_loaded(model_path, native_path, model, native, options, stop, native_matrices), k};
  });
}

// An option text that did not parse is each item's first error.
Result<RunResult> pair_or_error(const std::string& model_path, const std::string& native_path,
                                const Result<ScoreOptions>& options, std::stop_token stop) {
  if (!options) return std::unexpected(options.error());
  return score_pair(model_path, native_path, *options, std::move(stop));
}

}  // namespace

Result<RunResult> score_pair(const std::string& model_path, const std::string& native_path,
                             const ScoreOptions& options, std::stop_token stop) {
  if (stop.stop_requested()) return fail(err::Cancelled{});
  // The two files are read side by side: reading is half the work of a small pair.
  // The native's matrices follow its reading, so that they fill the wait for a
  // model that takes longer to read (a gzip model, a larger file), and the other
  // way round the idle side takes up their rows. Only without fixed pairs or
  // groups: then the search asks for them in the file's order.
  std::optional<Result<Structure>> model, native;
  NativeMatrices native_matrices;
  tbb::parallel_invoke([&] { model.emplace(load_side(model_path, options.mapping.model_chains, options, stop)); },
                       [&] {
                         native.emplace(load_side(native_path, options.mapping.native_chains, options, stop));
                         if (*native && options.mapping.fixed.empty() && !options.groups && !stop.stop_requested())
                           native_matrices.prepare(**native, contact_reach(options.capri_peptide));
                       });
  auto result = score_loaded(model_path, native_path, *model, *native, options, stop, &native_matrices);
  // Freed side by side too, each as a rule by the thread that read it: the
  // reading thread's allocator takes its blocks back at once, where the other
  // thread's frees of a few thousand atoms took as long as scoring an interface.
  tbb::parallel_invoke([&] { model.reset(); }, [&] { native.reset(); });
  return result;
}

std::vector<BatchOutcome> score_pairs(std::span<const std::pair<std::string, std::string>> pairs,
                                      const Result<ScoreOptions>& options, std::stop_token stop, bool all_models) {
  if (all_models && options)
    return run_nested_batch(pairs.size(), [&](std::size_t i) {
      const auto& [model_path, native_path] = pairs[i];
      const auto native = load_side(native_path, options->mapping.native_chains, *options, stop);
      NativeMatrices native_matrices;
      return each_model(model_path, native_path, native, *options, stop, &native_matrices);
    });
  return run_batch(pairs.size(), [&](std::size_t i) {
    const auto& [model_path, native_path] = pairs[i];
    return BatchOutcome{model_path, native_path, pair_or_error(model_path, native_path, options, stop)};
  });
}

std::vector<BatchOutcome> score_one_vs_many(const std::string& native_path,
                                            std::span<const std::string> model_paths,
                                            const Result<ScoreOptions>& options, std::stop_token stop,
                                            bool all_models) {
  if (!options || model_paths.empty() || stop.stop_requested())
    return run_batch(model_paths.size(), [&](std::size_t i) {
      return BatchOutcome{model_paths[i], native_path, pair_or_error(model_paths[i], native_path, options, stop)};
    });
  // Whatever depends on the native alone is read or computed once for every model.
  const auto native = load_side(native_path, options->mapping.native_chains, *options, stop);
  NativeMatrices native_matrices;
  if (all_models)
    return run_nested_batch(model_paths.size(), [&](std::size_t i) {
      return each_model(model_paths[i], native_path, native, *options, stop, &native_matrices);
    });
  return run_batch(model_paths.size(), [&](std::size_t i) {
    if (stop.stop_requested()) return BatchOutcome{model_paths[i], native_path, fail(err::Cancelled{})};
    const auto model = load_side(model_paths[i], options->mapping.model_chains, *options, stop);
    return BatchOutcome{model_paths[i], native_path,
                        score_loaded(model_paths[i], native_path, model, native, *options, stop, &native_matrices)};
  });
}

}  // namespace tarvo

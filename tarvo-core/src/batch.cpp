#include "tarvo/batch.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>
#include <variant>

#include "tarvo/reader.hpp"     // load_structure
#include "tarvo/search.hpp"     // score_structures
#include "tarvo/tarvo.hpp"      // contact_reach
#include "native_matrices.hpp"  // NativeMatrices

namespace tarvo {

namespace {

// Runs `item(i)` for every i below `count` on the pool. Items are taken one at a
// time in input order, so that they finish in about that order (a stream hands
// them on in it), and each runs isolated: a thread waiting inside an item's own
// parallel steps never starts another item meanwhile, which would hold up the first.
template <class Item>
void each_item(std::size_t count, Item item) {
  std::atomic<std::size_t> next{0};
  const std::size_t runners = std::min<std::size_t>(count, tbb::this_task_arena::max_concurrency());
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, runners, 1),
      [&](const tbb::blocked_range<std::size_t>&) {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
          tbb::this_task_arena::isolate([&] { item(i); });
      },
      tbb::simple_partitioner());
}

// Runs `item(i)` for every slot of a list sized in full beforehand.
template <class Value, class Item>
std::vector<Value> in_parallel(std::size_t count, Item item) {
  std::vector<Value> out(count);
  each_item(count, [&](std::size_t i) { out[i] = item(i); });
  return out;
}

template <class Item>
std::vector<BatchOutcome> run_batch(std::size_t count, Item item) {
  return in_parallel<BatchOutcome>(count, item);
}

// Lists of outcomes, one per slot, joined in slot order.
std::vector<BatchOutcome> joined(std::vector<std::vector<BatchOutcome>>&& lists) {
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
    return joined(in_parallel<std::vector<BatchOutcome>>(pairs.size(), [&](std::size_t i) {
      const auto& [model_path, native_path] = pairs[i];
      const auto native = load_side(native_path, options->mapping.native_chains, *options, stop);
      NativeMatrices native_matrices;
      return each_model(model_path, native_path, native, *options, stop, &native_matrices);
    }));
  return run_batch(pairs.size(), [&](std::size_t i) {
    const auto& [model_path, native_path] = pairs[i];
    return BatchOutcome{model_path, native_path, pair_or_error(model_path, native_path, options, stop)};
  });
}

std::vector<BatchOutcome> score_one_vs_many(const std::string& native_path,
                                            std::span<const std::string> model_paths,
                                            const Result<ScoreOptions>& options, std::stop_token stop,
                                            bool all_models) {
  std::vector<std::vector<BatchOutcome>> lists(model_paths.size());
  score_one_vs_many_each(
      native_path, model_paths, options,
      [&](std::size_t item, std::vector<BatchOutcome>&& outcomes) { lists[item] = std::move(outcomes); },
      std::move(stop), all_models);
  return joined(std::move(lists));
}

void score_one_vs_many_each(const std::string& native_path, std::span<const std::string> model_paths,
                            const Result<ScoreOptions>& options, const OutcomeSink& sink, std::stop_token stop,
                            bool all_models) {
  const auto one = [&](std::size_t i, Result<RunResult>&& result) {
    std::vector<BatchOutcome> outcomes;
    outcomes.push_back(BatchOutcome{model_paths[i], native_path, std::move(result)});
    sink(i, std::move(outcomes));
  };
  if (!options || model_paths.empty() || stop.stop_requested())
    return each_item(model_paths.size(),
                     [&](std::size_t i) { one(i, pair_or_error(model_paths[i], native_path, options, stop)); });
  // Whatever depends on the native alone is read or computed once for every model.
  const auto native = load_side(native_path, options->mapping.native_chains, *options, stop);
  NativeMatrices native_matrices;
  if (all_models)
    return each_item(model_paths.size(), [&](std::size_t i) {
      sink(i, each_model(model_paths[i], native_path, native, *options, stop, &native_matrices));
    });
  each_item(model_paths.size(), [&](std::size_t i) {
    if (stop.stop_requested()) return one(i, fail(err::Cancelled{}));
    const auto model = load_side(model_paths[i], options->mapping.model_chains, *options, stop);
    one(i, score_loaded(model_paths[i], native_path, model, native, *options, stop, &native_matrices));
  });
}

}  // namespace tarvo

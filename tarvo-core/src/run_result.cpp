#include "run_result.hpp"

namespace tarvo {

namespace {

constexpr const char* kNoInterfaces =
    "Could not find interfaces in the native. Check the inputs or select chains with --mapping.";

}  // namespace

Result<RunResult> finish(const Structure& model, const Structure& native, ChainMapping mapping,
                         OrderedMap<std::string, InterfaceResult> results, double total) {
  if (results.empty()) return fail(err::Mapping{kNoInterfaces});
  RunResult run;
  run.model = model.id;
  run.native = native.id;
  run.best_mapping_str = format_mapping_string(mapping);
  run.best_mapping = std::move(mapping);
  run.best_tarvo = total;
  run.GlobalTarvo = total / static_cast<double>(results.size());
  run.best_result = std::move(results);
  return run;
}

}  // namespace tarvo

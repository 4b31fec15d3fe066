#include "budget.hpp"

namespace tarvo {

TarvoError budget_error(const Budget& budget, const std::string& cause) {
  return TarvoError{err::Mapping{
      "The chain mapping search stopped after " + std::to_string(budget.limit) + " steps: " + cause +
      ", too many to find the best mapping exactly. Fix part of the mapping with a mapping text "
      "(e.g. --mapping AB*:AB*) to narrow the search."}};
}

}  // namespace tarvo

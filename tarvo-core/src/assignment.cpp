#include "assignment.hpp"

#include <algorithm>

namespace tarvo {

std::optional<double> best_assignment(std::span<const double> weights, std::size_t rows,
                                      std::size_t cols, std::size_t& nodes, std::vector<std::size_t>* columns) {
  const double inf = std::numeric_limits<double>::infinity();
  auto cost = [&](std::size_t i, std::size_t j) { return -weights[(i - 1) * cols + (j - 1)]; };
  std::vector<double> u(rows + 1, 0.0), v(cols + 1, 0.0), slack(cols + 1);
  std::vector<std::size_t> owner(cols + 1, 0), way(cols + 1, 0);
  std::vector<char> done(cols + 1);
  for (std::size_t i = 1; i <= rows; ++i) {
    owner[0] = i;
    std::size_t j0 = 0;
    std::fill(slack.begin(), slack.end(), inf);
    std::fill(done.begin(), done.end(), 0);
    do {
      done[j0] = 1;
      std::size_t i0 = owner[j0], j1 = 0;
      double delta = inf;
      nodes += cols;
      for (std::size_t j = 1; j <= cols; ++j) {
        if (done[j]) continue;
        double reduced = cost(i0, j) - u[i0] - v[j];
        if (reduced < slack[j]) {
          slack[j] = reduced;
          way[j] = j0;
        }
        if (slack[j] < delta) {
          delta = slack[j];
          j1 = j;
        }
      }
      for (std::size_t j = 0; j <= cols; ++j) {
        if (done[j]) {
          u[owner[j]] += delta;
          v[j] -= delta;
        } else {
          slack[j] -= delta;
        }
      }
      j0 = j1;
    } while (owner[j0] != 0);
    do {
      std::size_t j1 = way[j0];
      owner[j0] = owner[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  double total = 0.0;
  if (columns) columns->assign(rows, 0);
  for (std::size_t j = 1; j <= cols; ++j) {
    if (owner[j] == 0) continue;
    double w = weights[(owner[j] - 1) * cols + (j - 1)];
    if (w == kUnreachable) return std::nullopt;
    total += w;
    if (columns) (*columns)[owner[j] - 1] = j - 1;
  }
  return total;
}

bool Completion::possible(std::span<const std::pair<std::size_t, Index>> forced) {
  owner_.assign(universe_, kFree);
  std::vector<char> is_forced(choices_.size(), 0);
  for (auto [anchor, choice] : forced) {
    if (owner_[choice] != kFree) return false;
    owner_[choice] = kForced;
    is_forced[anchor] = 1;
  }
  for (std::size_t a = 0; a < choices_.size(); ++a) {
    if (is_forced[a]) continue;
    seen_.assign(universe_, 0);
    if (!augment(a)) return false;
  }
  return true;
}

bool Completion::augment(std::size_t anchor) {
  for (Index c : choices_[anchor]) {
    if (seen_[c] || owner_[c] == kForced) continue;
    seen_[c] = 1;
    if (owner_[c] == kFree || augment(owner_[c])) {
      owner_[c] = anchor;
      return true;
    }
  }
  return false;
}

}  // namespace tarvo

#include "tarvo/model.hpp"

namespace tarvo {

const Chain* Structure::chain(std::string_view chain_id) const {
  auto it = chains.find(std::string(chain_id));
  return it == chains.end() ? nullptr : &it->second;
}

std::vector<std::string> Structure::chain_ids() const {
  std::vector<std::string> ids;
  ids.reserve(chains.size());
  for (const auto& [id, chain] : chains) ids.push_back(id);
  return ids;
}

TarvoError chain_not_found(const Structure& structure, const char* side, const std::string& chain_id) {
  return TarvoError{err::ChainNotFound{chain_id, side, structure.id, structure.chain_ids()}};
}

}  // namespace tarvo

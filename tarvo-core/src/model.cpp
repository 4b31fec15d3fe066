#include "tarvo/model.hpp"

#include <cstring>

namespace tarvo {

void AtomName::set_on_heap(std::string_view name) {
  char* data = new char[name.size()];
  std::memcpy(data, name.data(), name.size());
  const auto size = static_cast<std::uint32_t>(name.size());
  std::memcpy(bytes_, &data, sizeof data);
  std::memcpy(bytes_ + sizeof data, &size, sizeof size);
  bytes_[kSizeByte] = kOnHeap;
}

void AtomName::release_heap() noexcept {
  char* data;
  std::memcpy(&data, bytes_, sizeof data);
  delete[] data;
  bytes_[kSizeByte] = 0;
}

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

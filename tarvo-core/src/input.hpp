// The bytes of one input: a file of any kind (regular, FIFO, device) or bytes in
// memory, gzip undone member after member, never more than a byte limit.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "tarvo/error.hpp"

namespace tarvo {

// The most bytes one input may give, read or inflated: TARVO_MAX_INPUT_BYTES
// when set, else 2 GiB. A malformed setting is an I/O error naming `path`.
Result<std::size_t> input_limit(const std::string& path);

// Owned bytes grown with realloc: a large buffer grows in place (mremap) rather
// than by copying, so reading never holds the input twice.
struct Bytes {
  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> data;
  std::size_t size = 0;
  std::size_t capacity = 0;

  std::string_view view() const { return {data.get(), size}; }
};

// A ".gz" path or the gzip magic bytes at the start.
bool is_gzip(const std::string& path, std::string_view head);

// The whole file, inflated when it is gzip, into `storage`, which the result
// views; at most `limit` bytes read and at most `limit` inflated. Failures are
// I/O errors naming `path`; a stop requested while the file is read, or
// waited for, is a Cancelled error.
Result<std::string_view> read_input(const std::string& path, std::size_t limit, Bytes& storage,
                                    std::stop_token stop);

// Bytes already in memory as read_input would give them, under the same limit:
// `bytes` itself, or its gzip members inflated into `storage`.
Result<std::string_view> memory_input(const std::string& path, std::string_view bytes, std::size_t limit,
                                      Bytes& storage);

}  // namespace tarvo

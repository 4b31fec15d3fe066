// The bytes of one input: a file of any kind (regular, FIFO, device) or bytes in
// memory, gzip undone member after member, never more than a byte limit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
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

// A gzip file inflated on the pool while the calling thread reads what has
// arrived: for the common file, one member holding ASCII PDB text, a load costs
// about its parsing alone instead of inflating and then parsing. Bytes that have
// arrived never move. Anything else about the file (more members, trailing
// bytes, a corrupt stream, bytes that are not plain ASCII, a carriage return,
// signs of mmCIF) makes it unfit, and the caller reads it the ordinary way,
// which gives the exact text, or error, that file has.
class InflatingGzip {
 public:
  // Null unless `path` is a regular gzip file large enough to gain, whose
  // stated size is within `limit`.
  static std::unique_ptr<InflatingGzip> open(const std::string& path, std::size_t limit);
  InflatingGzip(const InflatingGzip&) = delete;
  InflatingGzip& operator=(const InflatingGzip&) = delete;
  ~InflatingGzip();

  // All text that has arrived, longer than `known` bytes unless the file is
  // done: waits for the pool, or inflates the next part here if it has not started.
  std::string_view text_after(std::size_t known);
  // Inflates the rest; whether the whole text is fit, as described above.
  bool finish();

  struct Ahead;

 private:
  InflatingGzip();
  // Inflates the next part, holding `mutex_`.
  void inflate_part();
  bool finished() const { return arrived_.load(std::memory_order_acquire) & kDone; }

  static constexpr std::uint64_t kDone = std::uint64_t{1} << 63;
  std::unique_ptr<Ahead> ahead_;
  std::mutex mutex_;
  // Bytes arrived, with kDone once nothing more will.
  std::atomic<std::uint64_t> arrived_{0};
};

}  // namespace tarvo

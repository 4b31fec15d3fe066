#include "input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <isa-l/igzip_lib.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "text.hpp"  // is_ascii

namespace tarvo {

namespace {

constexpr std::size_t kDefaultLimit = std::size_t{2} << 30;
constexpr std::size_t kChunk = std::size_t{1} << 16;
// A read waits for bytes at most this long before it looks at its stop token again.
constexpr int kStopPollMilliseconds = 100;
constexpr const char* kLimitVariable = "TARVO_MAX_INPUT_BYTES";

std::string over_limit(const char* what, std::size_t limit) {
  return std::string(what) + " is larger than the limit of " + std::to_string(limit) + " bytes (" +
         kLimitVariable + ")";
}

void reserve(Bytes& bytes, std::size_t capacity) {
  void* grown = std::realloc(bytes.data.get(), capacity);
  if (!grown) throw std::bad_alloc();
  static_cast<void>(bytes.data.release());
  bytes.data.reset(static_cast<char*>(grown));
  bytes.capacity = capacity;
}

// Doubles the room, but never past one byte over the limit: that byte is how
// an input over the limit is noticed without ever holding more of it.
void grow(Bytes& bytes, std::size_t limit) {
  reserve(bytes, std::min(std::max(bytes.capacity * 2, kChunk), limit + 1));
}

struct File {
  int fd = -1;
  ~File() {
    if (fd >= 0) ::close(fd);
  }
};

// Bytes read into [into, into + room); 0 at the end of the file. A pipe whose
// writer never writes, or a FIFO nobody opens, has no bytes for ever: the file
// is read without blocking once poll() says it has some, and `stop` is looked
// at in between, so that Ctrl-C ends the wait (a Cancelled error).
Result<std::size_t> read_some(const std::string& path, const File& file, char* into, std::size_t room,
                              std::stop_token stop) {
  for (;;) {
    if (stop.stop_requested()) return fail(err::Cancelled{});
    pollfd wait{file.fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, kStopPollMilliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) return fail(err::Io{path, std::system_category().message(errno)});
    const ssize_t got = ::read(file.fd, into, room);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR && errno != EAGAIN) return fail(err::Io{path, std::system_category().message(errno)});
  }
}

// Inflates gzip members one after the other, as zcat does; bytes after a member
// that do not open another one (padding, junk) end the input. ISA-L inflates
// at about three times zlib's speed, and most decoy sets are gzipped.
class Gunzip {
 public:
  Gunzip() { start_member(); }
  Gunzip(const Gunzip&) = delete;
  Gunzip& operator=(const Gunzip&) = delete;

  // Inflates `in` onto `out`, stopping as soon as `out` passes `limit`.
  std::optional<std::string> feed(std::string_view in, Bytes& out, std::size_t limit) {
    std::size_t pos = 0;
    while (pos < in.size() && state_ != State::Done) {
      if (state_ == State::Between && !open_next_member(in, pos)) continue;
      if (out.size == out.capacity) grow(out, limit);
      inflater_.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data() + pos));
      inflater_.avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(in.size() - pos, UINT32_MAX));
      inflater_.next_out = reinterpret_cast<std::uint8_t*>(out.data.get() + out.size);
      inflater_.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(out.capacity - out.size, UINT32_MAX));
      const std::uint32_t given = inflater_.avail_in, room = inflater_.avail_out;
      const int rc = isal_inflate(&inflater_);
      pos += given - inflater_.avail_in;
      out.size += room - inflater_.avail_out;
      if (out.size > limit) return over_limit("inflated input", limit);
      if (rc != ISAL_DECOMP_OK) return failure_text(rc);
      if (inflater_.block_state == ISAL_BLOCK_FINISH) state_ = State::Between;
      else if (given == inflater_.avail_in && room == inflater_.avail_out) return "gzip stream makes no progress";
    }
    return std::nullopt;
  }

  // At the end of the input: a member cut short is an error.
  std::optional<std::string> finish() const {
    if (state_ == State::InMember) return "unexpected end of gzip stream (truncated or not gzip data)";
    return std::nullopt;
  }

  bool done() const { return state_ == State::Done; }

 private:
  enum class State { InMember, Between, Done };

  static std::string failure_text(int rc) {
    switch (rc) {
      case ISAL_INVALID_WRAPPER: return "not a gzip header (not gzip data)";
      case ISAL_UNSUPPORTED_METHOD: return "unknown gzip compression method";
      case ISAL_INCORRECT_CHECKSUM: return "incorrect gzip checksum (corrupt data)";
      case ISAL_INVALID_LOOKBACK: return "invalid distance too far back (corrupt data)";
      case ISAL_INVALID_SYMBOL:
      case ISAL_INVALID_BLOCK: return "invalid deflate data (corrupt data)";
      default: return "gzip stream error " + std::to_string(rc);
    }
  }

  // Between members: the magic bytes open the next one (the first of them may
  // have ended the previous chunk); anything else ends the input. False when
  // nothing is left to inflate in this chunk.
  bool open_next_member(std::string_view in, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
    if (carried_magic_) {
      carried_magic_ = false;
      if (byte(pos) != 0x8B) return end_input(in, pos);
      start_member();
      std::uint8_t first = 0x1F, unused;
      inflater_.next_in = &first;
      inflater_.avail_in = 1;
      inflater_.next_out = &unused;
      inflater_.avail_out = 1;
      isal_inflate(&inflater_);  // keeps the header's first byte, which gives no output
      return true;
    }
    if (in.size() - pos == 1 && byte(pos) == 0x1F) {
      carried_magic_ = true;
      ++pos;
      return false;
    }
    if (in.size() - pos < 2 || byte(pos) != 0x1F || byte(pos + 1) != 0x8B) return end_input(in, pos);
    start_member();
    return true;
  }

  void start_member() {
    isal_inflate_init(&inflater_);
    inflater_.crc_flag = ISAL_GZIP;  // header and trailer read, CRC checked
    state_ = State::InMember;
  }

  bool end_input(std::string_view in, std::size_t& pos) {
    state_ = State::Done;
    pos = in.size();
    return false;
  }

  inflate_state inflater_{};
  State state_ = State::InMember;
  bool carried_magic_ = false;
};

// Coordinate text compresses about four times.
void reserve_inflated(Bytes& out, std::size_t compressed, std::size_t limit) {
  reserve(out, std::min(limit + 1, std::max(kChunk, compressed * 4)));
}

Result<std::string_view> inflate_file(const std::string& path, const File& file, std::string_view head,
                                      std::size_t file_size, std::size_t limit, Bytes& out, std::stop_token stop) {
  Gunzip gunzip;
  reserve_inflated(out, file_size, limit);
  std::vector<char> chunk(kChunk);
  std::size_t read_total = head.size();
  for (std::string_view in = head; !in.empty() && !gunzip.done();) {
    if (auto failure = gunzip.feed(in, out, limit)) return fail(err::Io{path, std::move(*failure)});
    auto got = read_some(path, file, chunk.data(), chunk.size(), stop);
    if (!got) return std::unexpected(std::move(got.error()));
    read_total += *got;
    if (read_total > limit) return fail(err::Io{path, over_limit("input", limit)});
    in = std::string_view(chunk.data(), *got);
  }
  if (auto failure = gunzip.finish()) return fail(err::Io{path, std::move(*failure)});
  return out.view();
}

Result<std::string_view> read_plain(const std::string& path, const File& file, std::string_view head,
                                    std::size_t file_size, std::size_t limit, Bytes& out, std::stop_token stop) {
  // One byte over the size, so that the read which finds the end needs no growth.
  reserve(out, std::max(file_size, head.size()) + 1);
  std::memcpy(out.data.get(), head.data(), head.size());
  out.size = head.size();
  for (;;) {
    if (out.size > limit) return fail(err::Io{path, over_limit("input", limit)});
    if (out.size == out.capacity) grow(out, limit);
    auto got = read_some(path, file, out.data.get() + out.size, out.capacity - out.size, stop);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return out.view();
    out.size += *got;
  }
}

}  // namespace

Result<std::size_t> input_limit(const std::string& path) {
  const char* setting = std::getenv(kLimitVariable);
  if (!setting) return kDefaultLimit;
  const std::string_view text(setting);
  std::size_t value = 0;
  bool valid = !text.empty();
  bool fits = true;
  for (char c : text) {
    valid = valid && c >= '0' && c <= '9';
    const auto digit = static_cast<std::size_t>(c - '0');
    fits = fits && valid && value <= (SIZE_MAX - digit) / 10;
    if (fits) value = value * 10 + digit;
  }
  if (!valid || value == 0)
    return fail(err::Io{path, std::string(kLimitVariable) + " is not a positive whole number of bytes: " +
                                  quoted(text)});
  if (!fits)
    return fail(err::Io{path, std::string(kLimitVariable) + " is larger than the largest size, " +
                                  std::to_string(SIZE_MAX) + " bytes: " + quoted(text)});
  return value;
}

bool is_gzip(const std::string& path, std::string_view head) {
  return path.ends_with(".gz") || head.starts_with("\x1F\x8B");
}

Result<std::string_view> read_input(const std::string& path, std::size_t limit, Bytes& storage,
                                    std::stop_token stop) {
  if (path.find('\0') != std::string::npos) return fail(err::Io{path, "file name contains a NUL byte"});
  // Opening a FIFO blocks until a writer comes unless it is non-blocking.
  File file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return fail(err::Io{path, std::system_category().message(errno)});
  struct stat info {};
  const bool regular = ::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode);
  const std::size_t file_size = regular ? static_cast<std::size_t>(info.st_size) : 0;
  if (file_size > limit) return fail(err::Io{path, over_limit("input", limit)});

  // Two bytes tell gzip from text; a pipe may hand them over one at a time.
  char head[2];
  std::size_t head_size = 0;
  while (head_size < sizeof head) {
    auto got = read_some(path, file, head + head_size, sizeof head - head_size, stop);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    head_size += *got;
  }
  const std::string_view start(head, head_size);
  if (is_gzip(path, start)) return inflate_file(path, file, start, file_size, limit, storage, stop);
  return read_plain(path, file, start, file_size, limit, storage, stop);
}

Result<std::string_view> memory_input(const std::string& path, std::string_view bytes, std::size_t limit,
                                      Bytes& storage) {
  if (bytes.size() > limit) return fail(err::Io{path, over_limit("input", limit)});
  if (!is_gzip(path, bytes)) return bytes;
  Gunzip gunzip;
  reserve_inflated(storage, bytes.size(), limit);
  if (auto failure = gunzip.feed(bytes, storage, limit)) return fail(err::Io{path, std::move(*failure)});
  if (auto failure = gunzip.finish()) return fail(err::Io{path, std::move(*failure)});
  return storage.view();
}

namespace {

// Below this many compressed bytes a file inflates in less time than handing
// work to the pool takes.
constexpr std::size_t kLeastInflatedAhead = std::size_t{16} << 10;
// Bytes inflated at a time: the reader waits for at most one part.
constexpr std::size_t kInflatePart = std::size_t{64} << 10;

// The whole of a regular gzip file, or nothing when it cannot be read so.
// Anything else is not even opened: opening a FIFO would disturb its writer.
std::optional<Bytes> whole_gzip_file(const std::string& path, std::size_t limit) {
  struct stat info {};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  File file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const auto size = static_cast<std::size_t>(info.st_size);
  char magic[2];
  if (size < kLeastInflatedAhead || size > limit || ::pread(file.fd, magic, 2, 0) != 2 ||
      std::string_view(magic, 2) != "\x1F\x8B")
    return std::nullopt;
  Bytes bytes;
  reserve(bytes, size);
  while (bytes.size < size) {
    const ssize_t n = ::read(file.fd, bytes.data.get() + bytes.size, size - bytes.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // an error, or a file that shrank: read the ordinary way
    bytes.size += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace

struct InflatingGzip::Ahead {
  Bytes compressed;
  inflate_state inflater;  // 87 kB that isal_inflate_init sets up: not zeroed first
  Bytes text;
  // The size the gzip trailer states: the text is whole when inflating ends exactly there.
  std::size_t stated = 0;
  bool fit = true;
  std::atomic<bool> cancelled{false};
  tbb::task_group pool;
};

InflatingGzip::InflatingGzip() : ahead_(new Ahead) {}

InflatingGzip::~InflatingGzip() {
  ahead_->cancelled.store(true, std::memory_order_relaxed);
  ahead_->pool.wait();
}

std::unique_ptr<InflatingGzip> InflatingGzip::open(const std::string& path, std::size_t limit) {
  auto compressed = whole_gzip_file(path, limit);
  if (!compressed) return nullptr;
  std::uint32_t stated;
  std::memcpy(&stated, compressed->data.get() + compressed->size - sizeof stated, sizeof stated);
  if (stated == 0 || stated > limit) return nullptr;
  std::unique_ptr<InflatingGzip> gzip(new InflatingGzip());
  Ahead& ahead = *gzip->ahead_;
  ahead.compressed = std::move(*compressed);
  ahead.stated = stated;
  // One byte over the stated size: more text than that is noticed, never stored elsewhere.
  reserve(ahead.text, ahead.stated + 1);
  isal_inflate_init(&ahead.inflater);
  ahead.inflater.crc_flag = ISAL_GZIP;
  ahead.inflater.next_in = reinterpret_cast<std::uint8_t*>(ahead.compressed.data.get());
  ahead.inflater.avail_in = static_cast<std::uint32_t>(ahead.compressed.size);
  InflatingGzip* self = gzip.get();
  ahead.pool.run([self] {
    while (!self->finished() && !self->ahead_->cancelled.load(std::memory_order_relaxed)) {
      std::lock_guard lock(self->mutex_);
      if (!self->finished()) self->inflate_part();
    }
  });
  return gzip;
}

void InflatingGzip::inflate_part() {
  Ahead& a = *ahead_;
  const std::size_t from = a.text.size;
  a.inflater.next_out = reinterpret_cast<std::uint8_t*>(a.text.data.get() + from);
  a.inflater.avail_out = static_cast<std::uint32_t>(std::min(kInflatePart, a.text.capacity - from));
  const std::uint32_t room = a.inflater.avail_out, given = a.inflater.avail_in;
  const int rc = isal_inflate(&a.inflater);
  a.text.size += room - a.inflater.avail_out;
  const std::string_view part(a.text.data.get() + from, a.text.size - from);
  // mmCIF's signs are looked for across the boundary with the last part too.
  const std::size_t back = std::min<std::size_t>(from, 16);
  const std::string_view seen(part.data() - back, part.size() + back);
  a.fit = a.fit && is_ascii(part) && part.find('\r') == std::string_view::npos &&
          seen.find("_atom_site.") == std::string_view::npos && seen.find("\ndata_") == std::string_view::npos;
  const bool ended = a.inflater.block_state == ISAL_BLOCK_FINISH;
  const bool moved = room != a.inflater.avail_out || given != a.inflater.avail_in;
  // An error, more text than stated, or input cut short: unfit, and done here.
  const bool stuck = rc != ISAL_DECOMP_OK || (!ended && (a.text.size == a.text.capacity || !moved));
  if (ended) a.fit = a.fit && a.inflater.avail_in == 0 && a.text.size == a.stated;
  if (stuck) a.fit = false;
  arrived_.store(a.text.size | (ended || stuck ? kDone : 0), std::memory_order_release);
  arrived_.notify_all();
}

std::string_view InflatingGzip::text_after(std::size_t known) {
  for (;;) {
    const std::uint64_t arrived = arrived_.load(std::memory_order_acquire);
    const std::size_t size = arrived & ~kDone;
    if (size > known || (arrived & kDone)) return {ahead_->text.data.get(), size};
    if (mutex_.try_lock()) {
      std::lock_guard lock(mutex_, std::adopt_lock);
      if (arrived_.load(std::memory_order_relaxed) == arrived) inflate_part();
    } else {
      arrived_.wait(arrived, std::memory_order_acquire);
    }
  }
}

bool InflatingGzip::finish() {
  while (!finished()) text_after(arrived_.load(std::memory_order_acquire) & ~kDone);
  ahead_->pool.wait();
  const std::string_view text(ahead_->text.data.get(), ahead_->text.size);
  return ahead_->fit && !text.starts_with("data_");
}

}  // namespace tarvo

#include "input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

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
// that do not open another one (padding, junk) end the input.
class Gunzip {
 public:
  Gunzip() {
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Gunzip() { inflateEnd(&zs_); }
  Gunzip(const Gunzip&) = delete;
  Gunzip& operator=(const Gunzip&) = delete;

  // Inflates `in` onto `out`, stopping as soon as `out` passes `limit`.
  std::optional<std::string> feed(std::string_view in, Bytes& out, std::size_t limit) {
    std::size_t pos = 0;
    while (pos < in.size() && state_ != State::Done) {
      if (state_ == State::Between && !open_next_member(in, pos)) continue;
      if (out.size == out.capacity) grow(out, limit);
      zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + pos));
      zs_.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size() - pos, UINT_MAX));
      zs_.next_out = reinterpret_cast<Bytef*>(out.data.get() + out.size);
      zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(out.capacity - out.size, UINT_MAX));
      const uInt given = zs_.avail_in, room = zs_.avail_out;
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      pos += given - zs_.avail_in;
      out.size += room - zs_.avail_out;
      if (out.size > limit) return over_limit("inflated input", limit);
      if (rc == Z_STREAM_END) state_ = State::Between;
      else if (rc != Z_OK && rc != Z_BUF_ERROR) return zs_.msg ? zs_.msg : zError(rc);
      else if (given == zs_.avail_in && room == zs_.avail_out) return "gzip stream makes no progress";
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

  // Between members: the magic bytes open the next one (the first of them may
  // have ended the previous chunk); anything else ends the input. False when
  // nothing is left to inflate in this chunk.
  bool open_next_member(std::string_view in, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
    if (carried_magic_) {
      carried_magic_ = false;
      if (byte(pos) != 0x8B) return end_input(in, pos);
      start_member();
      unsigned char first = 0x1F, unused;
      zs_.next_in = &first;
      zs_.avail_in = 1;
      zs_.next_out = &unused;
      zs_.avail_out = 1;
      inflate(&zs_, Z_NO_FLUSH);  // takes the header's first byte, which gives no output
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
    inflateReset(&zs_);
    state_ = State::InMember;
  }

  bool end_input(std::string_view in, std::size_t& pos) {
    state_ = State::Done;
    pos = in.size();
    return false;
  }

  z_stream zs_{};
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
  for (char c : text) {
    valid = valid && c >= '0' && c <= '9' && value <= (SIZE_MAX - 9) / 10;
    if (valid) value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (!valid || value == 0)
    return fail(err::Io{path, std::string(kLimitVariable) + " is not a positive whole number of bytes: " +
                                  quoted(text)});
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

}  // namespace tarvo

#include "input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <system_error>

namespace tarvo {

namespace {

// Grows `s` to `size` bytes without clearing the new ones, which are always
// written (by read or inflate) before they are read.
void grow_uninitialized(std::string& s, std::size_t size) {
  s.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
}

// The size footer of the last gzip member, as a first guess of the output size,
// so that the text is inflated without regrowing. It is believed only up to 16
// times the input (coordinate text compresses about 4 times): a lying footer
// cannot make the first allocation large.
std::size_t size_hint(std::string_view in) {
  if (in.size() < 18) return 0;
  const auto byte = [&](std::size_t i) { return std::size_t{static_cast<unsigned char>(in[in.size() - 4 + i])}; };
  return std::min(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24, in.size() * 16);
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  auto io_error = [&](int code) {
    return fail(err::Io{path, std::system_category().message(code)});
  };
  if (path.find('\0') != std::string::npos)
    return fail(err::Io{path, "file name contains a NUL byte"});
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_error(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat info {};
  std::string data;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) grow_uninitialized(data, static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  for (;;) {
    // Once the size reported by fstat is reached, probe with a small read before
    // growing, so that an exactly sized file is read without a second allocation.
    char probe[4096];
    bool full = filled == data.size();
    char* target = full ? probe : data.data() + filled;
    std::size_t room = full ? sizeof probe : data.size() - filled;
    ssize_t got = ::read(fd, target, room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    if (got == 0) break;
    if (full) {
      grow_uninitialized(data, std::max(data.size() * 2, data.size() + sizeof probe));
      std::memcpy(data.data() + filled, probe, static_cast<std::size_t>(got));
    }
    filled += static_cast<std::size_t>(got);
  }
  data.resize(filled);
  return data;
}

std::expected<std::string, std::string> gunzip(std::string_view in) {
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::unexpected("zlib initialisation failed");
  struct Ender {
    z_stream* zs;
    ~Ender() { inflateEnd(zs); }
  } ender{&zs};

  constexpr std::size_t kChunk = UINT_MAX;
  const auto* base = reinterpret_cast<const Bytef*>(in.data());
  zs.next_in = const_cast<Bytef*>(base);
  std::string out;
  std::size_t produced = 0;
  try {
    grow_uninitialized(out, std::max<std::size_t>({in.size() * 4, 1 << 16, size_hint(in) + 1}));
    for (;;) {
      std::size_t consumed = static_cast<std::size_t>(zs.next_in - base);
      if (zs.avail_in == 0) zs.avail_in = static_cast<uInt>(std::min(in.size() - consumed, kChunk));
      if (produced == out.size()) grow_uninitialized(out, out.size() * 2);
      zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
      zs.avail_out = static_cast<uInt>(std::min(out.size() - produced, kChunk));
      const uInt room = zs.avail_out;
      int rc = inflate(&zs, Z_NO_FLUSH);
      produced += room - zs.avail_out;
      if (rc == Z_STREAM_END) break;
      if (rc == Z_OK) continue;
      const bool input_used_up = static_cast<std::size_t>(zs.next_in - base) == in.size();
      if (rc == Z_BUF_ERROR && input_used_up && zs.avail_out > 0)
        return std::unexpected("unexpected end of gzip stream (truncated or not gzip data)");
      if (rc != Z_BUF_ERROR) return std::unexpected(zs.msg ? zs.msg : zError(rc));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected("decompressed data does not fit in memory");
  }
  out.resize(produced);
  return out;
}

}  // namespace tarvo

// Bytes from a path (file reading, gzip inflation) and the line splitting
// shared by the PDB and mmCIF readers.
#pragma once

#include <cstddef>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

#include "error.hpp"

namespace tarvo {

// The whole file as bytes; a failure is an I/O error naming `path`.
Result<std::string> read_file(const std::string& path);

// Inflates the first gzip member of `in`; bytes after it are ignored. The size
// footer is never trusted: the output grows as needed. A failure is the reason as text.
std::expected<std::string, std::string> gunzip(std::string_view in);

// Line splitting: PDB removes every trailing '\r' and drops an empty final
// piece; mmCIF removes a single '\r' before each '\n'.
enum class LineEnds { Pdb, Cif };

struct Lines {
  std::string_view text;
  std::size_t pos = 0;
  LineEnds ends;

  bool next(std::string_view& line) {
    if (pos > text.size() || (pos == text.size() && ends == LineEnds::Pdb)) return false;
    const char* start = text.data() + pos;
    const void* nl = std::memchr(start, '\n', text.size() - pos);
    std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) : text.size();
    line = text.substr(pos, end - pos);
    pos = end + 1;
    if (ends == LineEnds::Pdb) {
      while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    } else if (nl && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    return true;
  }
};

}  // namespace tarvo

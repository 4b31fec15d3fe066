// The one error type of the core, its display texts, and the quoted/list forms
// that every message quoting input uses.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarvo {

namespace err {
struct Io { std::string path; std::string source; };
struct Parse { std::string path; std::string message; };
struct UnknownFormat { std::string path; std::string detail; };
// `side` ("model" or "native"), `path` and `chains` say where the chain was
// looked for, when known: the structure's path (empty if it has none) and its chains.
struct ChainNotFound {
  std::string chain;
  std::string side;
  std::string path;
  std::vector<std::string> chains;
};
struct ModelIndexOutOfRange { std::size_t index; std::size_t count; };
struct Geometry { std::string message; };
struct InterfaceSizeMismatch {
  std::pair<std::size_t, std::size_t> first_shape;
  std::pair<std::size_t, std::size_t> second_shape;
};
// `closest`, when not empty, names the nearest chain of the other side and its mismatches.
struct NoIdenticalNativeChain {
  std::vector<std::string> chains;
  std::string closest;
};
struct SmallMoleculeUnsupported {};
struct Mapping { std::string message; };
// The caller asked the work to stop (Ctrl-C); nothing of it is to be used.
struct Cancelled {};
}  // namespace err

// Kinds in declaration order; the index of the variant is the kind.
enum class ErrorKind {
  Io, Parse, UnknownFormat, ChainNotFound, ModelIndexOutOfRange, Geometry,
  InterfaceSizeMismatch, NoIdenticalNativeChain, SmallMoleculeUnsupported, Mapping, Cancelled
};

struct TarvoError {
  std::variant<err::Io, err::Parse, err::UnknownFormat, err::ChainNotFound,
               err::ModelIndexOutOfRange, err::Geometry, err::InterfaceSizeMismatch,
               err::NoIdenticalNativeChain, err::SmallMoleculeUnsupported, err::Mapping,
               err::Cancelled>
      payload;

  ErrorKind kind() const { return static_cast<ErrorKind>(payload.index()); }
  // The text that reaches the user; never fails.
  std::string message() const;
};

template <class T>
using Result = std::expected<T, TarvoError>;

// Shorthand for `return fail(err::Parse{path, "..."});` in functions returning Result<T>.
template <class Payload>
std::unexpected<TarvoError> fail(Payload payload) {
  return std::unexpected<TarvoError>(TarvoError{std::move(payload)});
}

// A broken internal invariant (a programming error, not bad input). The Python
// layer turns it into an exception that ordinary `except Exception` does not catch.
struct InternalError : std::logic_error {
  using std::logic_error::logic_error;
};

// "text" with quotes, backslashes and control characters escaped (\", \\, \t, \r, \n,
// \0, \u{hex}); invalid UTF-8 bytes are shown as U+FFFD.
std::string quoted(std::string_view text);
// ["a", "b"]: the quoted forms joined by ", " in brackets; [] when empty.
std::string quoted_list(std::span<const std::string> texts);

}  // namespace tarvo

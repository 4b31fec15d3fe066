#include "numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "text.hpp"  // is_digit, trim

namespace tarvo {

bool parse_i64(std::string_view s, std::int64_t& out) {
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return false;
  }
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc{} && end == s.data() + s.size();
}

namespace {

// When the value is out of double range, overflow or underflow follows from the
// decimal order of magnitude: leading digits before the point plus the exponent.
double out_of_range_value(std::string_view s) {
  bool negative = s[0] == '-';
  std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  std::int64_t order = 0;
  bool seen_nonzero = false;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    seen_nonzero = seen_nonzero || s[i] != '0';
    if (seen_nonzero) ++order;
  }
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && is_digit(s[i]); ++i) {
      if (seen_nonzero) continue;
      if (s[i] != '0') seen_nonzero = true;
      else --order;
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::int64_t exponent = 0;
    std::string_view digits = s.substr(i + 1);
    bool minus = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
    for (char c : digits) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    order += minus ? -exponent : exponent;
  }
  double magnitude = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

// Coordinates are almost always plain decimals such as "-12.345". With at most
// 15 digits the digits and the power of ten are exact doubles, so one division
// gives the correctly rounded value, as the general parser would.
bool parse_plain_decimal(std::string_view s, double& out) {
  std::size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) ++i;
  std::uint64_t digits = 0;
  int count = 0, fraction = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (is_digit(s[i])) {
      if (++count > 15) return false;
      digits = digits * 10 + static_cast<std::uint64_t>(s[i] - '0');
      fraction += point;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (count == 0) return false;
  out = static_cast<double>(digits) / kPow10[fraction];
  if (negative) out = -out;
  return true;
}

// Standard floating-point text: optional sign, digits with optional point and
// exponent, or the words for infinity and not-a-number. No hex, no "nan(...)".
bool parse_double(std::string_view s, double& out) {
  if (parse_plain_decimal(s, out)) return true;
  std::string_view body = s;
  if (!body.empty() && body[0] == '+') {
    body.remove_prefix(1);
    if (!body.empty() && body[0] == '-') return false;
  }
  if (body.find('(') != std::string_view::npos) return false;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), out);
  if (end != body.data() + body.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    out = out_of_range_value(s);
    return true;
  }
  return ec == std::errc{};
}

}  // namespace

double parse_occupancy(std::string_view s) {
  double value;
  return parse_double(trim(s), value) ? value : 0.0;
}

CoordError parse_coord(std::string_view s, float& out) {
  double value;
  if (!parse_double(trim(s), value)) return CoordError::NotANumber;
  // Halfway between the largest float and 2^128: anything from there on rounds
  // to infinity. NaN fails the comparison too.
  if (!(std::fabs(value) < 0x1.ffffffp127)) return CoordError::NotFinite;
  if (std::fabs(value) > kMaxCoordinate) return CoordError::TooLarge;
  out = static_cast<float>(value);
  return CoordError::None;
}

TarvoError coord_error(const std::string& path, CoordError error, std::string_view s, std::string_view field) {
  if (error == CoordError::NotANumber) return TarvoError{err::Parse{path, "invalid coordinate " + quoted(trim(s))}};
  if (error == CoordError::TooLarge)
    return TarvoError{err::Parse{path, std::string(field) + " is larger in magnitude than 1e9 Å: " + quoted(trim(s))}};
  return TarvoError{err::Parse{
      path, std::string(field) + " is not a finite single-precision number: " + quoted(trim(s))}};
}

}  // namespace tarvo

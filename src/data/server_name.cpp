#include "data/server_name.h"

#include "base/error.h"

#include <array>

namespace kelda::data {
namespace {

constexpr std::array<std::string_view, 2> kSchemes = {"postgresql://", "postgres://"};
constexpr std::string_view kMask = "***";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != prefix[i]) return false;
  }
  return true;
}

std::size_t SchemeLength(std::string_view name) {
  for (std::string_view scheme : kSchemes) {
    if (StartsWithNoCase(name, scheme)) return scheme.size();
  }
  return 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// libpq decodes the keys of the query as well as the values, so
// "pass%77ord" is a password too.
std::string DecodedLower(std::string_view text) {
  std::string out = PercentDecoded(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool IsSecretKey(std::string_view key) {
  const std::string decoded = DecodedLower(key);
  return decoded == "password" || decoded == "sslpassword";
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Where the user information of `rest` (the URI after its scheme) ends: the
// position of its '@', or npos when there is none.
std::size_t CredentialsEnd(std::string_view rest) {
  constexpr auto npos = std::string_view::npos;
  // libpq's reading: user information is what precedes an '@' that comes
  // before any '/'.
  const std::size_t stop = rest.find_first_of("@/");
  if (stop == npos) return npos;
  if (rest[stop] == '@') {
    // A raw '@' inside a password ("user:p@ss@host") leaves the rest of it
    // in the host; the last '@' before the path ends what is masked.
    const std::size_t path = rest.find('/', stop);
    return rest.substr(0, path).rfind('@');
  }
  // A raw '/' inside a password ("user:pa/ss@host/db") leaves libpq with no
  // user information, the password's start read as a port. What follows the
  // first ':' is masked up to the last '@' unless it is a port number.
  const std::size_t query = rest.find('?');
  const std::size_t at = rest.substr(0, query).rfind('@');
  const std::size_t colon = rest.find(':');
  if (at == npos || colon == npos || colon > stop) return npos;
  if (AllDigits(rest.substr(colon + 1, stop - colon - 1))) return npos;
  return at;
}

// `query` (after its '?') with the value of each secret parameter masked.
std::string MaskedQuery(std::string_view query) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = query.find('&', start);
    const std::string_view param =
        query.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    const std::size_t eq = param.find('=');
    if (eq != std::string_view::npos && eq + 1 < param.size() && IsSecretKey(param.substr(0, eq))) {
      out += param.substr(0, eq + 1);
      out += kMask;
    } else {
      out += param;
    }
    if (end == std::string_view::npos) break;
    out += '&';
    start = end + 1;
  }
  return out;
}

}  // namespace

bool IsServerName(std::string_view name) { return SchemeLength(name) != 0; }

std::string ShownName(std::string_view name) {
  const std::size_t scheme = SchemeLength(name);
  if (scheme == 0) return std::string(name);
  const std::string_view rest = name.substr(scheme);
  std::string out(name.substr(0, scheme));

  std::size_t tail = 0;  // where the part after the user information begins
  const std::size_t at = CredentialsEnd(rest);
  if (at != std::string_view::npos) {
    const std::string_view credentials = rest.substr(0, at);
    const std::size_t colon = credentials.find(':');
    if (colon != std::string_view::npos && colon + 1 < credentials.size()) {
      out += credentials.substr(0, colon + 1);
      out += kMask;
    } else {
      out += credentials;
    }
    tail = at;
  }
  const std::string_view after = rest.substr(tail);
  const std::size_t question = after.find('?');
  if (question == std::string_view::npos) {
    out += after;
  } else {
    out += after.substr(0, question + 1);
    out += MaskedQuery(after.substr(question + 1));
  }
  return out;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void RequireFileName(std::string_view name) {
  if (!IsServerName(name)) return;
  Raise(kErrConnectionFailed, "Cannot connect to '" + ShownName(name) +
                                  "': this build reads SQLite database files only, not "
                                  "databases on a server.");
}

}  // namespace kelda::data

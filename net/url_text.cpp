#include "net/url_text.h"

#include <cctype>
#include <cstring>

namespace tavrel_mmp {
namespace {

bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool isUrlCharacter(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  return std::strchr("-._~:/?#[]@!$&'()*+,;=%", c) != nullptr && c != '\0';
}

// Checks characters and percent escapes of one component; `brackets` allows "[" and "]".
bool validComponent(const std::string& text, bool brackets) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!isUrlCharacter(c)) return false;
    if ((c == '[' || c == ']') && !brackets) return false;
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
    }
  }
  return true;
}

}  // namespace

std::string percentEncoded(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      out += {'%', kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
  }
  return out;
}

bool isWellFormedUrlReference(const std::string& text) {
  if (text.empty()) return false;
  std::string rest = text;

  // Scheme: letters, digits, "+", "-", "." after a first letter, ended by ":" before any
  // "/", "?" or "#".
  const auto colon = rest.find(':');
  const auto firstDelimiter = rest.find_first_of("/?#");
  if (colon != std::string::npos &&
      (firstDelimiter == std::string::npos || colon < firstDelimiter)) {
    const std::string scheme = rest.substr(0, colon);
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
    for (char c : scheme) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
        return false;
      }
    }
    rest = rest.substr(colon + 1);
  }

  // Fragment: at most one "#".
  const auto hash = rest.find('#');
  if (hash != std::string::npos && rest.find('#', hash + 1) != std::string::npos) return false;

  // Authority after "//": host (brackets allowed for IP literals) and an all-digit port.
  if (rest.rfind("//", 0) == 0) {
    const auto end = rest.find_first_of("/?#", 2);
    const std::string authority =
        rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
    const auto at = authority.rfind('@');
    const std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
    std::string port;
    if (!hostPort.empty() && hostPort[0] == '[') {
      const auto close = hostPort.find(']');
      if (close == std::string::npos) return false;
      const std::string after = hostPort.substr(close + 1);
      if (!after.empty() && after[0] != ':') return false;
      if (!after.empty()) port = after.substr(1);
    } else {
      if (hostPort.find_first_of("[]") != std::string::npos) return false;
      const auto portColon = hostPort.rfind(':');
      if (portColon != std::string::npos) port = hostPort.substr(portColon + 1);
    }
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    if (!validComponent(authority, true)) return false;
    rest = end == std::string::npos ? "" : rest.substr(end);
  }
  return validComponent(rest, false);
}

bool namesAHost(const std::string& text) {
  const auto separator = text.find("://");
  if (separator == std::string::npos || separator == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (std::size_t i = 1; i < separator; ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  const auto start = separator + 3;
  const auto end = text.find_first_of("/?#", start);
  std::string authority = text.substr(start, end == std::string::npos ? end : end - start);
  if (const auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  return !authority.empty() && authority[0] != ':';
}

}  // namespace tavrel_mmp

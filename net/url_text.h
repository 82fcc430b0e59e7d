#pragma once

#include <string>

namespace tavrel_mmp {

// Whether the text is a well-formed URL reference (absolute, or a relative one such as a bare
// path): only characters a URL may hold, well-formed percent escapes, a valid scheme and port.
bool isWellFormedUrlReference(const std::string& text);

// Whether the text names a service: a scheme, "://" and a host ("https://svc.example/v1"). A
// bare path ("/partner/auth", what an empty base URL leaves) or "file:/x" does not.
bool namesAHost(const std::string& text);

// The text with every byte other than the unreserved characters (letters, digits, "-", ".", "_",
// "~") written as %XX, so that it stays one path segment or query value whatever it holds.
std::string percentEncoded(const std::string& text);

}  // namespace tavrel_mmp

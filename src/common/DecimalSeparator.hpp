#pragma once

namespace serwer {

// The decimal separator of the environment's numeric locale (LC_NUMERIC), read
// once at start and then passed explicitly to every routine that formats or parses
// a number. The C library's global locale is never changed or consulted while running.
// Returns '.' for the C locale, or when the locale names no single-byte separator.
char ReadDecimalSeparatorFromEnvironment();

}  // namespace serwer

#pragma once

// Text helpers every part shares: formatting numbers into messages, trimming
// and comparing what people type.

#include <string>
#include <string_view>

#if defined(__GNUC__) && !defined(_WIN32)
#define MAROQUINT_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#elif defined(__GNUC__)
#define MAROQUINT_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define MAROQUINT_PRINTF_FORMAT
#endif

namespace maroquint::base {

// printf's formatting into a string of any length.
std::string Format(const char *format, ...) MAROQUINT_PRINTF_FORMAT;

// Without the spaces, tabs, carriage returns and line feeds at either end.
std::string Trim(std::string_view text);

// ASCII letters compared without case; other bytes compared as they are.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

std::string ToLower(std::string_view text);

}  // namespace maroquint::base

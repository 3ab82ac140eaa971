#pragma once
// The program's string resources, read by number.

#include <cstddef>
#include <string>

namespace nimbrel::platform {

// The text of string resource `id`, or an empty text when there is none.
std::string LoadStringResource(int id);

// Copies the text into a zeroed buffer of `size` bytes (cut to size - 1
// bytes, always NUL-terminated); returns the number of bytes copied.
std::size_t LoadStringResource(int id, char* buffer, std::size_t size);

// The leading decimal number of a text as the form library reads it for the
// version resources; a missing or non-numeric text gives 0.
int ResourceNumber(int id);

}  // namespace nimbrel::platform

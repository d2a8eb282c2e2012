// Writing all of a text to a pipe or file descriptor, through short writes and interruptions.
#pragma once

#include <string_view>

namespace varnak {

// True once every byte is written; false at the first error (errno says which) or a write
// that takes nothing.
bool WriteAll(int fd, std::string_view text);

}  // namespace varnak

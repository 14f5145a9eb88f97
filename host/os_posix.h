// What the POSIX files of cehost (os_posix.cpp, workers_posix.cpp) share.
#pragma once

#include <cstddef>

namespace cehost {

// Writes all of the bytes, going on after interruptions; false (errno set)
// when a write fails.
bool WriteAll(int fd, const void *data, std::size_t size);

} // namespace cehost

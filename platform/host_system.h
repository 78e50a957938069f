// What the host tool needs from the system beyond POSIX: a port to another
// Unix replaces only the platform files that define these.
#pragma once
#include <stdint.h>
#include <stdio.h>

// A write-only stream that counts the bytes written through it into *count
// and passes them on to the descriptor fd (fd < 0: they go nowhere). ftell
// on it gives the count, as on a file. Null when it cannot be made.
FILE* HostCountingStream(int fd, uint64_t* count);

// The process-wide standard-output writer: whole lines straight to file
// descriptor 1, bypassing the interpreter's sys.stdout.
#pragma once

#include <string_view>

namespace vora {

// Appends `text` to the line buffer and writes every complete line, all of
// one call under the writer's own lock; the write may block. The module calls
// it without the interpreter lock, so that the writer's lock is never waited
// for by a thread that holds the interpreter lock. A failed
// write throws InternalFault("failed printing to stdout: <error>") and drops
// what was buffered.
void print_stdout(std::string_view text);

// Writes all of `bytes` to file descriptor `fd` (1 or 2) at once, unbuffered
// and without the writer's lock; a failed write throws
// InternalFault("failed printing to stdout: <error>") (stderr for 2).
void write_whole(int fd, std::string_view bytes);

}  // namespace vora

// The process-wide standard-output writer: whole lines straight to file
// descriptor 1, bypassing the interpreter's sys.stdout.
#pragma once

#include <string_view>

#include "interrupt.hpp"

namespace vora {

// Appends `text` to the line buffer and writes every complete line, all of
// one call under the writer's own lock; the write may block. The module calls
// it without the interpreter lock, so that the writer's lock is never waited
// for by a thread that holds the interpreter lock. A failed
// write throws InternalFault("failed printing to stdout: <error>") and drops
// what was buffered. A signal that interrupts a blocked write asks `check`;
// when it gives up, Interrupted is thrown and what was buffered is dropped.
void print_stdout(std::string_view text, InterruptCheck check = {});

// Writes all of `bytes` to file descriptor `fd` (1 or 2) at once, unbuffered
// and without the writer's lock; a failed write throws
// InternalFault("failed printing to stdout: <error>") (stderr for 2); an
// interrupted write asks `check` and throws Interrupted when it gives up.
void write_whole(int fd, std::string_view bytes, InterruptCheck check = {});

}  // namespace vora

#pragma once

// Giving a server's freed memory back to the system. Large answers are
// built and sent on any of the server's worker threads, and an allocator
// that keeps each thread's freed memory for that thread's next request
// holds about one large answer's worth per worker, long after it was sent:
// with sixteen workers, a gigabyte for a 2M-sample report.
namespace profile_query {

// Asks the allocator to return freed memory at once rather than keep it
// for the freeing thread; called once, before serving.
void return_freed_memory_promptly();

// Returns what the allocator still holds freed, where it keeps it until
// asked (the C library's malloc); called after each large answer.
void return_freed_memory();

}  // namespace profile_query

#pragma once

// Giving a server's freed memory back to the system. Large answers are
// built on two threads of their own (answer_workers.hpp), so an allocator
// that keeps each thread's freed memory for its next request (mimalloc)
// holds at most two answers' worth. The C library's malloc needs more
// help: fewer arenas, and a trim after each large answer.
namespace profile_query {

// Sets the allocator up for serving; called once, before serving.
void return_freed_memory_promptly();

// Returns what the allocator still holds freed, where it keeps it until
// asked (the C library's malloc); called after each large answer.
void return_freed_memory();

}  // namespace profile_query

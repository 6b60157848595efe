// Counts heap allocations made anywhere in this process, a loaded module's included. The
// validator takes a reading before and after the work it watches (a process call, a run
// of open/close cycles) and looks at the difference.
//
// A program gets the counter by linking alloc_counter.cpp: in a plain build it replaces
// malloc and its relatives with counting forwarders to the C library's allocator (operator
// new reaches them through malloc); in an AddressSanitizer build it installs the
// sanitizer's allocation hooks instead, since the sanitizer owns malloc there. (valgrind
// does not see the replaced malloc: run a program that links this counter under valgrind
// only with --soname-synonyms=somalloc=NONE.)
#pragma once

#include <cstdint>

namespace vorbel::alloc {

struct Counts {
  uint64_t allocations = 0;  // malloc, calloc, aligned and realloc'ed blocks, operator new
  uint64_t releases = 0;     // free of a non-null block, operator delete, realloc to size 0

  Counts operator-(const Counts& earlier) const {
    return Counts{allocations - earlier.allocations, releases - earlier.releases};
  }
  // Allocations not released, negative when more was released than allocated.
  int64_t Net() const { return static_cast<int64_t>(allocations - releases); }
};

// The counts so far. In a sanitizer build counting starts with the first reading.
Counts Now();

}  // namespace vorbel::alloc

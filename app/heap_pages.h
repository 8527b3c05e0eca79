// Huge pages for the heap of a long run.  glibc's malloc asks the kernel
// for 2 MiB pages (madvise) when GLIBC_TUNABLES holds glibc.malloc.hugetlb=1
// as the program starts; where the kernel gives them only on request, a
// conversion that builds a large heap (a book's language tables, a big
// spreadsheet, a scanned page) then takes a tenth of the page faults, and
// on a virtual machine a page fault is dear.  Tunables are read only when
// a program starts: a batch or the window starts itself again once, and a
// converter started as a program of its own gets the variable.
#pragma once

#include <string>

namespace quarn {

// GLIBC_TUNABLES with glibc.malloc.hugetlb=1 added to current (null: the
// variable is not set); empty when current names that tunable already, as
// the user's own setting stands.
std::string TunablesWithHugePageHeap(const char* current);

// Whether the kernel gives huge pages to memory that asks for them and only
// to it ("madvise" chosen in enabled_file): under "always" every heap has
// them already, under "never" (or without the file) none can.
bool HugePagesOnRequest(const char* enabled_file = "/sys/kernel/mm/transparent_hugepage/enabled");

// The GLIBC_TUNABLES a program started now should have for a heap in huge
// pages: empty when nothing is to change.
std::string HugePageHeapTunables();

// Starts this program again from its own file with argv and the tunable
// when that changes anything and no library is preloaded into it; returns
// when it does not, or when the file cannot be started (the run goes on as
// it is).  Call before anything else
// (no thread, nothing read from standard input).
void RestartWithHugePageHeap(char** argv);

}  // namespace quarn

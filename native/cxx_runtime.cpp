// The one allocation function of the C++ runtime the modules call:
// std::inplace_merge (range records) asks for its scratch buffer with
// nothrow new. libstdc++'s own nothrow new calls the throwing one and catches
// bad_alloc, which links its exception support and the unwinder into the
// module; their lookups need a C library newer than the oldest one the
// wheels promise (GLIBC 2.17). This one returns null when out of memory,
// which get_temporary_buffer already handles. No new-handler is consulted:
// the module's private copy of the runtime never has one set.
// Left out of sanitizer builds, whose runtime keeps its own.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}

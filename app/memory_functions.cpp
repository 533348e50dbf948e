// The memory functions that the compiler calls on its own (block moves,
// comparisons and fills), for a program linked without a C runtime.
// Built with -fno-tree-loop-distribute-patterns, so that these loops are not
// turned back into calls of themselves.
#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    while (count--) *to++ = *from++;
    return destination;
}

void* memmove(void* destination, const void* source, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    if (to < from || to >= from + count) return memcpy(destination, source, count);
    while (count--) to[count] = from[count];
    return destination;
}

void* memset(void* destination, int value, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    while (count--) *to++ = static_cast<unsigned char>(value);
    return destination;
}

int memcmp(const void* left, const void* right, std::size_t count) {
    const auto* a = static_cast<const unsigned char*>(left);
    const auto* b = static_cast<const unsigned char*>(right);
    for (; count--; ++a, ++b)
        if (*a != *b) return *a < *b ? -1 : 1;
    return 0;
}

}  // extern "C"

#include "foundation/OnceValue.h"

#include <cstdint>

namespace sonorix::detail {

std::mutex& onceValueLock(const void* slot) {
    static std::mutex locks[64];
    return locks[(reinterpret_cast<uintptr_t>(slot) >> 4) % 64];
}

} // namespace sonorix::detail

#include "audio/TagLibLock.h"

namespace sonorix {

std::mutex& tagLibLock() {
    static std::mutex lock;
    return lock;
}

} // namespace sonorix

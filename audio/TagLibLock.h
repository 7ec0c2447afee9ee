#pragma once

#include <mutex>

namespace sonorix {

// TagLib is not safe to use from several threads at once (shared frame factories, genre tables,
// debug listener). Everything in the process that touches TagLib objects holds this one lock.
std::mutex& tagLibLock();

} // namespace sonorix

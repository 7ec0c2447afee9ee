#pragma once

#include <functional>

namespace sonorix::mt {

// Whether the caller runs on the thread of the application's run loop.
bool onMainThread();
// Hands work to the run loop without waiting.
void post(std::function<void()> work);

} // namespace sonorix::mt

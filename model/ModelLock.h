#pragma once

#include <memory>

namespace sonorix {

class RecursiveLock;

// Holds the model's lock for a scope. A null lock (code running before any model exists, or
// values not owned by a model) is simply not taken.
class ModelLocker {
public:
    explicit ModelLocker(const std::shared_ptr<RecursiveLock>& lock);
    ~ModelLocker();
    ModelLocker(const ModelLocker&) = delete;
    ModelLocker& operator=(const ModelLocker&) = delete;

private:
    RecursiveLock* m_lock;
};

} // namespace sonorix

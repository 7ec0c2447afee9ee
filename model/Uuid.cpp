#include "model/Uuid.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace sonorix {

std::string newUuidText() {
    // The generator is not thread-safe and costly to seed: one per process behind a mutex.
    static std::mutex mutex;
    static boost::uuids::random_generator generator;
    boost::uuids::uuid id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = generator();
    }
    std::string text = boost::uuids::to_string(id);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace sonorix

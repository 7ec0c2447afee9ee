#include "foundation/OnceValue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace sonorix;

// Many threads asking at once all get the one value stored, and a value made while making another
// (a track's search text reads its name) does not wait on a lock its neighbour holds.
TEST(OnceValue, EveryThreadGetsTheOneStoredValueAndMakingMayFillOthers) {
    struct Pair {
        OnceValue<int> inner;
        OnceValue<std::string> outer;
    };
    std::vector<Pair> pairs(200);
    std::atomic<int> made{0};
    std::vector<std::vector<const std::string*>> seen(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            for (auto& pair : pairs) {
                const std::string& text = fillOnce(pair.outer, [&] {
                    ++made;
                    return "v" + std::to_string(fillOnce(pair.inner, [] { return 7; }));
                });
                seen[t].push_back(&text);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i].outer.value, "v7");
        for (const auto& ofThread : seen) {
            EXPECT_EQ(ofThread[i], &pairs[i].outer.value);
        }
    }
    EXPECT_GE(made.load(), 200);
    // Once stored, nothing is made again.
    const int before = made.load();
    fillOnce(pairs[0].outer, [&] {
        ++made;
        return std::string("other");
    });
    EXPECT_EQ(made.load(), before);
    EXPECT_EQ(pairs[0].outer.value, "v7");
}

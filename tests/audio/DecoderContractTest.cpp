// The decoder's contract, driven through a scripted media layer: exceptions, release of what was
// acquired, frame arithmetic, and moving a file to the main thread when the layer demands it.
#include "audio/AudioDecoder.h"
#include "foundation/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace sonorix;

namespace {

// A stand-in for the application's main thread: runs posted work in order and hands
// ExceptionBase failures back to the waiting thread.
class FakeMainThread {
public:
    FakeMainThread() : m_thread([this] { run(); }) {}
    ~FakeMainThread() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    std::thread::id id() const { return m_thread.get_id(); }

    MainThreadCaller caller() {
        return MainThreadCaller{[this] { return std::this_thread::get_id() == id(); },
                                [this](const std::function<void()>& f) { callAndWait(f); }};
    }

    void callAndWait(const std::function<void()>& f) {
        if (std::this_thread::get_id() == id()) {
            f();
            return;
        }
        ExceptionBase* failure = nullptr;
        bool done = false;
        {
            std::lock_guard lock(m_mutex);
            m_work.push_back([&] {
                try {
                    f();
                } catch (const ExceptionBase& e) {
                    failure = e.clone();
                }
                std::lock_guard inner(m_mutex);
                done = true;
                m_wake.notify_all();
            });
        }
        m_wake.notify_all();
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [&] { return done; });
        lock.unlock();
        if (failure) {
            failure->rethrow();
        }
    }

private:
    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_quit || !m_work.empty(); });
            if (m_work.empty()) {
                return;
            }
            auto work = std::move(m_work.front());
            m_work.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_quit = false;
    std::thread m_thread;
};

// Delivers `frames` frames of 0.5 at time scale 600, counting every acquisition and release
// and recording the thread each fill runs on.
class ScriptedLayer : public MediaLayer {
public:
    std::atomic<int> opened{0}, disposed{0}, begun{0}, ended{0}, fills{0};
    bool protectedMovie = false;
    int32_t duration = 600; // one second
    uint32_t frames = 44100;
    uint32_t deliveredSoFar = 0;
    // Error -2098 from initMovie / the first fill on any thread but this one.
    std::thread::id onlySafeThread{};
    bool notSafeAtOpen = false;
    bool notSafeAtFill = false;
    int32_t fillError = 0;
    std::vector<std::thread::id> fillThreads;

    void initialize() override {}
    void terminate() override {}
    uint32_t version() override { return 0x07600000; }
    int16_t enterMoviesOnThread() override { return 0; }
    void exitMoviesOnThread() override {}
    int16_t initMovie(const std::string&, Movie* movie) override {
        if (notSafeAtOpen && std::this_thread::get_id() != onlySafeThread) {
            return kErrNotThreadSafe;
        }
        ++opened;
        *movie = this;
        return 0;
    }
    void disposeMovie(Movie) override { ++disposed; }
    bool isMovieProtected(Movie) override { return protectedMovie; }
    int32_t movieTimeScale(Movie) override { return 600; }
    int32_t movieDuration(Movie) override { return duration; }
    int32_t movieAudioExtractionBegin(Movie, Extraction* x) override {
        ++begun;
        *x = this;
        return 0;
    }
    void movieAudioExtractionEnd(Extraction) override { ++ended; }
    int32_t movieAudioExtractionGetProperty(Extraction, uint32_t, uint32_t, size_t size,
                                            void* value, size_t*) override {
        std::memset(value, 0, size);
        return 0;
    }
    int32_t movieAudioExtractionSetProperty(Extraction, uint32_t, uint32_t id, size_t,
                                            const void* value) override {
        if (id == kPropertyStreamDescription) {
            auto* d = static_cast<const StreamDescription*>(value);
            EXPECT_EQ(d->sampleRate, 44100.0);
            EXPECT_EQ(d->formatFlags, 41u);
            EXPECT_EQ(d->channelsPerFrame, 2u);
            EXPECT_EQ(d->bitsPerChannel, 32u);
        } else {
            EXPECT_EQ(static_cast<const ChannelLayout*>(value)->tag, 0x650002u);
        }
        return 0;
    }
    int32_t movieAudioExtractionFillBuffer(Extraction, uint32_t* n, BufferList* list,
                                           uint32_t* flags) override {
        ++fills;
        fillThreads.push_back(std::this_thread::get_id());
        if (notSafeAtFill && std::this_thread::get_id() != onlySafeThread) {
            return kErrNotThreadSafe;
        }
        if (fillError) {
            return fillError;
        }
        uint32_t give = std::min(*n, frames - deliveredSoFar);
        for (uint32_t i = 0; i < give; ++i) {
            static_cast<float*>(list->buffers[0].data)[i] = 0.5f;
            static_cast<float*>(list->buffers[1].data)[i] = -0.5f;
        }
        deliveredSoFar += give;
        *n = give;
        *flags = deliveredSoFar == frames ? kExtractionComplete : 0;
        return 0;
    }
};

// Runs f on a fresh thread (a worker) and rethrows what it threw.
void onWorker(const std::function<void()>& f) {
    std::exception_ptr failure;
    std::thread t([&] {
        try {
            f();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    t.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

MainThreadCaller workerIsNeverMain() {
    return MainThreadCaller{[] { return false; }, [](const std::function<void()>& f) { f(); }};
}

} // namespace

TEST(DecoderContract, FrameArithmeticAndProgress) {
    EXPECT_EQ(AudioDecoderImpl::framesAt44100(600, 600), 44100);
    EXPECT_EQ(AudioDecoderImpl::framesAt44100(1, 3), 14700);
    EXPECT_EQ(AudioDecoderImpl::framesAt44100(1, 0), 0);
    // Beyond 32 bits in the intermediate product: 3 hours at 96 kHz.
    EXPECT_EQ(AudioDecoderImpl::framesAt44100(int64_t(96000) * 10800, 96000),
              int64_t(44100) * 10800);

    auto layer = std::make_shared<ScriptedLayer>();
    layer->frames = 44100 + 5000; // more than the movie's stated length
    AudioDecoderImpl d(layer, workerIsNeverMain());
    EXPECT_EQ(d.progress(), 0.0); // not opened: total 0
    d.open("x", 0);
    EXPECT_EQ(d.totalFrames(), 44100);
    std::vector<float> l(30000), r(30000);
    uint32_t got = 0;
    EXPECT_TRUE(d.read(l.data(), r.data(), 30000, &got));
    EXPECT_EQ(got, 30000u);
    EXPECT_NEAR(d.progress(), 30000.0 / 44100, 1e-12);
    // The last read ends the file and still delivers frames.
    EXPECT_FALSE(d.read(l.data(), r.data(), 30000, &got));
    EXPECT_EQ(got, 19100u);
    EXPECT_EQ(l[19099], 0.5f);
    EXPECT_EQ(d.framesRead(), 49100);
    EXPECT_EQ(d.progress(), 1.0);
}

TEST(DecoderContract, FailuresReleaseEverythingExactlyOnce) {
    {
        auto layer = std::make_shared<ScriptedLayer>();
        AudioDecoderImpl d(layer, workerIsNeverMain());
        EXPECT_THROW(d.open("", 0), AudioDecoder::NoFileException);
        EXPECT_EQ(layer->opened, 0);
    }
    {
        auto layer = std::make_shared<ScriptedLayer>();
        layer->protectedMovie = true;
        AudioDecoderImpl d(layer, workerIsNeverMain());
        EXPECT_THROW(d.open("x.m4p", 0), AudioDecoder::ProtectedException);
        EXPECT_EQ(layer->disposed, 1);
        EXPECT_EQ(layer->begun, 0);
        d.close();
        d.close();
        EXPECT_EQ(layer->disposed, 1);
    }
    {
        auto layer = std::make_shared<ScriptedLayer>();
        layer->fillError = -50;
        AudioDecoderImpl d(layer, workerIsNeverMain());
        d.open("x", 0);
        float l[8], r[8];
        uint32_t got;
        try {
            d.read(l, r, 8, &got);
            FAIL();
        } catch (const AudioDecoder::MediaErrorException& e) {
            EXPECT_EQ(e.code(), -50);
            EXPECT_STREQ(e.what(), "movieAudioExtractionFillBuffer");
        }
        d.close();
        d.close();
        EXPECT_EQ(layer->ended, 1);
        EXPECT_EQ(layer->disposed, 1);
    }
    {
        // A layer that is not thread-safe, on the main thread itself: a plain failure.
        auto layer = std::make_shared<ScriptedLayer>();
        layer->notSafeAtOpen = true;
        AudioDecoderImpl d(layer, MainThreadCaller{[] { return true; },
                                                   [](const std::function<void()>& f) { f(); }});
        try {
            d.open("x", 0);
            FAIL();
        } catch (const AudioDecoder::MediaErrorException& e) {
            EXPECT_EQ(e.code(), MediaLayer::kErrNotThreadSafe);
            EXPECT_STREQ(e.what(), "initMovie");
        }
    }
}

TEST(DecoderContract, NotThreadSafeOpenMovesTheFileToTheMainThread) {
    FakeMainThread main;
    auto layer = std::make_shared<ScriptedLayer>();
    layer->notSafeAtOpen = true;
    layer->notSafeAtFill = true;
    layer->onlySafeThread = main.id();
    onWorker([&] {
        AudioDecoderImpl d(layer, main.caller());
        d.open("x", 0);
        EXPECT_EQ(d.totalFrames(), 44100);
        std::vector<float> l(65536), r(65536);
        uint32_t got = 0;
        EXPECT_FALSE(d.read(l.data(), r.data(), 65536, &got));
        EXPECT_EQ(got, 44100u);
        EXPECT_EQ(r[0], -0.5f);
        EXPECT_EQ(d.framesRead(), 44100);
        d.close();
    });
    EXPECT_EQ(layer->opened, 1);
    EXPECT_EQ(layer->disposed, 1);
    EXPECT_EQ(layer->ended, 1);
    for (auto id : layer->fillThreads) {
        EXPECT_EQ(id, main.id());
    }
}

TEST(DecoderContract, NotThreadSafeFirstFillReopensOnTheMainThread) {
    FakeMainThread main;
    auto layer = std::make_shared<ScriptedLayer>();
    layer->notSafeAtFill = true;
    layer->onlySafeThread = main.id();
    onWorker([&] {
        AudioDecoderImpl d(layer, main.caller());
        d.open("x", 0);
        std::vector<float> l(1000), r(1000);
        uint32_t got = 0;
        EXPECT_TRUE(d.read(l.data(), r.data(), 1000, &got));
        EXPECT_EQ(got, 1000u);
        EXPECT_EQ(d.framesRead(), 1000);
    });
    // Opened on the worker, closed there, re-opened and released on the main thread.
    EXPECT_EQ(layer->opened, 2);
    EXPECT_EQ(layer->disposed, 2);
    ASSERT_EQ(layer->fillThreads.size(), 2u);
    EXPECT_NE(layer->fillThreads[0], main.id());
    EXPECT_EQ(layer->fillThreads[1], main.id());
}

TEST(DecoderContract, MainThreadFailuresReachTheWorker) {
    FakeMainThread main;
    {
        // The main thread's open fails: the worker sees the same exception.
        auto layer = std::make_shared<ScriptedLayer>();
        layer->notSafeAtOpen = true;
        layer->onlySafeThread = main.id();
        layer->protectedMovie = true;
        EXPECT_THROW(onWorker([&] {
                         AudioDecoderImpl d(layer, main.caller());
                         d.open("x.m4p", 0);
                     }),
                     AudioDecoder::ProtectedException);
        EXPECT_EQ(layer->disposed, 1);
    }
    {
        // Reading there fails: the worker gets code -1 and "ErrorOnMainThread".
        auto layer = std::make_shared<ScriptedLayer>();
        layer->notSafeAtOpen = true;
        layer->onlySafeThread = main.id();
        layer->fillError = -50;
        onWorker([&] {
            AudioDecoderImpl d(layer, main.caller());
            d.open("x", 0);
            float l[4], r[4];
            uint32_t got;
            try {
                d.read(l, r, 4, &got);
                FAIL();
            } catch (const AudioDecoder::MediaErrorException& e) {
                EXPECT_EQ(e.code(), -1);
                EXPECT_STREQ(e.what(), "ErrorOnMainThread");
            }
            EXPECT_THROW(d.read(l, r, 4, &got), AudioDecoder::AudioDecoderException);
        });
        EXPECT_EQ(layer->disposed, 1);
    }
}

TEST(DecoderContract, FallbackRunsThroughTheApplicationsRunLoop) {
    auto layer = std::make_shared<ScriptedLayer>();
    layer->notSafeAtOpen = true;
    layer->notSafeAtFill = true;
    layer->onlySafeThread = std::this_thread::get_id();
    {
        // No run loop: nobody can take the file over, so the layer's error is the answer.
        clearMainRunLoop();
        try {
            onWorker([&] { AudioDecoderImpl(layer).open("x", 0); });
            FAIL();
        } catch (const AudioDecoder::MediaErrorException& e) {
            EXPECT_EQ(e.code(), MediaLayer::kErrNotThreadSafe);
        }
    }
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    std::atomic<bool> done{false};
    int64_t delivered = -1;
    std::thread worker([&] {
        AudioDecoderImpl d(layer);
        d.open("x", 0);
        std::vector<float> l(65536), r(65536);
        uint32_t got = 0;
        while (d.read(l.data(), r.data(), 65536, &got)) {
        }
        delivered = d.framesRead();
        d.close();
        done = true;
        loop->post([] {});
    });
    EXPECT_TRUE(loop->runUntil([&] { return done.load(); }, std::chrono::seconds(10)));
    worker.join();
    clearMainRunLoop();
    EXPECT_EQ(delivered, 44100);
    EXPECT_EQ(layer->disposed, 1);
    for (auto id : layer->fillThreads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
}

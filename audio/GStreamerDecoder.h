#pragma once

#include "audio/AudioDecoder.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstBus GstBus;
typedef struct _GstAppSink GstAppSink;
typedef struct _GstPad GstPad;

namespace sonorix {

// The alternative decoder: a GStreamer pipeline (decodebin, audioconvert, audioresample) that
// delivers 16-bit interleaved stereo at 44100 Hz to an appsink. The appsink callback runs on
// GStreamer's streaming thread and queues the frames as float chunks; read takes them off.
class GStreamerDecoder : public AudioDecoder {
public:
    GStreamerDecoder();
    ~GStreamerDecoder() override;

    // Throws AudioDecoderException when the pipeline cannot be built or started.
    void open(const std::string& path, int64_t expectedFrames) override;
    void close() override;
    bool read(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut) override;
    int64_t totalFrames() const override { return m_totalFrames; }
    int64_t framesRead() const override { return m_framesRead; }

    // At most this many frames wait in the queue; the streaming thread waits for the reader
    // beyond that, so a long file is never held in memory whole.
    static constexpr size_t kMaxQueuedFrames = 4 * 65536;
    // How long open waits for the pipeline to start delivering before it gives up.
    static constexpr int kPrerollLimitMs = 10000;

private:
    struct Chunk {
        uint32_t frames = 0;
        uint32_t position = 0;
        std::vector<float> left, right;
    };

    // What the decodebin's pad signals (streaming threads) report to open.
    struct Links {
        GstElement* convert = nullptr;
        std::atomic<bool> audioLinked{false};
        std::atomic<bool> noMorePads{false};
    };
    static void linkDecodedPad(GstElement* decodebin, GstPad* pad, void* links);
    static void noMorePads(GstElement* decodebin, void* links);
    static int onNewSample(GstAppSink* sink, void* self);
    int bufferCallback(const int16_t* samples, size_t bytes);
    std::shared_ptr<Chunk> nextChunk();
    // Non-blocking look at the pipeline's bus: true once it has finished or failed.
    bool pipelineCompleted();

    GstElement* m_pipeline = nullptr;
    GstBus* m_bus = nullptr;
    Links m_links;
    int64_t m_totalFrames = 0;
    int64_t m_framesRead = 0;
    bool m_endOfStream = false;
    bool m_failed = false;
    bool m_pipelineDone = false; // the bus reported end of stream or an error
    bool m_stopping = false;
    size_t m_queuedFrames = 0;
    std::deque<std::shared_ptr<Chunk>> m_queue;
    std::mutex m_mutex;
    std::condition_variable m_chunkArrived;
    std::condition_variable m_chunkTaken;
};

} // namespace sonorix

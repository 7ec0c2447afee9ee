#pragma once

#include "audio/MediaLayer.h"
#include "foundation/Delegate.h"
#include "foundation/ExceptionBase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sonorix {

// Decodes one audio file into 44100 Hz stereo: two non-interleaved arrays of 32-bit floats,
// full scale +-1.0. A decoder belongs to the thread that opened it; its member functions can be
// scheduled on other threads (the main thread) through ThreadCallable.
class AudioDecoder : public ThreadCallable<AudioDecoder> {
public:
    SONORIX_DECLARE_EXCEPTION(AudioDecoderException, ExceptionBase);
    SONORIX_DECLARE_EXCEPTION(NoFileException, AudioDecoderException);
    // A folder, FIFO, device or socket: nothing a decoder may open.
    SONORIX_DECLARE_EXCEPTION(NotRegularFileException, NoFileException);
    SONORIX_DECLARE_EXCEPTION(ProtectedException, AudioDecoderException);
    // A media-layer operation failed: the layer's error code (or -1) and the operation's name.
    class MediaErrorException : public AudioDecoderException {
    public:
        MediaErrorException(int32_t code, std::string operation)
            : AudioDecoderException(std::move(operation)), m_code(code) {}
        int32_t code() const { return m_code; }
        SONORIX_EXCEPTION_BODY(MediaErrorException)

    private:
        int32_t m_code;
    };

    virtual ~AudioDecoder() = default;
    // path in UTF-8; expectedFrames is the track's length in frames at 44100 Hz as the library
    // states it. Throws on failure, having released what it acquired.
    virtual void open(const std::string& path, int64_t expectedFrames) = 0;
    // Releases everything open acquired; safe to call more than once.
    virtual void close() = 0;
    // Fills up to maxFrames frames and stores the count delivered in framesOut. Returns false
    // once the end is reached; the frames delivered by that last call still count.
    virtual bool read(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut) = 0;
    virtual int64_t totalFrames() const = 0;
    virtual int64_t framesRead() const = 0;

    // Throws NoFileException or NotRegularFileException unless path names a regular file.
    static void checkFile(const std::string& path);

    // framesRead / totalFrames clamped to 0…1; 0 while the total is unknown.
    double progress() const;
};

// Runs work on the main thread and waits for it; an ExceptionBase thrown there is raised again
// in the waiting thread.
struct MainThreadCaller {
    std::function<bool()> isMainThread;
    std::function<void(const std::function<void()>&)> callAndWait;
};

// Decoder over the media layer (FFmpeg). Work that the layer reports as not thread-safe moves to
// a second decoder living on the main thread.
class AudioDecoderImpl : public AudioDecoder {
public:
    explicit AudioDecoderImpl(std::shared_ptr<MediaLayer> layer = mediaLayer(),
                              MainThreadCaller mainThread = defaultMainThreadCaller());
    ~AudioDecoderImpl() override;

    void open(const std::string& path, int64_t expectedFrames) override;
    void close() override;
    bool read(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut) override;
    int64_t totalFrames() const override { return m_totalFrames; }
    int64_t framesRead() const override { return m_framesRead; }

    // Total frames at 44100 Hz of a movie of duration units at timeScale units per second,
    // rounded to whole frames.
    static int64_t framesAt44100(int64_t duration, int64_t timeScale);

    static MainThreadCaller defaultMainThreadCaller();

private:
    void openOnMainThread(int64_t expectedFrames);
    bool readOnMainThread(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut);

    std::shared_ptr<MediaLayer> m_layer;
    MainThreadCaller m_mainThread;
    MediaLayer::Movie m_movie = nullptr;
    MediaLayer::Extraction m_extraction = nullptr;
    std::unique_ptr<MediaLayer::BufferList> m_bufferList;
    int64_t m_totalFrames = 0;
    int64_t m_framesRead = 0;
    std::string m_path;
    bool m_firstFillPending = false;
    std::shared_ptr<AudioDecoder> m_mainThreadDecoder;
    bool m_mainThreadResult = false;
    bool m_mainThreadOk = true;
};

// Opens path with the GStreamer decoder when useGStreamer is set, falling back to the media-layer
// decoder (logged) when that fails; otherwise with the media-layer decoder, whose exceptions
// reach the caller.
std::shared_ptr<AudioDecoder> createAudioDecoder(const std::string& path, int64_t expectedFrames,
                                                 bool useGStreamer = false);

} // namespace sonorix

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sonorix {

constexpr uint32_t fourCC(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// The operations the decoder needs from a media framework: open a file ("movie"), describe it,
// and extract its audio in a requested format. Handles are opaque to the decoder.
class MediaLayer {
public:
    using Movie = void*;
    using Extraction = void*;

    // A component that must run on the main thread; the decoder moves the file there.
    static constexpr int32_t kErrNotThreadSafe = -2098;

    static constexpr uint32_t kPropertyClassAudio = fourCC("xaud");
    static constexpr uint32_t kPropertyStreamDescription = fourCC("asbd");
    static constexpr uint32_t kPropertyChannelLayout = fourCC("clay");
    static constexpr uint32_t kFormatLinearPCM = fourCC("lpcm");
    static constexpr uint32_t kFormatFlagFloat = 1;
    static constexpr uint32_t kFormatFlagPacked = 8;
    static constexpr uint32_t kFormatFlagNonInterleaved = 32;
    static constexpr uint32_t kChannelLayoutStereo = (101u << 16) | 2;
    // Fill flag: the extraction has delivered everything.
    static constexpr uint32_t kExtractionComplete = 1;

    struct StreamDescription { // 40 bytes
        double sampleRate;
        uint32_t formatId;
        uint32_t formatFlags;
        uint32_t bytesPerPacket;
        uint32_t framesPerPacket;
        uint32_t bytesPerFrame;
        uint32_t channelsPerFrame;
        uint32_t bitsPerChannel;
        uint32_t reserved;
    };
    struct ChannelLayout { // 32 bytes
        uint32_t tag;
        uint32_t bitmap;
        uint32_t descriptionCount;
        uint32_t unused[5];
    };
    struct Buffer {
        uint32_t channels;
        uint32_t byteSize;
        void* data;
    };
    struct BufferList {
        uint32_t count;
        Buffer buffers[2];
    };
    static_assert(sizeof(StreamDescription) == 40);
    static_assert(sizeof(ChannelLayout) == 32);

    virtual ~MediaLayer() = default;

    virtual void initialize() = 0;
    virtual void terminate() = 0;
    // Major in bits 24-31, minor in 20-23, third number in 16-19.
    virtual uint32_t version() = 0;
    virtual int16_t enterMoviesOnThread() = 0;
    virtual void exitMoviesOnThread() = 0;
    virtual int16_t initMovie(const std::string& path, Movie* movie) = 0;
    virtual void disposeMovie(Movie movie) = 0;
    virtual bool isMovieProtected(Movie movie) = 0;
    virtual int32_t movieTimeScale(Movie movie) = 0;
    virtual int32_t movieDuration(Movie movie) = 0;
    virtual int32_t movieAudioExtractionBegin(Movie movie, Extraction* extraction) = 0;
    virtual void movieAudioExtractionEnd(Extraction extraction) = 0;
    virtual int32_t movieAudioExtractionGetProperty(Extraction extraction, uint32_t propertyClass,
                                                    uint32_t propertyId, size_t size, void* value,
                                                    size_t* sizeUsed) = 0;
    virtual int32_t movieAudioExtractionSetProperty(Extraction extraction, uint32_t propertyClass,
                                                    uint32_t propertyId, size_t size,
                                                    const void* value) = 0;
    virtual int32_t movieAudioExtractionFillBuffer(Extraction extraction, uint32_t* frames,
                                                   BufferList* buffers, uint32_t* flags) = 0;
};

// The process-wide media layer (FFmpeg), created on first use and kept for the process's life.
std::shared_ptr<MediaLayer> mediaLayer();

// The FFmpeg layer's sample-rate converter: libswresample's own filter, or the SoX resampler it
// can use. Process-wide; set it while nothing is being decoded.
enum class Resampler { Swr, Soxr };
void useResampler(Resampler resampler);
Resampler currentResampler();

// The media layer over libavformat, libavcodec and libswresample.
class FFmpegMediaLayer : public MediaLayer {
public:
    // initMovie's own error codes (FFmpeg's codes do not fit in 16 bits).
    static constexpr int16_t kErrFileNotFound = -43;
    static constexpr int16_t kErrCannotOpen = -2048;
    static constexpr int16_t kErrNoAudioStream = -2049;
    static constexpr int16_t kErrNoDecoder = -2050;

    void initialize() override;
    void terminate() override;
    uint32_t version() override;
    int16_t enterMoviesOnThread() override { return 0; }
    void exitMoviesOnThread() override {}
    int16_t initMovie(const std::string& path, Movie* movie) override;
    void disposeMovie(Movie movie) override;
    bool isMovieProtected(Movie movie) override;
    int32_t movieTimeScale(Movie movie) override;
    int32_t movieDuration(Movie movie) override;
    int32_t movieAudioExtractionBegin(Movie movie, Extraction* extraction) override;
    void movieAudioExtractionEnd(Extraction extraction) override;
    int32_t movieAudioExtractionGetProperty(Extraction extraction, uint32_t propertyClass,
                                            uint32_t propertyId, size_t size, void* value,
                                            size_t* sizeUsed) override;
    int32_t movieAudioExtractionSetProperty(Extraction extraction, uint32_t propertyClass,
                                            uint32_t propertyId, size_t size,
                                            const void* value) override;
    int32_t movieAudioExtractionFillBuffer(Extraction extraction, uint32_t* frames,
                                           BufferList* buffers, uint32_t* flags) override;

    // Encoder delay and padding are removed unless this is switched off. Only a comparison with
    // tools that keep them (mp3gain) turns it off. Applies to movies opened afterwards.
    static void setTrimming(bool trim);
};

} // namespace sonorix

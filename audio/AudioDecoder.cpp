#include "audio/AudioDecoder.h"

#include "audio/GStreamerDecoder.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "foundation/Threads.h"

#include <algorithm>
#include <typeinfo>

namespace sonorix {

double AudioDecoder::progress() const {
    const int64_t total = totalFrames();
    if (total <= 0) {
        return 0.0;
    }
    return std::clamp(static_cast<double>(framesRead()) / static_cast<double>(total), 0.0, 1.0);
}

void AudioDecoder::checkFile(const std::string& path) {
    // A FIFO would block the media framework for ever and a device never ends.
    switch (checkRegularFile(path)) {
    case FileFault::None:
        return;
    case FileFault::NotRegular:
        throw NotRegularFileException("not a regular file");
    default:
        throw NoFileException();
    }
}

AudioDecoderImpl::AudioDecoderImpl(std::shared_ptr<MediaLayer> layer, MainThreadCaller mainThread)
    : m_layer(std::move(layer)), m_mainThread(std::move(mainThread)) {}

AudioDecoderImpl::~AudioDecoderImpl() {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; close only fails when the main thread has gone.
    }
}

MainThreadCaller AudioDecoderImpl::defaultMainThreadCaller() {
    // Without a registered run loop no thread can take the work over, so every thread counts
    // as the main thread and a layer that is not thread-safe simply fails the file.
    return MainThreadCaller{[] { return !mainRunLoop() || isMainThread(); },
                            [](const std::function<void()>& f) { callOnMainThread(f, true); }};
}

int64_t AudioDecoderImpl::framesAt44100(int64_t duration, int64_t timeScale) {
    if (timeScale <= 0) {
        return 0;
    }
    return (duration * 44100 + timeScale / 2) / timeScale;
}

void AudioDecoderImpl::open(const std::string& path, int64_t expectedFrames) {
    m_path = path;
    m_movie = nullptr;
    m_extraction = nullptr;
    m_bufferList.reset();
    try {
        if (path.empty()) {
            throw NoFileException();
        }
        int16_t err = m_layer->initMovie(path, &m_movie);
        if (err == MediaLayer::kErrNotThreadSafe && !m_mainThread.isMainThread()) {
            openOnMainThread(expectedFrames);
            return;
        }
        if (err != 0) {
            throw MediaErrorException(err, "initMovie");
        }
        if (m_layer->isMovieProtected(m_movie)) {
            throw ProtectedException();
        }
        m_totalFrames =
            framesAt44100(m_layer->movieDuration(m_movie), m_layer->movieTimeScale(m_movie));
        m_framesRead = 0;
        int32_t rc = m_layer->movieAudioExtractionBegin(m_movie, &m_extraction);
        if (rc != 0) {
            throw MediaErrorException(rc, "movieAudioExtractionBegin");
        }
        MediaLayer::StreamDescription d{};
        rc = m_layer->movieAudioExtractionGetProperty(m_extraction, MediaLayer::kPropertyClassAudio,
                                                      MediaLayer::kPropertyStreamDescription,
                                                      sizeof d, &d, nullptr);
        if (rc != 0) {
            throw MediaErrorException(rc, "movieAudioExtractionGetProperty");
        }
        d.sampleRate = 44100.0;
        d.formatFlags = MediaLayer::kFormatFlagFloat | MediaLayer::kFormatFlagPacked |
                        MediaLayer::kFormatFlagNonInterleaved;
        d.bytesPerPacket = 4;
        d.framesPerPacket = 1;
        d.bytesPerFrame = 4;
        d.channelsPerFrame = 2;
        d.bitsPerChannel = 32;
        rc = m_layer->movieAudioExtractionSetProperty(m_extraction, MediaLayer::kPropertyClassAudio,
                                                      MediaLayer::kPropertyStreamDescription,
                                                      sizeof d, &d);
        if (rc != 0) {
            throw MediaErrorException(rc, "movieAudioExtractionSetProperty");
        }
        MediaLayer::ChannelLayout layout{};
        layout.tag = MediaLayer::kChannelLayoutStereo;
        rc = m_layer->movieAudioExtractionSetProperty(m_extraction, MediaLayer::kPropertyClassAudio,
                                                      MediaLayer::kPropertyChannelLayout,
                                                      sizeof layout, &layout);
        if (rc != 0) {
            throw MediaErrorException(rc, "movieAudioExtractionSetProperty");
        }
        m_bufferList = std::make_unique<MediaLayer::BufferList>();
        m_bufferList->count = 2;
        m_bufferList->buffers[0] = {1, 0, nullptr};
        m_bufferList->buffers[1] = {1, 0, nullptr};
        m_firstFillPending = true;
    } catch (const AudioDecoderException&) {
        close();
        throw;
    }
}

void AudioDecoderImpl::openOnMainThread(int64_t expectedFrames) {
    close();
    m_mainThreadOk = true;
    const std::string path = m_path;
    m_mainThread.callAndWait([this, path, expectedFrames] {
        auto decoder = std::make_shared<AudioDecoderImpl>(m_layer, m_mainThread);
        m_mainThreadDecoder = decoder;
        try {
            decoder->open(path, expectedFrames);
        } catch (const AudioDecoderException&) {
            m_mainThreadDecoder.reset();
            m_mainThreadOk = false;
            throw; // carried back to the waiting worker
        } catch (const std::exception&) {
            m_mainThreadDecoder.reset();
            m_mainThreadOk = false;
        }
    });
    // A call dropped because the main window is closing leaves no decoder behind.
    if (!m_mainThreadOk || !m_mainThreadDecoder) {
        m_mainThreadDecoder.reset();
        throw MediaErrorException(-1, "ErrorOnMainThread");
    }
    m_framesRead = 0;
    m_totalFrames = m_mainThreadDecoder->totalFrames();
}

bool AudioDecoderImpl::readOnMainThread(float* left, float* right, uint32_t maxFrames,
                                        uint32_t* framesOut) {
    bool ran = false;
    *framesOut = 0;
    m_mainThread.callAndWait([this, left, right, maxFrames, framesOut, &ran] {
        ran = true;
        try {
            m_mainThreadResult = m_mainThreadDecoder->read(left, right, maxFrames, framesOut);
        } catch (...) {
            // Stays on the main thread; the worker reports it as a failure there.
            m_mainThreadDecoder.reset();
            m_mainThreadOk = false;
        }
    });
    if (!ran) {
        m_mainThreadDecoder.reset();
        m_mainThreadOk = false;
    }
    if (!m_mainThreadOk) {
        throw MediaErrorException(-1, "ErrorOnMainThread");
    }
    return m_mainThreadResult;
}

bool AudioDecoderImpl::read(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut) {
    bool result;
    if (m_mainThreadDecoder) {
        result = readOnMainThread(left, right, maxFrames, framesOut);
    } else {
        if (!m_extraction || !m_bufferList) {
            throw AudioDecoderException("read without an open file");
        }
        m_bufferList->buffers[0].byteSize = maxFrames * 4;
        m_bufferList->buffers[0].data = left;
        m_bufferList->buffers[1].byteSize = maxFrames * 4;
        m_bufferList->buffers[1].data = right;
        uint32_t flags = 0;
        *framesOut = maxFrames;
        int32_t rc = m_layer->movieAudioExtractionFillBuffer(m_extraction, framesOut,
                                                             m_bufferList.get(), &flags);
        const bool firstFill = m_firstFillPending;
        m_firstFillPending = false;
        if (rc == MediaLayer::kErrNotThreadSafe && firstFill && !m_mainThread.isMainThread()) {
            const int64_t expected = m_totalFrames;
            openOnMainThread(expected);
            result = readOnMainThread(left, right, maxFrames, framesOut);
        } else if (rc != 0) {
            throw MediaErrorException(rc, "movieAudioExtractionFillBuffer");
        } else {
            result = (flags & MediaLayer::kExtractionComplete) == 0;
        }
    }
    m_framesRead += *framesOut;
    return result;
}

void AudioDecoderImpl::close() {
    if (m_mainThreadDecoder) {
        auto decoder = m_mainThreadDecoder;
        m_mainThread.callAndWait([decoder] { decoder->close(); });
        m_mainThreadDecoder.reset();
    }
    if (m_extraction) {
        m_layer->movieAudioExtractionEnd(m_extraction);
        m_extraction = nullptr;
    }
    if (m_movie) {
        m_layer->disposeMovie(m_movie);
        m_movie = nullptr;
    }
    m_bufferList.reset();
}

std::shared_ptr<AudioDecoder> createAudioDecoder(const std::string& path, int64_t expectedFrames,
                                                 bool useGStreamer) {
    AudioDecoder::checkFile(path);
    if (useGStreamer) {
        auto decoder = std::make_shared<GStreamerDecoder>();
        try {
            decoder->open(path, expectedFrames);
            return decoder;
        } catch (const AudioDecoder::AudioDecoderException&) {
            writeLog("Using default decoder for path %s\n", path.c_str());
        } catch (const std::exception& e) {
            writeLog("Using default decoder for path %s - %s >>%s<<\n", path.c_str(),
                     exceptionTypeName(e).c_str(), e.what());
        } catch (...) {
            writeLog("Using default decoder for path %s (unknown exception)\n", path.c_str());
        }
    }
    auto decoder = std::make_shared<AudioDecoderImpl>();
    decoder->open(path, expectedFrames);
    return decoder;
}

} // namespace sonorix

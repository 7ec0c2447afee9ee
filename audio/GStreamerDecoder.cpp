#include "audio/GStreamerDecoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <chrono>
#include <cstring>
#include <mutex>

namespace sonorix {

namespace {

bool initGStreamer() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = gst_init_check(nullptr, nullptr, nullptr); });
    return ok;
}

} // namespace

void GStreamerDecoder::linkDecodedPad(GstElement*, GstPad* pad, void* data) {
    auto* links = static_cast<Links*>(data);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) {
        caps = gst_pad_query_caps(pad, nullptr);
    }
    const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    if (g_str_has_prefix(name, "audio/")) {
        GstPad* sinkPad = gst_element_get_static_pad(links->convert, "sink");
        if (!gst_pad_is_linked(sinkPad) && gst_pad_link(pad, sinkPad) == GST_PAD_LINK_OK) {
            links->audioLinked = true;
        }
        gst_object_unref(sinkPad);
    }
    gst_caps_unref(caps);
}

void GStreamerDecoder::noMorePads(GstElement*, void* data) {
    static_cast<Links*>(data)->noMorePads = true;
}

GStreamerDecoder::GStreamerDecoder() = default;

GStreamerDecoder::~GStreamerDecoder() {
    close();
}

void GStreamerDecoder::open(const std::string& path, int64_t expectedFrames) {
    close();
    m_stopping = false;
    m_endOfStream = m_failed = m_pipelineDone = false;
    m_totalFrames = expectedFrames;
    m_framesRead = 0;
    if (!initGStreamer()) {
        throw AudioDecoderException("GStreamer cannot be initialised");
    }
    checkFile(path);
    GstElement* pipeline = gst_pipeline_new("decoder");
    GstElement* source = gst_element_factory_make("filesrc", nullptr);
    GstElement* decode = gst_element_factory_make("decodebin", nullptr);
    GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
    GstElement* resample = gst_element_factory_make("audioresample", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    m_pipeline = pipeline;
    GstElement* parts[] = {source, decode, convert, resample, sink};
    bool built = pipeline != nullptr;
    for (GstElement* e : parts) {
        if (!e) {
            built = false;
        } else if (pipeline) {
            gst_bin_add(GST_BIN(pipeline), e);
        } else {
            gst_object_unref(e);
        }
    }
    if (!built) {
        close();
        throw AudioDecoderException("GStreamer elements missing");
    }
    g_object_set(source, "location", path.c_str(), nullptr);
    GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout",
                                        G_TYPE_STRING, "interleaved", "channels", G_TYPE_INT, 2,
                                        "rate", G_TYPE_INT, 44100, nullptr);
    g_object_set(sink, "caps", caps, "sync", FALSE, nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* s, gpointer self) {
        return static_cast<GstFlowReturn>(onNewSample(s, self));
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    m_links.convert = convert;
    m_links.audioLinked = false;
    m_links.noMorePads = false;
    g_signal_connect(decode, "pad-added", G_CALLBACK(linkDecodedPad), &m_links);
    g_signal_connect(decode, "no-more-pads", G_CALLBACK(noMorePads), &m_links);
    if (!gst_element_link(source, decode) ||
        !gst_element_link_many(convert, resample, sink, nullptr)) {
        close();
        throw AudioDecoderException("GStreamer pipeline cannot be linked");
    }
    m_bus = gst_element_get_bus(pipeline);
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        close();
        throw AudioDecoderException("GStreamer pipeline cannot start");
    }
    // Wait until the pipeline runs (or has already finished) so that a file it cannot decode
    // fails here, where the caller can still fall back to the other decoder. A file without
    // audio never prerolls, so the decodebin's last pad ends the wait too. Some demuxer
    // failures (an encrypted MP4 track after an earlier pipeline in the process) reach no bus;
    // the time limit covers those.
    bool prerolled = false;
    for (int waited = 0; waited < kPrerollLimitMs && !prerolled && !m_pipelineDone; waited += 20) {
        if (m_links.noMorePads && !m_links.audioLinked) {
            break;
        }
        GstMessage* msg = gst_bus_timed_pop_filtered(
            m_bus, 20 * GST_MSECOND,
            static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS |
                                        GST_MESSAGE_ASYNC_DONE));
        if (!msg) {
            continue;
        }
        switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR:
            m_failed = true;
            m_pipelineDone = true;
            break;
        case GST_MESSAGE_EOS:
            m_pipelineDone = true;
            break;
        default:
            prerolled = GST_MESSAGE_SRC(msg) == GST_OBJECT(pipeline);
            break;
        }
        gst_message_unref(msg);
    }
    if ((m_links.noMorePads && !m_links.audioLinked) || m_failed ||
        (!prerolled && !m_pipelineDone)) {
        close();
        throw AudioDecoderException("GStreamer pipeline cannot decode the file");
    }
}

int GStreamerDecoder::onNewSample(GstAppSink* sink, void* self) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) {
        return GST_FLOW_EOS;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    int result = GST_FLOW_OK;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        result = static_cast<GStreamerDecoder*>(self)->bufferCallback(
            reinterpret_cast<const int16_t*>(map.data), map.size);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return result;
}

int GStreamerDecoder::bufferCallback(const int16_t* samples, size_t bytes) {
    auto chunk = std::make_shared<Chunk>();
    chunk->frames = static_cast<uint32_t>(bytes / 4);
    chunk->left.resize(chunk->frames);
    chunk->right.resize(chunk->frames);
    for (uint32_t i = 0; i < chunk->frames; ++i) {
        chunk->left[i] = samples[2 * i] * 0.000030517578125f;
        chunk->right[i] = samples[2 * i + 1] * 0.000030517578125f;
    }
    std::unique_lock lock(m_mutex);
    m_chunkTaken.wait(lock, [&] { return m_stopping || m_queuedFrames < kMaxQueuedFrames; });
    if (m_stopping) {
        return GST_FLOW_FLUSHING;
    }
    m_queuedFrames += chunk->frames;
    m_queue.push_back(std::move(chunk));
    m_chunkArrived.notify_one();
    return GST_FLOW_OK;
}

bool GStreamerDecoder::pipelineCompleted() {
    if (m_pipelineDone) {
        return true;
    }
    if (!m_bus) {
        return true;
    }
    GstMessage* msg = gst_bus_pop_filtered(
        m_bus, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (!msg) {
        return false;
    }
    // A pipeline that fails midway has finished too; waiting for its end would hang.
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        m_failed = true;
    }
    gst_message_unref(msg);
    m_pipelineDone = true;
    return true;
}

std::shared_ptr<GStreamerDecoder::Chunk> GStreamerDecoder::nextChunk() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        while (!m_queue.empty() && m_queue.front()->position >= m_queue.front()->frames) {
            m_queue.pop_front();
        }
        if (!m_queue.empty()) {
            return m_queue.front();
        }
        if (!m_endOfStream && pipelineCompleted()) {
            m_endOfStream = true;
        }
        if (m_endOfStream) {
            return nullptr;
        }
        // Wait for the streaming thread in steps, looking at the pipeline after each.
        while (m_queue.empty()) {
            if (m_chunkArrived.wait_for(lock, std::chrono::milliseconds(100)) ==
                    std::cv_status::timeout &&
                m_queue.empty() && pipelineCompleted()) {
                // The last chunks arrive before the end is reported.
                m_endOfStream = true;
                if (m_queue.empty()) {
                    return nullptr;
                }
            }
        }
    }
}

bool GStreamerDecoder::read(float* left, float* right, uint32_t maxFrames, uint32_t* framesOut) {
    if (!m_pipeline) {
        throw AudioDecoderException("read without an open file");
    }
    uint32_t collected = 0;
    while (collected < maxFrames) {
        std::shared_ptr<Chunk> chunk = nextChunk();
        if (!chunk) {
            m_framesRead += collected;
            *framesOut = collected;
            if (m_failed) {
                throw AudioDecoderException("GStreamer pipeline failed while decoding");
            }
            return false;
        }
        uint32_t n = std::min(chunk->frames - chunk->position, maxFrames - collected);
        std::memcpy(left + collected, chunk->left.data() + chunk->position, n * sizeof(float));
        std::memcpy(right + collected, chunk->right.data() + chunk->position, n * sizeof(float));
        {
            std::lock_guard lock(m_mutex);
            chunk->position += n;
            m_queuedFrames -= n;
        }
        m_chunkTaken.notify_one();
        collected += n;
    }
    m_framesRead += maxFrames;
    *framesOut = maxFrames;
    return true;
}

void GStreamerDecoder::close() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_chunkTaken.notify_all();
    if (m_pipeline) {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
    }
    if (m_bus) {
        gst_object_unref(m_bus);
        m_bus = nullptr;
    }
    std::lock_guard lock(m_mutex);
    m_queue.clear();
    m_queuedFrames = 0;
}

} // namespace sonorix

// Decoding and measuring real files made with ffmpeg: agreement with mp3gain, every container
// and rate, mono handling, and damaged or unsuitable input.
#include "AudioFiles.h"
#include "audio/AudioDecoder.h"
#include "audio/GStreamerDecoder.h"
#include "audio/GainAnalysis.h"
#include "audio/TrackAnalysis.h"
#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

using namespace sonorix;
using namespace sonorix::test;

namespace {

constexpr const char* kMp3 = "-ar 44100 -ac 2 -c:a libmp3lame -b:a 192k";

struct Mp3gainResult {
    double gain = NAN;
    double peak = NAN;
};

// mp3gain's track figures, leaving the file's tags alone.
Mp3gainResult runMp3gain(const std::string& path) {
    CommandResult r = runCommand({"mp3gain", "-s", "s", "-o", "-q", path});
    Mp3gainResult out;
    std::istringstream in(r.out);
    std::string line;
    std::getline(in, line); // header
    if (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string file, mp3Gain, dbGain, peak;
        std::getline(fields, file, '\t');
        std::getline(fields, mp3Gain, '\t');
        std::getline(fields, dbGain, '\t');
        std::getline(fields, peak, '\t');
        out.gain = std::atof(dbGain.c_str());
        out.peak = std::atof(peak.c_str());
    }
    return out;
}

class UntrimmedDecoding {
public:
    UntrimmedDecoding() { FFmpegMediaLayer::setTrimming(false); }
    ~UntrimmedDecoding() { FFmpegMediaLayer::setTrimming(true); }
};

// Reads a whole file through a decoder; returns frames delivered.
int64_t readAll(AudioDecoder& d, float* peak = nullptr) {
    std::vector<float> l(65536), r(65536);
    float p = 0;
    uint32_t got = 0;
    bool more = true;
    while (more) {
        more = d.read(l.data(), r.data(), 65536, &got);
        scaleAndPeak(l.data(), r.data(), got, p);
    }
    if (peak) {
        *peak = p;
    }
    return d.framesRead();
}

} // namespace

TEST(Decoding, AgreesWithMp3gainOnUntrimmedMp3s) {
    if (!haveProgram("mp3gain")) {
        GTEST_SKIP() << "mp3gain is not installed";
    }
    struct Case {
        const char* name;
        const char* source;
    };
    const Case cases[] = {
        {"dynamic-noise.mp3",
         "anoisesrc=d=6:c=pink:a=0.5,volume='if(lt(mod(t\\,2)\\,1)\\,1\\,0.05)':eval=frame"},
        {"tones.mp3", "aevalsrc=0.5*sin(2*PI*440*t)|0.3*sin(2*PI*1000*t):d=4"},
        {"sweep.mp3", "aevalsrc=0.4*sin(2*PI*(40*t+1000*t*t)):d=5"},
        {"near-silence.mp3", "aevalsrc=0.00005*sin(2*PI*300*t):d=4"},
        {"clipping.mp3", "aevalsrc=clip(4*sin(2*PI*220*t)\\,-1\\,1):d=4"},
        {"very-short.mp3", "anoisesrc=d=0.25:c=white:a=0.3"},
    };
    UntrimmedDecoding untrimmed;
    double largest = 0;
    for (const Case& c : cases) {
        std::string path = generatedAudio(c.name, c.source, kMp3);
        ASSERT_FALSE(path.empty()) << c.name;
        Mp3gainResult expected = runMp3gain(path);
        ASSERT_FALSE(std::isnan(expected.gain)) << c.name;
        TrackAnalysis ours = analyzeFile(path);
        ASSERT_EQ(ours.error, AnalysisError::None) << c.name;
        double diff = std::fabs(ours.gain - expected.gain);
        largest = std::max(largest, diff);
        EXPECT_LE(diff, 0.01 + 1e-4)
            << c.name << ": ours " << ours.gain << ", mp3gain " << expected.gain;
        EXPECT_NEAR(ours.peak, expected.peak, expected.peak * 0.01 + 1) << c.name;
    }
    RecordProperty("largest_difference_db", std::to_string(largest));
    std::printf("largest difference from mp3gain: %.4f dB\n", largest);
}

TEST(Decoding, EveryContainerAndRateGivesTheSameToneAndLength) {
    // A 1 kHz tone at -18 dBFS, three seconds long: every format must measure about the same
    // and deliver 132300 frames at 44100 Hz, give or take one 1024-frame block.
    const std::string tone = "aevalsrc=0.125*sin(2*PI*1000*t)|0.125*sin(2*PI*1000*t):d=3";
    const std::string monoTone = "aevalsrc=0.125*sin(2*PI*1000*t):d=3";
    struct Case {
        const char* name;
        std::string source;
        std::string options;
        bool lossy;
    };
    const Case cases[] = {
        {"tone.wav", tone, "-c:a pcm_s16le", false},
        {"tone.mp3", tone, kMp3, true},
        {"tone-48k.mp3", tone, "-ar 48000 -c:a libmp3lame", true},
        {"tone-22k.mp3", tone, "-ar 22050 -c:a libmp3lame", true},
        {"tone-aac.m4a", tone, "-c:a aac -b:a 160k", true},
        {"tone-alac.m4a", tone, "-c:a alac", false},
        {"tone.aiff", tone, "-c:a pcm_s16be", false},
        {"tone-96k.flac", tone, "-ar 96000 -c:a flac", false},
        {"tone-8k.wav", tone, "-ar 8000 -c:a pcm_s16le", false},
        {"tone.ogg", tone, "-c:a libvorbis", true},
        {"tone-mono.mp3", monoTone, "-ac 1 -c:a libmp3lame", true},
        {"tone-mono.wav", monoTone, "-ac 1 -c:a pcm_s16le", false},
    };
    TrackAnalysis reference;
    for (const Case& c : cases) {
        std::string path = generatedAudio(c.name, c.source, c.options);
        ASSERT_FALSE(path.empty()) << c.name;
        TrackAnalysis r = analyzeFile(path);
        ASSERT_EQ(r.error, AnalysisError::None) << c.name;
        if (&c == cases) {
            reference = r;
        }
        // Lossy encoders change the level a little (LAME about 0.45 dB for this tone).
        EXPECT_NEAR(r.gain, reference.gain, c.lossy ? 0.6 : 0.05) << c.name;
        EXPECT_NEAR(r.peak, 4096.0f, 4096.0f * (c.lossy ? 0.1f : 0.03f)) << c.name; // 0.125 × 32768
        EXPECT_LE(std::llabs(r.frames - 132300), 1024) << c.name << " " << r.frames;

        auto decoder = createAudioDecoder(path, 0);
        EXPECT_LE(std::llabs(decoder->totalFrames() - 132300), 1024) << c.name;
    }
}

TEST(Decoding, MonoPlaysAtUnityOnBothChannels) {
    // The same signal as mono and as two identical channels must measure identically.
    std::string mono = generatedAudio("pink-mono.wav", "anoisesrc=d=3:c=pink:a=0.4:seed=3",
                                      "-ac 1 -c:a pcm_s16le");
    std::string dual = generatedAudio("pink-dual.wav", "anoisesrc=d=3:c=pink:a=0.4:seed=3",
                                      "-af pan=stereo|c0=c0|c1=c0 -c:a pcm_s16le");
    TrackAnalysis a = analyzeFile(mono), b = analyzeFile(dual);
    ASSERT_EQ(a.error, AnalysisError::None);
    ASSERT_EQ(b.error, AnalysisError::None);
    EXPECT_EQ(a.gain, b.gain);
    EXPECT_EQ(a.peak, b.peak);
    // The GStreamer decoder delivers mono the same way.
    EXPECT_EQ(analyzeFile(mono, true).gain, a.gain);

    auto decoder = createAudioDecoder(mono, 0);
    std::vector<float> l(4096), r(4096);
    uint32_t got = 0;
    decoder->read(l.data(), r.data(), 4096, &got);
    ASSERT_EQ(got, 4096u);
    EXPECT_EQ(l, r);
}

// Frames that need no conversion are copied straight out of the decoder's frames and may be
// split across reads; the samples must not depend on how they are read.
TEST(Decoding, ReadSizesDoNotChangeTheSamples) {
    struct Case {
        const char* name;
        const char* options;
    } cases[] = {{"split.mp3", kMp3},
                 {"split-mono.m4a", "-ar 44100 -ac 1 -c:a aac"},
                 {"split-48k.mp3", "-ar 48000 -ac 2 -c:a libmp3lame"}};
    for (const Case& c : cases) {
        std::string path = generatedAudio(c.name, "anoisesrc=d=2:c=pink:a=0.3:seed=5", c.options);
        auto readWith = [&](uint32_t (*size)(int)) {
            auto d = createAudioDecoder(path, 0);
            std::vector<float> l(65536), r(65536), all;
            uint32_t got = 0;
            bool more = true;
            for (int call = 0; more; ++call) {
                more = d->read(l.data(), r.data(), size(call), &got);
                for (uint32_t i = 0; i < got; ++i) {
                    all.push_back(l[i]);
                    all.push_back(r[i]);
                }
            }
            return all;
        };
        std::vector<float> whole = readWith([](int) { return 65536u; });
        std::vector<float> pieces = readWith([](int call) { return 1u + call * 397u % 3001u; });
        ASSERT_GT(whole.size(), 2u * 80000u) << c.name;
        EXPECT_TRUE(whole == pieces) << c.name;
        if (std::string(c.name).find("mono") != std::string::npos) {
            for (size_t i = 0; i < whole.size(); i += 2) {
                ASSERT_EQ(whole[i], whole[i + 1]) << c.name << " frame " << i / 2;
            }
        }
    }
}

TEST(Decoding, SurroundIsDownmixedToStereo) {
    std::string path =
        generatedAudio("surround.flac",
                       "aevalsrc=0.2*sin(2*PI*500*t)|0.2*sin(2*PI*600*t)|0.2*sin(2*PI*700*t)|0|"
                       "0.1*sin(2*PI*800*t)|0.1*sin(2*PI*900*t):d=2:c=5.1",
                       "-c:a flac");
    TrackAnalysis r = analyzeFile(path);
    ASSERT_EQ(r.error, AnalysisError::None);
    EXPECT_LE(std::llabs(r.frames - 88200), 1024);
    EXPECT_GT(r.peak, 1000.0f);
    EXPECT_LT(r.gain, 20.0f);
}

TEST(Decoding, UnsuitableInputGivesTheRightError) {
    const std::string dir = generatedFolder();
    std::string mp3 = generatedAudio("whole.mp3", "anoisesrc=d=3:c=pink:a=0.3", kMp3);
    std::string bytes = readFile(mp3);
    std::string truncated = generatedFile("truncated.mp3", bytes.substr(0, bytes.size() / 3));
    std::string zero = generatedFile("zero.mp3", "");
    std::string text = generatedFile("text.mp3", "This is not an MP3 file at all.\n");
    std::string image = generatedAudio("image.png", "color=c=red:s=32x32:d=0.04", "-frames:v 1");
    std::string imageRenamed = generatedFile("image.mp3", readFile(image));
    std::string video =
        generatedAudio("video.mp4", "testsrc=d=1:s=64x64:r=10", "-pix_fmt yuv420p -c:v mpeg4");
    std::string tooShort = generatedAudio("short.wav", "sine=d=0.04", "-c:a pcm_s16le");
    std::string m4a = generatedAudio("store.m4a", "sine=d=1", "-c:a aac");
    std::string drms = readFile(m4a);
    for (size_t at = drms.find("mp4a"); at != std::string::npos; at = drms.find("mp4a", at)) {
        drms.replace(at, 4, "drms");
    }
    std::string protectedFile = generatedFile("store.m4p", drms);

    // Neither may block or read for ever: a FIFO nobody writes, endless devices behind a link.
    std::string fifo = dir + "/fifo.mp3";
    ::mkfifo(fifo.c_str(), 0644);
    std::string endless = dir + "/dev-zero.mp3";
    ::symlink("/dev/zero", endless.c_str());
    std::string random = dir + "/random.m4a";
    ::symlink("/dev/urandom", random.c_str());

    struct Case {
        std::string path;
        AnalysisError error;
    };
    const Case cases[] = {
        {dir + "/missing.mp3", AnalysisError::FileNotFound},
        {"", AnalysisError::FileNotFound},
        {zero, AnalysisError::DecodeError},
        {text, AnalysisError::DecodeError},
        {image, AnalysisError::DecodeError},
        {imageRenamed, AnalysisError::DecodeError},
        {video, AnalysisError::DecodeError},
        {dir, AnalysisError::NotRegularFile},
        {fifo, AnalysisError::NotRegularFile},
        {endless, AnalysisError::NotRegularFile},
        {random, AnalysisError::NotRegularFile},
        {tooShort, AnalysisError::TooShort},
        {protectedFile, AnalysisError::Protected},
        {truncated, AnalysisError::None},
    };
    // Each decoder refuses them on its own too.
    for (const std::string& path : {fifo, endless, random}) {
        EXPECT_THROW(AudioDecoderImpl().open(path, 0), AudioDecoder::MediaErrorException) << path;
        EXPECT_THROW(GStreamerDecoder().open(path, 0), AudioDecoder::NotRegularFileException)
            << path;
    }
    for (const Case& c : cases) {
        TrackAnalysis r = analyzeFile(c.path);
        EXPECT_EQ(r.error, c.error) << c.path;
        // An encrypted MP4 track can keep a GStreamer pipeline waiting for its time limit;
        // the FFmpeg decoder is the one that recognises it.
        if (c.error != AnalysisError::Protected) {
            EXPECT_EQ(analyzeFile(c.path, true).error, c.error) << "GStreamer first: " << c.path;
        }
    }
    // The truncated file keeps what it has: about a third of three seconds.
    TrackAnalysis partial = analyzeFile(truncated);
    EXPECT_GT(partial.frames, 30000);
    EXPECT_LT(partial.frames, 70000);

    // The decoder's own exceptions.
    EXPECT_THROW(createAudioDecoder("", 0), AudioDecoder::NoFileException);
    EXPECT_THROW(createAudioDecoder(protectedFile, 0), AudioDecoder::ProtectedException);
    try {
        createAudioDecoder(video, 0);
        FAIL();
    } catch (const AudioDecoder::MediaErrorException& e) {
        EXPECT_EQ(e.code(), FFmpegMediaLayer::kErrNoAudioStream);
        EXPECT_STREQ(e.what(), "initMovie");
    }
}

TEST(Decoding, GStreamerDecoderAgreesAndFallsBackWithALogLine) {
    std::string path = generatedAudio("gst.flac", "anoisesrc=d=3:c=pink:a=0.3:seed=5:r=44100",
                                      "-sample_fmt s16 -c:a flac");
    GStreamerDecoder g;
    g.open(path, 132300);
    EXPECT_EQ(g.totalFrames(), 132300);
    float gstPeak = 0, ffPeak = 0;
    EXPECT_LE(std::llabs(readAll(g, &gstPeak) - 132300), 1024);
    g.close();
    g.close();
    auto ff = createAudioDecoder(path, 0);
    readAll(*ff, &ffPeak);
    // 16-bit delivery: the peaks agree to one step of the 16-bit scale.
    EXPECT_NEAR(gstPeak, ffPeak, 1.01);
    EXPECT_NEAR(analyzeFile(path, true).gain, analyzeFile(path).gain, 0.02);

    // Reading slower than the pipeline decodes: the queue is bounded, nothing is lost.
    std::string longer = generatedAudio("gst-long.wav", "anoisesrc=d=20:a=0.2", "-c:a pcm_s16le");
    GStreamerDecoder slow;
    slow.open(longer, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(std::llabs(readAll(slow) - 20 * 44100), 1024);

    TempDir logDir;
    ASSERT_TRUE(openLog(logDir.file("Sonorix.log")));
    std::string text = generatedFile("not-audio.mp3", "plain text\n");
    EXPECT_THROW(createAudioDecoder(text, 0, true), AudioDecoder::MediaErrorException);
    auto fallback = createAudioDecoder(path, 0, false);
    EXPECT_TRUE(dynamic_cast<AudioDecoderImpl*>(fallback.get()));
    closeLog();
    std::string log = readFile(logDir.file("Sonorix.log"));
    EXPECT_NE(log.find("] Using default decoder for path " + text + "\n"), std::string::npos)
        << log;
}

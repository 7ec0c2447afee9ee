#include "foundation/Text.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUTF8Transcoder.hpp>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

namespace sonorix {
namespace {

std::mutex g_guardMutex;
int g_guardCount = 0;

// Block size of the transcoder: its internal buffers are sized by it, our calls are not limited.
constexpr XMLSize_t kBlockSize = 16 * 1024;

xercesc::XMLTranscoder& transcoder() {
    // The guard lives for the rest of the process; the transcoder is created after it and
    // destroyed before it (reverse order of static destruction).
    static XercesGuard guard;
    static std::unique_ptr<xercesc::XMLTranscoder> instance = [] {
        xercesc::XMLTransService::Codes code;
        std::unique_ptr<xercesc::XMLTranscoder> t(
            xercesc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(
                xercesc::XMLRecognizer::UTF_8, code, kBlockSize));
        if (!t) {
            throw std::runtime_error("no UTF-8 transcoder");
        }
        return t;
    }();
    return *instance;
}

bool isAscii(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

XercesGuard::XercesGuard() {
    std::lock_guard<std::mutex> lock(g_guardMutex);
    if (g_guardCount++ == 0) {
        xercesc::XMLPlatformUtils::Initialize();
    }
}

XercesGuard::~XercesGuard() {
    std::lock_guard<std::mutex> lock(g_guardMutex);
    if (--g_guardCount == 0) {
        xercesc::XMLPlatformUtils::Terminate();
    }
}

std::u16string toUtf16(std::string_view utf8) {
    std::u16string out;
    if (utf8.empty()) {
        return out;
    }
    // Most library text is ASCII: widen it directly, the transcoder would give the same result.
    if (isAscii(utf8.data(), utf8.size())) {
        out.assign(utf8.begin(), utf8.end());
        return out;
    }
    // UTF-8 never needs more UTF-16 units than it has bytes.
    out.resize(utf8.size());
    std::unique_ptr<unsigned char[]> sizes(new unsigned char[utf8.size()]);
    auto* src = reinterpret_cast<const XMLByte*>(utf8.data());
    XMLSize_t srcLeft = utf8.size();
    XMLSize_t written = 0;
    try {
        while (srcLeft > 0) {
            XMLSize_t eaten = 0;
            XMLSize_t n =
                transcoder().transcodeFrom(src, srcLeft, reinterpret_cast<XMLCh*>(&out[written]),
                                           out.size() - written, eaten, sizes.get());
            if (eaten == 0) {
                // An incomplete sequence at the end of the input.
                throw TextConversionError("truncated UTF-8 sequence");
            }
            written += n;
            src += eaten;
            srcLeft -= eaten;
        }
    } catch (const xercesc::XMLException&) {
        throw TextConversionError("invalid UTF-8 sequence");
    }
    out.resize(written);
    return out;
}

std::string toUtf8(std::u16string_view utf16) {
    std::string out;
    if (utf16.empty()) {
        return out;
    }
    bool ascii = true;
    for (char16_t c : utf16) {
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        out.resize(utf16.size());
        for (size_t i = 0; i < utf16.size(); ++i) {
            out[i] = static_cast<char>(utf16[i]);
        }
        return out;
    }
    // The transcoder mangles unpaired surrogates; replace them first, as it would any character
    // it cannot encode.
    std::u16string repaired;
    for (size_t i = 0; i < utf16.size(); ++i) {
        char16_t c = utf16[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        if (high || low) {
            repaired.assign(utf16);
            break;
        }
    }
    if (!repaired.empty()) {
        for (size_t i = 0; i < repaired.size(); ++i) {
            char16_t c = repaired[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < repaired.size() &&
                repaired[i + 1] >= 0xDC00 && repaired[i + 1] <= 0xDFFF) {
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                repaired[i] = 0xFFFD;
            }
        }
        utf16 = repaired;
    }
    // At most three bytes per UTF-16 unit (a surrogate pair gives four bytes for two units).
    out.resize(utf16.size() * 3);
    auto* src = reinterpret_cast<const XMLCh*>(utf16.data());
    XMLSize_t srcLeft = utf16.size();
    XMLSize_t written = 0;
    try {
        while (srcLeft > 0) {
            XMLSize_t eaten = 0;
            XMLSize_t n = transcoder().transcodeTo(
                src, srcLeft, reinterpret_cast<XMLByte*>(&out[written]), out.size() - written,
                eaten, xercesc::XMLTranscoder::UnRep_RepChar);
            if (eaten == 0) {
                break;
            }
            written += n;
            src += eaten;
            srcLeft -= eaten;
        }
    } catch (const xercesc::XMLException&) {
        out.resize(written);
        return out;
    }
    out.resize(written);
    return out;
}

std::u16string toLowerCase(std::u16string_view text) {
    std::u16string out(text);
    if (out.empty()) {
        return out;
    }
    transcoder(); // Xerces must be initialised
    xercesc::XMLString::lowerCase(reinterpret_cast<XMLCh*>(out.data()));
    return out;
}

std::string decimalText(double value, int decimals, bool plusSign) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
    }
    const char* format = plusSign ? "%+.*f" : "%.*f";
    int length = std::snprintf(nullptr, 0, format, decimals, value);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, decimals, value);
    text.resize(static_cast<size_t>(length));
    // A small negative value prints as "-0.00", which reads as a change where there is none.
    if (text.find_first_of("123456789") == std::string::npos &&
        (text[0] == '-' || text[0] == '+')) {
        text.erase(0, 1);
    }
    return text;
}

} // namespace sonorix

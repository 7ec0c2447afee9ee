#include "app/UrlDownload.h"

#include "foundation/Log.h"
#include "foundation/Threads.h"

#include <curl/curl.h>

#include <cctype>
#include <mutex>

namespace sonorix {
namespace {

struct Transfer {
    std::string body;
    size_t maxBytes = 0;
    bool tooLarge = false;
    const std::atomic<bool>* cancelled = nullptr;
};

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t length = size * count;
    if (transfer->body.size() + length > transfer->maxBytes) {
        transfer->tooLarge = true;
        return 0; // ends the transfer with a write error
    }
    transfer->body.append(data, length);
    return length;
}

int progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(context);
    return transfer->cancelled && transfer->cancelled->load() ? 1 : 0;
}

// curl_global_init is not safe against other threads using libcurl; every transfer goes through
// here, so once before the first is enough.
void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Names under the reserved top-level domain "invalid" never resolve; they are answered here at
// once, as name-resolution code should, instead of asking a name server that may take its time.
bool hasInvalidHost(const std::string& url) {
    std::unique_ptr<CURLU, void (*)(CURLU*)> parts(curl_url(), curl_url_cleanup);
    if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return false; // the transfer reports the malformed address
    }
    char* host = nullptr;
    if (curl_url_get(parts.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) {
        return false;
    }
    std::string name(host);
    curl_free(host);
    for (auto& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    return name == "invalid" || (name.size() > 8 && name.ends_with(".invalid"));
}

} // namespace

std::string UrlDownload::userAgent() {
    return std::string("Sonorix/") + SONORIX_VERSION;
}

UrlDownloadResult UrlDownload::fetch(const std::string& url, const UrlDownloadLimits& limits,
                                     const std::atomic<bool>* cancelled) {
    initCurl();
    UrlDownloadResult result;
    if (hasInvalidHost(url)) {
        result.error = "the host name is under .invalid and does not exist";
        return result;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        result.error = "curl_easy_init failed";
        return result;
    }
    Transfer transfer;
    transfer.maxBytes = limits.maxBytes;
    transfer.cancelled = cancelled;
    char errorText[CURL_ERROR_SIZE] = {};
    const std::string agent = userAgent();
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, limits.maxRedirects);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str());
    // A cached answer could hide a release published a minute ago.
    struct curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    // Signals for the resolver's time-out are not safe in a program with threads.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode code = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.statusCode);
    if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = "more than " + std::to_string(limits.maxBytes) + " bytes";
    } else if (code != CURLE_OK) {
        result.error = errorText[0] ? errorText : curl_easy_strerror(code);
    } else if (result.statusCode < 200 || result.statusCode > 299) {
        result.error = "HTTP status " + std::to_string(result.statusCode);
    } else {
        result.success = true;
        result.body = std::move(transfer.body);
    }
    return result;
}

std::shared_ptr<UrlDownload>
UrlDownload::start(const std::string& url, const UrlDownloadLimits& limits, Completion completion) {
    std::shared_ptr<UrlDownload> download(new UrlDownload());
    callOnNewThread([download, url, limits, completion = std::move(completion)] {
        UrlDownloadResult result;
        try {
            result = fetch(url, limits, &download->m_cancelled);
        } catch (const std::exception& e) {
            logUncaughtException(e, "_privateGetFile");
            result = {};
            result.error = e.what();
        }
        if (download->isCancelled()) {
            return;
        }
        callOnMainThread(
            [download, result, completion] {
                if (download->isCancelled()) {
                    return;
                }
                try {
                    completion(result);
                } catch (const std::exception& e) {
                    logUncaughtException(e, "_finishedCallbackOnMainThread");
                }
            },
            false);
    });
    return download;
}

void UrlDownload::cancel() {
    m_cancelled = true;
}

} // namespace sonorix

#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace sonorix {

// The bounds of one download. The time-outs are settable so that tests need not wait for them.
struct UrlDownloadLimits {
    long connectTimeoutMs = 15000;
    long totalTimeoutMs = 30000;
    size_t maxBytes = 1024 * 1024;
    long maxRedirects = 5;
};

struct UrlDownloadResult {
    bool success = false;
    long statusCode = 0; // the last response's HTTP status, 0 without one
    std::string body;    // only on success
    std::string error;   // why it failed, for the log
};

// One HTTP(S) download through libcurl, with certificates verified, redirects followed within
// the limit, our user agent, and only http and https allowed (also for redirects), so a setting
// cannot make us read local files. A transfer succeeds only with a 2xx answer that fits the size
// limit.
class UrlDownload : public std::enable_shared_from_this<UrlDownload> {
public:
    using Completion = std::function<void(const UrlDownloadResult&)>;

    // Runs the transfer on a new thread and calls completion on the main thread, unless the
    // download was cancelled by then.
    static std::shared_ptr<UrlDownload>
    start(const std::string& url, const UrlDownloadLimits& limits, Completion completion);
    // The same transfer on the calling thread.
    static UrlDownloadResult fetch(const std::string& url, const UrlDownloadLimits& limits,
                                   const std::atomic<bool>* cancelled = nullptr);

    // Aborts a running transfer soon and drops its completion. Main thread.
    void cancel();
    bool isCancelled() const { return m_cancelled.load(); }

    static std::string userAgent();

private:
    UrlDownload() = default;

    std::atomic<bool> m_cancelled{false};
};

} // namespace sonorix

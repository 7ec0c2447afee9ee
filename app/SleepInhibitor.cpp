#include "app/SleepInhibitor.h"

#include "foundation/Log.h"
#include "foundation/Threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <string>
#include <unistd.h>

namespace sonorix {
namespace {

// Each bus call, and the whole attempt including connecting, is given up after these.
constexpr int kCallTimeoutMs = 2000;
constexpr int kAttemptTimeoutMs = 3000;

std::atomic<bool> g_failureLogged{false};

void logFailureOnce(const std::string& why) {
    if (!g_failureLogged.exchange(true)) {
        writeLog("Cannot keep the computer awake (no sleep inhibitor): %s", why.c_str());
    }
}

std::string takeMessage(GError* error) {
    std::string text = error && error->message ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

// A private connection: the shared one of g_bus_get would outlive a change of the bus address,
// and ours is closed as soon as the descriptor is in hand.
GDBusConnection* connectSystemBus(std::string* why) {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!address) {
        *why = takeMessage(error);
        return nullptr;
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!connection) {
        *why = std::string("system bus at ") + address + ": " + takeMessage(error);
    }
    g_free(address);
    return connection;
}

// The inhibitor's descriptor, or -1.
int takeInhibitor(GDBusConnection* connection, std::string* why) {
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "sleep", "Sonorix", "Sonorix is adjusting tracks", "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &fds, nullptr,
        &error);
    if (!reply) {
        *why = "logind: " + takeMessage(error);
        return -1;
    }
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    int fd = -1;
    if (fds) {
        fd = g_unix_fd_list_get(fds, index, &error); // a close-on-exec duplicate
        g_object_unref(fds);
    }
    if (fd < 0) {
        *why = "logind returned no descriptor" + (error ? ": " + takeMessage(error) : "");
    }
    return fd;
}

// One try at the bus, shared between the caller and the thread doing it.
struct Attempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    int fd = -1;
    std::string why;
};

} // namespace

SleepInhibitor::~SleepInhibitor() {
    release();
}

bool SleepInhibitor::inhibit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) {
        return true;
    }
    // GDBus bounds the call by its time-out but not the bus's greeting (Hello waits 25 s), so the
    // bus work runs on a thread of its own and a bus that does not answer in time is left to it.
    auto attempt = std::make_shared<Attempt>();
    callOnNewThread([attempt] {
        std::string why;
        int fd = -1;
        if (GDBusConnection* connection = connectSystemBus(&why)) {
            fd = takeInhibitor(connection, &why);
            // The inhibitor belongs to the descriptor, not to the connection.
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        std::lock_guard<std::mutex> guard(attempt->mutex);
        if (attempt->abandoned) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        attempt->fd = fd;
        attempt->why = why;
        attempt->done = true;
        attempt->finished.notify_all();
    });
    std::unique_lock<std::mutex> guard(attempt->mutex);
    if (!attempt->finished.wait_for(guard, std::chrono::milliseconds(kAttemptTimeoutMs),
                                    [&] { return attempt->done; })) {
        attempt->abandoned = true;
        logFailureOnce("the system bus does not answer");
        return false;
    }
    if (attempt->fd < 0) {
        logFailureOnce(attempt->why);
        return false;
    }
    m_fd = attempt->fd;
    return true;
}

void SleepInhibitor::release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool SleepInhibitor::active() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd >= 0;
}

} // namespace sonorix

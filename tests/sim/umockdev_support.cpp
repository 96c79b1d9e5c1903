#include "tests/sim/umockdev_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace sim {

std::string format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (uint8_t b : bytes) text += format("%02x", b);
    return text;
}

void check(gboolean ok, GError* error, const char* what)
{
    if (ok) return;
    std::string message = std::string(what) + ": " + (error ? error->message : "failed");
    if (error) g_error_free(error);
    throw std::runtime_error(message);
}

UMockdevTestbed* openTestbed(const char* device, std::string* root)
{
    const char* preload = getenv("LD_PRELOAD");
    if (!preload || !strstr(preload, "libumockdev-preload"))
        throw std::runtime_error(std::string(device) + " needs umockdev-wrapper");
    // The preload library serves one testbed at a time: carriers alive
    // together (a boot ROM on HID and a device on the USB bus) share it.
    static std::mutex lock;
    static UMockdevTestbed* shared = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    UMockdevTestbed* testbed = shared;
    if (testbed) {
        g_object_ref(testbed);
    } else {
        testbed = umockdev_testbed_new();
        shared = testbed;
        g_object_add_weak_pointer(G_OBJECT(testbed), reinterpret_cast<gpointer*>(&shared));
    }
    gchar* dir = umockdev_testbed_get_root_dir(testbed);
    *root = dir;
    g_free(dir);
    return testbed;
}

} // namespace sim

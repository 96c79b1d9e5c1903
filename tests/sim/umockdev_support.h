// What the emulated devices on a umockdev testbed share: the testbed itself,
// which only works under umockdev-wrapper, formatted sysfs records, GLib
// error checks, and handler signals passed on to a node's own members.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Lower-case hex digits of the bytes, as sysfs records hold binary attributes.
std::string hex(const std::vector<uint8_t>& bytes);
// Throws "what: <GLib message>" unless ok; frees the error.
void check(gboolean ok, GError* error, const char* what);

// The process's testbed (a new one when none is open; a reference to the
// open one otherwise) and, in *root, its root directory. Throws "<device>
// needs umockdev-wrapper" when the program does not run under it.
UMockdevTestbed* openTestbed(const char* device, std::string* root);

// Connects a handler signal ("handle-read", "handle-write", "handle-ioctl")
// to a member of target, which must outlive the handler.
template <class T, int (T::*Call)(UMockdevIoctlClient*)>
void connectHandler(UMockdevIoctlBase* handler, const char* signal, T* target)
{
    auto forward = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer to) -> gboolean {
        return (static_cast<T*>(to)->*Call)(client);
    };
    g_signal_connect(handler, signal, G_CALLBACK(+forward), target);
}

} // namespace sim

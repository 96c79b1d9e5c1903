#include "platform/Tessaline_libusb.h"

#include <libusb-1.0/libusb.h>
#include <pthread.h>

static libusb_context* _libusbContext = nullptr;
static pthread_mutex_t _libusbContextLock = PTHREAD_MUTEX_INITIALIZER;

libusb_context* Tessaline_libusb_context(void)
{
    pthread_mutex_lock(&_libusbContextLock);
    // A failed init leaves no context: the next use tries again.
    if (!_libusbContext) {
        libusb_context* made = nullptr;
        if (libusb_init(&made) == 0) _libusbContext = made;
    }
    libusb_context* context = _libusbContext;
    pthread_mutex_unlock(&_libusbContextLock);
    return context;
}

libusb_context* Tessaline_libusb_init(void)
{
    return Tessaline_libusb_context();
}

int Tessaline_libusb_exit(void)
{
    pthread_mutex_lock(&_libusbContextLock);
    // Without a context of our own there is nothing to shut down; the
    // library's default context, if another user made one, is not ours.
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = nullptr;
    return pthread_mutex_unlock(&_libusbContextLock);
}

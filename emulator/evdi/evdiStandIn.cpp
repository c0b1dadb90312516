// EVDI stand-in: the libevdi functions the service calls, backed by emulated virtual displays.
// Handles are owned by the stand-in; closing one releases it.
#include "session/evdiApi.h"

#include <mutex>
#include <set>

namespace {
std::mutex g_evdiMutex;  // guards g_open
std::set<evdi_handle> g_open;
}  // namespace

extern "C" {

void evdi_disconnect(evdi_handle handle) {
    (void)handle;
}

void evdi_close(evdi_handle handle) {
    std::lock_guard<std::mutex> lk(g_evdiMutex);
    g_open.erase(handle);
}

}  // extern "C"

// What the fuzz targets share about their harness: made on first use, never destroyed (its
// threads run until the process ends), and, where it has a shutdown(), shut down at exit; private
// directories for targets that write real files; an adapter opened on the
// emulated bus the way the service opens one.
#pragma once

#include <libusb-1.0/libusb.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace fuzzkit {

template <typename T, typename = void>
struct HasShutdown : std::false_type {};
template <typename T>
struct HasShutdown<T, std::void_t<decltype(std::declval<T&>().shutdown())>> : std::true_type {};

// The target's harness, made on the first input. A harness with a shutdown() has it called at
// exit, before the static objects its constructor first used (the bus, the EVDI stand-in, the
// log) are destroyed under its threads: they were made before the exit handler was registered,
// so they are destroyed after it ran.
template <typename H>
H& lazy() {
    static H* const made = [] {
        H* h = new H;
        if constexpr (HasShutdown<H>::value) atexit([] { lazy<H>().shutdown(); });
        return h;
    }();
    return *made;
}

// Makes a private directory under $TMPDIR (default /tmp), removed at exit, and points the
// environment variable at it (the firmware directory). Returns its name.
inline std::string privateDir(const char* prefix, const char* variable) {
    // Never destroyed: the exit handler reads it after the static objects are gone.
    static auto* const made = new std::vector<std::string>;
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(dir.data())) abort();
    setenv(variable, dir.c_str(), 1);
    if (made->empty()) {
        atexit([] {
            for (const std::string& d : *made) {
                // A thread may make a directory inside again between the removal of the
                // contents and that of the directory itself: it is then not empty, so go again.
                std::error_code ec;
                for (int i = 0; i < 100 && std::filesystem::exists(d, ec); ++i)
                    std::filesystem::remove_all(d, ec);
            }
        });
    }
    made->push_back(dir);
    return dir;
}

// The log directory: "d" inside a private directory, and VEL_LOG_DIR points at it. The harness's
// threads run on after the exit handler (they end with the process), and the service log makes
// its directory again when it is missing, but never the one above it: a line logged after the
// handler goes nowhere instead of leaving a fresh directory behind.
inline std::string privateLogDir(const char* prefix) {
    const std::string dir = privateDir(prefix, "VEL_LOG_DIR") + "/d";
    if (mkdir(dir.c_str(), 0700) != 0) abort();
    setenv("VEL_LOG_DIR", dir.c_str(), 1);
    return dir;
}

// The emulated adapters keep every message they were sent (and every refusal) for tests that
// look back at them. No target does, and over millions of inputs that record would grow without
// bound: a target that keeps its adapter clears it at the start of each input.
template <typename Model>
void forgetTraffic(Model& model) {
    model.clearReceived();
}

// Opens the emulated adapter with this product id and claims interface 4 in alternate
// setting 1, as the service does.
inline libusb_device_handle* openAdapter(libusb_context* ctx, uint16_t productId) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idProduct != productId) continue;
        if (libusb_open(list[i], &h) != 0) h = nullptr;
    }
    libusb_free_device_list(list, 1);
    if (!h || libusb_claim_interface(h, 4) != 0 || libusb_set_interface_alt_setting(h, 4, 1) != 0)
        abort();
    return h;
}

}  // namespace fuzzkit

// DevManager: the one process-wide object of the service (owned by g_dev). It owns the libusb
// context and its event thread ("usbHandler"), registers hot-plug callbacks for the adapter
// family, opens and claims arriving adapters, keeps at most two device sessions (keys 0 and 1),
// tears them down on departure and at stop, and provides usb_abort, the service's one fatal exit.
//
// Concurrency: hot-plug callbacks run on the main thread during registration (enumeration), which
// opens the adapters present at start directly. Afterwards they run on "usbHandler" and only
// queue the event for the hot-plug worker ("usbHotplug"), which opens arrivals and cleans up
// departures in the order they happened: a departure's clean-up waits for transfers that only
// the event thread can finish, so it must never run inside a callback. A departed session keeps
// its table key until its clean-up is over, so a quick re-plug cannot reuse its key (nor the
// semaphores named after it). The device table is guarded by devTableMutex; lookups hand out a
// shared reference and release the lock at once, so a caller never holds it across device I/O.
// Clean-up of a session runs without the lock held (it waits for threads that may look up the
// table); it is serialised with the session's plug-in and plug-out calls by the session's
// plugFlowMutex (see session/plugMonitor.cpp).
#pragma once

#include <libusb-1.0/libusb.h>

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VelDev;

#ifndef VEL_VENDOR_ID
#define VEL_VENDOR_ID 0xFFFF
#endif

constexpr int VEL_MAX_DEVICES = 2;
constexpr int VEL_USB_CLASS_MISC = 0xEF;

class DevManager {
public:
    enum PowerMode { SMART = 0, LIGHT = 1 };
    enum MastType { BOARD = 0, HOST = 1 };

    DevManager();
    ~DevManager();
    DevManager(const DevManager&) = delete;
    DevManager& operator=(const DevManager&) = delete;

    int registerUsb();
    void libusbEventHandle();
    static void runEventLoop(libusb_context* ctx, std::shared_ptr<std::atomic<bool>> stop);
    static int LIBUSB_CALL hotplug_callback_attach(libusb_context* ctx, libusb_device* dev,
                                                   libusb_hotplug_event event, void* user);
    static int LIBUSB_CALL hotplug_callback_detach(libusb_context* ctx, libusb_device* dev,
                                                   libusb_hotplug_event event, void* user);
    int device_open_set(libusb_context* ctx, libusb_device* dev);
    int setDevConFlagbyLibusb(libusb_device* dev, bool connected);
    int removeDevbyLibusb(libusb_device* dev);
    int cleanDevice(std::shared_ptr<VelDev> dev);
    // Stops the hot-plug worker (after the event it is carrying out; events still queued are
    // dropped), cleans up every session, then stops the event thread and waits (at most 10 s)
    // for the display classes' detached threads to end, so that nothing but the caller uses
    // g_dev or the control block afterwards. Main thread, at stop. Returns 0.
    int removeAllDevice();
    // Fatal exit: logs, wakes the main thread, sleeps one second and ends the process with 1.
    [[noreturn]] void usb_abort(libusb_device* dev);
    void claim();

    // Session lookup by key (shared reference, or null).
    std::shared_ptr<VelDev> findDev(int key);
    size_t deviceCount();

    // The main thread's wait for the stop: returns when a signal or usb_abort asked for it.
    void waitForExit();
    // Wakes the main thread's wait (signal path and usb_abort).
    void requestExit();

    static std::string shareMemName;

    std::mutex exitMutex;
    std::condition_variable exitCond;
    libusb_hotplug_callback_handle attachHandle = 0, detachHandle = 0;
    libusb_context* context = nullptr;
    std::thread eventThread;
    std::mutex devTableMutex;  // guards devTable
    std::map<int, std::shared_ptr<VelDev>> devTable;
    std::atomic<bool> stopFlag{false};
    // The event thread's copy of the stop flag; shared because that thread outlives us.
    std::shared_ptr<std::atomic<bool>> stopShared = std::make_shared<std::atomic<bool>>(false);
    // Hot-plug events queued by the callbacks on "usbHandler" (see the top of this file).
    struct HotplugEvent {
        bool arrived;
        libusb_device* device;  // referenced while queued
    };
    void queueHotplug(bool arrived, libusb_device* device);
    // True while an arrival of `device` is queued or being opened.
    bool arrivalPending(libusb_device* device);
    // The fatal ends of a failed open and of a departure no session matches (both paths of
    // each event: in the callback at registration, on the worker afterwards).
    [[noreturn]] void openFailed(libusb_device* device);
    void removeDeparted(libusb_device* device);
    void hotplugWorker();
    void stopHotplugWorker();
    // Stops and joins "usbHandler" (no-op once done).
    void stopEventThread();
    // Bounded wait for the display classes' detached threads (logs when they outlive it).
    void waitClassThreads();
    std::mutex hotplugMutex;  // guards hotplugEvents and hotplugStop
    std::condition_variable hotplugCond;
    std::deque<HotplugEvent> hotplugEvents;
    bool hotplugStop = false;
    libusb_device* hotplugOpening = nullptr;  // the arrival the worker is opening
    std::atomic<bool> deferHotplug{false};
    std::thread hotplugThread;
    int shmFd = -1;           // the control block's descriptor (never mapped, see controlBlock.h)
    bool shmMapped = false;   // the block was created whole
    std::map<PowerMode, std::string> powerModeNames;
    std::vector<uint32_t> productIds;
};

extern std::unique_ptr<DevManager> g_dev;

// Set by usb_abort and by the signal handler; the main thread's exit predicate.
extern std::atomic<bool> g_exitRequested;
extern std::atomic<bool> g_abortRequested;
// Raised by the stop signals' handler (a lock-free atomic, so the store is async-signal-safe)
// and read by the main thread's wait; tests raise it from their own threads.
extern std::atomic<sig_atomic_t> g_exitSignal;

// Model and interface for a product ID (0 model for an unknown one).
uint32_t velModelForProduct(uint32_t productId);
int velInterfaceForProduct(uint32_t productId);

#include "devmgr/DevManager.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "devmgr/controlBlock.h"
#include "display/VelDisplay508ClassDriver.h"
#include "display/VelDisplay520ClassDriver.h"
#include "service/debug.h"
#include "service/paths.h"
#include "service/threads.h"
#include "session/VelDev.h"

std::unique_ptr<DevManager> g_dev;
std::string DevManager::shareMemName = "/vel_shm";
std::atomic<bool> g_exitRequested{false};
std::atomic<bool> g_abortRequested{false};
std::atomic<sig_atomic_t> g_exitSignal{0};
static_assert(std::atomic<sig_atomic_t>::is_always_lock_free,
              "the stop signals' handler may only store to a lock-free atomic");

uint32_t velModelForProduct(uint32_t productId) {
    switch (productId) {
    case 0x0520:
    case 0x0522:
    case 0x520A:
        return 0x520;
    case 0x0508:
        return 0x508;
    case 0x0505:
        return 0x505;
    case 0x0500:
        return 0x500;
    default:
        return 0;
    }
}

int velInterfaceForProduct(uint32_t productId) {
    return (productId == 0x0500 || productId == 0x520A) ? 0 : 4;
}

DevManager::DevManager() {
    powerModeNames[SMART] = "smart";
    powerModeNames[LIGHT] = "light";
    productIds = {0x0520, 0x520A, 0x0522, 0x0508, 0x0505, 0x0500};
    shareMemName = vel::shmName();
    if (controlBlockCreate(shareMemName.c_str(), &shmFd) == 0) shmMapped = true;
}

DevManager::~DevManager() {
    // The worker may be cleaning up a departure that still needs the event thread: it ends
    // before the event thread is told to stop.
    stopHotplugWorker();
    stopFlag = true;
    std::map<int, std::shared_ptr<VelDev>> rest;
    {
        std::lock_guard<std::mutex> lk(devTableMutex);
        rest.swap(devTable);
    }
    rest.clear();
    stopEventThread();
    // The display classes' threads read the control block without a lock: it goes only once
    // they have ended (they do once their session is gone).
    waitClassThreads();
    if (shmFd >= 0 || shmMapped) {
        controlBlockDestroy(shareMemName.c_str(), shmFd);
        shmFd = -1;
        shmMapped = false;
    }
}

void DevManager::stopEventThread() {
    *stopShared = true;
    if (!eventThread.joinable()) return;
    // Wake the event loop so it sees the stop flag.
    if (context) libusb_interrupt_event_handler(context);
    eventThread.join();
}

void DevManager::waitClassThreads() {
    if (!velWaitClassThreads(std::chrono::seconds(10)))
        vel_Print("[warning] display-class threads still running after 10 s\n");
}

int DevManager::registerUsb() {
    if (libusb_init(&context) != 0) {
        vel_Print("Init Error\n");
        context = nullptr;
        return -1;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        vel_Print("Hotplug capabilites are not supported on this platform!\n");
        return -1;
    }
    for (uint32_t pid : productIds) {
        int rc = libusb_hotplug_register_callback(
            context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE, VEL_VENDOR_ID,
            static_cast<int>(pid), VEL_USB_CLASS_MISC, hotplug_callback_attach, nullptr, &attachHandle);
        if (rc == LIBUSB_SUCCESS) {
            rc = libusb_hotplug_register_callback(
                context, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE, VEL_VENDOR_ID,
                static_cast<int>(pid), VEL_USB_CLASS_MISC, hotplug_callback_detach, nullptr,
                &detachHandle);
        }
        if (rc != LIBUSB_SUCCESS) {
            vel_Print("Error creating a hotplug callback!\n");
            return -1;
        }
    }
    // From here on callbacks come from the event thread and are carried out by the worker.
    hotplugThread = std::thread(&DevManager::hotplugWorker, this);
    deferHotplug = true;
    eventThread = std::thread(&DevManager::runEventLoop, context, stopShared);
    return 0;
}

void DevManager::queueHotplug(bool arrived, libusb_device* device) {
    {
        std::lock_guard<std::mutex> lk(hotplugMutex);
        if (!hotplugStop) {
            hotplugEvents.push_back({arrived, libusb_ref_device(device)});
            hotplugCond.notify_all();
            return;
        }
    }
    vel_Print("[warning] hot-plug event during stop ignored\n");
}

bool DevManager::arrivalPending(libusb_device* device) {
    std::lock_guard<std::mutex> lk(hotplugMutex);
    if (hotplugOpening == device) return true;
    for (const auto& e : hotplugEvents)
        if (e.arrived && e.device == device) return true;
    return false;
}

void DevManager::hotplugWorker() {
    vel::threadInit("usbHotplug");
    for (;;) {
        HotplugEvent e{};
        {
            std::unique_lock<std::mutex> lk(hotplugMutex);
            hotplugCond.wait(lk, [this] { return hotplugStop || !hotplugEvents.empty(); });
            if (hotplugStop) break;
            e = hotplugEvents.front();
            hotplugEvents.pop_front();
            if (e.arrived) {
                // An adapter that left again before it was opened is not opened at all.
                for (auto it = hotplugEvents.begin(); it != hotplugEvents.end(); ++it) {
                    if (!it->arrived && it->device == e.device) {
                        libusb_unref_device(it->device);
                        hotplugEvents.erase(it);
                        libusb_unref_device(e.device);
                        e.device = nullptr;
                        break;
                    }
                }
            }
            if (e.arrived && e.device) hotplugOpening = e.device;
        }
        if (!e.device) {
            vel_Print("[info] adapter left before it was opened\n");
            continue;
        }
        if (e.arrived) {
            const int rc = device_open_set(context, e.device);
            {
                std::lock_guard<std::mutex> lk(hotplugMutex);
                hotplugOpening = nullptr;
            }
            if (rc != 0) openFailed(e.device);
        } else {
            removeDeparted(e.device);
        }
        libusb_unref_device(e.device);
    }
}

void DevManager::stopHotplugWorker() {
    std::deque<HotplugEvent> dropped;
    {
        std::lock_guard<std::mutex> lk(hotplugMutex);
        hotplugStop = true;
        dropped.swap(hotplugEvents);
    }
    hotplugCond.notify_all();
    if (hotplugThread.joinable()) hotplugThread.join();
    for (const auto& e : dropped) libusb_unref_device(e.device);
}

void DevManager::libusbEventHandle() { runEventLoop(context, stopShared); }

// The event thread works only on its own copies of the context and of the stop flag, never on
// the manager; its hot-plug callbacks reach the manager through g_dev. It is joined at stop
// (removeAllDevice, or the destructor), before g_dev lets go of the manager.
void DevManager::runEventLoop(libusb_context* ctx, std::shared_ptr<std::atomic<bool>> stop) {
    vel::threadInit("usbHandler");
    for (;;) {
        int rc = libusb_handle_events(ctx);
        if (*stop) break;
        if (rc < 0) {
            vel_Printf("[error] Event handling failed: %d\n", rc);
            // A failing event loop must not spin: give the system a moment before retrying.
            vel::sleepMs(10);
        }
    }
    vel_Print("libusbEventHandle thread exit!\n");
}

int DevManager::hotplug_callback_attach(libusb_context* ctx, libusb_device* dev,
                                        libusb_hotplug_event, void*) {
    vel_Print("====>Vel USB Device is attached<====\n");
    if (!g_dev) return 0;
    if (g_dev->deferHotplug) {
        g_dev->queueHotplug(true, dev);
        return 0;
    }
    if (g_dev->device_open_set(ctx, dev) != 0) g_dev->openFailed(dev);
    return 0;
}

int DevManager::hotplug_callback_detach(libusb_context*, libusb_device* dev, libusb_hotplug_event,
                                        void*) {
    vel_Print("====>Vel USB Device is detached<====\n");
    if (!g_dev) return 0;
    // Every thread of the session sees the departure at once; the clean-up follows on the worker.
    const bool known = g_dev->setDevConFlagbyLibusb(dev, false) == 0;
    // A device that is neither a session nor on its way to one is refused below, as before.
    if (g_dev->deferHotplug && (known || g_dev->arrivalPending(dev))) {
        g_dev->queueHotplug(false, dev);
        return 0;
    }
    g_dev->removeDeparted(dev);
    return 0;
}

void DevManager::openFailed(libusb_device* device) {
    vel_Print("Device open failed in hotplug_callback_attach!\n");
    usb_abort(device);
}

void DevManager::removeDeparted(libusb_device* device) {
    if (removeDevbyLibusb(device) == 0) return;
    vel_Print("Device close failed in hotplug_callback_detach!\n");
    usb_abort(device);
}

void DevManager::claim() {
    vel_Print("\n+---------------Vel Driver Information--------------+\n\n");
    vel_Print("Release type:      Velmora Linux USB Display Driver\n\n");
    vel_Print("Driver version:            v2.24.6.0\n\n");
    vel_Print("Support products:       VL50X VL520\n");
    vel_Print("+---------------------------------------------------+\n\n");
}

int DevManager::device_open_set(libusb_context*, libusb_device* device) {
    claim();

    int key = -1;
    std::shared_ptr<VelDev> dev;
    {
        std::lock_guard<std::mutex> lk(devTableMutex);
        for (int k = 0; k < VEL_MAX_DEVICES; ++k) {
            if (devTable.count(k) == 0) {
                key = k;
                break;
            }
            vel_Printf("Key %d already exists in the map.\n", k);
        }
        if (key < 0) {
            vel_Print("Error: too many device or failed to allocate Vel Dev.\n");
            return -1;
        }
        dev = std::make_shared<VelDev>(this);
        // Hot-plug lookups match sessions by usbDevice under this lock: set it before the
        // session becomes visible.
        dev->usbDevice = device;
        devTable[key] = dev;
    }

    dev->devKey = key;
    dev->connected = true;
    dev->pendingTarget = 0;
    for (auto& a : dev->viewActive) a = false;

    struct libusb_device_descriptor desc {};
    if (libusb_get_device_descriptor(device, &desc) != 0) {
        vel_Print("Error getting device descripor\n");
    }
    vel_Printf("Dev[%d] (bus %d, device %d)\n", key, libusb_get_bus_number(device),
               libusb_get_device_address(device));
    vel_Printf("USB run as USB%x\n", desc.bcdUSB);

    dev->productId = desc.idProduct;
    dev->model = velModelForProduct(desc.idProduct);
    dev->vendorId = desc.idVendor;
    vel_Printf("Current Product is VL%x\n", dev->model);

    if (dev->model == 0x520) {
        dev->viewCount = 3;
        dev->m_IDSource2DisplayDeviceMap.clear();
        dev->m_IDDisplayDevice2MonitorMap.clear();
        auto dc = std::make_shared<VelDisplay520Class>(dev.get(), key);
        dc->initValue();
        dev->displayClass = dc;
    } else {
        dev->displayClass = std::make_shared<VelDisplayClass508>(dev.get(), key);
        dev->viewCount = 2;
    }

    struct libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) == 0 && config) {
        dev->interfaceCount = config->bNumInterfaces;
        vel_Printf("nb interfaces: %d\n", dev->interfaceCount);
        libusb_free_config_descriptor(config);
    }
    if (dev->usbHandle) {
        vel_Printf("init dev handle [%d]dev\n", key);
        libusb_close(dev->usbHandle);
        dev->usbHandle = nullptr;
    }

    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0 || !handle) {
        vel_Print("Could not open USB device\n");
        return -1;
    }
    dev->usbHandle = handle;
    int rc = libusb_reset_device(handle);
    if (rc != 0) {
        vel_Printf("Could not reset USB device ret = %d\n", rc);
        return -1;
    }
    dev->interfaceNumber = velInterfaceForProduct(dev->productId);
    if (libusb_claim_interface(handle, dev->interfaceNumber) != 0) {
        vel_Printf("Error: Cannot Claim Interface #%d!\n", dev->interfaceNumber);
        return -1;
    }
    rc = libusb_set_interface_alt_setting(handle, dev->interfaceNumber, 1);
    if (rc != 0) {
        vel_Printf("Error: Cannot set interface #%d alternate setting %d! ret=%d\n",
                   dev->interfaceNumber, 1, rc);
        libusb_release_interface(handle, dev->interfaceNumber);
        libusb_close(handle);
        dev->usbHandle = nullptr;
        return -1;
    }

    dev->openTimeReset();
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        vel_Printf("initialize Vel TOPO view ID %d............\n", v);
        dev->viewTable[v] = {-1, 0};
        dev->frameCounter[v] = 0;
        dev->frameIndex520[v] = 1;
    }

    // Models 0x500 and 0x505 speak the same protocol as 0x508 and use the same endpoints.
    if (dev->model == 0x508 || dev->model == 0x505 || dev->model == 0x500) {
        dev->cmdEndpoint508 = 1;
        dev->imageEndpoint = 2;
    }
    if (dev->model == 0x508) dev->displayClass->monitorControl(1);

    std::shared_ptr<VelDisplayClassBase> dc = dev->displayClass;
    // Each thread lets go of the class before its ticket ends (see ClassThreadTicket).
    std::thread([dc, t = ClassThreadTicket()]() mutable {
        dc->fwStatusThread();
        dc.reset();
    }).detach();
    std::thread([dc, t = ClassThreadTicket()]() mutable {
        dc->initCmds();
        dc.reset();
    }).detach();
    return 0;
}

int DevManager::setDevConFlagbyLibusb(libusb_device* device, bool isConnected) {
    vel_Print("setDevConFlagbyLibusb!\n");
    bool found = false;
    std::lock_guard<std::mutex> lk(devTableMutex);
    for (auto& [key, dev] : devTable) {
        if (dev->usbDevice == device) {
            dev->connected = isConnected;
            found = true;
        }
    }
    if (!found) {
        vel_Printf("Error: [%s]missing device handle.\n", "setDevConFlagbyLibusb");
        return -1;
    }
    return 0;
}

int DevManager::removeDevbyLibusb(libusb_device* device) {
    vel_Print("removeDevbyLibusb!\n");
    std::vector<std::pair<int, std::shared_ptr<VelDev>>> matches;
    {
        std::lock_guard<std::mutex> lk(devTableMutex);
        for (auto& [key, dev] : devTable) {
            if (dev->usbDevice == device) matches.emplace_back(key, dev);
        }
    }
    if (matches.empty()) {
        vel_Printf("Error: [%s] missing device handle.\n", "removeDevbyLibusb");
        return -1;
    }
    for (auto& [key, dev] : matches) {
        cleanDevice(dev);
        std::lock_guard<std::mutex> lk(devTableMutex);
        auto it = devTable.find(key);
        if (it != devTable.end() && it->second == dev) devTable.erase(it);
    }
    return 0;
}

// Cleans up a session (hot-plug worker at departure, main thread at stop). In this order: the
// display class stops its threads and transfers (fwExeClean); every view is closed and every
// queued buffer freed once a plug call in progress has ended and the views' frames have ended
// (VelDev::closeViewsAtCleanUp); the USB handle is closed once the send thread's transfer has
// ended. Each wait is bounded (a plug call by its exchanges' time-outs, frames by a few
// seconds, a transfer by kTransferWait). Returns 0, or -1 for a null session.
int DevManager::cleanDevice(std::shared_ptr<VelDev> dev) {
    if (!dev) return -1;
    vel_Print("cleanDevice!\n");
    // Also on departure (connected already cleared): the class's threads must stop and its
    // transfers finish before the handle is closed below.
    if (dev->displayClass) dev->displayClass->fwExeClean();
    if (dev->model == 0x508) dev->connected = false;
    for (int v = 0; v < dev->viewCount && v < VEL_MAX_VIEWS; ++v) dev->viewActive[v] = false;
    dev->closeViewsAtCleanUp();
    // A bulk transfer ends within its one-second time-out; the bound leaves room for a slow end.
    constexpr std::chrono::milliseconds kTransferWait{5000};
    dev->closeUsbHandle(kTransferWait);
    {
        std::lock_guard<std::mutex> lk(devTableMutex);  // read by the hot-plug lookups
        dev->usbDevice = nullptr;
    }
    dev->devKey = 9999;
    memset(dev->cursorStaging.get(), 0, VEL_CURSOR_STAGING_SIZE);
    vel_Printf("Disconnect [%d] device success!!!\n", 0);
    return 0;
}

int DevManager::removeAllDevice() {
    stopHotplugWorker();
    for (;;) {
        std::shared_ptr<VelDev> dev;
        int key;
        {
            std::lock_guard<std::mutex> lk(devTableMutex);
            if (devTable.empty()) break;
            key = devTable.begin()->first;
            dev = devTable.begin()->second;
        }
        cleanDevice(dev);
        std::lock_guard<std::mutex> lk(devTableMutex);
        auto it = devTable.find(key);
        if (it != devTable.end() && it->second == dev) devTable.erase(it);
    }
    // No callback may reach the manager through g_dev once the caller lets go of it, and the
    // cleaned sessions' detached class threads (which use g_dev and the control block) end on
    // their exit flags: both are over before we return.
    stopEventThread();
    waitClassThreads();
    return 0;
}

std::shared_ptr<VelDev> DevManager::findDev(int key) {
    std::lock_guard<std::mutex> lk(devTableMutex);
    auto it = devTable.find(key);
    return it == devTable.end() ? nullptr : it->second;
}

size_t DevManager::deviceCount() {
    std::lock_guard<std::mutex> lk(devTableMutex);
    return devTable.size();
}

void DevManager::requestExit() {
    {
        std::lock_guard<std::mutex> lk(exitMutex);
        g_exitRequested = true;
    }
    exitCond.notify_all();
}

void DevManager::waitForExit() {
    std::unique_lock<std::mutex> lk(exitMutex);
    // The predicate keeps a spurious wake-up from stopping the service. The signal handler only
    // raises g_exitSignal (all it may safely do); the main thread notices it within 50 ms and
    // writes the handler's line on its behalf.
    while (!g_exitRequested) {
        exitCond.wait_for(lk, std::chrono::milliseconds(50));
        if (g_exitSignal && !g_exitRequested) {
            vel_Print("[info] send exit signal\n");
            g_exitRequested = true;
        }
    }
}

void DevManager::usb_abort(libusb_device*) {
    vel_Print("usb_abort!\n");
    g_abortRequested = true;
    requestExit();
    vel::sleepMs(1000);
    _exit(1);
}

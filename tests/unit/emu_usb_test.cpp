// The emulated USB bus behind the libusb API: hot-plug, handles, transfers, faults.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/usb/bus.h"
#include "emulator/usb/silent_adapter.h"
#include "testSupport.h"

using namespace std::chrono;
using emu::Bus;

namespace {

struct Seen {
    struct Event {
        libusb_hotplug_event event;
        uint16_t pid;
        uint8_t bus, address;
        std::thread::id thread;
    };
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Event> events;
    int returnValue = 0;
    libusb_device* keep = nullptr;  // referenced from inside the callback when asked

    bool waitFor(size_t n, milliseconds t = milliseconds(2000)) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, t, [&] { return events.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lk(mu);
        return events.size();
    }
};

int record(libusb_context*, libusb_device* dev, libusb_hotplug_event ev, void* user) {
    auto* s = static_cast<Seen*>(user);
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(dev, &d);  // valid during the callback, also on departure
    std::lock_guard<std::mutex> lk(s->mu);
    s->events.push_back({ev, d.idProduct, libusb_get_bus_number(dev),
                         libusb_get_device_address(dev), std::this_thread::get_id()});
    if (ev == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED && !s->keep) s->keep = libusb_ref_device(dev);
    s->cv.notify_all();
    return s->returnValue;
}

// Runs libusb_handle_events like the service's event thread; stopped by the interrupt call.
class EventThread {
  public:
    explicit EventThread(libusb_context* ctx) : ctx_(ctx), t_([this] { run(); }) {}
    ~EventThread() {
        stop_ = true;
        libusb_interrupt_event_handler(ctx_);
        t_.join();
    }
    std::thread::id id() const { return t_.get_id(); }

  private:
    void run() {
        while (!stop_) libusb_handle_events(ctx_);
    }
    libusb_context* ctx_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

// Answers every OUT on 0x01 with the same bytes on 0x81, from inside out().
class EchoModel : public emu::SilentAdapter {
  public:
    emu::Status out(uint8_t ep, const uint8_t* data, size_t len) override {
        if (ep == 0x01) {
            echo_.push(0x81, std::vector<uint8_t>(data, data + len));
            notifyInAvailable(0x81);
            return emu::Status::Ok;
        }
        return SilentAdapter::out(ep, data, len);
    }
    emu::Status in(uint8_t ep, emu::InBuffer& b) override {
        return ep == 0x81 ? echo_.pop(ep, b) : SilentAdapter::in(ep, b);
    }

  private:
    emu::InQueue echo_;
};

// Bounded wait until `n` transfers of device `id` are blocked inside the bus.
bool waitInFlight(int id, int n) {
    for (int i = 0; i < 400; ++i) {
        if (Bus::instance().status(id).transfersInFlight >= n) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

int registerAll(libusb_context* ctx, Seen* s, int flags, int pid = LIBUSB_HOTPLUG_MATCH_ANY) {
    libusb_hotplug_callback_handle h = 0;
    return libusb_hotplug_register_callback(
        ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, flags,
        VEL_VENDOR_ID, pid, 0xEF, record, s, &h);
}

class EmuUsb : public ::testing::Test {
  protected:
    void SetUp() override { Bus::instance().reset(); }
    void TearDown() override {
        if (s.keep) libusb_unref_device(s.keep);
        Bus::instance().reset();
    }
    // A context with one 520 adapter plugged in and opened, interface 4 claimed at alt 1.
    void openAdapter(const std::shared_ptr<emu::DeviceModel>& model) {
        id = Bus::instance().plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(id, 0);
        ASSERT_EQ(libusb_init(&ctx), 0);
        ASSERT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE), 0);
        ASSERT_EQ(s.count(), 1u);
        ASSERT_EQ(libusb_open(s.keep, &h), 0);
        ASSERT_EQ(libusb_claim_interface(h, 4), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(h, 4, 1), 0);
    }
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    int id = 0;
    Seen s;
};

TEST_F(EmuUsb, PresentDevicesAreEnumeratedInsideRegisterOnTheCallingThread) {
    Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("520A"));
    Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("508"));
    ASSERT_EQ(libusb_init(&ctx), 0);
    Seen other, none;
    ASSERT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE, 0x520A), 0);
    ASSERT_EQ(registerAll(ctx, &other, LIBUSB_HOTPLUG_ENUMERATE, 0x0522), 0);
    ASSERT_EQ(registerAll(ctx, &none, 0), 0);  // no ENUMERATE: present devices stay silent
    ASSERT_EQ(s.count(), 1u);
    EXPECT_EQ(s.events[0].pid, 0x520A);
    EXPECT_EQ(s.events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(s.events[0].bus, 2);
    EXPECT_EQ(other.count(), 0u);
    // The queued arrival events must not report the same devices a second time.
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);
    EXPECT_EQ(s.count(), 1u);
    EXPECT_EQ(none.count(), 0u);
    if (other.keep) libusb_unref_device(other.keep);
}

TEST_F(EmuUsb, LaterArrivalAndDepartureReachTheEventThread) {
    ASSERT_EQ(libusb_init(&ctx), 0);
    ASSERT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE), 0);
    EventThread events(ctx);
    int a =
        Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("522"));
    ASSERT_TRUE(s.waitFor(1));
    EXPECT_EQ(s.events[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(s.events[0].thread, events.id());
    EXPECT_EQ(s.events[0].address, Bus::instance().status(a).address);
    ASSERT_EQ(Bus::instance().unplug(a), 0);
    ASSERT_TRUE(s.waitFor(2));
    EXPECT_EQ(s.events[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(s.events[1].pid, 0x0522);
    EXPECT_EQ(Bus::instance().unplug(a), -1);
    libusb_device_handle* late = nullptr;
    EXPECT_EQ(libusb_open(s.keep, &late), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(EmuUsb, CallbackReturningOneIsDeregistered) {
    s.returnValue = 1;
    Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("500"));
    ASSERT_EQ(libusb_init(&ctx), 0);
    ASSERT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE), 0);
    EXPECT_EQ(s.count(), 1u);
    Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("505"));
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);
    EXPECT_EQ(s.count(), 1u);
}

TEST_F(EmuUsb, DevicesLiveWhileReferencedAndHandlesHoldAReference) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    EXPECT_EQ(Bus::instance().liveDevices(), 1u);
    ASSERT_EQ(Bus::instance().unplug(id), 0);
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);  // departure delivered, its reference dropped
    EXPECT_EQ(s.count(), 2u);
    libusb_unref_device(s.keep);
    s.keep = nullptr;
    EXPECT_EQ(Bus::instance().liveDevices(), 1u);  // the open handle still holds it
    unsigned char b[4] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, b, 4, &n, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_claim_interface(h, 3), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 4), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 4, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_kernel_driver_active(h, 4), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_get_device(h) != nullptr, true);
    libusb_close(h);
    EXPECT_EQ(Bus::instance().liveDevices(), 0u);
    EXPECT_EQ(Bus::instance().liveHandles(), 0u);
}

// A long run of plug cycles must not keep every adapter model: the bus forgets an unplugged
// device once no handle is open on it, and the model goes with the last libusb reference.
TEST_F(EmuUsb, ForgetDropsOnlyAnUnpluggedClosedDeviceAndTheModelGoesWithItsLastReference) {
    auto model = std::make_shared<emu::SilentAdapter>();
    std::weak_ptr<emu::SilentAdapter> gone = model;
    openAdapter(model);
    model.reset();
    EXPECT_EQ(Bus::instance().forget(id), -1);  // still plugged
    ASSERT_EQ(Bus::instance().unplug(id), 0);
    EXPECT_EQ(Bus::instance().forget(id), -1);  // a handle is still open
    EXPECT_TRUE(Bus::instance().status(id).known);
    libusb_close(h);
    EXPECT_EQ(Bus::instance().forget(id), 0);
    EXPECT_FALSE(Bus::instance().status(id).known);
    EXPECT_EQ(Bus::instance().forget(id), -1);  // already forgotten
    EXPECT_FALSE(gone.expired());               // the callback's reference still holds it
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);  // departure delivered, its reference dropped
    libusb_unref_device(s.keep);
    s.keep = nullptr;
    EXPECT_EQ(Bus::instance().liveDevices(), 0u);
    EXPECT_TRUE(gone.expired());
}

TEST_F(EmuUsb, InterruptWakesABlockedEventHandlerAndIdleTimeoutsAreKept) {
    ASSERT_EQ(libusb_init(&ctx), 0);
    struct timeval tv = {0, 100000};
    auto t0 = steady_clock::now();
    EXPECT_EQ(libusb_handle_events_timeout(ctx, &tv), 0);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(90));
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(50));
        libusb_interrupt_event_handler(ctx);
    });
    t0 = steady_clock::now();
    EXPECT_EQ(libusb_handle_events(ctx), 0);  // 60 s unless interrupted
    EXPECT_LT(steady_clock::now() - t0, seconds(5));
    waker.join();
    tv = {-1, 0};
    EXPECT_EQ(libusb_handle_events_timeout(ctx, &tv), LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(EmuUsb, InTimeoutIsHonouredWithNothingTransferred) {
    openAdapter(std::make_shared<emu::SilentAdapter>());
    unsigned char b[64];
    int n = -1;
    auto t0 = steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 100), LIBUSB_ERROR_TIMEOUT);
    auto took = steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(90));
    EXPECT_LT(took, seconds(3) * vtest::kTimeScale);  // late only by the machine's load
    EXPECT_EQ(n, 0);
}

TEST_F(EmuUsb, QueuedInDataIsDeliveredInBufferSizedPiecesOrOverflows) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    std::vector<uint8_t> big(3000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    model->queueIn(0x81, big);
    std::vector<uint8_t> b(2048);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), 2048, &n, 1000), 0);  // 2 packets of 1024
    EXPECT_EQ(n, 2048);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), 2048, &n, 1000), 0);
    ASSERT_EQ(n, 3000 - 2048);
    EXPECT_EQ(b[0], big[2048]);
    model->queueIn(0x81, big);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), 100, &n, 1000), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(n, 100);
    model->queueIn(0x84, {1, 2, 3});
    ASSERT_EQ(libusb_interrupt_transfer(h, 0x84, b.data(), 64, &n, 1000), 0);
    EXPECT_EQ(n, 3);
}

TEST_F(EmuUsb, BlockedInWakesWhenTheModelQueuesData) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    std::atomic<int> rc{1}, got{0};
    std::thread rx([&] {
        unsigned char b[64];
        int n = 0;
        rc = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 5000);
        got = n;
    });
    ASSERT_TRUE(waitInFlight(id, 1));
    auto t0 = steady_clock::now();
    model->queueIn(0x81, {1, 2, 3, 4, 5});
    rx.join();
    EXPECT_LT(steady_clock::now() - t0, seconds(4));  // well before the transfer's 5 s time-out
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(got.load(), 5);
}

TEST_F(EmuUsb, DefaultContextIsReferenceCounted) {
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    libusb_exit(nullptr);
    EXPECT_EQ(Bus::instance().liveContexts(), 1u);
    EXPECT_EQ(registerAll(nullptr, &s, 0), 0);
    libusb_exit(nullptr);
    EXPECT_EQ(Bus::instance().liveContexts(), 0u);
}

TEST_F(EmuUsb, UnplugEndsABlockedUnlimitedInPromptlyAndDeliversDeparture) {
    openAdapter(std::make_shared<emu::SilentAdapter>());
    EventThread events(ctx);
    std::atomic<int> rc{1};
    std::thread rx([&] {
        unsigned char b[64];
        int n = -1;
        rc = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 0);
    });
    ASSERT_TRUE(waitInFlight(id, 1));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(rc.load(), 1);  // still blocked
    auto t0 = steady_clock::now();
    Bus::instance().unplug(id);
    rx.join();
    EXPECT_LT(steady_clock::now() - t0, seconds(3) * vtest::kTimeScale);  // it had no time-out
    EXPECT_EQ(rc.load(), LIBUSB_ERROR_NO_DEVICE);
    ASSERT_TRUE(s.waitFor(2));
    EXPECT_EQ(s.events[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    libusb_close(h);
}

TEST_F(EmuUsb, ExitAndCloseEndBlockedTransfers) {
    openAdapter(std::make_shared<emu::SilentAdapter>());
    std::atomic<int> rc{1};
    std::thread rx([&] {
        unsigned char b[64];
        int n = 0;
        rc = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 0);
    });
    ASSERT_TRUE(waitInFlight(id, 1));
    libusb_close(h);  // waits for the receive thread's transfer to leave
    rx.join();
    EXPECT_EQ(rc.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(Bus::instance().closesWithTransfersInFlight(), 1);

    ASSERT_EQ(libusb_open(s.keep, &h), 0);
    std::thread rx2([&] {
        unsigned char b[64];
        int n = 0;
        rc = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 0);
    });
    ASSERT_TRUE(waitInFlight(id, 1));
    libusb_exit(ctx);
    rx2.join();
    EXPECT_EQ(rc.load(), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);
}

TEST_F(EmuUsb, InjectedFailuresHitOnlyTheMatchingTransfers) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    Bus::instance().faults(id).failTransfers(2, LIBUSB_ERROR_IO, emu::Match::ep(0x02));
    unsigned char b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, b, 8, &n, 100), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, b, 8, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, b, 8, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, b, 8, &n, 100), 0);
    EXPECT_EQ(n, 8);
    auto outs = model->outTransfers();
    ASSERT_EQ(outs.size(), 2u);  // failed transfers never reached the device
    EXPECT_EQ(outs[0].endpoint, 0x01);
    EXPECT_EQ(outs[1].endpoint, 0x02);
    EXPECT_EQ(outs[1].bytes, std::vector<uint8_t>(b, b + 8));

    Bus::instance().faults(id).failTransfers(1, LIBUSB_ERROR_TIMEOUT, emu::Match::in());
    auto t0 = steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 8, &n, 80), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(70));
}

// A byte match picks the transfer carrying one command out of the traffic on its endpoint, and
// never an IN transfer.
TEST_F(EmuUsb, ByteMatchedFaultsHitOnlyTheTransferCarryingThoseBytes) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    auto third = emu::Match::outWith(
        0x01, [](const uint8_t* d, size_t n) { return n >= 2 && d[0] == 0xC0 && d[1] == 3; });
    Bus::instance().faults(id).failTransfers(1, LIBUSB_ERROR_IO, third);
    Bus::instance().faults(id).failTransfers(
        1, LIBUSB_ERROR_PIPE,
        emu::Match{0x81, emu::Direction::Any, [](const uint8_t*, size_t) { return true; }});
    unsigned char c[5][2] = {{0xC0, 1}, {0xC0, 2}, {0xC1, 3}, {0xC0, 3}, {0xC0, 3}};
    int n = -1;
    const int expected[5] = {0, 0, 0, LIBUSB_ERROR_IO, 0};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(libusb_bulk_transfer(h, 0x01, c[i], 2, &n, 100), expected[i]) << i;
    unsigned char b[4] = {};
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 4, &n, 20), LIBUSB_ERROR_TIMEOUT);
    auto outs = model->outTransfers();
    ASSERT_EQ(outs.size(), 4u);
    EXPECT_EQ(outs[3].bytes, std::vector<uint8_t>({0xC0, 3}));

    Bus::instance().faults(id).unplugDuringTransfer(third, milliseconds(10));
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, c[0], 2, &n, 100), 0);
    EXPECT_TRUE(Bus::instance().plugged(id));
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, c[3], 2, &n, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(Bus::instance().plugged(id));
    libusb_close(h);
}

TEST_F(EmuUsb, DelayedTransfersRespectTheirOwnTimeout) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    Bus::instance().faults(id).delayTransfers(milliseconds(150), emu::Match::out());
    unsigned char b[4] = {};
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, b, 4, &n, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(model->outCount(), 0u);
    auto t0 = steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, b, 4, &n, 1000), 0);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(140));
    EXPECT_EQ(model->outCount(), 1u);
}

TEST_F(EmuUsb, StallPersistsUntilClearHalt) {
    class Refuser : public emu::SilentAdapter {
        emu::Status out(uint8_t, const uint8_t*, size_t) override { return emu::Status::Stall; }
    };
    openAdapter(std::make_shared<emu::SilentAdapter>());
    Bus::instance().faults(id).stall(0x81);
    unsigned char b[4] = {};
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 4, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 4, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, b, 4, &n, 100), 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_FALSE(Bus::instance().faults(id).stalled(0x81));
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 4, &n, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_clear_halt(h, 0x05), LIBUSB_ERROR_NOT_FOUND);

    // A model that stalls leaves the endpoint halted as well.
    int r = Bus::instance().plug(std::make_shared<Refuser>(), emu::adapterIdentity("508"));
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);
    ASSERT_EQ(s.count(), 2u);
    libusb_device* dev = nullptr;
    {
        libusb_device** list = nullptr;
        ssize_t cnt = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < cnt; ++i)
            if (libusb_get_device_address(list[i]) == Bus::instance().status(r).address)
                dev = libusb_ref_device(list[i]);
        libusb_free_device_list(list, 1);
    }
    ASSERT_NE(dev, nullptr);
    libusb_device_handle* h2 = nullptr;
    ASSERT_EQ(libusb_open(dev, &h2), 0);
    libusb_unref_device(dev);
    EXPECT_EQ(libusb_bulk_transfer(h2, 0x02, b, 4, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_TRUE(Bus::instance().faults(r).stalled(0x02));
    EXPECT_EQ(Bus::instance().status(r).transfersWithoutClaim, 1);
    libusb_close(h2);
}

TEST_F(EmuUsb, UnplugDuringATransferFailsItAndReportsDeparture) {
    openAdapter(std::make_shared<emu::SilentAdapter>());
    Bus::instance().faults(id).unplugDuringTransfer(emu::Match::out(), milliseconds(20));
    unsigned char b[4] = {};
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b, 4, &n, 10), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, b, 4, &n, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(Bus::instance().plugged(id));
    struct timeval tv = {0, 20000};
    libusb_handle_events_timeout(ctx, &tv);
    ASSERT_EQ(s.count(), 2u);
    EXPECT_EQ(s.events[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    libusb_close(h);
}

TEST_F(EmuUsb, OpenClaimAndAltSettingFollowLinuxLibusb) {
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    EXPECT_EQ(model->claims(4), 1);
    EXPECT_EQ(model->altSetting(4), 1);
    auto st = Bus::instance().status(id);
    EXPECT_EQ(st.claimedInterfaces, 1u << 4);
    EXPECT_EQ(st.altSetting[4], 1);
    EXPECT_EQ(libusb_claim_interface(h, 4), 0);  // already ours
    EXPECT_EQ(libusb_claim_interface(h, 5), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(h, 32), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 0, 1), LIBUSB_ERROR_NOT_FOUND);  // unclaimed
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 4, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(h, 3), LIBUSB_ERROR_NOT_FOUND);

    libusb_device_handle* h2 = nullptr;
    ASSERT_EQ(libusb_open(s.keep, &h2), 0);
    EXPECT_EQ(libusb_claim_interface(h2, 4), LIBUSB_ERROR_BUSY);
    Bus::instance().faults(id).kernelDriver(0, true);
    EXPECT_EQ(libusb_kernel_driver_active(h2, 0), 1);
    EXPECT_EQ(libusb_claim_interface(h2, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h2, 1), 0);
    EXPECT_EQ(libusb_claim_interface(h2, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h2, 0), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(h2);  // releases interface 0
    EXPECT_EQ(Bus::instance().status(id).claimedInterfaces, 1u << 4);

    EXPECT_EQ(libusb_reset_device(h), 0);
    EXPECT_EQ(model->resets(), 1);
    EXPECT_EQ(Bus::instance().status(id).altSetting[4], 0);
    EXPECT_EQ(Bus::instance().status(id).claimedInterfaces, 1u << 4);

    Bus::instance()
        .faults(id)
        .failOp(emu::Op::Open, LIBUSB_ERROR_ACCESS)
        .failOp(emu::Op::Reset, LIBUSB_ERROR_NOT_FOUND, -1)
        .failOp(emu::Op::SetAltSetting, LIBUSB_ERROR_BUSY, 2);
    EXPECT_EQ(libusb_open(s.keep, &h2), LIBUSB_ERROR_ACCESS);
    ASSERT_EQ(libusb_open(s.keep, &h2), 0);
    libusb_close(h2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 4, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 4, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 4, 1), 0);
    Bus::instance().faults(id).clear();
    EXPECT_EQ(libusb_reset_device(h), 0);
    libusb_close(h);
}

TEST_F(EmuUsb, AdapterIdentitiesAndDescriptors) {
    const struct {
        const char* name;
        uint16_t pid;
    } models[] = {{"520", 0x0520}, {"522", 0x0522}, {"520A", 0x520A},
                  {"508", 0x0508}, {"505", 0x0505}, {"500", 0x0500}};
    for (const auto& m : models) {
        emu::UsbIdentity id = emu::adapterIdentity(m.name);
        EXPECT_TRUE(id.valid()) << m.name;
        EXPECT_EQ(id.productId, m.pid);
    }
    EXPECT_EQ(
        Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("999")),
        -1);
    auto model = std::make_shared<emu::SilentAdapter>();
    openAdapter(model);
    EXPECT_EQ(Bus::instance().plug(model, emu::adapterIdentity("520")), -1);  // already plugged

    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(s.keep, &d), 0);
    EXPECT_EQ(d.idVendor, VEL_VENDOR_ID);
    EXPECT_EQ(d.bDeviceClass, 0xEF);
    EXPECT_EQ(d.bcdUSB, 0x0320);
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(s.keep, 0, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 5);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(cfg->interface[i].num_altsetting, 2);
        const libusb_interface_descriptor& alt = cfg->interface[i].altsetting[1];
        EXPECT_EQ(alt.bInterfaceNumber, i);
        ASSERT_EQ(alt.bNumEndpoints, 7);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
        EXPECT_EQ(alt.endpoint[6].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    }
    libusb_free_config_descriptor(cfg);
    EXPECT_EQ(libusb_get_config_descriptor(s.keep, 1, &cfg), LIBUSB_ERROR_NOT_FOUND);

    unsigned char raw[18] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, raw,
                                      sizeof raw, 100),
              18);
    EXPECT_EQ(0, memcmp(raw, &d, 18));
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x42, 0, 0, raw, 4, 100), LIBUSB_ERROR_PIPE);
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
}

TEST_F(EmuUsb, ConcurrentInAndOutFromSeveralThreads) {
    auto model = std::make_shared<EchoModel>();
    openAdapter(model);
    constexpr int kPerSender = 200;
    std::atomic<int> received{0}, bad{0};
    std::thread rx([&] {
        unsigned char b[64];
        while (received < 2 * kPerSender) {
            int n = 0;
            int r = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 1000);
            if (r == LIBUSB_ERROR_TIMEOUT) break;
            if (r != 0 || n != 4 || b[0] > 1) ++bad;
            ++received;
        }
    });
    auto send = [&](uint8_t tag) {
        for (int i = 0; i < kPerSender; ++i) {
            unsigned char b[4] = {tag, static_cast<unsigned char>(i), 0, 0};
            int n = 0;
            if (libusb_bulk_transfer(h, 0x01, b, 4, &n, 1000) != 0 || n != 4) ++bad;
            if (libusb_bulk_transfer(h, 0x02, b, 4, &n, 1000) != 0) ++bad;
        }
    };
    std::thread tx0(send, 0), tx1(send, 1);
    tx0.join();
    tx1.join();
    rx.join();
    EXPECT_EQ(received.load(), 2 * kPerSender);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(model->outCount(), 2u * kPerSender);  // the 0x02 ones
}

TEST_F(EmuUsb, TransferLogSeesEveryTransfer) {
    auto model = std::make_shared<emu::SilentAdapter>();
    std::mutex mu;
    std::vector<emu::TransferRecord> log;
    Bus::instance().setTransferLog([&](const emu::TransferRecord& r) {
        std::lock_guard<std::mutex> lk(mu);
        log.push_back(r);
    });
    openAdapter(model);
    unsigned char b[3] = {9, 8, 7};
    int n = 0;
    libusb_bulk_transfer(h, 0x02, b, 3, &n, 100);
    model->queueIn(0x81, {5, 6});
    libusb_bulk_transfer(h, 0x81, b, 3, &n, 100);
    Bus::instance().faults(id).failTransfers(1, LIBUSB_ERROR_IO);
    libusb_bulk_transfer(h, 0x01, b, 3, &n, 100);
    std::lock_guard<std::mutex> lk(mu);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].endpoint, 0x02);
    EXPECT_FALSE(log[0].in());
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(log[1].data, (std::vector<uint8_t>{5, 6}));
    EXPECT_EQ(log[1].requested, 3u);
    EXPECT_TRUE(log[1].in());
    EXPECT_EQ(log[2].status, LIBUSB_ERROR_IO);
    EXPECT_TRUE(log[2].data.empty());
    EXPECT_LE(log[0].submitted, log[0].completed);
    EXPECT_EQ(log[0].deviceId, id);
}

TEST_F(EmuUsb, ResetLeavesACleanBusAndWakesBlockedCalls) {
    openAdapter(std::make_shared<emu::SilentAdapter>());
    Bus::instance().setHotplugCapability(false);
    std::atomic<int> rc{1};
    std::thread events([&] { libusb_handle_events(ctx); });
    std::thread rx([&] {
        unsigned char b[8];
        int n = 0;
        rc = libusb_bulk_transfer(h, 0x81, b, sizeof b, &n, 0);
    });
    ASSERT_TRUE(waitInFlight(id, 1));
    libusb_unref_device(s.keep);
    s.keep = nullptr;
    auto t0 = steady_clock::now();
    Bus::instance().reset();
    EXPECT_LT(steady_clock::now() - t0, seconds(4));  // before the reset's 5 s wait for a drain
    rx.join();
    // The context is retired, not freed: an event handler that arrived late is released too.
    libusb_interrupt_event_handler(ctx);
    events.join();
    EXPECT_EQ(rc.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(Bus::instance().liveContexts(), 0u);
    EXPECT_EQ(Bus::instance().liveDevices(), 0u);
    EXPECT_EQ(Bus::instance().liveHandles(), 0u);
    EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
    EXPECT_EQ(
        Bus::instance().plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity("520")),
        1);
    EXPECT_EQ(Bus::instance().status(1).address, 1);
}

TEST_F(EmuUsb, PlatformFailuresAreInjectable) {
    Bus::instance().failNextInit(LIBUSB_ERROR_OTHER);
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_OTHER);
    ASSERT_EQ(libusb_init(&ctx), 0);
    Bus::instance().failHotplugRegistration(LIBUSB_ERROR_NO_MEM, 1);
    EXPECT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(registerAll(ctx, &s, LIBUSB_HOTPLUG_ENUMERATE), 0);
    EXPECT_EQ(registerAll(ctx, &s, 2), LIBUSB_ERROR_INVALID_PARAM);
    Bus::instance().setHotplugCapability(false);
    EXPECT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 0);
    EXPECT_EQ(registerAll(ctx, &s, 0), LIBUSB_ERROR_NOT_SUPPORTED);
}

}  // namespace

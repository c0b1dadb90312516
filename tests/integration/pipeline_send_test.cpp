// The session's send thread on the emulated bus: packets leave in queue order, one bulk transfer
// each, to the model's image endpoint; failed transfers follow the consecutive-failure rule; a
// packet for an inactive view never reaches the bus; and a frame encoded by the model-520 encoder
// arrives as a JPEG that decodes to the frame.
#include <gtest/gtest.h>
#include <libusb.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/usb/bus.h"
#include "emulator/usb/silent_adapter.h"
#include "fakeDisplayClass.h"
#include "pipeline/colorConvert.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "pictureReference.h"
#include "testSupport.h"

using namespace std::chrono;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint32_t kXR24 = 0x34325258;

// Frames a packet as length = JPEG length argument + 112 and marks its first header byte.
struct FramingDisplayClass : vtest::FakeDisplayClass {
    FramingDisplayClass() { markHeader = true; }
};

using vtest::semValue;

// An open, claimed model-520 adapter on the emulated bus and a session sending to it.
struct Adapter {
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<emu::SilentAdapter> model = std::make_shared<emu::SilentAdapter>();
    int busId = -1;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::unique_ptr<VelDev> dev;

    bool open() {
        bus.reset();
        busId = bus.plug(model, emu::adapterIdentity("520"));
        if (busId <= 0 || !vtest::openClaimedAdapter(&ctx, &handle)) return false;
        dev = std::make_unique<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x520;
        dev->imageEndpoint = 1;  // the command endpoint: image packets must not go there
        dev->imageEndpoint520 = 2;
        dev->devKey = 1;
        dev->connected = true;
        dev->viewActive[0] = true;
        return true;
    }
    ~Adapter() {
        dev.reset();
        if (handle) libusb_close(handle);
        if (ctx) libusb_exit(ctx);
        bus.reset();
    }
    // A packet of `length` bytes, each byte `tag`.
    void queue(int view, unsigned char tag, int length = 1000, uint8_t flags = 0x11) {
        auto* buf = static_cast<unsigned char*>(malloc(length));
        memset(buf, tag, length);
        dev->sendQueue.push(_evdi_send{view, length, buf, flags, 0, 4});
    }
    // Waits for the queue to drain and the last transfer to end.
    bool settle() {
        return vtest::waitFor([&] {
                   return dev->sendQueue.empty() && bus.status(busId).transfersInFlight == 0;
               }) &&
               (std::this_thread::sleep_for(milliseconds(20)), true);
    }
};

class SendThread : public ::testing::Test {
  protected:
    void SetUp() override {
        g_bulkFailCount = 0;
        ASSERT_TRUE(a.open());
    }
    int count(const std::string& needle) { return env.logCount(needle); }
    vtest::IsolatedEnv env;
    Adapter a;
};

TEST_F(SendThread, PacketsLeaveInQueueOrderOnTheImageEndpointAndInactiveViewsAreDropped) {
    a.dev->viewActive[2] = true;
    for (int i = 0; i < 6; ++i) a.queue(i % 2 == 0 ? 0 : 2, static_cast<unsigned char>(i), 700 + i);
    a.queue(1, 0xEE);  // view 1 is not active
    a.queue(0, 0x77);
    ASSERT_TRUE(a.model->waitForOut(7, milliseconds(5000)));
    ASSERT_TRUE(a.settle());
    const auto outs = a.model->outTransfers();
    ASSERT_EQ(outs.size(), 7u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(outs[i].endpoint, 0x02);
        ASSERT_EQ(outs[i].bytes.size(), size_t(700 + i));
        EXPECT_EQ(outs[i].bytes.front(), i);
        EXPECT_EQ(outs[i].bytes.back(), i);
    }
    EXPECT_EQ(outs[6].bytes.front(), 0x77);
}

TEST_F(SendThread, AnIdleSecondLeavesTheThreadWaitingForTheNextPacket) {
    std::this_thread::sleep_for(milliseconds(1300));
    a.queue(0, 0x42);
    ASSERT_TRUE(a.model->waitForOut(1, milliseconds(3000)));
    EXPECT_EQ(a.model->outTransfers()[0].bytes.front(), 0x42);
}

// Model 520: a packet whose transfer failed is never acknowledged, so its credit comes back from
// the send thread, to its view's frame credits (what the conversion thread waits on), at most
// four; the 50x family's session credit is not touched.
TEST_F(SendThread, FiveFailuresAndASuccessResetTheCountAndReturnFrameCredits) {
    const int sessionCredits = semValue(&a.dev->frameCreditSemaphore);
    while (sem_trywait(&a.dev->frameFeedbackSemaphore[0]) == 0) {
    }
    emu::Bus::instance().faults(a.busId).failTransfers(5, LIBUSB_ERROR_IO, emu::Match::out());
    for (int i = 0; i < 3; ++i) a.queue(0, 1);
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(semValue(&a.dev->frameFeedbackSemaphore[0]), 3);
    for (int i = 0; i < 2; ++i) a.queue(0, 1);
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(g_bulkFailCount, 5);
    EXPECT_EQ(semValue(&a.dev->frameFeedbackSemaphore[0]), 4);
    EXPECT_EQ(semValue(&a.dev->frameCreditSemaphore), sessionCredits);
    EXPECT_EQ(count("******Dev[1] Send graghic data failed err=-1"), 5) << env.log();
    a.queue(0, 2);
    ASSERT_TRUE(a.model->waitForOut(1, milliseconds(3000)));
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(g_bulkFailCount, 0);

    // Lower halves are neither logged, counted nor credited; upper halves are.
    while (sem_trywait(&a.dev->frameFeedbackSemaphore[0]) == 0) {
    }
    emu::Bus::instance().faults(a.busId).failTransfers(2, LIBUSB_ERROR_PIPE, emu::Match::out());
    a.queue(0, 3, 1000, 0x22);
    a.queue(0, 4, 1000, 0x21);
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(g_bulkFailCount, 1);
    EXPECT_EQ(semValue(&a.dev->frameFeedbackSemaphore[0]), 1);
    EXPECT_EQ(semValue(&a.dev->frameCreditSemaphore), sessionCredits);
    EXPECT_EQ(count("Send graghic data failed err=-9"), 1);

    // The 50x family: the session's credit, which the frame took (the session never holds
    // more than three).
    a.dev->model = 0x508;
    a.dev->imageEndpoint = 2;
    ASSERT_EQ(sem_trywait(&a.dev->frameCreditSemaphore), 0);
    emu::Bus::instance().faults(a.busId).failTransfers(1, LIBUSB_ERROR_IO, emu::Match::out());
    a.queue(0, 5);
    ASSERT_TRUE(a.settle());
    EXPECT_EQ(semValue(&a.dev->frameCreditSemaphore), sessionCredits);
    EXPECT_EQ(semValue(&a.dev->frameFeedbackSemaphore[0]), 1);
    a.dev->model = 0x520;
}

TEST(SendThreadDeath, SixConsecutiveFailuresEndTheService) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vtest::IsolatedEnv env;
            Adapter a;
            if (!a.open()) _exit(3);
            g_bulkFailCount = 0;
            emu::Bus::instance().faults(a.busId).failTransfers(6, LIBUSB_ERROR_IO,
                                                               emu::Match::out());
            for (int i = 0; i < 6; ++i) a.queue(0, 1);
            std::this_thread::sleep_for(seconds(10));
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(SendThread, EncodedFramesReachTheAdapterAsJpegsOfTheFrame) {
    auto display = std::make_shared<FramingDisplayClass>();
    a.dev->displayClass = display;
    const int w = 160, h = 90;
    Bytes px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = static_cast<unsigned char>(128 + 100 * std::sin(x / 9.0));
            p[1] = static_cast<unsigned char>(y * 255 / h);
            p[2] = static_cast<unsigned char>(((x / 20) + (y / 15)) % 2 ? 60 : 190);
            p[3] = 0;
        }
    // Light mode reads the view's pixels; the session frees them.
    auto* view = static_cast<unsigned char*>(malloc(px.size()));
    memcpy(view, px.data(), px.size());
    a.dev->evdiBuffer[0] = {};
    a.dev->evdiBuffer[0].buffer = view;
    a.dev->evdiBuffer[0].width = w;
    a.dev->evdiBuffer[0].height = h;
    a.dev->evdiBuffer[0].stride = w * 4;
    a.dev->pixelFormat[0] = kXR24;
    ASSERT_EQ(a.dev->rgb2Jpeg520(nullptr, 0, 0), 0);
    ASSERT_TRUE(a.model->waitForOut(1, milliseconds(5000)));
    const auto out = a.model->outTransfers().at(0);
    EXPECT_EQ(out.endpoint, 0x02);
    ASSERT_EQ(out.bytes.size(), size_t(display->lengthArg + 112));
    EXPECT_EQ(out.bytes[0], 'V');
    const unsigned long jpegSize = display->lengthArg - 32;  // light mode announces 32 more

    Bytes decoded(px.size());
    tjhandle d = tjInitDecompress();
    ASSERT_EQ(
        tjDecompress2(d, out.bytes.data() + 112, jpegSize, decoded.data(), w, 0, h, TJPF_BGRX, 0),
        0)
        << tjGetErrorStr2(d);
    tjDestroy(d);
    const double quality = vtest::psnrBgrx(px, decoded, w, h);
    RecordProperty("psnr_db", std::to_string(quality));
    EXPECT_GT(quality, 30.0) << quality;
}

}  // namespace

// The bus as libusb shows it, over either front-end (compiled into both scenario programs):
// round trips, time-outs with cancellation, stalls, refused claims and settings, and a blocked
// transfer when its device leaves. Both libusbs must give the same answers.
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "emulator/usb/silent_adapter.h"
#include "scenario520.h"

using namespace std::chrono_literals;

namespace {

// Stalls OUT 0x03 until the host clears the halt, once.
class StallingAdapter : public emu::SilentAdapter {
  public:
    emu::Status out(uint8_t endpoint, const uint8_t* data, size_t length) override {
        if (endpoint == 0x03 && !cleared_) return emu::Status::Stall;
        return SilentAdapter::out(endpoint, data, length);
    }
    void onClearHalt(uint8_t endpoint) override { cleared_ |= endpoint == 0x03; }

  private:
    bool cleared_ = false;  // guarded by mutex()
};

class BusCase : public ::testing::Test {
  protected:
    void SetUp() override {
        frontEnd = scen::makeFrontEnd();
        const std::string why = frontEnd->unavailable();
        if (!why.empty()) GTEST_SKIP() << frontEnd->name() << ": " << why;
    }
    void TearDown() override {
        if (handle) libusb_close(handle);
        if (ctx) libusb_exit(ctx);
        frontEnd.reset();
    }
    // Plugs `model`, opens it and claims interface 4 with alternate setting 1.
    void open(std::shared_ptr<emu::DeviceModel> model) {
        id = frontEnd->plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(id, 0);
        ASSERT_EQ(libusb_init(&ctx), 0);
        libusb_device** list = nullptr;
        ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
        libusb_device_descriptor desc{};
        EXPECT_EQ(libusb_get_device_descriptor(list[0], &desc), 0);
        EXPECT_EQ(desc.idProduct, 0x0520);
        EXPECT_EQ(desc.bcdUSB, 0x0320);
        ASSERT_EQ(libusb_open(list[0], &handle), 0);
        libusb_free_device_list(list, 1);
        ASSERT_EQ(libusb_reset_device(handle), 0);
        ASSERT_EQ(libusb_claim_interface(handle, 4), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(handle, 4, 1), 0);
    }

    std::unique_ptr<scen::FrontEnd> frontEnd;
    int id = -1;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
};

}  // namespace

TEST_F(BusCase, LargeOutAndShortInRoundTrip) {
    auto model = std::make_shared<emu::SilentAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    std::vector<unsigned char> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    int done = 0;
    ASSERT_EQ(
        libusb_bulk_transfer(handle, 0x02, big.data(), static_cast<int>(big.size()), &done, 2000),
        0);
    EXPECT_EQ(done, static_cast<int>(big.size()));
    auto outs = model->outTransfers();
    ASSERT_EQ(outs.size(), 1u);  // one transfer reaches the device whole
    EXPECT_EQ(outs[0].endpoint, 0x02);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), outs[0].bytes.begin(), outs[0].bytes.end()));

    model->queueIn(0x81, std::vector<uint8_t>(100, 0xA5));
    std::vector<unsigned char> in(1024, 0);
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, in.data(), 1024, &done, 2000), 0);
    EXPECT_EQ(done, 100);
    EXPECT_EQ(in[99], 0xA5);
    EXPECT_EQ(in[100], 0);
}

TEST_F(BusCase, TimedOutInTransferIsCancelledWithoutLosingLaterData) {
    auto model = std::make_shared<emu::SilentAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    unsigned char buf[64];
    int done = -1;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, buf, sizeof buf, &done, 100),
              LIBUSB_ERROR_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 3s * vtest::kTimeScale);  // late only by the machine's load
    EXPECT_EQ(done, 0);
    EXPECT_EQ(frontEnd->transfersInFlight(id), 0);
    // The cancelled request is gone: the next message goes to the next transfer.
    model->queueIn(0x81, {1, 2, 3});
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, buf, sizeof buf, &done, 1000), 0);
    EXPECT_EQ(done, 3);
    EXPECT_EQ(buf[2], 3);
}

TEST_F(BusCase, StalledEndpointFailsUntilItsHaltIsCleared) {
    auto model = std::make_shared<StallingAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    unsigned char b[8] = {1};
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x03, b, sizeof b, &done, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x03, b, sizeof b, &done, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(model->outCount(), 0u);
    EXPECT_EQ(libusb_clear_halt(handle, 0x03), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x03, b, sizeof b, &done, 1000), 0);
    EXPECT_EQ(done, 8);
    EXPECT_EQ(model->outCount(), 1u);
}

TEST_F(BusCase, RefusedClaimsAndSettings) {
    auto model = std::make_shared<emu::SilentAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    EXPECT_EQ(libusb_claim_interface(handle, 9), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 4, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 3, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(handle, 3), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(model->altSetting(4), 1);
    EXPECT_EQ(model->resets(), 1);
    EXPECT_EQ(libusb_release_interface(handle, 4), 0);
    EXPECT_EQ(libusb_claim_interface(handle, 4), 0);
    EXPECT_EQ(model->claims(4), 2);
}

TEST_F(BusCase, BlockedTransferEndsWhenTheDeviceLeaves) {
    auto model = std::make_shared<emu::SilentAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    std::atomic<int> result{1};
    std::thread reader([&] {
        unsigned char buf[64];
        int done = 0;
        result = libusb_bulk_transfer(handle, 0x81, buf, sizeof buf, &done, 0);
    });
    ASSERT_TRUE(vtest::waitFor([&] { return frontEnd->transfersInFlight(id) == 1; }, 2s));
    ASSERT_EQ(frontEnd->unplug(id), 0);
    EXPECT_TRUE(vtest::waitFor([&] { return result != 1; }, 3s));
    if (result == 1) {
        reader.detach();  // stuck: fail without hanging the program
        handle = nullptr;
        FAIL() << "the transfer did not end after the unplug";
    }
    reader.join();
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    unsigned char b[4] = {0};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x01, b, sizeof b, &done, 100), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(BusCase, ResetWithAClaimedInterfaceReclaimsItAtSettingZero) {
    auto model = std::make_shared<emu::SilentAdapter>();
    ASSERT_NO_FATAL_FAILURE(open(model));
    ASSERT_EQ(model->claims(4), 1);
    // Linux libusb gives the interfaces up around the reset and claims them again; the reset
    // itself puts them back to alternate setting 0.
    ASSERT_EQ(libusb_reset_device(handle), 0);
    EXPECT_EQ(model->resets(), 2);
    EXPECT_EQ(model->claims(4), 2);
    EXPECT_EQ(model->altSetting(4), 0);
    unsigned char b[4] = {9, 8, 7, 6};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x01, b, sizeof b, &done, 1000), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 4, 1), 0);
    EXPECT_EQ(model->altSetting(4), 1);
}

// The model-520 firmware update as processes: vel-emulate with an adapter that keeps the image
// it receives in a file (its flash) and reports that image's version at its next start. A newer
// host image is sent and ends the service through usb_abort; started again, the adapter reports
// the new version and nothing is sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "firmware520Process.h"
#include "testSupport.h"

using namespace std::chrono_literals;

TEST_F(Firmware520Process, NewerHostImageIsSentThenTheNextStartMatches) {
    // Large enough to go out header-first: the adapter refuses it otherwise and keeps nothing.
    const std::string image = hostImage("1.10.0", 1048544 + 4096);
    put("Bootloader0.bin", "bl0");
    put("Bootloader1.bin", "bl1");
    put("firmware0.bin", "fw0");
    put("USBDisplay520.bin", image);
    const std::string store = flash.file("flash.bin");

    auto first = vtest::run(
        {kEmu, "--adapter", "520", "--fw-version", "1.9", "--fw-store", store, "--seconds", "15"},
        envVars(), 25s);
    EXPECT_EQ(first.status, 1) << first.err << env.log();
    expectInOrder({"FW Version: 1.9, BL1 Version: BL1-1.0.4",
                   "[info] found updateBin in file system, FW Version:  1.10.0",
                   "FW Version in host is newer than device FW, device_id:0 FW Version in device: "
                   "1.9, FW Version in host:  1.10.0",
                   "Layout Version: LAYOUT-2.1", "+ CUSB520Adapter::updateFwOnly +",
                   "+ VelDisplayClass::fwUpdate Type:6 +",
                   "+ VelDisplay520Class::SendCommand DataClassID:2, DataTypeID:6, Ret=0 +",
                   "- VelDisplay520Class::fwUpdate Ret=0 -", "- CUSB520Adapter::updateFwOnly -",
                   "FW Update Success", "usb_abort!"});
    // The service ended from the check: bring-up went no further.
    EXPECT_EQ(count("controlHeartbeat devId=0, status=1"), 0);
    EXPECT_TRUE(vtest::readFile(store) == image)
        << "the adapter kept " << vtest::readFile(store).size() << " bytes";

    std::filesystem::remove(env.logFile());
    auto second = vtest::run(
        {kEmu, "--adapter", "520", "--fw-version", "1.9", "--fw-store", store, "--seconds", "3"},
        envVars(), 20s);
    EXPECT_EQ(second.status, 0) << second.err << env.log();
    expectInOrder({"FW Version: 1.10.0, BL1 Version: BL1-1.0.4",
                   "FW Version matched, device_id:0 FW Version:  1.10.0,",
                   "Layout Version: LAYOUT-2.1", "+ CUSB520Adapter::SendHeartBeatThread Start +"});
    EXPECT_EQ(count("fwUpdate"), 0);
    EXPECT_EQ(count("usb_abort!"), 0);
}

TEST_F(Firmware520Process, OversizedHostImageIsNotSentAndTheServiceGoesOn) {
    put("Bootloader0.bin", "bl0");
    put("Bootloader1.bin", "bl1");
    put("firmware0.bin", "fw0");
    put("USBDisplay520.bin", hostImage("3.0", 0x500001));
    auto r = vtest::run({kEmu, "--adapter", "520", "--fw-version", "2.9", "--fw-store",
                         flash.file("flash.bin"), "--seconds", "3"},
                        envVars(), 20s);
    EXPECT_EQ(r.status, 0) << r.err << env.log();
    expectInOrder({"FW Version in host is newer than device FW",
                   "+ VelDisplayClass::fwUpdate Type:6 +",
                   "[error] firmware image of 5242881 bytes is larger than 5242880 bytes, not sent",
                   "= updateFwOnly: Update firmware error:0x1 =", "FW Update Failed",
                   "+ CUSB520Adapter::SendHeartBeatThread Start +"});
    EXPECT_EQ(count("DataClassID:2, DataTypeID:6"), 0);
    EXPECT_EQ(count("usb_abort!"), 0);
    EXPECT_FALSE(std::filesystem::exists(flash.file("flash.bin")));
}

TEST_F(Firmware520Process, DecoratedDeviceVersionIsReadAndOlderFirmwareUpdated) {
    // The adapter's text carries a prefix and a blank; its number is still older than the host's.
    put("Bootloader0.bin", "bl0");
    put("Bootloader1.bin", "bl1");
    put("firmware0.bin", "fw0");
    put("USBDisplay520.bin", hostImage("2.24.6.0", 1048544 + 4096));
    auto r = vtest::run({kEmu, "--adapter", "520", "--fw-version", "v 2.24.1.0", "--fw-store",
                         flash.file("flash.bin"), "--seconds", "15"},
                        envVars(), 25s);
    EXPECT_EQ(r.status, 1) << r.err << env.log();
    expectInOrder({"FW Version: v 2.24.1.0, BL1 Version: ",
                   "FW Version in host is newer than device FW, device_id:0 FW Version in device: "
                   "v 2.24.1.0, FW Version in host:  2.24.6.0",
                   "+ VelDisplayClass::fwUpdate Type:6 +", "FW Update Success", "usb_abort!"});
    EXPECT_EQ(count("can't compare FW versions"), 0);
}

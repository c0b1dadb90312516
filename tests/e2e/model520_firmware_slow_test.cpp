// The model-520 firmware update as a process whose image transfer fails: the three version
// answers are made late so that the failure can be aimed at the image send (about 10 s).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "firmware520Process.h"
#include "testSupport.h"

using namespace std::chrono_literals;

TEST_F(Firmware520Process, FailedImageSendKeepsTheServiceRunning) {
    put("Bootloader0.bin", "bl0");
    put("Bootloader1.bin", "bl1");
    put("firmware0.bin", "fw0");
    put("USBDisplay520.bin", hostImage("3.0", 8192));
    // The three version answers come 2 s late each, so the image transfer is the first command
    // after about 6 s, and the only one sent between 4 and 6 s: that one fails. The stop at 7 s
    // comes before a hot-plug worker's own check (a monitor present at power-on) could send the
    // image again, its layout answer being late as well.
    auto r = vtest::run(
        {kEmu, "--adapter", "520", "--fw-version", "2.9", "--fw-store", flash.file("flash.bin"),
         "--answer", "0:1:late:2000", "--fail-out-after", "5200:1", "--seconds", "7"},
        envVars(), 20s);
    EXPECT_EQ(r.status, 0) << r.err << env.log();
    expectInOrder({"+ VelDisplayClass::fwUpdate Type:6 +",
                   "[warning] VelDisplay520Class::sendCommand writeBulkPipeTo error -1",
                   "- VelDisplay520Class::fwUpdate sendCommand Error Ret=2 -",
                   "= updateFwOnly: Update firmware error:0x2 =", "FW Update Failed",
                   "+ CUSB520Adapter::SendHeartBeatThread Start +"});
    EXPECT_EQ(count("usb_abort!"), 0);
    EXPECT_FALSE(std::filesystem::exists(flash.file("flash.bin")));
}

// The fault matrix, its rows that wait out a transfer time-out, a late or missing answer, or an
// adapter that leaves during a transfer and comes back (at bring-up, during a firmware update, at
// plug-in and mode set, during an image transfer while 50x frames stream), the model-520
// firmware-update rows, a storm of monitor events and both adapters leaving together, for both
// adapter generations (the rig and what a row checks: tests/support/faultMatrix.h; the quick
// rows: fault_matrix_test.cpp).
//
// A model-520 firmware update that fails is tried again by the firmware check of the monitor's
// hot-plug worker, and the successful one ends the service: those rows end through the fatal
// path. The adapter leaving at each step of a 50x SROM rewrite (the default-block read, each
// image and piece written, the blocks written back):
// Update508.AdapterLeavingAtEachStepIsRewrittenWholeAtItsReturn (model508_update_slow_test). The
// 50x firmware-version query, which bring-up's update sends first, failing or the adapter
// leaving during it: m508_bringup_version_fails, m508_bringup_version_unplugged; the model-520
// one: m520_bringup_version_fails, m520_bringup_version_unplugged.
#include "faultMatrix.h"

namespace {

using vtest::faults::Cmd;
using vtest::faults::End;
using vtest::faults::Fault;
using vtest::faults::Gen;
using vtest::faults::Phase;
using vtest::faults::Row;
using namespace std::chrono_literals;

struct FaultMatrix : vtest::faults::FaultMatrix {};

TEST_P(FaultMatrix, Row) { run(GetParam()); }

TEST_F(FaultMatrix, StormOfTwentyMonitorEventsInOneSecond520) {
    EXPECT_EXIT(runStorm(Gen::M520), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(env.logCount("usb_abort!"), 0) << env.log();
}

TEST_F(FaultMatrix, StormOfTwentyMonitorEventsInOneSecond508) {
    EXPECT_EXIT(runStorm(Gen::M508), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(env.logCount("usb_abort!"), 0) << env.log();
}

TEST_F(FaultMatrix, BothAdaptersUnpluggedTogether) {
    EXPECT_EXIT(runDoubleUnplug(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(env.logCount("usb_abort!"), 0) << env.log();
}

// Model-520 commands by (class, type): power status (1, 2), version (0, 1), frame-index reset
// (1, 19), heartbeat (1, 21: 1 open, 2 beat), capabilities (0, 5), EDID (0, 0), mode list
// (0, 4), display device create (1, 51), monitor bind (1, 58), source bind (1, 60), mode set
// (1, 0), layer (1, 26). 50x commands: power state 0x32, version 0x61, frame-index reset 0x45,
// heartbeat 0xD7, capabilities 0x65, EDID 0x60, mode list 0x64, mode set 0x30, view size 0x40.
const Row kRows[] = {
    // Model 520.
    {"m520_bringup_power_times_out", Gen::M520, Phase::BringUp, Fault::Timeout, {1, 2}},
    {"m520_bringup_power_unplugged", Gen::M520, Phase::BringUp, Fault::Unplug, {1, 2}},
    {"m520_bringup_version_unplugged", Gen::M520, Phase::BringUp, Fault::Unplug, {0, 1, 1}},
    {"m520_bringup_heartbeat_open_times_out",
     Gen::M520,
     Phase::BringUp,
     Fault::Timeout,
     {1, 21, 1}},
    {"m520_bringup_heartbeat_open_unplugged", Gen::M520, Phase::BringUp, Fault::Unplug, {1, 21, 1}},
    {"m520_bringup_caps_unplugged", Gen::M520, Phase::BringUp, Fault::Unplug, {0, 5}},
    {"m520_heartbeat_beat_unplugged", Gen::M520, Phase::BringUp, Fault::Unplug, {1, 21, 2}},
    {"m520_plugin_create_unplugged", Gen::M520, Phase::PlugIn, Fault::Unplug, {1, 51}},
    {"m520_plugin_edid_times_out",
     Gen::M520,
     Phase::PlugIn,
     Fault::Timeout,
     {0, 0},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_edid_unplugged", Gen::M520, Phase::PlugIn, Fault::Unplug, {0, 0}},
    {"m520_plugin_modelist_unplugged", Gen::M520, Phase::PlugIn, Fault::Unplug, {0, 4}},
    {"m520_modeset_times_out", Gen::M520, Phase::PlugIn, Fault::Timeout, {1, 0}},
    {"m520_modeset_unplugged", Gen::M520, Phase::PlugIn, Fault::Unplug, {1, 0}},
    {"m520_modeset_layer_unplugged", Gen::M520, Phase::PlugIn, Fault::Unplug, {1, 26}},
    {"m520_bringup_version_missing",
     Gen::M520,
     Phase::BringUp,
     Fault::Missing,
     {0, 1},
     End::Fatal,
     "[error] can not get semaphores for 3 second"},
    {"m520_bringup_version_duplicated", Gen::M520, Phase::BringUp, Fault::Duplicated, {0, 1}},
    {"m520_bringup_caps_late", Gen::M520, Phase::BringUp, Fault::Late, {0, 5}},
    {"m520_plugin_edid_late", Gen::M520, Phase::PlugIn, Fault::Late, {0, 0}},
    {"m520_plugin_edid_missing",
     Gen::M520,
     Phase::PlugIn,
     Fault::Missing,
     {0, 0},
     End::Fatal,
     "[error] can not get semaphores for 3 second"},
    {"m520_plugin_modelist_flagged", Gen::M520, Phase::PlugIn, Fault::Flagged, {0, 4}},
    {"m520_modeset_late", Gen::M520, Phase::PlugIn, Fault::Late, {1, 0}},
    {"m520_modeset_missing",
     Gen::M520,
     Phase::PlugIn,
     Fault::Missing,
     {1, 0},
     End::Fatal,
     "[error] can not get semaphores for 3 second"},
    {"m520_update_layout_query_fails",
     Gen::M520,
     Phase::Update,
     Fault::Fail,
     {0, 1, 4},
     End::Fatal,
     "FW Update Success"},
    {"m520_update_image_fails",
     Gen::M520,
     Phase::Update,
     Fault::Fail,
     {2, 6},
     End::Fatal,
     "FW Update Failed"},
    {"m520_update_image_times_out",
     Gen::M520,
     Phase::Update,
     Fault::Timeout,
     {2, 6},
     End::Fatal,
     "FW Update Failed"},
    // 50x family.
    {"m508_bringup_power_times_out", Gen::M508, Phase::BringUp, Fault::Timeout, {0x32}},
    {"m508_bringup_power_unplugged", Gen::M508, Phase::BringUp, Fault::Unplug, {0x32}},
    {"m508_bringup_version_unplugged", Gen::M508, Phase::BringUp, Fault::Unplug, {0x61}},
    {"m508_bringup_heartbeat_unplugged", Gen::M508, Phase::BringUp, Fault::Unplug, {0xD7}},
    {"m508_bringup_caps_times_out", Gen::M508, Phase::BringUp, Fault::Timeout, {0x65}},
    {"m508_bringup_caps_unplugged", Gen::M508, Phase::BringUp, Fault::Unplug, {0x65}},
    {"m508_plugin_edid_unplugged", Gen::M508, Phase::PlugIn, Fault::Unplug, {0x60}},
    {"m508_plugin_modelist_fails", Gen::M508, Phase::PlugIn, Fault::Fail, {0x64}},
    {"m508_plugin_modelist_unplugged", Gen::M508, Phase::PlugIn, Fault::Unplug, {0x64}},
    {"m508_modeset_times_out", Gen::M508, Phase::PlugIn, Fault::Timeout, {0x30}},
    {"m508_modeset_unplugged", Gen::M508, Phase::PlugIn, Fault::Unplug, {0x30}},
    {"m508_modeset_view_size_unplugged", Gen::M508, Phase::PlugIn, Fault::Unplug, {0x40}},
    {"m508_plugin_edid_missing", Gen::M508, Phase::PlugIn, Fault::Missing, {0x60}, End::Blank},
    {"m508_plugin_edid_wrong_type", Gen::M508, Phase::PlugIn, Fault::WrongType, {0x60}, End::Blank},
    {"m508_plugin_modelist_missing", Gen::M508, Phase::PlugIn, Fault::Missing, {0x64}},
    {"m508_update_srom_read_fails", Gen::M508, Phase::Update, Fault::Fail, {0x07}},
    {"m508_update_srom_flagged", Gen::M508, Phase::Update, Fault::Flagged, {0x07}},
    // Model 520, the adapter leaving during its firmware update: the session goes quietly; at
    // its return the update is done again, succeeds, and ends the service.
    {"m520_update_layout_query_unplugged",
     Gen::M520,
     Phase::Update,
     Fault::Unplug,
     {0, 1, 4},
     End::Fatal,
     "FW Update Success"},
    {"m520_update_image_unplugged",
     Gen::M520,
     Phase::Update,
     Fault::Unplug,
     {2, 6},
     End::Fatal,
     "FW Update Success"},
    // 50x family, its update's transfers timing out or the adapter leaving: bring-up goes on
    // (or, the adapter back, is done again) and the monitor shows.
    {"m508_update_workmode_times_out",
     Gen::M508,
     Phase::Update,
     Fault::Timeout,
     {0x77},
     End::Shows,
     "check package header failed"},
    {"m508_update_workmode_unplugged", Gen::M508, Phase::Update, Fault::Unplug, {0x77}},
    {"m508_update_fw_version_times_out",
     Gen::M508,
     Phase::Update,
     Fault::Timeout,
     {0x61, 1},
     End::Shows,
     "Check fw version failed!"},
    {"m508_update_bl_version_times_out",
     Gen::M508,
     Phase::Update,
     Fault::Timeout,
     {0x61, 5},
     End::Shows,
     "Check bl version failed!"},
    {"m508_update_bl_version_unplugged", Gen::M508, Phase::Update, Fault::Unplug, {0x61, 5}},
    {"m508_update_layout_times_out",
     Gen::M508,
     Phase::Update,
     Fault::Timeout,
     {0x61, 4},
     End::Shows,
     "srom return success."},
    {"m508_update_layout_unplugged", Gen::M508, Phase::Update, Fault::Unplug, {0x61, 4}},
    {"m508_update_srom_read_times_out", Gen::M508, Phase::Update, Fault::Timeout, {0x07, 1}},
    {"m508_update_srom_write_times_out",
     Gen::M508,
     Phase::Update,
     Fault::Timeout,
     {0x07, 2},
     End::Shows,
     "error!"},
    {"m508_update_image_times_out",
     Gen::M508,
     Phase::UpdateImage,
     Fault::Timeout,
     {0x06},
     End::Shows,
     "Failed to update firmware!"},
    {"m508_update_image_unplugged", Gen::M508, Phase::UpdateImage, Fault::Unplug, {0x06}},
    {"m508_update_bootloader_times_out",
     Gen::M508,
     Phase::UpdateBootloader,
     Fault::Timeout,
     {0x08},
     End::Shows,
     "error!"},
    {"m508_update_bootloader_unplugged", Gen::M508, Phase::UpdateBootloader, Fault::Unplug, {0x08}},
    // 50x image transfers while the desktop streams.
    {"m508_stream_image_times_out",
     Gen::M508,
     Phase::Stream,
     Fault::Timeout,
     {},
     End::Shows,
     "Send graghic data failed err=-7"},
    {"m508_stream_image_unplugged", Gen::M508, Phase::Stream, Fault::Unplug, {}},
};

INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& i) { return i.param.name; });

}  // namespace

// The fault matrix, its rows that end within a second or two: transfers that fail at each step
// of bring-up, of a 50x firmware update, of monitor plug-in and mode set, and while 50x frames
// stream; answers that are flagged, of the wrong type, duplicated or missing where that is no
// wait; for both adapter generations (the rig and what a row checks:
// tests/support/faultMatrix.h). The rows that wait out a time-out or an unplug are in
// fault_matrix_slow_test.cpp.
//
// Faults covered elsewhere, not repeated here:
// - open, reset, claim and alternate setting failing at arrival: DevMgrDeathTest (devmgr_test);
// - the sixth failed command of the process: Transport520.SixthSendFailureOfTheProcessEndsIt;
//   five survived: Transport520.FiveSendFailuresAreSurvived; a failed image transfer and the
//   sixth in a row: pipeline_send_test;
// - flagged and mismatched model-520 answers to single operations: Transport520.
//   FlaggedAndMismatchedAnswers, Bringup520.FlaggedVersionAnswerKeepsTheEmptyText,
//   Bringup520.WrongHeartbeatAnswerGives115AndBringUpGoesOn, Monitor520.EdidBoundsAndFailures,
//   Monitor520.ModeListEntriesAndBounds, Monitor520.BindFailuresLeaveTheMapsAlone;
// - a model-520 EDID answer that never comes while the adapter leaves, or while the service
//   stops: PlugExit520.AdapterLeavingDuringAPlugInEndsNothing, StopDuringAPlugInExitsWithZero;
//   an unbind answer that never comes while the adapter leaves:
//   PlugExit520.AdapterLeavingDuringAPlugOutEndsNothing;
// - 50x late answers to the power state and the EDID read: scenario508_cases;
// - the 50x version answer that never comes: Silent508.VersionQueryWithoutAnyAnswerGivesUp...;
//   the adapter leaving at each step of a 50x SROM update:
//   Update508.AdapterLeavingAtEachStepIsRewrittenWholeAtItsReturn;
// - the adapter leaving while frames stream, twenty times: Unplug520, Unplug508 (slow).
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

// Model-520 commands by (class, type): power status (1, 2), version (0, 1), frame-index reset
// (1, 19), heartbeat (1, 21: 1 open, 2 beat), capabilities (0, 5), EDID (0, 0), mode list
// (0, 4), display device create (1, 51), monitor bind (1, 58), source bind (1, 60), mode set
// (1, 0), layer (1, 26). 50x commands: power state 0x32, version 0x61, frame-index reset 0x45,
// heartbeat 0xD7, capabilities 0x65, EDID 0x60, mode list 0x64, mode set 0x30, view size 0x40.
const Row kRows[] = {
    // Model 520.
    {"m520_bringup_power_fails", Gen::M520, Phase::BringUp, Fault::Fail, {1, 2}},
    {"m520_bringup_version_fails", Gen::M520, Phase::BringUp, Fault::Fail, {0, 1, 1}},
    {"m520_bringup_frameindex_fails", Gen::M520, Phase::BringUp, Fault::Fail, {1, 19}},
    {"m520_bringup_caps_fails", Gen::M520, Phase::BringUp, Fault::Fail, {0, 5}},
    {"m520_heartbeat_beat_fails",
     Gen::M520,
     Phase::BringUp,
     Fault::Fail,
     {1, 21, 2},
     End::Fatal,
     "[error] CUSB520Adapter::SendHeartBeatThread send heartbeat failed"},
    {"m520_plugin_create_fails",
     Gen::M520,
     Phase::PlugIn,
     Fault::Fail,
     {1, 51},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_bind_monitor_fails",
     Gen::M520,
     Phase::PlugIn,
     Fault::Fail,
     {1, 58},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_edid_fails",
     Gen::M520,
     Phase::PlugIn,
     Fault::Fail,
     {0, 0},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_modelist_fails", Gen::M520, Phase::PlugIn, Fault::Fail, {0, 4}},
    {"m520_modeset_bind_source_fails", Gen::M520, Phase::PlugIn, Fault::Fail, {1, 60}},
    {"m520_modeset_fails", Gen::M520, Phase::PlugIn, Fault::Fail, {1, 0}},
    {"m520_bringup_power_flagged", Gen::M520, Phase::BringUp, Fault::Flagged, {1, 2}},
    {"m520_bringup_heartbeat_open_duplicated",
     Gen::M520,
     Phase::BringUp,
     Fault::Duplicated,
     {1, 21}},
    {"m520_bringup_caps_wrong_type", Gen::M520, Phase::BringUp, Fault::WrongType, {0, 5}},
    {"m520_plugin_edid_wrong_type",
     Gen::M520,
     Phase::PlugIn,
     Fault::WrongType,
     {0, 0},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_edid_flagged",
     Gen::M520,
     Phase::PlugIn,
     Fault::Flagged,
     {0, 0},
     End::Fatal,
     "USB connect failed!"},
    {"m520_plugin_edid_duplicated", Gen::M520, Phase::PlugIn, Fault::Duplicated, {0, 0}},
    {"m520_plugin_modelist_duplicated", Gen::M520, Phase::PlugIn, Fault::Duplicated, {0, 4}},
    {"m520_modeset_flagged", Gen::M520, Phase::PlugIn, Fault::Flagged, {1, 0}},
    {"m520_modeset_duplicated", Gen::M520, Phase::PlugIn, Fault::Duplicated, {1, 0}},
    // 50x family.
    {"m508_bringup_power_fails", Gen::M508, Phase::BringUp, Fault::Fail, {0x32}},
    {"m508_bringup_version_fails", Gen::M508, Phase::BringUp, Fault::Fail, {0x61}},
    {"m508_bringup_frameindex_fails", Gen::M508, Phase::BringUp, Fault::Fail, {0x45}},
    {"m508_bringup_heartbeat_fails", Gen::M508, Phase::BringUp, Fault::Fail, {0xD7}},
    {"m508_plugin_edid_fails",
     Gen::M508,
     Phase::PlugIn,
     Fault::Fail,
     {0x60},
     End::Fatal,
     "USB connect failed!"},
    {"m508_modeset_fails", Gen::M508, Phase::PlugIn, Fault::Fail, {0x30}},
    {"m508_bringup_power_missing", Gen::M508, Phase::BringUp, Fault::Missing, {0x32}},
    {"m508_bringup_version_flagged", Gen::M508, Phase::BringUp, Fault::Flagged, {0x61}},
    {"m508_bringup_heartbeat_wrong_type", Gen::M508, Phase::BringUp, Fault::WrongType, {0xD7}},
    {"m508_bringup_caps_duplicated", Gen::M508, Phase::BringUp, Fault::Duplicated, {0x65}},
    {"m508_plugin_edid_flagged", Gen::M508, Phase::PlugIn, Fault::Flagged, {0x60}},
    {"m508_plugin_edid_duplicated", Gen::M508, Phase::PlugIn, Fault::Duplicated, {0x60}},
    {"m508_plugin_modelist_duplicated", Gen::M508, Phase::PlugIn, Fault::Duplicated, {0x64}},
    {"m508_modeset_late", Gen::M508, Phase::PlugIn, Fault::Late, {0x30}},
    {"m508_modeset_missing", Gen::M508, Phase::PlugIn, Fault::Missing, {0x30}},
    {"m508_modeset_flagged", Gen::M508, Phase::PlugIn, Fault::Flagged, {0x30}},
    {"m508_modeset_duplicated", Gen::M508, Phase::PlugIn, Fault::Duplicated, {0x30}},
    // 50x update: the step that failed is logged, the update stops there, bring-up goes on. A
    // layout that cannot be read counts as a different one: everything is rewritten.
    {"m508_update_workmode_fails",
     Gen::M508,
     Phase::Update,
     Fault::Fail,
     {0x77},
     End::Shows,
     "check package header failed"},
    {"m508_update_bl_version_fails",
     Gen::M508,
     Phase::Update,
     Fault::Fail,
     {0x61, 5},
     End::Shows,
     "Check bl version failed!"},
    {"m508_update_layout_fails",
     Gen::M508,
     Phase::Update,
     Fault::Fail,
     {0x61, 4},
     End::Shows,
     "srom return success."},
    {"m508_update_srom_write_fails",
     Gen::M508,
     Phase::Update,
     Fault::Fail,
     {0x07, 2},
     End::Shows,
     "error!"},
    {"m508_update_image_fails",
     Gen::M508,
     Phase::UpdateImage,
     Fault::Fail,
     {0x06},
     End::Shows,
     "Failed to update firmware!"},
    {"m508_update_bootloader_fails",
     Gen::M508,
     Phase::UpdateBootloader,
     Fault::Fail,
     {0x08},
     End::Shows,
     "error!"},
    // 50x image transfers failing while the desktop streams: each frame's credit comes back and
    // the stream goes on.
    {"m508_stream_image_fails",
     Gen::M508,
     Phase::Stream,
     Fault::Fail,
     {},
     End::Shows,
     "Send graghic data failed err=-1"},
};

INSTANTIATE_TEST_SUITE_P(Fast, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& i) { return i.param.name; });

}  // namespace

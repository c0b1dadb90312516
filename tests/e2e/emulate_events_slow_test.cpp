// Hot-plug as a user meets it, with vel-emulate as a process: an adapter that leaves and comes
// back, and a desktop that changes its mode, each during a run; the run summary says what every
// monitor showed and when it last showed its desktop.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");

struct EmulateEventsRun : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;

    // Runs vel-emulate with one model-520 adapter and its built-in monitor plus `args`, and
    // reads the summary back. The bound is generous: runs take seconds, more under load.
    nlohmann::json run(std::vector<std::string> args, int* status) {
        std::vector<std::string> argv = {kEmu, "--adapter", "520", "--out", out.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = vtest::run(argv, env.processEnv(), std::chrono::seconds(90));
        *status = r.status;
        err = r.err;
        const std::string text = vtest::readFile(out.file("summary.json"));
        return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
    }
    std::string err;
};

// The one monitor of the one adapter.
const nlohmann::json& onlyMonitor(const nlohmann::json& doc) {
    static const nlohmann::json none;
    if (!doc.contains("adapters") || doc["adapters"].size() != 1 ||
        doc["adapters"][0]["monitors"].size() != 1)
        return none;
    return doc["adapters"][0]["monitors"][0];
}

}  // namespace

TEST_F(EmulateEventsRun, AdapterUnpluggedAndPluggedAgainShowsTheDesktopAgain) {
    int status = -1;
    const auto doc = run({"--scene", "moving-window", "--seconds", "9", "--at",
                          "2.5:unplug-adapter 1", "--at", "4:plug-adapter 1"},
                         &status);
    ASSERT_EQ(status, 0) << err << env.log();
    ASSERT_EQ(doc["adapters"].size(), 1u) << doc.dump(2);
    const auto& a = doc["adapters"][0];
    // Plugged at the start, gone at 2.5 s, back at 4 s under a new bus id; the adapter keeps
    // the id of its first plug.
    const auto& h = a["plug_history"];
    ASSERT_EQ(h.size(), 3u) << a.dump(2);
    EXPECT_EQ(h[0]["event"], "plug");
    EXPECT_EQ(h[0]["at_s"], 0.0);
    EXPECT_EQ(h[1]["event"], "unplug");
    EXPECT_GE(h[1]["at_s"].get<double>(), 2.5);
    EXPECT_EQ(h[2]["event"], "plug");
    EXPECT_GE(h[2]["at_s"].get<double>(), 4.0);
    EXPECT_EQ(h[0]["bus_id"], a["id"]);
    EXPECT_EQ(h[1]["bus_id"], a["id"]);
    EXPECT_NE(h[2]["bus_id"], a["id"]);

    const auto& m = onlyMonitor(doc);
    ASSERT_FALSE(m.is_null()) << doc.dump(2);
    EXPECT_EQ(m["target_id"], 0x20);
    EXPECT_GT(m["frames_shown"].get<int>(), 0);
    ASSERT_TRUE(m["psnr_db"].is_number()) << m.dump();
    EXPECT_GE(m["psnr_db"].get<double>(), 30.0);
    ASSERT_TRUE(m["last_showed_desktop_s"].is_number()) << m.dump();
    EXPECT_GT(m["last_showed_desktop_s"].get<double>(), h[2]["at_s"].get<double>());
    // The departure is no failure: the service carried on and took the adapter back.
    EXPECT_EQ(env.logCount("usb_abort"), 0) << env.log();
    EXPECT_EQ(env.logCount("Vel USB Device is attached"), 2) << env.log();
}

TEST_F(EmulateEventsRun, DesktopModeChangeShowsTheNewModesDesktop) {
    int status = -1;
    const auto doc =
        run({"--scene", "moving-window", "--seconds", "7", "--at", "3:mode 1 0 1280x720"}, &status);
    ASSERT_EQ(status, 0) << err << env.log();
    const auto& m = onlyMonitor(doc);
    ASSERT_FALSE(m.is_null()) << doc.dump(2);
    EXPECT_EQ(m["width"], 1280);
    EXPECT_EQ(m["height"], 720);
    ASSERT_TRUE(m["psnr_db"].is_number()) << m.dump();
    EXPECT_GE(m["psnr_db"].get<double>(), 30.0);
    ASSERT_TRUE(m["last_showed_desktop_s"].is_number()) << m.dump();
    EXPECT_GT(m["last_showed_desktop_s"].get<double>(), 3.0);
    EXPECT_EQ(doc["adapters"][0]["plug_history"].size(), 1u);
}

TEST_F(EmulateEventsRun, MonitorUnpluggedAndPluggedBackShowsTheDesktopAgain) {
    // Frames stream for five seconds, the monitor leaves port 0 and is back half a second
    // later: the frames of its new display must reach it, however many the old one had.
    vtest::TempDir scripts;
    const std::string events = scripts.file("events.txt");
    std::ofstream(events) << "# the monitor leaves port 0 and comes back\n"
                             "5   unplug-monitor 1 0\n"
                             "5.5 plug-monitor 1 0\n";
    int status = -1;
    const auto doc =
        run({"--scene", "moving-window", "--seconds", "8", "--events", events}, &status);
    ASSERT_EQ(status, 0) << err << env.log();
    const auto& m = onlyMonitor(doc);
    ASSERT_FALSE(m.is_null()) << doc.dump(2);
    EXPECT_EQ(m["target_id"], 0x20);
    EXPECT_GT(m["frames_shown"].get<int>(), 0) << m.dump();
    ASSERT_TRUE(m["psnr_db"].is_number()) << m.dump();
    EXPECT_GE(m["psnr_db"].get<double>(), 30.0);
    ASSERT_TRUE(m["last_showed_desktop_s"].is_number()) << m.dump();
    EXPECT_GT(m["last_showed_desktop_s"].get<double>(), 5.5) << m.dump();
}

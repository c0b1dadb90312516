// vel-emulate with emulated 50x-family adapters, as a process: the run supplies the host
// firmware images, the adapter reports what it took (model508-K.txt), the capture holds the
// family's endpoints, and the monitors' settled pictures land in the outputs as for model 520.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "pngRead.h"
#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");
constexpr const char* kMonitor = "cta3-1080p-dell-s2419h-5A2CDC31568E";

std::string inPath(const std::string& program) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string p = std::string(dir) + "/" + program;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

bool hasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

struct Emulate508 : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;
};

struct WantMonitor {
    int target, width, height;
};

// The run's summary holds one adapter of `model` with these monitors, each showing its desktop
// (PSNR measured by the run) and each left as a PNG of its size, decoded here. Returns the
// decoded pictures in the order of `want`.
std::vector<std::vector<uint8_t>> checkAdapterOutputs(const nlohmann::json& doc,
                                                      const std::string& dir,
                                                      const std::string& model,
                                                      const std::vector<WantMonitor>& want) {
    std::vector<std::vector<uint8_t>> pictures;
    const nlohmann::json* adapter = nullptr;
    for (const auto& a : doc["adapters"])
        if (a["model"] == model) adapter = &a;
    EXPECT_NE(adapter, nullptr) << "no adapter " << model << " in " << doc.dump();
    if (!adapter) return pictures;
    const int id = (*adapter)["id"];
    EXPECT_EQ((*adapter)["monitors"].size(), want.size()) << adapter->dump();
    for (const WantMonitor& w : want) {
        SCOPED_TRACE(model + " target " + std::to_string(w.target));
        const nlohmann::json* m = nullptr;
        for (const auto& mon : (*adapter)["monitors"])
            if (mon["target_id"] == w.target) m = &mon;
        EXPECT_NE(m, nullptr) << adapter->dump();
        if (!m) continue;
        EXPECT_EQ((*m)["width"], w.width);
        EXPECT_EQ((*m)["height"], w.height);
        EXPECT_GE((*m)["frames_shown"].get<int>(), 1);
        EXPECT_GT((*m)["bytes_received"].get<uint64_t>(), 0u);
        EXPECT_TRUE((*m)["psnr_db"].is_number()) << m->dump();
        if ((*m)["psnr_db"].is_number()) {
            EXPECT_GE((*m)["psnr_db"].get<double>(), 30.0);
        }
        char name[32];
        snprintf(name, sizeof name, "/%d-0x%02x.png", id, w.target);
        int pw = 0, ph = 0;
        std::vector<uint8_t> px;
        EXPECT_TRUE(vtest::readPng(dir + name, &pw, &ph, &px)) << name;
        EXPECT_EQ(pw, w.width) << name;
        EXPECT_EQ(ph, w.height) << name;
        pictures.push_back(std::move(px));
    }
    return pictures;
}

}  // namespace

// Two monitors of different sizes on a model-508 adapter, both views busy: the summary names the
// adapter, and each PNG, decoded, is the static desktop of its monitor's size (the emulator's
// wallpaper computed here, not read from the run).
TEST_F(Emulate508, TwoMonitorsLeaveSummaryPicturesAndCapture) {
    const std::string dir = out.file("run");
    const std::string cap = out.file("run.pcap");
    auto r = vtest::run({kEmu, "--adapter", "508", "--monitor", kMonitor, "--monitor",
                         "analog-noext-dell-e2011h-3E7E918BD230", "--scene", "static",
                         "--seconds", "4", "--out", dir, "--capture", cap},
                        env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const auto doc = nlohmann::json::parse(vtest::readFile(dir + "/summary.json"));
    ASSERT_EQ(doc["adapters"].size(), 1u);
    const std::vector<WantMonitor> want = {{0x01, 1920, 1080}, {0x02, 1600, 900}};
    const auto pictures = checkAdapterOutputs(doc, dir, "508", want);
    ASSERT_EQ(pictures.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_GE(vtest::psnrAgainstStaticDesktop(pictures[i], want[i].width, want[i].height),
                  30.0)
            << "target " << want[i].target;
    EXPECT_TRUE(hasLine(vtest::readFile(dir + "/model508-0.txt"), "refused 0"));
    EXPECT_GT(std::filesystem::file_size(cap), 0u);
    EXPECT_EQ(doc["capture"]["file"], cap) << doc.dump();
}

// The other two 50x products, served side by side with a moving window: each leaves its
// picture and is named in the summary.
TEST_F(Emulate508, Models505And500LeaveTheirPictures) {
    const std::string dir = out.file("run");
    auto r = vtest::run({kEmu, "--adapter", "505", "--adapter", "500", "--monitor",
                         "analog-noext-dell-e2011h-3E7E918BD230", "--scene", "moving-window",
                         "--seconds", "5", "--out", dir, "--capture", out.file("run.pcap")},
                        env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const auto doc = nlohmann::json::parse(vtest::readFile(dir + "/summary.json"));
    ASSERT_EQ(doc["adapters"].size(), 2u);
    checkAdapterOutputs(doc, dir, "505", {{0x01, 1920, 1080}});
    checkAdapterOutputs(doc, dir, "500", {{0x01, 1600, 900}});
    for (const char* f : {"/model508-0.txt", "/model508-1.txt"})
        EXPECT_TRUE(hasLine(vtest::readFile(dir + f), "refused 0")) << f;
}

TEST_F(Emulate508, RunWithAMonitorSuppliesImagesAndReportsWhatTheAdapterTook) {
    const std::string dir = out.file("run");
    const std::string cap = out.file("run.pcap");
    auto r = vtest::run({kEmu, "--adapter", "508", "--monitor", kMonitor, "--seconds", "4", "--out",
                         dir, "--capture", cap},
                        env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    for (const char* name :
         {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin", "USBDisplay.bin"})
        EXPECT_TRUE(std::filesystem::exists(env.fwDir() + "/" + name)) << name;
    EXPECT_GE(env.logCount("Current Product is VL508"), 1);
    EXPECT_GE(env.logCount("EDID target id =[1]"), 1) << env.log();
    const std::string summary = vtest::readFile(dir + "/model508-0.txt");
    EXPECT_TRUE(hasLine(summary, "heartbeat_open 1")) << summary;
    EXPECT_TRUE(hasLine(summary, "refused 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "unknown 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "cmd 6 96 48")) << summary;  // the EDID request, 0x60

    const std::string tshark = inPath("tshark");
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
    auto t = vtest::run({tshark, "-r", cap, "-T", "fields", "-e", "usb.endpoint_address"}, {},
                        std::chrono::seconds(60));
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("0x01"), std::string::npos);
    EXPECT_NE(t.out.find("0x81"), std::string::npos);
}

TEST_F(Emulate508, OlderFirmwareTakesTheLegacyHeartbeat) {
    const std::string dir = out.file("run");
    auto r =
        vtest::run({kEmu, "--adapter", "505", "--legacy-heartbeat", "--seconds", "3", "--out", dir},
                   env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const std::string summary = vtest::readFile(dir + "/model508-0.txt");
    EXPECT_TRUE(hasLine(summary, "heartbeat_open 1")) << summary;
    // Every 0xD7 probe (bring-up, and each DPMS on asks for the heartbeat again) is answered as
    // an unknown command, and nothing else is.
    size_t probes = 0;
    for (size_t at = summary.find("cmd 6 215 44\n"); at != std::string::npos;
         at = summary.find("cmd 6 215 44\n", at + 1))
        ++probes;
    EXPECT_GE(probes, 1u) << summary;
    EXPECT_TRUE(hasLine(summary, "unknown " + std::to_string(probes))) << summary;
    EXPECT_TRUE(hasLine(summary, "refused 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "cmd 6 71 44")) << summary;  // 0x47
    EXPECT_TRUE(hasLine(summary, "bulk_beats 0")) << summary;
}

// The adapter's SROM kept in a file: a full rewrite (another layout number) lands there, and a
// later run's adapter reports the versions of what the file holds, not its made-up texts.
TEST_F(Emulate508, SromFileKeepsARewriteForTheNextRun) {
    const std::string srom = out.file("adapter.srom");
    const std::string dir1 = out.file("run1");
    auto r = vtest::run({kEmu, "--adapter", "508", "--layout", "131077", "--bl-version",
                         "v 00.01.0003", "--srom", srom, "--seconds", "3", "--out", dir1},
                        env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    std::string summary = vtest::readFile(dir1 + "/model508-0.txt");
    EXPECT_TRUE(hasLine(summary, "srom_refused 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "refused 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "fw_version v 2.24.1.0")) << summary;
    EXPECT_TRUE(hasLine(summary, "bl_version v 00.01.0004")) << summary;  // the host's
    EXPECT_EQ(env.logCount("srom return success."), 1) << env.log();

    const std::string dir2 = out.file("run2");
    r = vtest::run({kEmu, "--adapter", "508", "--fw-version", "n 2.9.3.0302", "--srom", srom,
                    "--seconds", "3", "--out", dir2},
                   env.processEnv(), std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    summary = vtest::readFile(dir2 + "/model508-0.txt");
    EXPECT_TRUE(hasLine(summary, "fw_images 0")) << summary;
    EXPECT_TRUE(hasLine(summary, "srom_writes 0")) << summary;
    EXPECT_EQ(env.logCount("FW do not need to update!"), 1) << env.log();
}

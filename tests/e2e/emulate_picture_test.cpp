// vel-emulate's desktop run as a process: two monitors (an EDID file and a built-in one) on an emulated model-520
// adapter, the run summary, the monitors' pictures as PNG, the usbmon capture read back by
// tshark, and the refusal of bad option values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");
const std::string kEdidDir = std::string(VEL_DATA_DIR) + "/edid/corpus/";
const std::string kEdid1080 = kEdidDir + "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";
// A test monitor built into the emulator, named without a path (what an installed vel-emulate
// offers without the source tree).
const std::string kEdid900 = "analog-noext-dell-e2011h-3E7E918BD230";

struct EmulatePicture : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;
    std::vector<std::string> envVars() const { return env.processEnv(); }
};

// A program's path from PATH, or "".
std::string inPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        const size_t colon = dirs.find(':', at);
        const std::string dir = dirs.substr(at, colon == std::string::npos ? colon : colon - at);
        const std::string file = (dir.empty() ? "." : dir) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return file;
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    return "";
}

// Width and height from a PNG's IHDR chunk; false when the file is no PNG.
bool pngSize(const std::string& path, int* w, int* h) {
    const std::string b = vtest::readFile(path);
    static const char sig[] = "\x89PNG\r\n\x1a\n";
    if (b.size() < 24 || b.compare(0, 8, std::string(sig, 8)) != 0 || b.compare(12, 4, "IHDR"))
        return false;
    auto be32 = [&](size_t at) {
        return (static_cast<uint8_t>(b[at]) << 24) | (static_cast<uint8_t>(b[at + 1]) << 16) |
               (static_cast<uint8_t>(b[at + 2]) << 8) | static_cast<uint8_t>(b[at + 3]);
    };
    *w = be32(16);
    *h = be32(20);
    return true;
}

}  // namespace

TEST_F(EmulatePicture, TwoMonitorsLeaveSummaryPicturesAndCapture) {
    const std::string cap = out.file("run.pcap");
    auto r = vtest::run({kEmu, "--adapter", "520", "--monitor", kEdid1080, "--monitor", kEdid900,
                         "--scene", "scrolling-text", "--mode", "light", "--seconds", "4", "--out",
                         out.path(), "--capture", cap},
                        envVars(), std::chrono::seconds(30));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    // "--mode light" reaches the session as a user's request would.
    EXPECT_NE(env.log().find("Switch to light mode"), std::string::npos) << env.log();

    const auto doc = nlohmann::json::parse(vtest::readFile(out.file("summary.json")));
    ASSERT_EQ(doc["adapters"].size(), 1u);
    const auto& a = doc["adapters"][0];
    EXPECT_EQ(a["model"], "520");
    const int id = a["id"];
    ASSERT_EQ(a["monitors"].size(), 2u);
    const struct { int target, width, height; } want[2] = {{0x20, 1920, 1080}, {0x21, 1600, 900}};
    uint64_t monitorBytes = 0;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto& m = a["monitors"][i];
        EXPECT_EQ(m["target_id"], want[i].target);
        EXPECT_EQ(m["width"], want[i].width);
        EXPECT_EQ(m["height"], want[i].height);
        EXPECT_GT(m["frames_shown"].get<int>(), 1);
        EXPECT_GT(m["frames_per_second"].get<double>(), 0.0);
        EXPECT_GT(m["bytes_received"].get<uint64_t>(), 0u);
        ASSERT_TRUE(m["psnr_db"].is_number()) << m.dump();
        EXPECT_GE(m["psnr_db"].get<double>(), 30.0);
        monitorBytes += m["bytes_received"].get<uint64_t>();
        char name[32];
        snprintf(name, sizeof name, "%d-0x%02x.png", id, want[i].target);
        int w = 0, h = 0;
        ASSERT_TRUE(pngSize(out.file(name), &w, &h)) << name;
        EXPECT_EQ(w, want[i].width);
        EXPECT_EQ(h, want[i].height);
    }
    // The adapter took the monitors' image packets and its commands besides.
    EXPECT_GT(a["bytes_received"].get<uint64_t>(), monitorBytes);
    EXPECT_EQ(vtest::readFile(out.file("model520-0.txt")).find("error:"), std::string::npos);

    // tshark reads the capture as usbmon; image packets went out on endpoint 2.
    const std::string tshark = inPath("tshark");
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
    auto t = vtest::run({tshark, "-r", cap, "-T", "fields", "-e", "usb.endpoint_address"}, {},
                        std::chrono::seconds(60));
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("0x02"), std::string::npos);
    EXPECT_NE(t.out.find("0x81"), std::string::npos);
}

// With decoding off the adapter still takes, checks and acknowledges the stream (the frames keep
// coming) but shows nothing: no frame shown, no picture written.
TEST_F(EmulatePicture, DecodingOffTakesTheStreamAndShowsNothing) {
    auto r = vtest::run({kEmu, "--adapter", "520", "--no-decode", "--monitor", kEdid1080,
                         "--scene", "full-screen", "--seconds", "3", "--out", out.path()},
                        envVars(), std::chrono::seconds(30));
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const auto doc = nlohmann::json::parse(vtest::readFile(out.file("summary.json")));
    ASSERT_EQ(doc["adapters"].size(), 1u);
    const auto& a = doc["adapters"][0];
    ASSERT_EQ(a["monitors"].size(), 1u);
    EXPECT_EQ(a["monitors"][0]["frames_shown"].get<int>(), 0);
    char name[32];
    snprintf(name, sizeof name, "%d-0x%02x.png", a["id"].get<int>(), 0x20);
    EXPECT_FALSE(std::filesystem::exists(out.file(name))) << name;
    const std::string record = vtest::readFile(out.file("model520-0.txt"));
    EXPECT_NE(record.find("\nrefused 0\n"), std::string::npos) << record.substr(0, 400);
    // More than one frame was taken: each was acknowledged, so the next could come.
    size_t images = 0;
    for (size_t at = record.find("\nimage "); at != std::string::npos;
         at = record.find("\nimage ", at + 1))
        ++images;
    EXPECT_GT(images, 1u);
}

TEST_F(EmulatePicture, BadOptionValuesShowUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {"--adapter", "520", "--mode", "dark"},
        {"--adapter", "520", "--scene", "fireworks"},
        {"--adapter", "520", "--monitor", out.file("missing.bin")},
        {"--monitor", kEdid1080, "--adapter", "520"},
        {"--adapter", "508", "--monitor", out.file("missing.bin")},
        {"--adapter", "520", "--legacy-heartbeat"},
        {"--adapter", "505", "--answer", "1:0x32:never"},
        {"--adapter", "520", "--capture"},
        {"--no-decode", "--adapter", "520"},  // no adapter to apply it to yet
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {kEmu};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = vtest::run(argv, envVars(), std::chrono::seconds(10));
        EXPECT_EQ(r.status, 2) << args[args.size() - 2] << " " << args.back();
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
}

// The Wireshark dissector (tools/wireshark/velusbdisplay.lua) read through tshark:
// - a capture vel-emulate writes of a model-520 run (bring-up, firmware check and log, two
//   monitors with frames, unplug and plug, cursor, DPMS) is decoded transfer by transfer and
//   agrees with what the emulated adapter recorded (commands per class and type, the frame index
//   and rectangle of every image packet in order), with whole image packets;
// - a 3840 x 2160 frame is cut by the capture, marked so in the run summary, and still read;
// - a capture of a 50x-family run (bring-up with the older heartbeat, three monitors on the
//   ports, EDID and mode lists, the 4K timing patch) agrees with the adapter's record likewise;
// - a capture written from a byte table of 50x-family packets (and model-520 firmware packets)
//   laid out by hand from the wire formats gives the fields of the table, and every malformed
//   packet of the table is flagged while its neighbours are not.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/output/pcapCapture.h"
#include "firmware520Process.h"
#include "fwImages508.h"
#include "jpu/OrfeJpegHeaderDec.h"
#include "testJpeg.h"
#include "testSupport.h"
#include "tsharkRun.h"

using namespace std::chrono_literals;

namespace {

const std::string kService = VEL_BIN_DIR "/VelUSBDisplay";
const std::string kEdid1080 = "cta3-1080p-dell-s2419h-5A2CDC31568E";
const std::string kEdid900 = "analog-noext-dell-e2011h-3E7E918BD230";
const std::string kEdid4k = "uhd4k-u28e590-DD2CB70777FD";

struct WiresharkCapture : Firmware520Process {
    vtest::TempDir out;
    vtest::TempDir home;  // tshark's, without personal preferences or plug-ins
};

bool hasMalformed(const std::string& expertMessages) {
    return expertMessages.find("Malformed") != std::string::npos;
}

// Lines of model520-K.txt that start with `word`, split into their numbers.
std::vector<std::vector<long>> summaryLines(const std::string& text, const std::string& word) {
    std::vector<std::vector<long>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream ls(line);
        std::string first;
        if (!(ls >> first) || first != word) continue;
        std::vector<long> v;
        for (long x; ls >> x;) v.push_back(x);
        lines.push_back(v);
    }
    return lines;
}

// A 50x-family capture read through tshark against the emulated adapter's record
// (model508-K.txt): no packet is marked malformed; every OUT packet, as the adapter records it
// (byte 16, the command code of a control packet, the transfer's length), is decoded as one,
// the same ones in the same numbers; every image packet's header fields and JPEG size are the
// ones the adapter read, in order. `infos` counts the Info column's texts.
void expectFamily50xCaptureAsRecorded(const std::string& cap, const std::string& record,
                                      const std::string& home,
                                      std::map<std::string, int>* infos) {
    const vtest::TsharkResult t = vtest::tsharkFields(
        cap,
        {"usb.endpoint_address", "usb.data_len", "usb.urb_len", "vel50x.message", "vel50x.class",
         "vel50x.code", "_ws.col.Info", "_ws.expert.message", "vel50x.img.view_select",
         "vel50x.img.frame_index", "vel50x.img.x", "vel50x.img.y", "vel50x.img.width",
         "vel50x.img.height", "vel50x.img.stride", "vel50x.img.jpeg_len", "vel50x.img.pieces",
         "vel50x.jpeg.size"},
        home);
    enum { kEp, kLen, kUrbLen, kMsg, kClass, kCode, kInfo, kExpert, kImg };
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err.find("Lua"), std::string::npos) << t.err;
    std::map<std::string, int> decoded;
    std::vector<std::vector<long>> images;
    std::set<size_t> cutImages;
    for (const auto& row : t.rows) {
        SCOPED_TRACE(row[kInfo]);
        EXPECT_FALSE(hasMalformed(row[kExpert])) << row[kExpert];
        if (row[kLen] == "0") continue;
        ASSERT_FALSE(row[kMsg].empty()) << row[kEp];
        ++(*infos)[row[kInfo]];
        if (std::stoul(row[kEp], nullptr, 16) & 0x80) continue;
        unsigned kind = 0, code = 0;
        if (row[kMsg] == "cursor position") {
            kind = 0x3A;
        } else if (row[kMsg] == "cursor select") {
            kind = 0x39;
        } else {
            kind = static_cast<unsigned>(std::stoul(row[kClass]));
            if (row[kMsg] == "command")
                code = static_cast<unsigned>(std::stoul(row[kCode], nullptr, 16));
        }
        ++decoded[std::to_string(kind) + " " + std::to_string(code) + " " + row[kUrbLen]];
        if (row[kMsg] == "image") {
            // A packet the capture cut (a 4K half runs past its snap length) has no end marker
            // to find: its JPEG size is the one field the dissector cannot give.
            const bool cut = std::stoul(row[kLen]) < std::stoul(row[kUrbLen]);
            std::vector<long> v;
            for (size_t f = kImg; f < row.size(); ++f) {
                if (cut && f == row.size() - 1) {
                    EXPECT_TRUE(row[f].empty()) << row[f];
                    v.push_back(-1);
                    cutImages.insert(images.size());
                    continue;
                }
                EXPECT_FALSE(row[f].empty()) << "image field " << f - kImg;
                v.push_back(row[f].empty() ? -1 : std::stol(row[f], nullptr, 0));
            }
            images.push_back(v);
        }
    }
    std::map<std::string, int> recorded;
    for (const auto& c : summaryLines(record, "cmd"))
        ++recorded[std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2])];
    EXPECT_EQ(decoded, recorded);
    // "image VIEWSELECT FRAMEINDEX X Y WIDTH HEIGHT STRIDE JPEGLENGTH PIECEFLAGS JPEGSIZE"
    std::vector<std::vector<long>> took = summaryLines(record, "image");
    for (size_t i : cutImages)
        if (i < took.size() && !took[i].empty()) took[i].back() = -1;
    EXPECT_EQ(images, took);
}

}  // namespace

TEST_F(WiresharkCapture, Model520RunIsDecodedAsTheAdapterRecordedIt) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    // Host images of the adapter's own version: the check asks for the layout, sends nothing.
    put("Bootloader0.bin", "bl0");
    put("Bootloader1.bin", "bl1");
    put("firmware0.bin", "fw0");
    put("USBDisplay520.bin", hostImage("V1.3.12.0520", 4096));
    const std::string cap = out.file("run.pcap");
    vtest::Process emu({kEmu,
                        "--adapter",
                        "520",
                        "--monitor",
                        kEdid1080,
                        "--monitor",
                        kEdid900,
                        "--log-blocks",
                        "3",
                        "--seconds",
                        "0",
                        "--out",
                        out.path(),
                        "--capture",
                        cap,
                        "--at",
                        "1.5:cursor 1 0 100 200",
                        "--at",
                        "2:cursor 1 0 300 40",
                        "--at",
                        "2.5:unplug-monitor 1 1",
                        "--at",
                        "3.5:plug-monitor 1 1 " + kEdid900,
                        "--at",
                        "4:dpms 1 0 off",
                        "--at",
                        "4.5:dpms 1 0 on"},
                       envVars());
    ASSERT_TRUE(vtest::waitFor([&] { return count("SendHeartBeatThread Start") == 1; }, 30s))
        << env.log();
    vtest::ProcResult client = vtest::run({kService, "-fwlog"}, envVars(), 60s);
    EXPECT_EQ(client.status, 0) << client.out << client.err;
    // The last event: the display is back on (DPMS on at each of the three desktop starts, then
    // off and on).
    EXPECT_TRUE(vtest::waitFor([&] { return count("doDpmsState Ret=") >= 5; }, 60s)) << env.log();
    std::this_thread::sleep_for(500ms);
    emu.signal(SIGTERM);
    vtest::ProcResult r = emu.wait(60s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const std::string record = vtest::readFile(out.file("model520-0.txt"));
    ASSERT_NE(record.find("refused 0"), std::string::npos) << record;

    // Whole transfers: nothing was cut.
    const auto summary = nlohmann::json::parse(vtest::readFile(out.file("summary.json")));
    EXPECT_EQ(summary["capture"]["cut_transfers"], 0) << summary["capture"].dump();
    EXPECT_EQ(summary["capture"]["snap_bytes"], emu::PcapCapture::kMaxSnapLength);

    const std::vector<std::string> fields = {"usb.endpoint_address",  "usb.data_len",
                                             "vel520.message",        "vel520.class",
                                             "vel520.type",           "vel520.header_first",
                                             "vel520.display_device", "vel520.img.frame_index",
                                             "vel520.img.x",          "vel520.img.y",
                                             "vel520.img.width",      "vel520.img.height",
                                             "vel520.dec.count",      "vel520.jpeg.quality",
                                             "_ws.col.Info",          "_ws.expert.message"};
    enum {
        kEp,
        kLen,
        kMsg,
        kClass,
        kType,
        kFirst,
        kDd,
        kFrame,
        kX,
        kY,
        kW,
        kH,
        kDec,
        kQ,
        kInfo,
        kExpert
    };
    const vtest::TsharkResult t = vtest::tsharkFields(cap, fields, home.path());
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err.find("Lua"), std::string::npos) << t.err;
    EXPECT_EQ(static_cast<uint64_t>(t.rows.size()),
              2 * summary["capture"]["transfers"].get<uint64_t>());

    std::map<std::string, int> decodedCommands, infos;
    std::vector<std::vector<long>> decodedImages;
    const std::regex imageInfo(R"(image frame \d+ \d+x\d+ q90 \d+ KB)");
    for (const auto& row : t.rows) {
        SCOPED_TRACE(row[kInfo]);
        EXPECT_FALSE(hasMalformed(row[kExpert])) << row[kExpert];
        if (row[kLen] == "0") continue;
        // Every transfer that carried bytes is one of our messages.
        ASSERT_FALSE(row[kMsg].empty()) << row[kEp];
        ++infos[row[kInfo]];
        const bool out = row[kEp] == "0x01" || row[kEp] == "0x02";
        if (!out || !row[kFirst].empty()) continue;  // a lone header announces the next transfer
        ++decodedCommands[row[kClass] + " " + row[kType]];
        if (row[kMsg] != "image") continue;
        EXPECT_EQ(row[kDec], "2");  // the decoder header was captured: the packet is whole
        EXPECT_EQ(row[kQ], "90");
        EXPECT_TRUE(std::regex_match(row[kInfo], imageInfo));
        decodedImages.push_back({std::stol(row[kDd]), std::stol(row[kFrame]), std::stol(row[kX]),
                                 std::stol(row[kY]), std::stol(row[kW]), std::stol(row[kH])});
    }
    std::map<std::string, int> recordedCommands;
    for (const auto& c : summaryLines(record, "cmd"))
        ++recordedCommands[std::to_string(c[0]) + " " + std::to_string(c[1])];
    EXPECT_EQ(decodedCommands, recordedCommands);
    EXPECT_EQ(decodedImages, summaryLines(record, "image"));
    // The run covered the kinds the service uses: bring-up, firmware check and log, display
    // devices, mode set, layers, power, cursor image and position, frames.
    for (const char* kind : {"1 2", "0 1",  "0 5",  "1 21", "0 48", "1 51", "1 58", "0 0",
                             "0 4", "1 60", "1 0",  "1 27", "1 26", "1 1",  "1 69", "1 16",
                             "3 0", "3 1",  "1 61", "1 59", "1 52", "1 19", "2 4"})
        EXPECT_GT(decodedCommands[kind], 0) << kind;
    // Adapter to host, by what the Info column says.
    for (const char* info :
         {"notify: monitor plugged on port 0x20, monitor plugged on port 0x21",
          "notify: monitor unplugged from port 0x21", "notify: monitor plugged on port 0x21",
          "FWLog block 1/3", "FWLog block 3/3", "GetFWVersion response: LAYOUT-2.1",
          "CursorState view 0 100,200 shown", "CursorState view 0 300,40 shown", "Heartbeat close",
          "MonitorControl off target 0x20 dd 0"})
        EXPECT_GT(infos[info], 0) << info;
}

TEST_F(WiresharkCapture, Model520FrameAt4kIsCutByTheCaptureAndStillRead) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    const std::string cap = out.file("4k.pcap");
    vtest::Process emu({kEmu, "--adapter", "520", "--monitor", kEdid4k, "--scene", "static",
                        "--seconds", "0", "--out", out.path(), "--capture", cap},
                       envVars());
    // The first frame's record is the only one past 256 KB: once the file is that long, the
    // frame went out (a large record goes to the file as it is written).
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            std::error_code ec;
            const auto size = std::filesystem::file_size(cap, ec);
            return !ec && size > emu::PcapCapture::kMaxSnapLength;
        },
        60s))
        << env.log();
    emu.signal(SIGTERM);
    vtest::ProcResult r = emu.wait(60s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const auto summary = nlohmann::json::parse(vtest::readFile(out.file("summary.json")));
    const auto& c = summary["capture"];
    ASSERT_GE(c["cut_transfers"].get<int>(), 1) << c.dump();
    EXPECT_EQ(c["cut"][0]["endpoint"], 2);
    EXPECT_EQ(c["cut"][0]["captured"], emu::PcapCapture::kMaxSnapLength);
    EXPECT_GT(c["cut"][0]["length"].get<uint64_t>(), emu::PcapCapture::kMaxSnapLength);
    EXPECT_NE(r.err.find("transfers cut to 262080 bytes"), std::string::npos) << r.err;

    const vtest::TsharkResult t =
        vtest::tsharkFields(cap,
                            {"vel520.img.width", "vel520.img.height", "usb.urb_len",
                             "vel520.dec.count", "_ws.col.Info", "_ws.expert.message"},
                            home.path(), "vel520.img.frame_index");
    ASSERT_EQ(t.status, 0) << t.err;
    ASSERT_FALSE(t.rows.empty());
    const auto& row = t.rows[0];
    EXPECT_EQ(row[0], "3840");
    EXPECT_EQ(row[1], "2160");
    EXPECT_EQ(row[2], std::to_string(c["cut"][0]["length"].get<uint64_t>()));
    EXPECT_EQ(row[3], "");  // its decoder header lies past the cut
    EXPECT_NE(row[4].find("[cut by the capture]"), std::string::npos) << row[4];
    EXPECT_NE(row[5].find("Transfer cut by the capture"), std::string::npos) << row[5];
    EXPECT_FALSE(hasMalformed(row[5])) << row[5];
}

TEST_F(WiresharkCapture, Family50xRunIsDecodedAsTheAdapterRecordedIt) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    // Three monitors (the service takes the ones on targets 1 and 4; the 4K one on target 4 gets
    // the timing patch) and the older heartbeat firmware (0xD7 answered as unknown, then 0x47).
    const std::string cap = out.file("508.pcap");
    vtest::Process emu(
        {kEmu, "--adapter", "508", "--monitor", kEdid1080, "--monitor", kEdid900, "--monitor",
         kEdid4k, "--legacy-heartbeat", "--seconds", "0", "--out", out.path(), "--capture", cap},
        envVars());
    EXPECT_TRUE(vtest::waitFor([&] { return count("dpms_handler ok!") >= 2; }, 60s)) << env.log();
    emu.signal(SIGTERM);
    vtest::ProcResult r = emu.wait(60s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    const std::string record = vtest::readFile(out.file("model508-0.txt"));
    ASSERT_NE(record.find("refused 0"), std::string::npos) << record;

    std::map<std::string, int> infos;
    expectFamily50xCaptureAsRecorded(cap, record, home.path(), &infos);
    for (const char* info : {"PowerState on", "reply PowerState: accepted", "HeartbeatControl on",
                             "UnknownCommandReply: status 0x01", "HeartbeatLegacy on", "ReadCaps",
                             "event: monitors 0x07 (targets 1, 2, 4)", "ReadEDID target 1",
                             "EDIDReply target 4: 256 bytes", "ReadModeList target 4",
                             "Patch4k target 4 on", "FrameIndexReset"})
        EXPECT_GT(infos[info], 0) << info;
}

// What the service sends a 50x adapter once it shows a desktop, read from real runs: frames of a
// moving window (split ones among them), a cursor shown and moved, then a firmware update in
// each of its two forms (the main image alone, for a newer host image; every image through the
// SROM, for another layout number).
TEST_F(WiresharkCapture, Family50xFramesCursorAndFirmwareAreDecodedAsTheAdapterRecordedThem) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    // Host images newer than the adapter's "v 2.24.1.0": bring-up sends the main image.
    ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.25.0.0"));
    const std::string cap = out.file("frames.pcap");
    vtest::ProcResult r =
        vtest::run({kEmu, "--adapter", "508", "--monitor", kEdid1080, "--scene", "moving-window",
                    "--at", "1.5:cursor 1 0 100 100", "--at", "2:cursor 1 0 400 300", "--seconds",
                    "4", "--out", out.file("frames"), "--capture", cap},
                   envVars(), 90s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    std::string record = vtest::readFile(out.file("frames/model508-0.txt"));
    ASSERT_NE(record.find("\nrefused 0\n"), std::string::npos) << record;
    ASSERT_NE(record.find("\nfw_images 1\n"), std::string::npos) << record;
    // Split frames (both halves) and whole ones were sent.
    std::map<long, int> pieces;
    for (const auto& img : summaryLines(record, "image")) ++pieces[img[8]];
    EXPECT_GT(pieces[0x11], 0);
    EXPECT_GT(pieces[0x21], 0);
    EXPECT_EQ(pieces[0x21], pieces[0x22]);
    std::map<std::string, int> infos;
    ASSERT_NO_FATAL_FAILURE(expectFamily50xCaptureAsRecorded(cap, record, home.path(), &infos));
    auto withPrefix = [&infos](const std::string& prefix) {
        int n = 0;
        for (const auto& kv : infos) n += kv.first.rfind(prefix, 0) == 0 ? kv.second : 0;
        return n;
    };
    for (const char* info :
         {"CursorImage slot 0", "reply CursorImage: accepted", "CursorSelect view 0 slot 0 (new)",
          "CursorSelect view 0 slot 0", "CursorPosition view 0 100,100 shown",
          "CursorPosition view 0 400,300 shown", "FirmwareImage 65536 bytes"})
        EXPECT_GT(infos[info], 0) << info;
    EXPECT_EQ(withPrefix("FirmwareImage"), 1);
    EXPECT_GT(withPrefix("image view 0 frame "), 0);
    EXPECT_GT(withPrefix("event: frame "), 0);

    // Another layout number: every image and the description blocks go through the SROM.
    const std::string srom = out.file("srom.pcap");
    r = vtest::run({kEmu, "--adapter", "508", "--layout", "131077", "--seconds", "3", "--out",
                    out.file("srom"), "--capture", srom},
                   envVars(), 90s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    record = vtest::readFile(out.file("srom/model508-0.txt"));
    ASSERT_NE(record.find("\nrefused 0\n"), std::string::npos) << record;
    const std::vector<std::vector<long>> writes = summaryLines(record, "srom_writes");
    ASSERT_EQ(writes.size(), 1u);
    infos.clear();
    ASSERT_NO_FATAL_FAILURE(expectFamily50xCaptureAsRecorded(srom, record, home.path(), &infos));
    EXPECT_EQ(withPrefix("SromAccess write 0x"), writes[0][0]);
    EXPECT_GT(infos["SromAccess read 0x11000 244 bytes"], 0);
    EXPECT_GE(infos["SromReply done"], writes[0][0]);
}

namespace {

using Bytes = std::vector<uint8_t>;

void putLe(Bytes& b, size_t at, uint64_t v, int n) {
    if (b.size() < at + n) b.resize(at + n);
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 50x-family packet: the magic, then `size` bytes in all, zero unless set.
Bytes p50(size_t size, uint32_t lengthField) {
    Bytes b(size, 0);
    memcpy(b.data(), "veltarvexsta", 12);
    if (size >= 16) putLe(b, 12, lengthField, 4);
    return b;
}

// A 50x command: class 6, view select, code.
Bytes cmd50(size_t size, uint32_t lengthField, uint8_t code, uint8_t viewSelect = 0) {
    Bytes b = p50(size, lengthField);
    b[16] = 6;
    b[19] = viewSelect;
    b[20] = code;
    return b;
}

// An incoming 50x packet of `size` bytes with its type and status.
// A packet cut before its status (or type) byte keeps only what fits.
Bytes in50(size_t size, uint8_t type, uint8_t status) {
    Bytes b = p50(size, 0);
    if (b.size() > 16) b[16] = type;
    if (b.size() > 17) b[17] = status;
    return b;
}

// A model-520 message: the 32-byte header and `payload`.
Bytes msg520(uint8_t dataClass, uint8_t dataType, uint32_t payloadLength, const Bytes& payload) {
    Bytes b(32 + payload.size(), 0);
    memcpy(b.data(), "VELC", 4);
    putLe(b, 8, 1, 2);
    b[12] = dataType;
    b[13] = dataClass;
    putLe(b, 20, 32, 2);
    putLe(b, 24, payloadLength, 4);
    std::copy(payload.begin(), payload.end(), b.begin() + 32);
    return b;
}

struct TablePacket {
    uint8_t endpoint;
    emu::TransferType type;
    Bytes bytes;
    // field -> value tshark must show; "malformed" -> "yes" for a packet that must be flagged
    std::map<std::string, std::string> expect;
};

// The table: packets laid out from the wire formats, with what tshark must show of each.
std::vector<TablePacket> packetTable() {
    using TT = emu::TransferType;
    std::vector<TablePacket> table;
    {  // SetMode: view 0 1920 x 1080 at 60 Hz on target 1, view 1 disabled.
        Bytes b = cmd50(48, 48, 0x30);
        b[21] = 0, b[22] = 1, b[23] = 0;
        putLe(b, 24, 1920, 2), putLe(b, 26, 1080, 2), b[28] = 32, putLe(b, 29, 60, 2);
        b[31] = 255, b[32] = 0, b[33] = 2, b[38] = 32;
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.code", "0x30"},
                          {"vel50x.mode.width", "1920,0"},
                          {"_ws.col.Info", "SetMode view 0 1920x1080@60, view 1 off"}}});
    }
    table.push_back({0x81,
                     TT::Interrupt,
                     in50(64, 0x30, 0),
                     {{"vel50x.status", "0x00"}, {"_ws.col.Info", "reply SetMode: accepted"}}});
    {
        Bytes b = cmd50(48, 48, 0x31, 0x10);
        b[21] = 4, b[22] = 1;
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.view_select", "0x10"},
                          {"vel50x.target", "4"},
                          {"_ws.col.Info", "Dpms off target 4"}}});
    }
    table.push_back(
        {0x81, TT::Interrupt, in50(64, 0x31, 3), {{"_ws.col.Info", "reply Dpms: status 0x03"}}});
    table.push_back({0x81,
                     TT::Interrupt,
                     in50(64, 0xE1, 0x05),
                     {{"vel50x.monitor_mask", "0x05"},
                      {"_ws.col.Info", "event: monitors 0x05 (targets 1, 4)"}}});
    {
        Bytes b = in50(64, 0xE9, 1);
        putLe(b, 20, 1234, 4);
        table.push_back({0x81,
                         TT::Interrupt,
                         b,
                         {{"vel50x.finished_frame", "1234"},
                          {"_ws.col.Info", "event: frame 1234 finished (source 1)"}}});
    }
    {
        Bytes b = cmd50(48, 48, 0x60);
        b[18] = 0x20;  // repeated request
        b[21] = 4;
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.edid_retry", "1"}, {"_ws.col.Info", "ReadEDID target 4"}}});
    }
    {
        Bytes b = in50(560, 0x60, 0);
        putLe(b, 18, 128, 4);
        b[22] = 4;
        const uint8_t head[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
        memcpy(&b[48], head, 8);
        table.push_back(
            {0x81,
             TT::Interrupt,
             b,
             {{"vel50x.edid.size", "128"}, {"_ws.col.Info", "EDIDReply target 4: 128 bytes"}}});
    }
    {
        Bytes b = in50(1024, 0x64, 0);
        putLe(b, 18, 2, 2);
        const uint32_t modes[2][4] = {{1920, 1080, 60, 32}, {3840, 2160, 30, 32}};
        for (int i = 0; i < 2; ++i)
            for (int k = 0; k < 4; ++k) putLe(b, 48 + 16 * i + 4 * k, modes[i][k], 4);
        table.push_back({0x81,
                         TT::Interrupt,
                         b,
                         {{"vel50x.modelist.width", "1920,3840"},
                          {"vel50x.modelist.refresh", "60,30"},
                          {"_ws.col.Info", "ModeListReply: 2 modes"}}});
    }
    {
        Bytes b = p50(44, 44);
        b[16] = 0x3A, putLe(b, 17, 12, 4), b[21] = 1, b[32] = 1;
        putLe(b, 36, static_cast<uint32_t>(-5), 4), putLe(b, 40, 77, 4);
        table.push_back(
            {0x03,
             TT::Interrupt,
             b,
             {{"vel50x.cursor.x", "-5"}, {"_ws.col.Info", "CursorPosition view 1 -5,77 shown"}}});
    }
    {
        Bytes b = p50(48, 48);
        b[16] = 0x39, b[18] = 0x40, b[21] = 0, putLe(b, 22, 7, 4), b[26] = 1;
        table.push_back(
            {0x03,
             TT::Interrupt,
             b,
             {{"vel50x.cursor.slot", "7"}, {"_ws.col.Info", "CursorSelect view 0 slot 7 (new)"}}});
    }
    {
        Bytes b = cmd50(16480, 16480, 0x42);
        b[21] = 0x30, b[22] = 0x40, b[25] = 7;
        putLe(b, 48, 2, 4), putLe(b, 52, 64, 4), putLe(b, 56, 64, 4), putLe(b, 60, 256, 4);
        putLe(b, 64, 3, 4), putLe(b, 68, 4, 4), putLe(b, 72, 16384, 4);
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.cursor.hot_y", "4"}, {"_ws.col.Info", "CursorImage slot 7"}}});
    }
    // An image packet: a 64 x 48 4:2:0 JPEG at quality 75 made by libjpeg-turbo, with the
    // decoder header of the 50x family after it.
    const Bytes jpeg = vtest::tjJpeg(64, 48, TJSAMP_420, 75);
    {
        const size_t n = jpeg.size();
        uint32_t total = static_cast<uint32_t>(n + 20528);
        if (total % 512 == 0) ++total;
        Bytes b = p50(total, total);
        b[16] = 2, b[19] = 0xB0, b[20] = 4, b[21] = 1;
        putLe(b, 22, 77, 4), b[26] = 0xE0, putLe(b, 27, 16, 2), putLe(b, 29, 32, 2);
        putLe(b, 31, 64, 2), putLe(b, 33, 48, 2), putLe(b, 36, 256, 2), putLe(b, 38, n, 4);
        b[42] = 0x11;  // piece flags: a whole frame
        memcpy(&b[48], jpeg.data(), n);
        COrfeJpegHeaderDec dec;
        const int h = static_cast<int>(dec.GetJpegHeaderForCnMDecoder(
            &b[48], static_cast<unsigned>(n), &b[48 + n], 20480, CNM508_PROTOCOL));
        EXPECT_EQ(h, 1 + 2 * 2856);  // two records for one baseline JPEG
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.img.frame_index", "77"},
                          {"vel50x.img.x", "16"},
                          {"vel50x.jpeg.size", std::to_string(n)},
                          {"vel50x.jpeg.quality", "75"},
                          {"vel50x.jpeg.sampling", "4:2:0"},
                          {"vel50x.dec.count", "2"},
                          {"vel50x.dec.width", "64,64"},
                          {"vel50x.dec.aligned_height", "48,48"},
                          {"_ws.col.Info", "image view 1 frame 77 64x48 q75 " +
                                               std::to_string((n + 500) / 1000) + " KB"}}});
        // The lower half of a split frame says so; piece flags of no known piece are flagged.
        b[42] = 0x22;
        table.push_back({0x01,
                         TT::Bulk,
                         b,
                         {{"vel50x.img.piece", "lower half"},
                          {"_ws.col.Info", "image view 1 frame 77 64x48 lower half q75 " +
                                               std::to_string((n + 500) / 1000) + " KB"}}});
        b[42] = 0x00;
        table.push_back({0x01, TT::Bulk, b, {{"malformed", ""}}});
    }
    {
        Bytes b = in50(64, 0x61, 1);
        const char v[] = "v 2.24.1.0";
        memcpy(&b[19], v, sizeof v);
        table.push_back({0x81,
                         TT::Interrupt,
                         b,
                         {{"vel50x.version", "v 2.24.1.0"},
                          {"_ws.col.Info", "VersionReply kind 1: v 2.24.1.0"}}});
    }
    {  // SROM write of 100 bytes at the default block.
        Bytes b = cmd50(148, 148, 0x07);
        b[21] = 2, putLe(b, 22, 0x11000, 4), putLe(b, 26, 100, 4), b[30] = 0xFF;
        table.push_back({0x02,
                         TT::Bulk,
                         b,
                         {{"vel50x.srom.address", "0x00011000"},
                          {"_ws.col.Info", "SromAccess write 0x11000 100 bytes"}}});
        Bytes a = in50(64, 0x07, 0);
        a[26] = 1;
        table.push_back({0x81, TT::Interrupt, a, {{"_ws.col.Info", "SromReply done"}}});
    }
    {  // 48 + 464 is a multiple of 512: one more byte, counted by the length field.
        Bytes b = cmd50(513, 513, 0x06);
        putLe(b, 21, 464, 4);
        table.push_back(
            {0x02,
             TT::Bulk,
             b,
             {{"vel50x.image_len", "464"}, {"_ws.col.Info", "FirmwareImage 464 bytes"}}});
    }
    {
        Bytes b = cmd50(44, 44, 0xD7);
        b[21] = 3, b[22] = 1, b[23] = 1;
        table.push_back({0x01, TT::Bulk, b, {{"_ws.col.Info", "HeartbeatControl on"}}});
        table.push_back(
            {0x01, TT::Bulk, cmd50(44, 8, 0x45), {{"_ws.col.Info", "FrameIndexReset"}}});
    }
    // Model-520 firmware image over 0xFFFFF bytes: a lone header, then header and image whole.
    {
        const uint32_t n = 1048576;
        Bytes image(n, 0x11);
        const std::string tail = "Version: 1.10.0 build";
        memcpy(&image[n - tail.size()], tail.data(), tail.size());
        Bytes whole = msg520(2, 6, n, image);
        table.push_back(
            {0x01,
             TT::Bulk,
             Bytes(whole.begin(), whole.begin() + 32),
             {{"vel520.header_first", "1048576"},
              {"_ws.col.Info", "FirmwareImage header (1048576-byte payload follows)"}}});
        table.push_back({0x01,
                         TT::Bulk,
                         whole,
                         {{"vel520.command", "FirmwareImage"},
                          {"_ws.col.Info", "FirmwareImage 1048576 bytes [cut by the capture]"}}});
        Bytes small = msg520(2, 8, 4096, Bytes(4096, 0));
        memcpy(&small[32 + 4096 - tail.size()], tail.data(), tail.size());
        table.push_back({0x01,
                         TT::Bulk,
                         small,
                         {{"vel520.fw.version", "1.10.0"},
                          {"_ws.col.Info", "BL1Image 4096 bytes version 1.10.0"}}});
    }
    // Malformed: each is flagged, none stops the ones after it from being read.
    const std::map<std::string, std::string> bad = {{"malformed", "yes"}};
    table.push_back({0x81, TT::Interrupt, in50(17, 0x30, 0), bad});  // reply cut short
    {
        Bytes b = in50(1024, 0x64, 0);
        putLe(b, 18, 100, 2);  // 100 modes cannot fit in 1024 bytes
        table.push_back({0x81, TT::Interrupt, b, bad});
    }
    {
        Bytes b = p50(20600, 20000);  // image whose length field disagrees with the transfer
        b[16] = 2, putLe(b, 38, 72, 4);
        table.push_back({0x01, TT::Bulk, b, bad});
    }
    table.push_back({0x01, TT::Bulk, cmd50(30, 48, 0x30), bad});  // SetMode without its records
    table.push_back({0x01, TT::Bulk, msg520(1, 0, 100, Bytes(10, 0)), bad});  // payload missing
    table.push_back({0x81, TT::Bulk, Bytes{'V', 'E', 'L', 'C', 0, 0, 0, 0, 1, 0, 0, 0}, bad});
    {
        // Image packet whose decoder header claims 9 records.
        Bytes data(80, 0);
        putLe(data, 0, 80, 4), putLe(data, 4, 1024 + 7, 4), putLe(data, 72, 7, 4);
        Bytes area(1024 + 7, 0);
        area[0] = 0xFF, area[1] = 0xD8, area[2] = 0xFF, area[3] = 0xD9, area[1024] = 9;
        data.insert(data.end(), area.begin(), area.end());
        Bytes b = msg520(2, 4, static_cast<uint32_t>(data.size()), data);
        putLe(b, 8, 2, 2);
        table.push_back({0x02, TT::Bulk, b, bad});
    }
    table.push_back({0x81, TT::Bulk, msg520(4, 9, 6, Bytes(6, 0)), bad});  // feedback cut short
    return table;
}

// Writes the packets as the transfers of one adapter.
void writeCapture(const std::string& path, const std::vector<TablePacket>& packets) {
    emu::PcapCapture capture;
    ASSERT_EQ(capture.open(path), 0);
    for (const TablePacket& p : packets) {
        emu::TransferRecord t;
        t.busNumber = 1;
        t.address = 5;
        t.endpoint = p.endpoint;
        t.type = p.type;
        t.data = p.bytes;
        t.requested = (p.endpoint & 0x80) ? 1024 : p.bytes.size();
        t.submitted = t.completed = std::chrono::system_clock::now();
        capture.record(t);
    }
    ASSERT_EQ(capture.close(), 0);
}

}  // namespace

TEST_F(WiresharkCapture, TablePacketsGiveTheirFieldsAndMalformedOnesAreFlagged) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    const std::vector<TablePacket> table = packetTable();
    const std::string cap = out.file("table.pcap");
    writeCapture(cap, table);
    std::vector<std::string> fields = {"_ws.expert.message"};
    for (const TablePacket& p : table)
        for (const auto& kv : p.expect)
            if (kv.first != "malformed" &&
                std::find(fields.begin(), fields.end(), kv.first) == fields.end())
                fields.push_back(kv.first);
    const vtest::TsharkResult t = vtest::tsharkFields(cap, fields, home.path(), "vel50x || vel520");
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err.find("Lua"), std::string::npos) << t.err;
    // Every transfer decoded: one row per packet (the data ride on the OUT submission and on the
    // IN completion).
    ASSERT_EQ(t.rows.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE("table packet " + std::to_string(i));
        const auto& row = t.rows[i];
        const bool malformed = table[i].expect.count("malformed") > 0;
        EXPECT_EQ(hasMalformed(row[0]), malformed) << row[0];
        for (size_t f = 1; f < fields.size(); ++f) {
            auto e = table[i].expect.find(fields[f]);
            if (e != table[i].expect.end()) {
                EXPECT_EQ(row[f], e->second) << fields[f];
            }
        }
    }
}

TEST_F(WiresharkCapture, CutAndScrambledPacketsNeverStopTheDissector) {
    ASSERT_TRUE(std::filesystem::exists(vtest::kTshark)) << "scripts/install-deps.sh installs it";
    // Every table packet cut at each of its first 64 lengths and at some later ones, and copies
    // with bytes changed by a fixed pseudo-random sequence.
    std::vector<TablePacket> packets;
    uint32_t rnd = 2024;
    auto next = [&rnd] {
        rnd = rnd * 1103515245u + 12345u;
        return rnd >> 16;
    };
    for (const TablePacket& p : packetTable()) {
        const size_t n = std::min<size_t>(p.bytes.size(), 21000);
        // The magic stays whole, so the dissector takes every packet.
        const size_t magic = p.bytes[0] == 'v' ? 12 : 4;
        for (size_t cut = magic; cut < n; cut = cut < 64 ? cut + 1 : cut * 3 / 2)
            packets.push_back(
                {p.endpoint, p.type, Bytes(p.bytes.begin(), p.bytes.begin() + cut), {}});
        for (int copy = 0; copy < 8 && n > magic; ++copy) {
            Bytes b(p.bytes.begin(), p.bytes.begin() + n);
            for (int k = 0; k < 6; ++k)
                b[magic + next() % (n - magic)] = static_cast<uint8_t>(next());
            packets.push_back({p.endpoint, p.type, b, {}});
        }
    }
    const std::string cap = out.file("scrambled.pcap");
    writeCapture(cap, packets);
    vtest::ProcResult r = vtest::run(
        {vtest::kTshark, "-n", "-r", cap, "-X", "lua_script:" + vtest::dissectorPath(), "-V"},
        {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.path()}, 120s);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Lua Error"), std::string::npos)
        << r.out.substr(r.out.find("Lua Error") > 2000 ? r.out.find("Lua Error") - 2000 : 0, 2400);
    EXPECT_EQ(r.out.find("Dissector bug"), std::string::npos);
    // Each packet was still taken by one of the two protocols.
    size_t decoded = 0;
    for (size_t at = 0; (at = r.out.find("\nVelUSBDisplay ", at)) != std::string::npos; ++at)
        ++decoded;
    EXPECT_EQ(decoded, packets.size());
}

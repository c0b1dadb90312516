// The emulator's outputs: the usbmon capture (read back with libpcap and with tshark), the
// monitors' PNG pictures (read back with libpng) and the run summary with its PSNR.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <pcap/pcap.h>
#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "emulator/output/pcapCapture.h"
#include "emulator/output/pngWriter.h"
#include "emulator/output/summary.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/silent_adapter.h"
#include "testSupport.h"

using emu::Bus;

namespace {

// One record of a capture file as libpcap returns it, with the usbmon header fields a reader
// needs, taken at their kernel offsets.
struct Rec {
    uint32_t caplen = 0, len = 0;
    uint64_t id = 0;
    char type = 0;
    uint8_t xferType = 0, ep = 0, dev = 0;
    uint16_t bus = 0;
    uint8_t flagSetup = 0, flagData = 0;
    int32_t status = 0;
    uint32_t urbLen = 0, dataLen = 0;
    std::vector<uint8_t> setup, data;
};

template <typename T>
T get(const u_char* p, size_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

std::vector<Rec> readCapture(const std::string& path, int* linkType) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    std::vector<Rec> out;
    if (!p) return out;
    *linkType = pcap_datalink(p);
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) {
        Rec r;
        r.caplen = h->caplen;
        r.len = h->len;
        if (h->caplen < 64) {
            ADD_FAILURE() << "record shorter than the usbmon header";
            continue;
        }
        r.id = get<uint64_t>(d, 0);
        r.type = static_cast<char>(d[8]);
        r.xferType = d[9];
        r.ep = d[10];
        r.dev = d[11];
        r.bus = get<uint16_t>(d, 12);
        r.flagSetup = d[14];
        r.flagData = d[15];
        r.status = get<int32_t>(d, 28);
        r.urbLen = get<uint32_t>(d, 32);
        r.dataLen = get<uint32_t>(d, 36);
        r.setup.assign(d + 40, d + 48);
        r.data.assign(d + 64, d + h->caplen);
        out.push_back(r);
    }
    pcap_close(p);
    return out;
}

class Capture : public ::testing::Test {
  protected:
    void SetUp() override { Bus::instance().reset(); }
    void TearDown() override {
        if (h) libusb_close(h);
        if (ctx) libusb_exit(ctx);
        Bus::instance().reset();
    }
    // One 520 adapter on the bus, opened, interface 4 claimed at alternate setting 1.
    void openAdapter() {
        id = Bus::instance().plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(id, 0);
        ASSERT_EQ(libusb_init(&ctx), 0);
        libusb_device** list = nullptr;
        ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
        ASSERT_EQ(libusb_open(list[0], &h), 0);
        libusb_free_device_list(list, 1);
        ASSERT_EQ(libusb_claim_interface(h, 4), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(h, 4, 1), 0);
    }
    int bulk(uint8_t ep, std::vector<uint8_t>& buf, unsigned timeout = 200) {
        int n = 0;
        int rc = libusb_bulk_transfer(h, ep, buf.data(), static_cast<int>(buf.size()), &n, timeout);
        return rc;
    }
    vtest::TempDir dir;
    std::shared_ptr<emu::SilentAdapter> model = std::make_shared<emu::SilentAdapter>();
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    int id = 0;
};

TEST_F(Capture, RecordsCarryUsbmonFieldsAndDataOnTheRightEvent) {
    emu::PcapCapture cap(1000);
    const std::string file = dir.file("bus.pcap");
    ASSERT_EQ(cap.open(file), 0);
    Bus::instance().setTransferLog(cap.hook());
    openAdapter();
    const emu::DeviceStatus st = Bus::instance().status(id);

    std::vector<uint8_t> out = {1, 2, 3, 4, 5};
    ASSERT_EQ(bulk(0x02, out), 0);
    model->queueIn(0x81, {9, 8, 7});
    std::vector<uint8_t> in(16);
    ASSERT_EQ(bulk(0x81, in), 0);
    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(bulk(0x01, big), 0);
    Bus::instance().faults(id).stall(0x03);
    ASSERT_EQ(bulk(0x03, out), LIBUSB_ERROR_PIPE);
    std::vector<uint8_t> none(4);
    ASSERT_EQ(bulk(0x82, none, 10), LIBUSB_ERROR_TIMEOUT);
    uint8_t desc[18] = {};
    ASSERT_EQ(
        libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, desc, 18, 200),
        18);
    Bus::instance().setTransferLog({});
    EXPECT_EQ(cap.records(), 12u);
    EXPECT_EQ(cap.transfers(), 6u);
    // Only the 5000-byte transfer (the third, URB 3) went past the 1000-byte snap length.
    EXPECT_EQ(cap.cutCount(), 1u);
    const std::vector<emu::PcapCapture::Cut> cut = cap.cutTransfers();
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].urbId, 3u);
    EXPECT_EQ(cut[0].endpoint, 0x01);
    EXPECT_EQ(cut[0].length, 5000u);
    EXPECT_EQ(cut[0].captured, 1000u);
    ASSERT_EQ(cap.close(), 0);

    int link = 0;
    std::vector<Rec> r = readCapture(file, &link);
    EXPECT_EQ(link, DLT_USB_LINUX_MMAPPED);
    ASSERT_EQ(r.size(), 12u);
    for (size_t i = 0; i < r.size(); i += 2) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].type, 'S');
        EXPECT_EQ(r[i + 1].type, 'C');
        EXPECT_EQ(r[i].id, r[i + 1].id);  // one URB, two events
        EXPECT_EQ(r[i].status, -EINPROGRESS);
        EXPECT_EQ(r[i].dev, st.address);
        EXPECT_EQ(r[i].bus, st.busNumber);
        EXPECT_EQ(r[i].xferType, i == 10 ? 2 : 3);  // control, bulk
        EXPECT_EQ(r[i].ep, r[i + 1].ep);
        if (i > 0) {
            EXPECT_NE(r[i].id, r[i - 1].id);
        }
    }
    // OUT: the bytes go with the submission; the completion only reports the length.
    EXPECT_EQ(r[0].ep, 0x02);
    EXPECT_EQ(r[0].data, out);
    EXPECT_EQ(r[0].urbLen, 5u);
    EXPECT_EQ(r[0].flagData, 0);
    EXPECT_EQ(r[0].flagSetup, '-');
    EXPECT_EQ(r[1].status, 0);
    EXPECT_EQ(r[1].urbLen, 5u);
    EXPECT_EQ(r[1].dataLen, 0u);
    EXPECT_EQ(r[1].flagData, '>');
    // IN: the submission asks for 16 bytes, the completion brings the 3 that came.
    EXPECT_EQ(r[2].ep, 0x81);
    EXPECT_EQ(r[2].urbLen, 16u);
    EXPECT_EQ(r[2].dataLen, 0u);
    EXPECT_EQ(r[2].flagData, '<');
    EXPECT_EQ(r[3].urbLen, 3u);
    EXPECT_EQ(r[3].data, (std::vector<uint8_t>{9, 8, 7}));
    // Cut to the snap length; the lengths stay whole.
    EXPECT_EQ(r[4].urbLen, 5000u);
    EXPECT_EQ(r[4].dataLen, 1000u);
    EXPECT_EQ(r[4].caplen, 64u + 1000u);
    EXPECT_EQ(r[4].len, 64u + 5000u);
    EXPECT_TRUE(std::equal(r[4].data.begin(), r[4].data.end(), big.begin()));
    // Errors as the kernel reports them.
    EXPECT_EQ(r[7].status, -EPIPE);
    EXPECT_EQ(r[7].urbLen, 0u);
    EXPECT_EQ(r[9].status, -ETIMEDOUT);
    // Control: setup packet on the submission, the descriptor on the completion.
    EXPECT_EQ(r[10].ep, 0x80);
    EXPECT_EQ(r[10].flagSetup, 0);
    EXPECT_EQ(r[10].setup, (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0}));
    EXPECT_EQ(r[11].flagSetup, '-');
    ASSERT_EQ(r[11].data.size(), 18u);
    EXPECT_TRUE(std::equal(r[11].data.begin(), r[11].data.end(), desc));
}

TEST_F(Capture, TsharkReadsEndpointsEventTypesAndLengths) {
    emu::PcapCapture cap;
    const std::string file = dir.file("t.pcap");
    ASSERT_EQ(cap.open(file), 0);
    Bus::instance().setTransferLog(cap.hook());
    openAdapter();
    // Above 64 KiB (a model-520 image packet at 1920 x 1080 is about 140 KB): kept whole.
    std::vector<uint8_t> out(100000, 0x5A);
    ASSERT_EQ(bulk(0x01, out), 0);
    // Above what one record may hold: cut to the largest record readers accept.
    std::vector<uint8_t> huge(300000, 0xA5);
    ASSERT_EQ(bulk(0x01, huge), 0);
    model->queueIn(0x83, {1, 2});
    std::vector<uint8_t> in(64);
    ASSERT_EQ(bulk(0x83, in), 0);
    Bus::instance().setTransferLog({});
    ASSERT_EQ(cap.close(), 0);

    const std::string tshark = "/usr/bin/tshark";  // installed by scripts/install-deps.sh
    ASSERT_TRUE(std::filesystem::exists(tshark));
    vtest::ProcResult pr =
        vtest::run({tshark, "-n", "-r", file, "-T", "fields", "-E", "separator=,", "-e",
                    "usb.endpoint_address", "-e", "usb.urb_type", "-e", "usb.data_len", "-e",
                    "usb.urb_len", "-e", "usb.transfer_type"},
                   {"HOME=" + dir.path()});
    ASSERT_EQ(pr.status, 0) << pr.err;
    std::vector<std::string> lines;
    std::istringstream s(pr.out);
    for (std::string l; std::getline(s, l);)
        if (!l.empty()) lines.push_back(l);
    ASSERT_EQ(lines.size(), 6u) << pr.out;
    EXPECT_EQ(lines[0], "0x01,'S',100000,100000,0x03");
    EXPECT_EQ(lines[1], "0x01,'C',0,100000,0x03");
    EXPECT_EQ(lines[2], "0x01,'S',262080,300000,0x03");
    EXPECT_EQ(lines[3], "0x01,'C',0,300000,0x03");
    EXPECT_EQ(lines[4], "0x83,'S',0,64,0x03");
    EXPECT_EQ(lines[5], "0x83,'C',2,2,0x03");
    // Nothing the dissector finds malformed or worth a warning.
    pr = vtest::run(
        {tshark, "-n", "-r", file, "-Y", "_ws.malformed || _ws.expert.severity >= warning"},
        {"HOME=" + dir.path()});
    ASSERT_EQ(pr.status, 0) << pr.err;
    EXPECT_EQ(pr.out, "");
}

TEST_F(Capture, ConcurrentTransfersEachGiveOnePairAndLateHooksAreDropped) {
    const std::string file = dir.file("c.pcap");
    emu::TransferLog hook;
    {
        emu::PcapCapture cap;
        ASSERT_EQ(cap.open(file), 0);
        hook = cap.hook();
        Bus::instance().setTransferLog(hook);
        openAdapter();
        constexpr int kThreads = 4, kEach = 100;
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t) {
            ts.emplace_back([&, t] {
                std::vector<uint8_t> b(32, static_cast<uint8_t>(t));
                for (int i = 0; i < kEach; ++i) bulk(static_cast<uint8_t>(1 + t % 3), b);
            });
        }
        for (auto& t : ts) t.join();
        Bus::instance().setTransferLog({});
        EXPECT_EQ(cap.records(), 2u * kThreads * kEach);
    }
    // The capture is gone; a transfer that held the old hook must not write or crash.
    emu::TransferRecord late;
    late.endpoint = 0x01;
    hook(late);

    int link = 0;
    std::vector<Rec> r = readCapture(file, &link);
    ASSERT_EQ(r.size(), 800u);
    std::map<uint64_t, std::string> events;
    for (const Rec& x : r) {
        events[x.id] += x.type;
        EXPECT_EQ(x.data.size(), x.type == 'S' ? 32u : 0u);
    }
    EXPECT_EQ(events.size(), 400u);
    for (const auto& kv : events) EXPECT_EQ(kv.second, "SC") << kv.first;
}

TEST(CaptureFile, OpenAndCloseErrors) {
    vtest::TempDir dir;
    emu::PcapCapture cap;
    EXPECT_EQ(cap.close(), -EBADF);
    EXPECT_EQ(cap.flush(), -EBADF);
    EXPECT_EQ(cap.open(dir.file("missing/x.pcap")), -ENOENT);
    ASSERT_EQ(cap.open(dir.file("x.pcap")), 0);
    EXPECT_EQ(cap.open(dir.file("y.pcap")), -EBUSY);
    EXPECT_EQ(cap.flush(), 0);
    EXPECT_EQ(cap.close(), 0);
    cap.record(emu::TransferRecord{});  // closed: dropped
    EXPECT_EQ(cap.records(), 0u);
    EXPECT_EQ(emu::PcapCapture(1u << 30).snapLength(), emu::PcapCapture::kMaxSnapLength);
}

TEST(CaptureFile, LibusbErrorsMapToKernelStatus) {
    EXPECT_EQ(emu::usbmonStatus(0), 0);
    EXPECT_EQ(emu::usbmonStatus(LIBUSB_ERROR_PIPE), -EPIPE);
    EXPECT_EQ(emu::usbmonStatus(LIBUSB_ERROR_NO_DEVICE), -ENODEV);
    EXPECT_EQ(emu::usbmonStatus(LIBUSB_ERROR_TIMEOUT), -ETIMEDOUT);
    EXPECT_EQ(emu::usbmonStatus(LIBUSB_ERROR_OVERFLOW), -EOVERFLOW);
    EXPECT_EQ(emu::usbmonStatus(LIBUSB_ERROR_IO), -EPROTO);
    EXPECT_EQ(emu::usbmonStatus(-1234), -EIO);
}

// ---- PNG ----------------------------------------------------------------------------------

struct Picture {
    int rc = 0;
    int width = 0, height = 0;
    png_uint_32 format = 0;
    std::vector<uint8_t> rgb;
};

Picture readPng(const std::string& path) {
    Picture p;
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) {
        p.rc = -1;
        return p;
    }
    p.width = static_cast<int>(img.width);
    p.height = static_cast<int>(img.height);
    p.format = img.format;
    img.format = PNG_FORMAT_RGB;
    p.rgb.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, p.rgb.data(), 0, nullptr)) p.rc = -2;
    return p;
}

TEST(Png, RoundTripDropsXHonoursStrideAndByteOrder) {
    vtest::TempDir dir;
    const int w = 3, h = 2;
    const size_t stride = w * 4 + 8;  // padding the writer must skip
    std::vector<uint8_t> px(stride * h, 0xEE);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[y * stride + x * 4];
            p[0] = static_cast<uint8_t>(10 * x + y);  // B
            p[1] = static_cast<uint8_t>(100 + x);     // G
            p[2] = static_cast<uint8_t>(200 + y);     // R
            p[3] = static_cast<uint8_t>(x * 31);      // X, ignored
        }
    const std::string file = dir.file("m.png");
    ASSERT_EQ(emu::writePng(file, w, h, stride, px.data(), emu::PixelFormat::Xrgb8888), 0);
    Picture a = readPng(file);
    ASSERT_EQ(a.rc, 0);
    EXPECT_EQ(a.width, w);
    EXPECT_EQ(a.height, h);
    EXPECT_EQ(a.format & PNG_FORMAT_FLAG_ALPHA, 0u);
    EXPECT_NE(a.format & PNG_FORMAT_FLAG_COLOR, 0u);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* q = &a.rgb[(y * w + x) * 3];
            EXPECT_EQ(q[0], 200 + y);
            EXPECT_EQ(q[1], 100 + x);
            EXPECT_EQ(q[2], 10 * x + y);
        }
    // R,G,B,X order: the same bytes read as the other way round.
    ASSERT_EQ(emu::writePng(file, w, h, stride, px.data(), emu::PixelFormat::Xbgr8888), 0);
    Picture b = readPng(file);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(b.rgb[0], px[0]);
    EXPECT_EQ(b.rgb[2], px[2]);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
}

TEST(Png, BadArgumentsAndUnwritablePathsFailClearly) {
    vtest::TempDir dir;
    std::vector<uint8_t> px(16 * 4);
    const std::string f = dir.file("x.png");
    EXPECT_EQ(emu::writePng(f, 4, 4, 16, nullptr), -EINVAL);
    EXPECT_EQ(emu::writePng("", 4, 4, 16, px.data()), -EINVAL);
    EXPECT_EQ(emu::writePng(f, 0, 4, 16, px.data()), -EINVAL);
    EXPECT_EQ(emu::writePng(f, 4, -1, 16, px.data()), -EINVAL);
    EXPECT_EQ(emu::writePng(f, 4, 4, 15, px.data()), -EINVAL);  // shorter than a row
    EXPECT_EQ(emu::writePng(f, 70000, 1, 280000, px.data()), -EINVAL);
    EXPECT_EQ(emu::writePng(f, 4, 4, 16, px.data(), static_cast<emu::PixelFormat>(7)), -EINVAL);
    EXPECT_EQ(emu::writePng(dir.file("no/such/dir.png"), 4, 4, 16, px.data()), -ENOENT);
    EXPECT_FALSE(std::filesystem::exists(f));
}

// ---- summary and PSNR ---------------------------------------------------------------------

std::vector<uint8_t> solid(int w, int h, uint8_t b, uint8_t g, uint8_t r, size_t stride = 0) {
    if (!stride) stride = static_cast<size_t>(w) * 4;
    std::vector<uint8_t> px(stride * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[y * stride + x * 4];
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    return px;
}

TEST(Psnr, MatchesHandComputedValues) {
    // One pixel, one channel off by 255: MSE = 65025 / 3, PSNR = 10 log10(3).
    auto a = solid(1, 1, 0, 0, 0), b = solid(1, 1, 255, 0, 0);
    EXPECT_NEAR(emu::psnr(a.data(), b.data(), 1, 1, 4, 4), 10.0 * std::log10(3.0), 1e-9);
    // 2x2, one channel of one pixel off by 1: MSE = 1 / 12.
    auto c = solid(2, 2, 50, 60, 70), d = c;
    d[4 + 1] = 61;
    EXPECT_NEAR(emu::psnr(c.data(), d.data(), 2, 2, 8, 8), 10.0 * std::log10(65025.0 * 12.0), 1e-9);
    // Every channel off by 16: MSE = 256, PSNR = 20 log10(255 / 16) = 24.048...
    auto e = solid(4, 3, 16, 16, 16), f = solid(4, 3, 32, 32, 32, 4 * 4 + 12);
    EXPECT_NEAR(emu::psnr(e.data(), f.data(), 4, 3, 16, 28), 20.0 * std::log10(255.0 / 16.0), 1e-9);
}

TEST(Psnr, IdenticalIgnoringXAndPaddingIsInfiniteAndBadInputIsNegative) {
    auto a = solid(3, 2, 1, 2, 3, 20), b = solid(3, 2, 1, 2, 3, 12);
    a[3] = 0xFF;   // X byte
    a[13] = 0x77;  // padding after the first row
    EXPECT_TRUE(std::isinf(emu::psnr(a.data(), b.data(), 3, 2, 20, 12)));
    EXPECT_GT(emu::psnr(a.data(), b.data(), 3, 2, 20, 12), 0);
    EXPECT_LT(emu::psnr(nullptr, b.data(), 3, 2, 12, 12), 0);
    EXPECT_LT(emu::psnr(a.data(), b.data(), 0, 2, 20, 12), 0);
    EXPECT_LT(emu::psnr(a.data(), b.data(), 3, 2, 20, 11), 0);
}

TEST(Summary, JsonShapeOrderingAndPsnrEncoding) {
    emu::RunSummary s;
    emu::MonitorSummary m1;
    m1.targetId = 1;
    m1.width = 1920;
    m1.height = 1080;
    m1.framesShown = 300;
    m1.framesPerSecond = emu::framesPerSecond(300, 10.0);
    m1.bytesReceived = 123456789012ull;
    m1.psnrDb = 41.25;
    emu::MonitorSummary m0 = m1;
    m0.targetId = 0;
    m0.psnrDb = std::numeric_limits<double>::infinity();
    emu::MonitorSummary unmeasured;
    unmeasured.targetId = 2;
    s.setMonitor(7, m1);
    s.setMonitor(7, m0);
    s.setMonitor(3, unmeasured);
    s.setAdapter(7, "520", 555);
    s.setAdapter(3, "508", 0);
    m1.framesShown = 301;
    s.setMonitor(7, m1);  // replaces target 1

    nlohmann::json j = nlohmann::json::parse(s.json());
    ASSERT_EQ(j["adapters"].size(), 2u);
    const auto& a3 = j["adapters"][0];
    const auto& a7 = j["adapters"][1];
    EXPECT_EQ(a3["id"], 3);
    EXPECT_EQ(a3["model"], "508");
    EXPECT_TRUE(a3["monitors"][0]["psnr_db"].is_null());
    EXPECT_EQ(a7["model"], "520");
    EXPECT_EQ(a7["bytes_received"], 555);
    ASSERT_EQ(a7["monitors"].size(), 2u);
    const auto& t0 = a7["monitors"][0];
    const auto& t1 = a7["monitors"][1];
    EXPECT_EQ(t0["target_id"], 0);
    EXPECT_EQ(t0["psnr_db"], "inf");
    EXPECT_EQ(t1["target_id"], 1);
    EXPECT_EQ(t1["width"], 1920);
    EXPECT_EQ(t1["height"], 1080);
    EXPECT_EQ(t1["frames_shown"], 301);
    EXPECT_DOUBLE_EQ(t1["frames_per_second"].get<double>(), 30.0);
    EXPECT_EQ(t1["bytes_received"].get<uint64_t>(), 123456789012ull);
    EXPECT_DOUBLE_EQ(t1["psnr_db"].get<double>(), 41.25);
    EXPECT_EQ(emu::framesPerSecond(10, 0.0), 0.0);
    // Never seen showing its desktop, and no plug history given.
    EXPECT_TRUE(t1["last_showed_desktop_s"].is_null());
    EXPECT_EQ(a3["plug_history"].size(), 0u);
}

TEST(Summary, LastShowedDesktopAndPlugHistory) {
    emu::RunSummary s;
    emu::MonitorSummary m;
    m.targetId = 0x20;
    m.lastShowedDesktopS = 7.12349;
    s.setMonitor(1, m);
    s.setAdapter(1, "520", 0);
    s.setHistory(1, {{0.0, true, 1}, {2.5004, false, 1}, {4.0, true, 2}});
    nlohmann::json j = nlohmann::json::parse(s.json());
    const auto& a = j["adapters"][0];
    EXPECT_DOUBLE_EQ(a["monitors"][0]["last_showed_desktop_s"].get<double>(), 7.123);
    const auto& h = a["plug_history"];
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0], nlohmann::json({{"at_s", 0.0}, {"event", "plug"}, {"bus_id", 1}}));
    EXPECT_EQ(h[1], nlohmann::json({{"at_s", 2.5}, {"event", "unplug"}, {"bus_id", 1}}));
    EXPECT_EQ(h[2], nlohmann::json({{"at_s", 4.0}, {"event", "plug"}, {"bus_id", 2}}));
    // The keys the summary had before stay as they were.
    for (const char* key : {"id", "model", "bytes_received", "monitors"})
        EXPECT_TRUE(a.contains(key)) << key;
    // No capture, no "capture" object; with one, its figures and cut transfers.
    EXPECT_FALSE(j.contains("capture"));
    s.setCapture({"run.pcap", 1000, 6, 2, {{3, 1, 5000, 1000}}});
    j = nlohmann::json::parse(s.json());
    EXPECT_EQ(j["capture"],
              nlohmann::json::parse(R"({"file": "run.pcap", "snap_bytes": 1000, "transfers": 6,
                                        "cut_transfers": 2, "cut": [{"urb_id": 3, "endpoint": 1,
                                        "length": 5000, "captured": 1000}]})"));
}

TEST(Summary, WriteCreatesTheDirectoryAndReportsErrors) {
    vtest::TempDir dir;
    emu::RunSummary s;
    s.setAdapter(1, "520", 10);
    const std::string out = dir.file("run/out");
    ASSERT_EQ(s.write(out), 0);
    nlohmann::json j = nlohmann::json::parse(vtest::readFile(out + "/summary.json"));
    EXPECT_EQ(j["adapters"][0]["monitors"].size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(out + "/summary.json.tmp"));
    EXPECT_EQ(s.write(""), -EINVAL);
    EXPECT_LT(s.write(out + "/summary.json"), 0);  // a file where the directory should be
}

}  // namespace

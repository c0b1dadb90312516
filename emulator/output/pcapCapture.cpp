// Concurrency: the bus calls the hook on whichever thread finished a transfer, outside its own
// locks, so many threads write at once. One mutex in State serialises the URB id counter and every
// libpcap call on the dump handle; open and close take it too, so a record never meets a handle
// being closed.
#include "emulator/output/pcapCapture.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#if __has_include(<pcap/pcap.h>)
#include <pcap/pcap.h>
#define VEL_HAVE_PCAP 1
#else
#define VEL_HAVE_PCAP 0
#endif

namespace emu {

namespace {

// The 64-byte header that precedes each record's data (the kernel's struct usbmon_packet, host
// byte order).
constexpr size_t kHeaderLength = 64;
constexpr uint8_t kUsbmonIso = 0, kUsbmonInterrupt = 1, kUsbmonControl = 2, kUsbmonBulk = 3;
// flag_setup / flag_data: 0 means "present"; otherwise the character usbmon prints instead.
constexpr uint8_t kNoSetup = '-';
constexpr uint8_t kInNotYet = '<';      // IN submission: the data comes with the completion
constexpr uint8_t kOutAlready = '>';    // OUT completion: the data went with the submission
constexpr uint32_t kUrbDirIn = 0x0200;  // the kernel's URB_DIR_IN in xfer_flags

uint8_t usbmonType(TransferType t) {
    switch (t) {
        case TransferType::Control:
            return kUsbmonControl;
        case TransferType::Interrupt:
            return kUsbmonInterrupt;
        case TransferType::Bulk:
            return kUsbmonBulk;
    }
    return kUsbmonIso;
}

template <typename T>
void put(uint8_t* header, size_t offset, T value) {
    std::memcpy(header + offset, &value, sizeof value);
}

struct Event {
    char type;  // 'S' or 'C'
    std::chrono::system_clock::time_point when;
    int32_t status;
    uint32_t urbLength;  // requested on 'S', actual on 'C'
    const uint8_t* data;
    size_t dataLength;  // whole length of the bytes this event carries
    uint8_t dataFlag;
    bool withSetup;
};

void fillHeader(uint8_t* h, uint64_t id, const TransferRecord& t, const Event& e,
                uint32_t captured) {
    std::memset(h, 0, kHeaderLength);
    const auto since = e.when.time_since_epoch();
    const auto sec = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(since - sec);
    put<uint64_t>(h, 0, id);
    h[8] = static_cast<uint8_t>(e.type);
    h[9] = usbmonType(t.type);
    h[10] = t.endpoint;
    h[11] = t.address;
    put<uint16_t>(h, 12, t.busNumber);
    h[14] = e.withSetup ? 0 : kNoSetup;
    h[15] = e.dataFlag;
    put<int64_t>(h, 16, sec.count());
    put<int32_t>(h, 24, static_cast<int32_t>(usec.count()));
    put<int32_t>(h, 28, e.status);
    put<uint32_t>(h, 32, e.urbLength);
    put<uint32_t>(h, 36, captured);
    if (e.withSetup) std::memcpy(h + 40, t.setup.data(), t.setup.size());
    put<uint32_t>(h, 56, t.in() ? kUrbDirIn : 0);
}

uint32_t clamp32(size_t n) { return static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX)); }

}  // namespace

int usbmonStatus(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_IO:
            return -EPROTO;
        case LIBUSB_ERROR_INVALID_PARAM:
            return -EINVAL;
        case LIBUSB_ERROR_ACCESS:
            return -EACCES;
        case LIBUSB_ERROR_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return -ENOENT;
        case LIBUSB_ERROR_BUSY:
            return -EBUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return -ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW:
            return -EOVERFLOW;
        case LIBUSB_ERROR_PIPE:
            return -EPIPE;
        case LIBUSB_ERROR_INTERRUPTED:
            return -EINTR;
        case LIBUSB_ERROR_NO_MEM:
            return -ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return -ENOSYS;
        default:
            return -EIO;
    }
}

struct PcapCapture::State {
    explicit State(size_t snap) : snap(std::min(snap, kMaxSnapLength)) {}
    ~State() { closeLocked(); }

    int closeLocked();
    void record(const TransferRecord& t);
    void write(const TransferRecord& t, const Event& e);

    const size_t snap;
    std::mutex mu;  // guards everything below
    uint64_t nextId = 1;
    uint64_t written = 0;
    uint64_t transfers = 0;
    uint64_t cutCount = 0;
    std::vector<PcapCapture::Cut> cuts;  // the first kCutListed
    std::vector<uint8_t> buffer;         // one record being assembled
#if VEL_HAVE_PCAP
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;
#endif
};

int PcapCapture::State::closeLocked() {
#if VEL_HAVE_PCAP
    if (!dumper) return -EBADF;
    FILE* f = pcap_dump_file(dumper);
    const bool failed = pcap_dump_flush(dumper) != 0 || std::ferror(f);
    pcap_dump_close(dumper);  // closes the FILE as well
    pcap_close(pcap);
    dumper = nullptr;
    pcap = nullptr;
    return failed ? -EIO : 0;
#else
    return -EBADF;
#endif
}

void PcapCapture::State::write(const TransferRecord& t, const Event& e) {
#if VEL_HAVE_PCAP
    const size_t captured = std::min(e.dataLength, snap);
    buffer.resize(kHeaderLength + captured);
    fillHeader(buffer.data(), nextId, t, e, static_cast<uint32_t>(captured));
    if (captured) std::memcpy(buffer.data() + kHeaderLength, e.data, captured);
    pcap_pkthdr ph{};
    const auto since = e.when.time_since_epoch();
    const auto sec = std::chrono::duration_cast<std::chrono::seconds>(since);
    ph.ts.tv_sec = static_cast<time_t>(sec.count());
    ph.ts.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since - sec).count());
    ph.caplen = static_cast<bpf_u_int32>(buffer.size());
    ph.len = clamp32(kHeaderLength + e.dataLength);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &ph, buffer.data());
    ++written;
#else
    (void)t;
    (void)e;
#endif
}

void PcapCapture::State::record(const TransferRecord& t) {
    const bool in = t.in();
    const size_t n = t.data.size();
    const uint8_t* bytes = n ? t.data.data() : nullptr;
    // -EINPROGRESS is what usbmon shows on every submission.
    const Event submit{'S',
                       t.submitted,
                       -EINPROGRESS,
                       clamp32(t.requested),
                       in ? nullptr : bytes,
                       in ? 0 : n,
                       static_cast<uint8_t>(in ? kInNotYet : 0),
                       t.type == TransferType::Control};
    const Event complete{'C',
                         t.completed,
                         usbmonStatus(t.status),
                         clamp32(n),
                         in ? bytes : nullptr,
                         in ? n : 0,
                         static_cast<uint8_t>(in ? 0 : kOutAlready),
                         false};
    std::lock_guard<std::mutex> lk(mu);
#if VEL_HAVE_PCAP
    if (!dumper) return;
#endif
    write(t, submit);
    write(t, complete);
    ++transfers;
    if (n > snap) {
        ++cutCount;
        if (cuts.size() < kCutListed) cuts.push_back({nextId, t.endpoint, n, snap});
    }
    ++nextId;
}

PcapCapture::PcapCapture(size_t snapLength) : state_(std::make_shared<State>(snapLength)) {}

PcapCapture::~PcapCapture() { close(); }

int PcapCapture::open(const std::string& path) {
#if VEL_HAVE_PCAP
    std::lock_guard<std::mutex> lk(state_->mu);
    if (state_->dumper) return -EBUSY;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return errno ? -errno : -EIO;
    pcap_t* p =
        pcap_open_dead(DLT_USB_LINUX_MMAPPED, static_cast<int>(kHeaderLength + state_->snap));
    pcap_dumper_t* d = p ? pcap_dump_fopen(p, f) : nullptr;
    if (!d) {
        if (p) pcap_close(p);
        std::fclose(f);
        return -EIO;
    }
    state_->pcap = p;
    state_->dumper = d;
    state_->written = 0;
    state_->nextId = 1;
    state_->transfers = 0;
    state_->cutCount = 0;
    state_->cuts.clear();
    return 0;
#else
    (void)path;
    return -ENOSYS;
#endif
}

int PcapCapture::close() {
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->closeLocked();
}

int PcapCapture::flush() {
#if VEL_HAVE_PCAP
    std::lock_guard<std::mutex> lk(state_->mu);
    if (!state_->dumper) return -EBADF;
    return pcap_dump_flush(state_->dumper) == 0 ? 0 : -EIO;
#else
    return -EBADF;
#endif
}

void PcapCapture::record(const TransferRecord& t) { state_->record(t); }

TransferLog PcapCapture::hook() const {
    std::shared_ptr<State> s = state_;
    return [s](const TransferRecord& t) { s->record(t); };
}

size_t PcapCapture::snapLength() const { return state_->snap; }

uint64_t PcapCapture::records() const {
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->written;
}

uint64_t PcapCapture::transfers() const {
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->transfers;
}

uint64_t PcapCapture::cutCount() const {
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->cutCount;
}

std::vector<PcapCapture::Cut> PcapCapture::cutTransfers() const {
    std::lock_guard<std::mutex> lk(state_->mu);
    return state_->cuts;
}

}  // namespace emu

// A scripted 50x-family adapter for transport and bring-up tests: it records every OUT transfer
// byte for byte and answers each command with the reply the protocol gives it, built here from
// the protocol's tables (not by the emulated adapter's code), so a test can check the service's
// wire bytes against a table of its own and the two cannot share a misreading. Tests change the
// answers (statuses, silence, heartbeat flavour, monitors) and raise events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/usb/device_model.h"

namespace vtest {

class Peer508 : public emu::DeviceModel {
  public:
    struct Out {
        uint8_t endpoint = 0;
        std::vector<uint8_t> bytes;
        uint8_t code() const { return bytes.size() > 20 ? bytes[20] : 0xEE; }
    };
    struct Monitor {
        std::vector<uint8_t> edid;     // the EDID bytes the reply carries from offset 48
        uint32_t sizeField = 0;        // 0: the EDID's own size
        std::vector<uint8_t> modes;    // mode entries, 16 bytes each
        uint16_t modeCount = 0xFFFF;   // 0xFFFF: modes.size() / 16
    };
    enum class Heartbeat { Extension, Legacy, Silent };

    emu::Status out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    emu::Status in(uint8_t endpoint, emu::InBuffer& buffer) override;

    // ---- test side (thread-safe) ----
    // A packet on the interrupt IN endpoint: the magic, then `type` at 16, then `rest` from 17.
    void raise(uint8_t type, std::vector<uint8_t> rest = {});
    void raiseRaw(std::vector<uint8_t> bytes);
    std::vector<Out> outs();
    std::vector<Out> outsOf(uint8_t code);
    // Waits until `count` OUT transfers of `code` were seen (generous bound).
    bool waitForCode(uint8_t code, size_t count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void clear();

    // Answers. Status of the control reply per code (0 when not set); codes left unanswered.
    void setStatus(uint8_t code, uint8_t status);
    void setSilent(uint8_t code, bool silent = true);
    void setHeartbeat(Heartbeat kind, uint8_t flags = 0);
    void setMonitor(uint8_t target, Monitor monitor);
    // Firmware answers: the version texts (kinds 1 and 5), the SROM layout number (kind 4) and
    // the work mode. SROM accesses are answered "done" (reads with zero data); images get none.
    void setVersions(std::string firmware, std::string bootloader, uint32_t layout = 131078);
    void setWorkMode(uint8_t mode);
    // Replaces the EDID answers with these packets, one per request, in order (then the
    // monitor's own answer again).
    void queueEdidReplies(std::vector<std::vector<uint8_t>> replies);

    // A whole incoming packet: magic, `type` at 16, `rest` from 17 (zero-padded to `size`).
    static std::vector<uint8_t> packet(uint8_t type, std::vector<uint8_t> rest = {},
                                       size_t size = 64);
    // The reply packet of an EDID request for `target`.
    static std::vector<uint8_t> edidReply(uint8_t target, const std::vector<uint8_t>& edid,
                                          uint32_t sizeField, uint8_t status = 0);
    // One 16-byte mode entry.
    static std::vector<uint8_t> modeEntry(uint32_t w, uint32_t h, uint32_t hz, uint32_t bpp);

  private:
    void answer(const std::vector<uint8_t>& cmd);  // mutex() held
    void queue(std::vector<uint8_t> bytes);        // mutex() held

    emu::InQueue inQueue_;                  // all below guarded by mutex()
    std::vector<Out> outs_;
    std::condition_variable outCv_;
    std::map<uint8_t, uint8_t> status_;
    std::set<uint8_t> silent_;
    Heartbeat heartbeat_ = Heartbeat::Extension;
    uint8_t heartbeatFlags_ = 0;
    std::map<uint8_t, Monitor> monitors_;
    std::vector<std::vector<uint8_t>> edidReplies_;
    std::string firmware_ = "v 2.24.1.0", bootloader_ = "v 00.01.0004";
    uint32_t layout_ = 131078;
    uint8_t workMode_ = 0;
};

// Bytes from hex text ("76 65 ..."; blanks ignored), zero-padded to `size` when it is larger.
std::vector<uint8_t> hexBytes(const std::string& hex, size_t size = 0);
// The hex text of the 12-byte magic, for the byte tables of the tests.
constexpr const char* kMagicHex = "76 65 6c 74 61 72 76 65 78 73 74 61";
// Fails the test with both buffers side by side (16 bytes a row, differing rows marked) unless
// `actual` equals `expected`.
void expectSameBytes(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                     const std::string& what);

// A 128-byte base block with a valid checksum (manufacturer bytes 8..9 and product code 10..11
// as given, byte 126 = `extensions`), followed by `extensions` blocks with valid checksums.
std::vector<uint8_t> makeEdid(int extensions, uint16_t manufacturer = 0x1234,
                              uint16_t product = 0x5678);

}  // namespace vtest

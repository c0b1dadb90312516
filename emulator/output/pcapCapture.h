// A capture of the emulated bus's traffic as a pcap file in the Linux usbmon format (link type
// 220, DLT_USB_LINUX_MMAPPED), so Wireshark and tshark read it like a capture of a real adapter.
//
//   emu::PcapCapture capture;
//   if (capture.open("/tmp/run.pcap") == 0) emu::Bus::instance().setTransferLog(capture.hook());
//   ...
//   emu::Bus::instance().setTransferLog({});
//   capture.close();
//
// Every transfer becomes two records, as usbmon shows an URB: 'S' at submission (with the setup
// packet of a control transfer and the bytes of an OUT transfer) and 'C' at completion (with the
// status and the bytes of an IN transfer). The bus reports a transfer only once it has ended, so
// both records are written then, each with its own timestamp; records of transfers that overlap
// may therefore appear out of time order in the file, which readers accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/usb/bus.h"

namespace emu {

class PcapCapture {
  public:
    // Readers (libpcap, and so tshark) refuse records above 256 KiB for this link type, header
    // included: the most data one record can keep.
    static constexpr size_t kMaxSnapLength = 256 * 1024 - 64;
    // Bytes of a transfer's data kept in one record; the record still carries the whole length.
    // Whole transfers by default, up to what a reader accepts.
    static constexpr size_t kDefaultSnapLength = kMaxSnapLength;
    // Cut transfers listed by cutTransfers(); later ones are only counted.
    static constexpr size_t kCutListed = 64;

    // A transfer whose data the capture did not keep whole.
    struct Cut {
        uint64_t urbId = 0;  // the id of its two records
        uint8_t endpoint = 0;
        uint64_t length = 0;    // bytes of the transfer
        uint64_t captured = 0;  // bytes the records kept
    };

    // `snapLength` above kMaxSnapLength is cut to it.
    explicit PcapCapture(size_t snapLength = kDefaultSnapLength);
    // Closes the file.
    ~PcapCapture();
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    // Creates (or truncates) `path` and writes the file header. 0, -EBUSY if a file is already
    // open, -ENOSYS if the emulator was built without libpcap, -EIO if libpcap fails, or the
    // negative errno of creating the file.
    int open(const std::string& path);
    // Flushes and closes the file; later transfers are dropped. 0, -EIO if the last writes
    // failed, or -EBADF if nothing was open.
    int close();
    // Pushes the records written so far to the file, so a reader sees them while the run goes
    // on. 0, -EBADF if nothing is open, -EIO on a write error.
    int flush();

    // Writes the two records of one transfer. Any thread; does nothing when no file is open.
    void record(const TransferRecord& transfer);
    // The bus hook. It shares the capture's state, so a transfer that completes after the hook
    // was removed, or after this object is gone, is dropped safely rather than written to a
    // freed file.
    TransferLog hook() const;

    size_t snapLength() const;
    // Records written since open (two per transfer).
    uint64_t records() const;
    // Transfers written since open, and how many of them were cut to the snap length.
    uint64_t transfers() const;
    uint64_t cutCount() const;
    // The first kCutListed cut transfers, in the order they were written.
    std::vector<Cut> cutTransfers() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// The usbmon status of a transfer: 0, or the negative errno the Linux host controller reports for
// the LIBUSB_ERROR_* code (a stall as -EPIPE, a departed device as -ENODEV, a time-out as
// -ETIMEDOUT, ...).
int usbmonStatus(int libusbError);

}  // namespace emu

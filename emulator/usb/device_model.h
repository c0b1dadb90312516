// The endpoint interface that emulated USB devices implement.
//
// A device model knows nothing of libusb: it sees bytes arriving on its OUT endpoints, is asked
// for the next bytes of an IN endpoint, and gets notified of the standard events (reset,
// interface claim and release, alternate setting, clear halt). The same model can therefore sit
// behind the link-time emulated libusb (emulator/usb/bus.h) or behind a usbfs front-end driven by
// the real libusb.
//
// Locking contract between a front-end and a model:
// - The front-end calls every virtual method except onAttach/onDetach with mutex() held, so a
//   model never sees two of its methods at once and can be written as a plain state machine.
// - A model's own threads (timers, notification sources) take mutex() themselves before touching
//   the state those methods use.
// - notifyInAvailable/notifyOutReady may be called from any thread, with or without mutex()
//   held; they wake transfers waiting on that endpoint. The front-end never holds one of its own
//   locks while calling into the model, so the model may call them from inside out()/in().
// - onAttach runs once before the device becomes visible on the bus, onDetach once after it has
//   left and no further method will be called; both run without mutex(), so a model may start
//   or join its threads there.
// - A model must not wait for a transfer to complete from inside one of its methods: the
//   transfer's thread is the caller. It may unplug itself (a firmware reboot, say) from inside
//   one; onDetach then runs on that thread before Bus::unplug returns, with mutex() held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace emu {

// What a model answers for one request. The front-end maps it onto its own result codes.
enum class Status {
    Ok,        // request completed
    Pending,   // IN: nothing to send yet; OUT: busy (NAK). The transfer waits for a notify.
    Stall,     // endpoint halts (persists until clear halt) or a control request is refused
    Error,     // device-side protocol error (CRC, babble of the wire, ...)
    Overflow,  // IN: the device sent more than the host buffer holds
};

// The host's receive buffer of one IN transfer.
struct InBuffer {
    uint8_t* data = nullptr;
    size_t capacity = 0;       // bytes the host asked for
    size_t maxPacketSize = 0;  // of the endpoint, for packet-boundary decisions
    size_t length = 0;         // set by the model: bytes written
};

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Implemented by a bus front-end; the model's notifications land here.
class EndpointHost {
  public:
    virtual void endpointReady(uint8_t endpoint) = 0;

  protected:
    ~EndpointHost() = default;
};

class DeviceModel {
  public:
    DeviceModel() = default;
    virtual ~DeviceModel();
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    // Bytes the host sent on OUT endpoint `endpoint` (bulk or interrupt). Ok takes all of them;
    // Pending makes the transfer wait for notifyOutReady; Stall halts the endpoint.
    virtual Status out(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    // Fill `buffer` with the next bytes of IN endpoint `endpoint`, or return Pending and call
    // notifyInAvailable later. One Ok ends one host transfer (the device ends each message with
    // a short or zero-length packet).
    virtual Status in(uint8_t endpoint, InBuffer& buffer) = 0;
    // Class and vendor control requests (standard ones are answered by the front-end). For
    // device-to-host requests write at most setup.wLength bytes to `data` and set *length.
    virtual Status control(const SetupPacket& setup, uint8_t* data, size_t* length);

    virtual void onReset() {}
    virtual void onClaim(int /*interfaceNumber*/) {}
    virtual void onRelease(int /*interfaceNumber*/) {}
    // SET_INTERFACE reached the device; Stall refuses it.
    virtual Status onSetAltSetting(int /*interfaceNumber*/, int /*altSetting*/) {
        return Status::Ok;
    }
    virtual void onClearHalt(uint8_t /*endpoint*/) {}
    virtual void onAttach() {}
    virtual void onDetach() {}

    // Guards the model's state; see the contract above.
    std::mutex& mutex() { return mutex_; }

    // New IN data on `endpoint` (or, for OUT, room again): wakes the waiting transfers.
    void notifyInAvailable(uint8_t endpoint) { notifyEndpoint(endpoint); }
    void notifyOutReady(uint8_t endpoint) { notifyEndpoint(endpoint); }

    // Front-end side. attachHost fails (false) when the model already sits on a bus.
    bool attachHost(EndpointHost* host);
    // Waits for a notification in progress to finish; afterwards none reaches the old host.
    void detachHost();

  private:
    void notifyEndpoint(uint8_t endpoint);

    std::mutex mutex_;
    std::mutex hostMutex_;  // guards host_; held while a notification is delivered
    EndpointHost* host_ = nullptr;
};

// Per-endpoint queue of IN messages, for models. Not locked itself: a model keeps it under its
// mutex(). pop() follows bulk semantics: a message longer than the host buffer is delivered in
// buffer-sized pieces when the buffer is a whole number of packets; otherwise the packet that
// does not fit is babble, the transfer ends with Overflow, and the rest of that packet is lost.
class InQueue {
  public:
    void push(uint8_t endpoint, std::vector<uint8_t> bytes);
    Status pop(uint8_t endpoint, InBuffer& buffer);
    size_t pending(uint8_t endpoint) const;  // messages queued
    void clear();

  private:
    struct Message {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
    };
    std::map<uint8_t, std::deque<Message>> queues_;
};

}  // namespace emu

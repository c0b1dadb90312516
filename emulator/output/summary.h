// The run summary: what each emulated adapter received and what each of its monitors showed,
// written as DIR/summary.json.
//
// Shape (adapters by id, monitors by target id; keys within an object are sorted):
//   { "adapters": [ { "id": 1, "model": "520", "bytes_received": 123456,
//                     "monitors": [ { "target_id": 0, "width": 1920, "height": 1080,
//                                     "frames_shown": 300, "frames_per_second": 29.97,
//                                     "bytes_received": 120000, "psnr_db": 41.3,
//                                     "last_showed_desktop_s": 9.3 } ],
//                     "plug_history": [ { "at_s": 0, "event": "plug", "bus_id": 1 },
//                                       { "at_s": 3.5, "event": "unplug", "bus_id": 1 } ] } ] }
// "psnr_db" is a number, the string "inf" when the monitor's picture equals the desktop's
// exactly (JSON has no infinity, and a finite cap would rank below a near-identical large
// picture), or null when it was not measured. "last_showed_desktop_s" is the time since the
// start of the run at which the monitor's picture was last seen to match its desktop, or null
// when it never was. "capture" is there when the run wrote a capture: its file, the bytes of
// data a record keeps ("snap_bytes"), the transfers written, and those cut to the snap length
// ("cut_transfers": their number; "cut": the first of them, each with the URB id of its two
// records, its endpoint, its length and the bytes kept), for example
//   "capture": { "file": "run.pcap", "snap_bytes": 262080, "transfers": 1200,
//                "cut_transfers": 1, "cut": [ { "urb_id": 87, "endpoint": 2,
//                                               "length": 1048736, "captured": 262080 } ] }
// "plug_history" lists the adapter's arrivals and departures on the bus in
// order ("event" "plug" or "unplug"; a re-plugged adapter gets a new bus id, its "id" stays the
// one of its first plug).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

struct MonitorSummary {
    uint32_t targetId = 0;
    int width = 0;
    int height = 0;
    uint64_t framesShown = 0;
    double framesPerSecond = 0.0;
    uint64_t bytesReceived = 0;        // image bytes that arrived for this monitor
    double psnrDb = -1.0;              // from psnr(): +inf identical, negative not measured
    double lastShowedDesktopS = -1.0;  // seconds since the start; negative: never
};

struct PlugEvent {
    double atS = 0.0;  // seconds since the start of the run
    bool plugged = true;
    int busId = 0;
};

struct AdapterSummary {
    int id = 0;                            // the emulated bus's device id
    std::string model;                     // "520", "508", ...
    uint64_t bytesReceived = 0;            // every OUT byte the adapter took
    std::vector<MonitorSummary> monitors;  // by target id
    std::vector<PlugEvent> history;        // in the order they happened
};

struct CutTransfer {
    uint64_t urbId = 0;
    int endpoint = 0;
    uint64_t length = 0;
    uint64_t captured = 0;
};

struct CaptureSummary {
    std::string file;
    uint64_t snapBytes = 0;
    uint64_t transfers = 0;
    uint64_t cutTransfers = 0;
    std::vector<CutTransfer> cut;  // the first ones
};

class RunSummary {
  public:
    // Adds the adapter or replaces its model and byte count; its monitors are kept.
    void setAdapter(int id, const std::string& model, uint64_t bytesReceived);
    // Adds the monitor to adapter `adapterId` (created with an empty model if unknown) or
    // replaces the one with the same target id.
    void setMonitor(int adapterId, const MonitorSummary& monitor);
    // Replaces the plug history of adapter `adapterId` (created with an empty model if unknown).
    void setHistory(int adapterId, const std::vector<PlugEvent>& history);

    // The run's capture; a summary without one has no "capture" object.
    void setCapture(const CaptureSummary& capture);

    std::vector<AdapterSummary> adapters() const;  // by id
    std::string json() const;                      // the document, indented
    // Writes DIR/summary.json, creating DIR if needed, through a temporary file renamed into
    // place. 0, -EINVAL for an empty dir, or a negative errno (-EIO for a short write).
    int write(const std::string& dir) const;

  private:
    mutable std::mutex mu_;                   // guards adapters_ and capture_
    std::map<int, AdapterSummary> adapters_;  // by id
    bool hasCapture_ = false;
    CaptureSummary capture_;
};

// Peak signal-to-noise ratio in dB over the R, G and B bytes of two 32-bit pictures with bytes
// B,G,R,X (the X byte is ignored): 10 * log10(255^2 / MSE). +infinity when they are equal,
// -1.0 for a null picture, a size that is not positive or a stride shorter than a row.
double psnr(const uint8_t* a, const uint8_t* b, int width, int height, size_t strideA,
            size_t strideB);

// frames / seconds, 0 for a run that has not lasted.
double framesPerSecond(uint64_t frames, double seconds);

}  // namespace emu

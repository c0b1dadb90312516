#include "emulator/output/summary.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>

namespace emu {

namespace {

nlohmann::json psnrJson(double db) {
    if (std::isinf(db) && db > 0) return "inf";
    if (!(db >= 0) || !std::isfinite(db)) return nullptr;
    return db;
}

// Rounded to the millisecond: the times come from a clock read between steps of about 30 ms.
nlohmann::json secondsJson(double s) {
    if (!(s >= 0) || !std::isfinite(s)) return nullptr;
    return std::round(s * 1000.0) / 1000.0;
}

nlohmann::json monitorJson(const MonitorSummary& m) {
    return {{"target_id", m.targetId},
            {"width", m.width},
            {"height", m.height},
            {"frames_shown", m.framesShown},
            {"frames_per_second", std::isfinite(m.framesPerSecond) ? m.framesPerSecond : 0.0},
            {"bytes_received", m.bytesReceived},
            {"psnr_db", psnrJson(m.psnrDb)},
            {"last_showed_desktop_s", secondsJson(m.lastShowedDesktopS)}};
}

nlohmann::json historyJson(const std::vector<PlugEvent>& history) {
    nlohmann::json list = nlohmann::json::array();
    for (const PlugEvent& e : history)
        list.push_back({{"at_s", secondsJson(e.atS)},
                        {"event", e.plugged ? "plug" : "unplug"},
                        {"bus_id", e.busId}});
    return list;
}

}  // namespace

void RunSummary::setAdapter(int id, const std::string& model, uint64_t bytesReceived) {
    std::lock_guard<std::mutex> lk(mu_);
    AdapterSummary& a = adapters_[id];
    a.id = id;
    a.model = model;
    a.bytesReceived = bytesReceived;
}

void RunSummary::setMonitor(int adapterId, const MonitorSummary& monitor) {
    std::lock_guard<std::mutex> lk(mu_);
    AdapterSummary& a = adapters_[adapterId];
    a.id = adapterId;
    for (MonitorSummary& m : a.monitors) {
        if (m.targetId == monitor.targetId) {
            m = monitor;
            return;
        }
    }
    auto at = a.monitors.begin();
    while (at != a.monitors.end() && at->targetId < monitor.targetId) ++at;
    a.monitors.insert(at, monitor);
}

void RunSummary::setHistory(int adapterId, const std::vector<PlugEvent>& history) {
    std::lock_guard<std::mutex> lk(mu_);
    AdapterSummary& a = adapters_[adapterId];
    a.id = adapterId;
    a.history = history;
}

void RunSummary::setCapture(const CaptureSummary& capture) {
    std::lock_guard<std::mutex> lk(mu_);
    hasCapture_ = true;
    capture_ = capture;
}

std::vector<AdapterSummary> RunSummary::adapters() const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<AdapterSummary> out;
    for (const auto& kv : adapters_) out.push_back(kv.second);
    return out;
}

std::string RunSummary::json() const {
    nlohmann::json list = nlohmann::json::array();
    for (const AdapterSummary& a : adapters()) {
        nlohmann::json monitors = nlohmann::json::array();
        for (const MonitorSummary& m : a.monitors) monitors.push_back(monitorJson(m));
        list.push_back({{"id", a.id},
                        {"model", a.model},
                        {"bytes_received", a.bytesReceived},
                        {"monitors", monitors},
                        {"plug_history", historyJson(a.history)}});
    }
    nlohmann::json doc = {{"adapters", list}};
    std::lock_guard<std::mutex> lk(mu_);
    if (hasCapture_) {
        nlohmann::json cut = nlohmann::json::array();
        for (const CutTransfer& c : capture_.cut)
            cut.push_back({{"urb_id", c.urbId},
                           {"endpoint", c.endpoint},
                           {"length", c.length},
                           {"captured", c.captured}});
        doc["capture"] = {{"file", capture_.file},
                          {"snap_bytes", capture_.snapBytes},
                          {"transfers", capture_.transfers},
                          {"cut_transfers", capture_.cutTransfers},
                          {"cut", cut}};
    }
    // Model names come from our own tables, but replace rather than throw on stray bytes.
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int RunSummary::write(const std::string& dir) const {
    if (dir.empty()) return -EINVAL;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return -ec.value();
    const std::string path = dir + "/summary.json";
    const std::string tmp = path + ".tmp";
    const std::string text = json();
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return errno ? -errno : -EIO;
    int rc = std::fwrite(text.data(), 1, text.size(), f) == text.size() ? 0 : -EIO;
    if (std::fclose(f) != 0 && rc == 0) rc = -EIO;
    if (rc == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) rc = errno ? -errno : -EIO;
    if (rc != 0) std::remove(tmp.c_str());
    return rc;
}

double psnr(const uint8_t* a, const uint8_t* b, int width, int height, size_t strideA,
            size_t strideB) {
    if (!a || !b || width <= 0 || height <= 0) return -1.0;
    const size_t row = static_cast<size_t>(width) * 4;
    if (strideA < row || strideB < row) return -1.0;
    // 65025 per channel at most: a 65535 x 65535 picture still fits in 64 bits.
    uint64_t sum = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* pa = a + static_cast<size_t>(y) * strideA;
        const uint8_t* pb = b + static_cast<size_t>(y) * strideB;
        for (int x = 0; x < width; ++x, pa += 4, pb += 4) {
            for (int c = 0; c < 3; ++c) {
                const int d = static_cast<int>(pa[c]) - static_cast<int>(pb[c]);
                sum += static_cast<uint64_t>(d * d);
            }
        }
    }
    if (sum == 0) return std::numeric_limits<double>::infinity();
    const double mse = static_cast<double>(sum) / (3.0 * width * static_cast<double>(height));
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

double framesPerSecond(uint64_t frames, double seconds) {
    if (!(seconds > 0) || !std::isfinite(seconds)) return 0.0;
    return static_cast<double>(frames) / seconds;
}

}  // namespace emu

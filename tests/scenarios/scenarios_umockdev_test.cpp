// The model-520 scenarios over the real libusb, the adapter models sitting in a umockdev
// testbed. Run under umockdev-wrapper (CTest does); elsewhere every scenario is skipped.
#include "emulator/umockdev/umockdev_bus.h"
#include "scenario520.h"

namespace {

class UmockdevFrontEnd : public scen::FrontEnd {
  public:
    UmockdevFrontEnd() {
        if (emu::UmockdevBus::available(&why_)) {
            bus_ = std::make_unique<emu::UmockdevBus>();
            if (!bus_->ok()) why_ = "the umockdev testbed could not be created";
        }
    }
    std::string name() const override { return "real libusb on umockdev"; }
    std::string unavailable() const override { return why_; }
    int plug(std::shared_ptr<emu::DeviceModel> model, emu::UsbIdentity identity) override {
        return bus_ ? bus_->plug(std::move(model), std::move(identity)) : -1;
    }
    int unplug(int id) override { return bus_ ? bus_->unplug(id) : -1; }
    int transfersInFlight(int id) const override {
        if (!bus_) return 0;
        const emu::UmockdevDeviceStatus st = bus_->status(id);
        return st.urbsPending + st.urbsReapable;
    }

  private:
    std::string why_;
    std::unique_ptr<emu::UmockdevBus> bus_;
};

}  // namespace

std::unique_ptr<scen::FrontEnd> scen::makeFrontEnd() {
    return std::make_unique<UmockdevFrontEnd>();
}

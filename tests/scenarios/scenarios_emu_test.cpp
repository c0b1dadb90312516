// The model-520 scenarios over the link-time emulated libusb.
#include "emulator/usb/bus.h"
#include "scenario520.h"

namespace {

class EmuFrontEnd : public scen::FrontEnd {
  public:
    EmuFrontEnd() { emu::Bus::instance().reset(); }
    ~EmuFrontEnd() override { emu::Bus::instance().reset(); }
    std::string name() const override { return "emulated libusb"; }
    int plug(std::shared_ptr<emu::DeviceModel> model, emu::UsbIdentity identity) override {
        return emu::Bus::instance().plug(std::move(model), std::move(identity));
    }
    int unplug(int id) override { return emu::Bus::instance().unplug(id); }
    int transfersInFlight(int id) const override {
        return emu::Bus::instance().status(id).transfersInFlight;
    }
};

}  // namespace

std::unique_ptr<scen::FrontEnd> scen::makeFrontEnd() { return std::make_unique<EmuFrontEnd>(); }

#include "scenario508.h"

#include "emulator/adapters/edidCorpus.h"
#include "emulator/evdi/evdiEmu.h"
#include "fwImages508.h"

namespace scen {

namespace {

constexpr const char* kEdid1080 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";

}  // namespace

void Scenario508::SetUp() {
    ServiceScenario::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), emu::Model508::Config{}.firmwareVersion));
}

Adapter508 Scenario508::plugAdapter(const std::string& product, emu::Model508::Config config) {
    Adapter508 a;
    a.model = std::make_shared<emu::Model508>(config);
    a.id = frontEnd->plug(a.model, emu::adapterIdentity(product));
    EXPECT_GT(a.id, 0) << frontEnd->name() << " refused the adapter";
    return a;
}

emu::Model508::Monitor Scenario508::monitor() {
    return emu::Model508::monitor(emu::edidCorpusBytes(kEdid1080),
                                  {{1920, 1080, 60, 32}, {1280, 720, 60, 32}});
}

bool Scenario508::waitBroughtUp(const Adapter508& a, std::chrono::milliseconds timeout) {
    return vtest::waitFor(
        [&] {
            auto hb = a.model->heartbeat();
            return (hb.extensionOn > 0 || hb.legacyOn > 0) && !a.model->received(0x65).empty();
        },
        timeout);
}

size_t Scenario508::displays() {
    size_t n = 0;
    for (evdi_handle h : emu::openHandles()) n += emu::connectRecord(h).connected;
    return n;
}

bool Scenario508::waitDisplays(size_t n, std::chrono::milliseconds timeout) {
    return vtest::waitFor([&] { return displays() == n; }, timeout);
}

void Scenario508::expectNoRefusals(const Adapter508& a) {
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

}  // namespace scen

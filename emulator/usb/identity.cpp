#include "emulator/usb/identity.h"

namespace emu {

namespace {

constexpr size_t kMaxInterfaces = 32;
constexpr size_t kMaxEndpointsPerAlt = 30;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

}  // namespace

bool UsbIdentity::valid() const {
    if (productId == 0 && vendorId == 0) return false;
    if (interfaces.empty() || interfaces.size() > kMaxInterfaces) return false;
    for (const InterfaceInfo& i : interfaces) {
        if (i.altSettings.empty() || i.altSettings.size() > 256) return false;
        for (const AltSettingInfo& a : i.altSettings) {
            if (a.endpoints.size() > kMaxEndpointsPerAlt) return false;
            for (const EndpointInfo& e : a.endpoints)
                if ((e.address & 0x0F) == 0 || (e.address & 0x70) != 0) return false;
        }
    }
    return true;
}

const EndpointInfo* UsbIdentity::findEndpoint(int interfaceNumber, int alt, uint8_t address) const {
    if (interfaceNumber < 0 || static_cast<size_t>(interfaceNumber) >= interfaces.size())
        return nullptr;
    const InterfaceInfo& i = interfaces[interfaceNumber];
    if (alt < 0 || static_cast<size_t>(alt) >= i.altSettings.size()) return nullptr;
    for (const EndpointInfo& e : i.altSettings[alt].endpoints)
        if (e.address == address) return &e;
    return nullptr;
}

std::vector<uint8_t> UsbIdentity::deviceDescriptor() const {
    std::vector<uint8_t> d;
    d.push_back(18);
    d.push_back(1);  // DEVICE
    put16(d, bcdUSB);
    d.push_back(deviceClass);
    d.push_back(deviceSubClass);
    d.push_back(deviceProtocol);
    d.push_back(maxPacketSize0);
    put16(d, vendorId);
    put16(d, productId);
    put16(d, bcdDevice);
    d.push_back(0);  // iManufacturer
    d.push_back(0);  // iProduct
    d.push_back(0);  // iSerialNumber
    d.push_back(1);  // bNumConfigurations
    return d;
}

std::vector<uint8_t> UsbIdentity::configDescriptor() const {
    std::vector<uint8_t> c = {9,
                              2,
                              0,
                              0,
                              static_cast<uint8_t>(interfaces.size()),
                              configurationValue,
                              0,
                              configAttributes,
                              maxPower};
    for (size_t n = 0; n < interfaces.size(); ++n) {
        const InterfaceInfo& i = interfaces[n];
        for (size_t a = 0; a < i.altSettings.size(); ++a) {
            const AltSettingInfo& s = i.altSettings[a];
            c.insert(c.end(), {9, 4, static_cast<uint8_t>(n), static_cast<uint8_t>(a),
                               static_cast<uint8_t>(s.endpoints.size()), s.interfaceClass,
                               s.interfaceSubClass, s.interfaceProtocol, 0});
            for (const EndpointInfo& e : s.endpoints) {
                c.insert(c.end(), {7, 5, e.address, static_cast<uint8_t>(e.type)});
                put16(c, e.maxPacketSize);
                c.push_back(e.interval);
                if (bcdUSB >= 0x0300) {
                    // SuperSpeed endpoint companion: no bursts, no streams.
                    c.insert(c.end(), {6, 0x30, 0, 0, 0, 0});
                }
            }
        }
    }
    const size_t total = c.size();
    c[2] = static_cast<uint8_t>(total & 0xFF);
    c[3] = static_cast<uint8_t>((total >> 8) & 0xFF);
    return c;
}

UsbIdentity adapterIdentity(const std::string& model) {
    UsbIdentity id;
    static const struct {
        const char* name;
        uint16_t pid;
    } kModels[] = {{"520", 0x0520}, {"522", 0x0522}, {"520A", 0x520A},
                   {"508", 0x0508}, {"505", 0x0505}, {"500", 0x0500}};
    for (const auto& m : kModels)
        if (model == m.name) id.productId = m.pid;
    if (id.productId == 0) return id;

    id.vendorId = static_cast<uint16_t>(VEL_VENDOR_ID);
    id.deviceClass = 0xEF;
    id.deviceSubClass = 0x02;
    id.deviceProtocol = 0x01;
    id.bcdUSB = 0x0320;
    id.maxPacketSize0 = 9;  // 2^9 = 512 bytes, as SuperSpeed requires
    id.busNumber = 2;       // the SuperSpeed root hub of a typical xHCI controller

    AltSettingInfo alt;
    if (id.productId == 0x0508 || id.productId == 0x0505 || id.productId == 0x0500) {
        // The 50x family: commands and cursor packets on interrupt OUT 0x01, replies and events
        // on interrupt IN 0x81, image and firmware packets on bulk OUT 0x02.
        const uint16_t bulkPacket = id.productId == 0x0500 ? 512 : 1024;
        alt.endpoints.push_back({0x01, EndpointType::Interrupt, 1024, 1});
        alt.endpoints.push_back({0x81, EndpointType::Interrupt, 1024, 1});
        alt.endpoints.push_back({0x02, EndpointType::Bulk, bulkPacket, 0});
        if (id.productId == 0x0500) {
            // A high-speed part with its one vendor interface (the host claims interface 0).
            id.bcdUSB = 0x0210;
            id.maxPacketSize0 = 64;
            id.busNumber = 1;
            id.interfaces.push_back(InterfaceInfo{{alt, alt}});
            return id;
        }
    } else {
        for (uint8_t n = 1; n <= 3; ++n) {
            alt.endpoints.push_back({n, EndpointType::Bulk, 1024, 0});
            alt.endpoints.push_back({static_cast<uint8_t>(0x80 | n), EndpointType::Bulk, 1024, 0});
        }
        alt.endpoints.push_back({0x84, EndpointType::Interrupt, 1024, 1});
    }
    for (int n = 0; n < 5; ++n) id.interfaces.push_back(InterfaceInfo{{alt, alt}});
    return id;
}

}  // namespace emu

// What an emulated USB device presents to the host: device descriptor fields, its place on the
// bus and its one configuration. Front-end independent (no libusb types), so that a usbfs
// front-end can serialise the same identity into its sysfs descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointInfo {
    uint8_t address = 0;  // bit 7 set for IN
    EndpointType type = EndpointType::Bulk;
    uint16_t maxPacketSize = 512;
    uint8_t interval = 0;
};

struct AltSettingInfo {
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<EndpointInfo> endpoints;
};

struct InterfaceInfo {
    std::vector<AltSettingInfo> altSettings;  // index = bAlternateSetting
};

struct UsbIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdUSB = 0x0200;
    uint16_t bcdDevice = 0x0100;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;
    uint8_t busNumber = 1;
    uint8_t address = 0;  // 0: the bus assigns the next free address at plug time
    uint8_t portNumber = 1;
    uint8_t configurationValue = 1;
    uint8_t configAttributes = 0x80;  // bus powered
    uint8_t maxPower = 0x32;
    std::vector<InterfaceInfo> interfaces;  // index = bInterfaceNumber

    // An identity the bus accepts: a product, 1..32 interfaces, each with 1..256 alternate
    // settings of at most 30 endpoints.
    bool valid() const;
    // The endpoint `address` in alternate setting `alt` of `interfaceNumber`, or nullptr.
    const EndpointInfo* findEndpoint(int interfaceNumber, int alt, uint8_t address) const;
    // Wire form of the device descriptor (18 bytes) and of the whole configuration descriptor.
    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configDescriptor() const;
};

// The adapter family as it enumerates: "520", "522", "520A", "508", "505" or "500". Class 0xEF.
// The model 520 variants: USB 3.2, five vendor interfaces each with alternate settings 0 and 1
// carrying bulk endpoints 0x01/0x81, 0x02/0x82, 0x03/0x83 and interrupt IN 0x84. The 50x
// family: interrupt OUT 0x01, interrupt IN 0x81 and bulk OUT 0x02 in alternate settings 0 and
// 1; "508" and "505" USB 3.2 with five interfaces, "500" USB 2.1 (high speed) with one. An
// unknown name gives an identity that is not valid() and that the bus refuses.
UsbIdentity adapterIdentity(const std::string& model);

}  // namespace emu

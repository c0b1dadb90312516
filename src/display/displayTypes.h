// Records exchanged between the display classes, the session and the receive paths.
#pragma once

#include <cstdint>
#include <vector>

// Reply to a 50x-family control command, copied from incoming bytes 16..22.
#pragma pack(push, 1)
struct VELPTC_CONTROL_RET {
    uint8_t type = 0;
    uint8_t status = 0;
    uint8_t detail[2] = {0, 0};
    uint16_t value = 0;
    uint8_t value8 = 0;
};
#pragma pack(pop)
static_assert(sizeof(VELPTC_CONTROL_RET) == 7, "control reply is 7 bytes on the wire");

// One queued incoming packet; the bytes are owned by the record.
struct _RCV_BUF_ADDR {
    uint32_t length = 0;
    std::vector<uint8_t> data;
};

// Defined by the protocol and firmware code that uses them.
struct _VELDC_DATA_HEADER_;
struct _FILES;
struct _SROM_INFO_;
struct _SROM_INFO_DEFAULT_;

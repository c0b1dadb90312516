// VelDisplayClass508: the 50x-family protocol behind the display-class interface.
// Created by the device manager for product IDs 0x0508, 0x0505 and 0x0500.
#pragma once

#include "display/VelDisplayClassDriverBase.h"

class VelDisplayClass508 : public VelDisplayClassBase {
public:
    VelDisplayClass508(VelDev* dev, int key);

    void* initCmds() override;
    void* fwStatusThread() override;
    void checkMonitorStatus(void* vportInfo, std::set<int> positions, bool recheck) override;
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override;
    int checkFrameIndex(unsigned char* data) override;
    int setCursorState(int x, int y, int view, int visible) override;
    int setCursorImage(evdi_cursor_set cursor, int view) override;
    int resetDevice(int) override;
    int sendPatchCommand(int, unsigned int) override;
};

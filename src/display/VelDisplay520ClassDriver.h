// VelDisplay520Class: the model-520 protocol behind the display-class interface.
// Created by the device manager for product IDs 0x0520, 0x0522 and 0x520A.
#pragma once

#include <memory>

#include "display/VelDisplayClassDriverBase.h"
#include "service/OrfeLock.h"

class VelDisplay520Class : public VelDisplayClassBase,
                           public std::enable_shared_from_this<VelDisplay520Class> {
public:
    VelDisplay520Class(VelDev* dev, int key);
    ~VelDisplay520Class() override;

    // Called once right after construction: allocates the version texts and clears this
    // device's control-block record (request, done, version-valid and the log counters).
    void initValue();

    void* initCmds() override;
    void* fwStatusThread() override;
    void checkMonitorStatus(void* vportInfo, std::set<int> positions, bool recheck) override;
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override;
    int checkFrameIndex(unsigned char* data) override;
    int setCursorState(int x, int y, int view, int visible) override;
    int setCursorImage(evdi_cursor_set cursor, int view) override;
    int recvHeartBeat(void* session) override;
    int resetDevice(int) override;
    int sendPatchCommand(int, unsigned int) override;
    int fwExeClean() override;
    void printFwVersion() override;

    char* fwVersionInBoard = nullptr;  // 124 bytes
    char* pBL1Ver = nullptr;           // 124 bytes
    COrfeLock cmdLock;                 // brackets every command/response exchange
};

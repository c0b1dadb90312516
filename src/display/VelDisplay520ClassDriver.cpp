#include "display/VelDisplay520ClassDriver.h"

#include <cstdlib>
#include <cstring>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "service/debug.h"

VelDisplay520Class::VelDisplay520Class(VelDev* dev, int key) {
    m_dev = dev;
    deviceIndex = key;
}

VelDisplay520Class::~VelDisplay520Class() {
    free(fwVersionInBoard);
    free(pBL1Ver);
}

void VelDisplay520Class::initValue() {
    fwVersionInBoard = static_cast<char*>(calloc(124, 1));
    if (!fwVersionInBoard) {
        vel_Print("[error] Failed to allocate memory for fwVersionInBoard\n");
        return;
    }
    pBL1Ver = static_cast<char*>(calloc(124, 1));
    if (!pBL1Ver) {
        vel_Print("[error] Failed to allocate memory for pBL1Ver\n");
        free(fwVersionInBoard);
        fwVersionInBoard = nullptr;
        return;
    }
    if (DevManager::sharedDataPtr && deviceIndex >= 0 && deviceIndex < 2) {
        VEL_SHM_RECORD* rec = &reinterpret_cast<VEL_SHM_BLOCK*>(DevManager::sharedDataPtr)->record[deviceIndex];
        rec->fwLogRequest = 0;
        rec->fwLogDone = 0;
        rec->versionValid = 0;
        rec->fwLogTotal = 0;
        rec->fwLogReceived = 0;
    }
}

void* VelDisplay520Class::initCmds() { return nullptr; }
void* VelDisplay520Class::fwStatusThread() { return nullptr; }
void VelDisplay520Class::checkMonitorStatus(void*, std::set<int>, bool) {}
int VelDisplay520Class::dataHeaderPackage(const void*, void*, _VELRECT, int, int) { return 0; }
int VelDisplay520Class::checkFrameIndex(unsigned char*) { return 0; }
int VelDisplay520Class::setCursorState(int, int, int, int) { return 0; }
int VelDisplay520Class::setCursorImage(evdi_cursor_set, int) { return 0; }
int VelDisplay520Class::recvHeartBeat(void*) { return 0; }
int VelDisplay520Class::resetDevice(int) { return 0; }
int VelDisplay520Class::sendPatchCommand(int, unsigned int) { return 0; }
void VelDisplay520Class::printFwVersion() {}

int VelDisplay520Class::fwExeClean() {
    displayClassExitFlag = true;
    return 0;
}

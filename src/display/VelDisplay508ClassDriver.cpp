#include "display/VelDisplay508ClassDriver.h"

VelDisplayClass508::VelDisplayClass508(VelDev* dev, int key) {
    m_dev = dev;
    deviceIndex = key;
}

void* VelDisplayClass508::initCmds() { return nullptr; }
void* VelDisplayClass508::fwStatusThread() { return nullptr; }
void VelDisplayClass508::checkMonitorStatus(void*, std::set<int>, bool) {}
int VelDisplayClass508::dataHeaderPackage(const void*, void*, _VELRECT, int, int) { return 0; }
int VelDisplayClass508::checkFrameIndex(unsigned char*) { return 0; }
int VelDisplayClass508::setCursorState(int, int, int, int) { return 0; }
int VelDisplayClass508::setCursorImage(evdi_cursor_set, int) { return 0; }
int VelDisplayClass508::resetDevice(int) { return 0; }
int VelDisplayClass508::sendPatchCommand(int, unsigned int) { return 0; }

#include "display/VelDisplay520ClassDriver.h"

#include <cstdlib>
#include <cstring>

#include "service/threads.h"
#include "session/VelDev.h"

VelDisplay520Class::VelDisplay520Class(VelDev* dev, int key) {
    m_dev = dev;
    deviceIndex = key;
}

// Runs when the last shared owner lets go: the session, or the last of this object's own
// threads. None of them is using the buffers any more.
VelDisplay520Class::~VelDisplay520Class() {
    free(rxBuffer);
    free(inputNodeTable);
    if (m_semInitialised) cleanup_semaphores(deviceIndex, this);
    free(fwVersionInBoard);
    free(pBL1Ver);
    vel::sleepMs(100);
}

int VelDisplay520Class::recvHeartBeat(void*) { return 0; }
// This generation has no device reset and no patch command: both do nothing.
int VelDisplay520Class::resetDevice(int) { return 0; }
int VelDisplay520Class::sendPatchCommand(int, unsigned int) { return 0; }
void VelDisplay520Class::printFwVersion() {}

// Device clean-up (the manager's thread). After it returns, no command of this object reaches
// USB and no transfer of it is in flight: the threads end on their next check.
int VelDisplay520Class::fwExeClean() {
    {
        // A plug-in or plug-out in progress on a hot-plug worker finishes first, and none starts
        // after the flag (the workers check it under this lock): the view table that
        // monitorControl reads here, and the manager's clean-up after us, see the session's
        // final monitor state.
        std::lock_guard<std::mutex> plug(plugMutex);
        auto dev = session();
        if (dev && dev->connected) monitorControl(1);
        dev.reset();
        vel::sleepMs(200);
        displayClassExitFlag = true;
    }
    memset(vPort_Record, 0xEE, sizeof(vPort_Record));
    // Wait out a transfer that started before the flag was raised.
    { std::lock_guard<std::mutex> lk(txMutex); }
    { std::lock_guard<std::mutex> lk(rxMutex); }
    vel::sleepMs(500);
    return 0;
}

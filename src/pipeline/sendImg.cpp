// The send thread: writes encoded packets from the session's send queue to the adapter.
#include <cstdlib>

#include "service/threads.h"
#include "session/VelDev.h"

void VelDev::velSendImgThread() {
    vel::threadInit("velSendImg");
    while (!exitFlag) {
        auto packet = sendQueue.timedpop();
        if (!packet) continue;
        free(packet->buffer);
    }
}

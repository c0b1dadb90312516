// Hand-over from the model-520 conversion to JPEG encoding.
//
// This file is the seam between the two stages: the JPEG encoder (yuv2Jpeg520 compressing the
// planes, rgb2Jpeg520 compressing RGB in light mode) replaces the bodies below. Until it does,
// a smart-mode frame ends here: its planes are shown to the test hook, freed, and the view's
// update token is given back, as the encoder does once it has the pixels. No packet is sent, so
// the frame credit stays taken, as it would until the adapter acknowledges the frame.
#include <cstdlib>

#include "session/VelDev.h"

void VelDev::yuv2Jpeg520(_RECT_IN_ENCODE_Q record, int viewId, int sequence) {
    if (yuv2Jpeg520Hook) yuv2Jpeg520Hook(record, viewId, sequence);
    free(record.rect.buffer);
    if (viewId >= 0 && viewId < VEL_MAX_VIEWS) sem_post(&updateToken[viewId]);
}

// Light mode compresses RGB straight to JPEG; without that encoder the frame takes the planar
// path, so a light-mode view still shows its frames.
int VelDev::rgb2Jpeg520(_alignmentRect* rect, int viewId, int sequence) {
    return rgb2Yuv520(rect, viewId, sequence);
}

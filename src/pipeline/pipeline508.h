// 50x-family frame pipeline: the helpers of its threads (processRect508.cpp) that hold no
// state, for the threads and their tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/pipelineRecords.h"

// A merged region above this many pixels is converted and compressed as two halves.
constexpr long kSplitPixels508 = 1692733;

// The JPEG length announced in the image header for a JPEG of `jpegSize` bytes on `model`:
// 0x0508 rounds up to whole KiB above the JPEG (at least 2048), 0x0500 and 0x0505 add 32.
uint32_t velJpegLength508(unsigned long jpegSize, uint32_t model);
// Bytes of the packet buffer for a `width` x `height` region: width x height x 8 + 20,560, or
// more where TurboJPEG's worst case with the announced padding would not fit; 0 for an empty
// region.
size_t velPacketSize508(int width, int height);
// The two halves of a split region: a 3840 x 2160 region as 944 and 1216 rows, any other as
// ceil(h / 2) rows from y and ceil(h / 2) rows from y + floor(h / 2).
void velSplitRegion508(const _alignmentRect& region, _alignmentRect* upper, _alignmentRect* lower);

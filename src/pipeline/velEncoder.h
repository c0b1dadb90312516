// The 50x family's encoder table and its YUV block.
//
// YUV block (the `buffer` of a 50x encode record): a 32-byte header of eight host-order uint32
// {encoder index, y, x, height, width, first size, second size, third size}, then the encoder's
// output (for the YUV encoder: the Y, U and V planes of 4:2:0, each padded to a multiple of 16
// bytes). Block length = 32 + the three sizes.
//
// Table entries share one signature: output pointer, region record, the third, second and first
// size results (in that parameter order), an opaque parameter (a pointer to the int quality), the
// room at the output in bytes, and one unused value. They return 0, or -1 when the result would
// not fit the output (sizes are then 0). Entries run on the calling thread and create their own
// TurboJPEG handle where they need one.
#pragma once

#include <cstdint>

#include "pipeline/pipelineRecords.h"

constexpr int VEL_ENCODER_COUNT = 17;
constexpr int VEL_ENCODER_RAW = 0;
constexpr int VEL_ENCODER_JPEG = 8;
constexpr int VEL_ENCODER_YUV = 16;
constexpr uint32_t VEL_YUV_BLOCK_HEADER = 32;

typedef int (*VelEncodeFunc)(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize,
                             uint32_t* secondSize, uint32_t* firstSize, void* param,
                             uint32_t outCapacity, uint32_t unused);

extern const VelEncodeFunc g_encfunarray[VEL_ENCODER_COUNT];

// Raw copy: `height` rows of `width` x 4 bytes, source rows `stride` bytes apart.
void GetImg2OneBlock32(unsigned char* out, const unsigned char* src, int width, int height,
                       int stride);

int encodeno(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
             uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused);
int encodeDoNothing(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
                    uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused);
int encodejpeg2(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
                uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused);
int encodeyuv(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
              uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused);

// The 16-byte-rounded 4:2:0 plane sizes of a region and the length of its YUV block
// (32 + the three); 0 for an empty or oversized region.
uint32_t velYuvPlaneSize420(int component, int width, int height);
uint32_t velYuvBlockLength(int width, int height);

// Runs table entry `index` into block + 32 and writes the block header. `*length` is the block's
// capacity in bytes on entry and the block length on return. Returns 0; -1 for a bad index, a
// null argument, a block smaller than the header or an entry that failed (*length is then 0).
int velRgb2YuvEncode(_VELRECT* rect, int index, void* param, int unused1, int unused2,
                     unsigned char* block, uint32_t* length);

#include "jpu/OrfeJpegHeaderDec.h"

#include "jpu/JPUInterfaceFromCnM508.h"
#include "jpu/JPUInterfaceFromCnM520.h"

static_assert(COrfeJpegHeaderDec::MAX_HEADER_SIZE_508 ==
                  1 + 3 * JPUINTERFACEFROMCNM508::RECORD_SIZE,
              "50x header bound");
static_assert(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520 ==
                  1 + 3 * JPUINTERFACEFROMCNM520::RECORD_SIZE,
              "520 header bound");

unsigned int COrfeJpegHeaderDec::GetJpegHeaderForCnMDecoder(const unsigned char* jpeg,
                                                            unsigned int jpegLength,
                                                            unsigned char* out,
                                                            unsigned int capacity,
                                                            ProtocolType protocol) {
    int result;
    switch (protocol) {
        case CNM508_PROTOCOL:
            result = JPUINTERFACEFROMCNM508().GetJpegHeaderForCnMDecoderCore(jpeg, jpegLength, out,
                                                                             capacity);
            break;
        case CNM520_PROTOCOL:
            result = JPUINTERFACEFROMCNM520().GetJpegHeaderForCnMDecoderCore(jpeg, jpegLength, out,
                                                                             capacity);
            break;
        default:
            // Nothing was written: a positive size here would have the caller send a header that
            // is not there.
            result = 0;
            break;
    }
    return static_cast<unsigned int>(result);
}

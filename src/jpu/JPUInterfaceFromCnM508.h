// Decoder header for the 50x family's hardware JPEG decoder (protocol 0): the parse state of the
// decoder, 2856 bytes, built on the host from the JPEG's markers.
#pragma once

#include <cstdint>

// One parse state of the 50x-family decoder, exactly as the decoder reads it (little-endian).
struct _CNM508_PARSE_STATE_ {
    uint8_t raw[2856];
};

class JPUINTERFACEFROMCNM508 {
  public:
    static constexpr uint32_t RECORD_SIZE = sizeof(_CNM508_PARSE_STATE_);

    // Builds the decoder header for the `length`-byte JPEG at `jpeg` into `out` (at most
    // `capacity` bytes): a count byte N followed by N records. Result 1 + N x 2856 on success,
    // 0 when the JPEG is not a frame this decoder takes, -1 when the stream ends before the
    // frame's header and 512 bytes of entropy data (and its EOI) are in the buffer, -2 when the
    // frame runs past the buffer, -4 when `capacity` cannot take the next record (records
    // already copied stay in `out`). Reads only [jpeg, jpeg + length), writes only
    // [out, out + capacity); the two must not overlap. No state; safe on any thread.
    int GetJpegHeaderForCnMDecoderCore(const uint8_t* jpeg, uint32_t length, uint8_t* out,
                                       uint32_t capacity) const;

    // Zeroes `state` and sets its stream fields for a JPEG of `length` bytes at `jpeg`.
    static void initDecodeState(_CNM508_PARSE_STATE_& state, const uint8_t* jpeg, uint32_t length);

    // One header parse on `state` (set up by initDecodeState, possibly parsed before) of the JPEG
    // at `jpeg`: 1 when the frame header was parsed through SOS and the decoding tables built,
    // 0 on malformed data, -1 when the stream ends or more data is needed, -2 when the frame runs
    // past the end of the buffer.
    int JpegDecodeHeader(_CNM508_PARSE_STATE_& state, const uint8_t* jpeg) const;
};

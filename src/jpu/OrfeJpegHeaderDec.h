// The decoder header that the adapters' hardware JPEG decoder takes with every image: the host
// parses the JPEG's markers and hands the decoder its parse state ready-made, so the adapter
// skips its own header parsing. Two record formats exist, one per adapter generation; this
// facade picks one by protocol.
//
// Use from a display class while packaging a frame (the decoder header follows the JPEG in the
// packet buffer):
//
//   COrfeJpegHeaderDec* dec = new COrfeJpegHeaderDec;
//   int n = (int)dec->GetJpegHeaderForCnMDecoder(jpeg, jpegLen, jpeg + jpegLen,
//                                                bufferSize - jpegLen, CNM520_PROTOCOL);
//   delete dec;
//   // n > 0: n bytes of decoder header were written after the JPEG; n <= 0: error code below.
#pragma once

#include <cstdint>

enum ProtocolType {
    CNM508_PROTOCOL = 0,  // 50x family, 2856-byte records
    CNM520_PROTOCOL = 1,  // model 520, 6120-byte records
};

class COrfeJpegHeaderDec {
  public:
    // Largest header either protocol writes: the count byte and three records. A capacity of
    // this size never yields -4.
    static constexpr uint32_t MAX_HEADER_SIZE_508 = 1 + 3 * 2856;
    static constexpr uint32_t MAX_HEADER_SIZE_520 = 1 + 3 * 6120;

    // Writes the decoder header for the `jpegLength`-byte JPEG at `jpeg` to `out`, at most
    // `capacity` bytes. The result is an int returned as unsigned: 1 + N x S (N records of S
    // bytes after a count byte; 5713 or 12241 for one ordinary JPEG) on success, 0 when the
    // JPEG is not a frame the decoder takes (progressive, arithmetic-coded, bad tables or
    // lengths, above 32768 pixels a side, an unknown protocol), -1 when the header or the
    // decoder's minimum of entropy data (512 bytes protocol 0, 1024 protocol 1) or the EOI is
    // missing, -2 when the frame runs past the buffer, -4 when `capacity` is too small for the
    // next record.
    //
    // The JPEG is only read, never past jpegLength; `out` is written only below `capacity` and
    // must not overlap the JPEG. The records carry the low 32 bits of the JPEG's address, so
    // build the header for the JPEG where it sits in the packet. No state, no blocking, no I/O:
    // any thread (the encoder thread packaging a frame), any number of instances.
    unsigned int GetJpegHeaderForCnMDecoder(const unsigned char* jpeg, unsigned int jpegLength,
                                            unsigned char* out, unsigned int capacity,
                                            ProtocolType protocol);
};

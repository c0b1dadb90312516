// Firmware image files on the host: the record that carries the four opened images through one
// update (_FILES), how they are located and opened (checkFileExists), the image checksum and the
// closing helpers. Used by the 50x-family SROM update and by the model-520 firmware update.
//
// Thread context: any thread; nothing here is shared between calls. The streams of one _FILES
// belong to the caller of checkFileExists until closeFiles (or the update step that consumed an
// image) closes them.
#pragma once

#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstdio>

// Every image path, default or given by the caller, lives in a buffer of this size.
constexpr size_t VEL_FW_PATH_MAX = 48;

// One opened image.
struct _FILEAttr {
    unsigned char reserved[8];  // not read by any update step
    FILE* file;                 // null once the image has been consumed and closed
    int length;                 // size in bytes, taken when the file was opened
};

// The images of one update, in the order they are opened.
struct _FILES {
    _FILEAttr bootloader0;         // "Bootloader0.bin"
    _FILEAttr bootloader1;         // "Bootloader1.bin"
    _FILEAttr firmware0;           // "firmware0.bin", the secondary firmware
    _FILEAttr firmware;            // "USBDisplay.bin" (50x) or "USBDisplay520.bin" (model 520)
    libusb_device_handle* handle;  // the adapter being updated, set by the caller
    uint8_t checksum;              // of the main image, set by the 50x firmware-only upgrade
    uint32_t state;                // 0 once the files are opened; no update step reads it
};

// Opens the four images for the model of the session at `index` (g_dev's table) from the
// firmware directory (vel::fwDir()). A non-null path argument is a 48-byte buffer that replaces
// the default path of image 1, 2, 3 or 4; it must be NUL-terminated within those 48 bytes.
// Returns 0 with all four streams open in `files`, 1 otherwise; on 1 nothing is left open and one
// diagnostic says which image is missing (plus an "[error]" line when a file exists but cannot
// be used: not a regular file, unreadable, or longer than INT_MAX bytes).
int checkFileExists(unsigned int index, _FILES* files, const char* bootloader0Path = nullptr,
                    const char* bootloader1Path = nullptr, const char* firmware0Path = nullptr,
                    const char* firmwarePath = nullptr);

// Sum of `length` bytes, each taken as unsigned, modulo 2^32. The image checksum stored by the
// callers is the two's-complement negation of this (or its low byte). A null `data` or a
// non-positive `length` sums to 0.
uint32_t velBinChecksum(const unsigned char* data, int length);

// The stored checksum byte of an image: the low byte of the negated sum ("abc" gives 0xDA).
uint8_t velBinChecksumByte(const unsigned char* data, int length);

// Size of an open stream in bytes: seeks to the end, reads the position, seeks back to the
// start. Returns -1 when the stream is null, cannot seek, or is longer than INT_MAX bytes.
// (An overload of the log's getFileSize(const char*), which measures a path.)
int getFileSize(FILE* file);

// Reads the last `cap` bytes of an open stream (the whole stream when it is shorter) into
// `tail` and stores their count in `*got`. Only those bytes are read, so an image of any size
// costs `cap` bytes of memory. Returns 0, or -1 when the stream is null or empty, cannot seek,
// or the read comes short. The stream is left wherever the read ended.
int velReadFileTail(FILE* file, unsigned char* tail, size_t cap, size_t* got);

// Closes the image's stream if it is open. The caller's copy still holds the pointer; clear it
// (closeFiles does) when the record lives on.
void closeF(_FILEAttr attr);

// Closes every open stream of the four images and clears their pointers; returns 1.
int closeFiles(_FILES* files);

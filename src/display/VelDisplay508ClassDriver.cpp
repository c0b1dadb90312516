// The display operations of the 50x family that are not served yet keep their fixed results:
// image header, frame-index feedback, cursor and view reset.
#include "display/VelDisplay508ClassDriver.h"

int VelDisplayClass508::dataHeaderPackage(const void*, void*, _VELRECT, int, int) { return 0; }
int VelDisplayClass508::checkFrameIndex(unsigned char*) { return 0; }
int VelDisplayClass508::setCursorState(int, int, int, int) { return 0; }
int VelDisplayClass508::setCursorImage(evdi_cursor_set, int) { return 0; }
int VelDisplayClass508::resetDevice(int) { return 0; }

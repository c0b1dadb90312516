// VelUSBDisplay: the display service and its command-line client.
#include "service/velMain.h"

int main(int argc, char** argv) { return velMain(argc, argv); }

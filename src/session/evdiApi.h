// The EVDI library's header, made self-contained: the distribution's header needs <stdint.h>
// before it.
#pragma once

#include <stdint.h>
#include <stddef.h>

extern "C" {
#include <evdi_lib.h>
}

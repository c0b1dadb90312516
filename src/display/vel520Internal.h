// Helpers shared by the model-520 display-class sources (not part of the interface).
#pragma once

#include <memory>

class VelDev;

// The fatal exit: DevManager::usb_abort with the session's USB device. Never returns.
[[noreturn]] void vel520Abort(const std::shared_ptr<VelDev>& dev);

// Replaced by the emulated platform.

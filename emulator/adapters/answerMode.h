// How an emulated adapter answers a command, shared by the adapter models: the fault a test or
// a run asks for, per command.
#pragma once

namespace emu {

enum class AnswerMode {
    Normal,
    Late,       // after the given delay
    Wrong,      // answered as the next type
    ErrorFlag,  // flagged as an error (model 520: the error flag, no payload; 50x: status 1)
    Never,
    Retyped,     // answered as the type given with setAnswerType
    Duplicated,  // answered twice: the same answer again right after it
};

}  // namespace emu

// help() texts of the builder classes (docs/builder.md is the guide).
#pragma once

#include "common/helptext.hpp"

namespace tvk::builder {

inline constexpr MemberDoc kQueueDocs[] = {
    {"__init__", "(self, freqs=None, envelopes=None)",
     "A queue. A channel files each frequency of `freqs` (hertz) as a frame and each envelope of "
     "`envelopes` as an envelope, numbered 0, 1, 2, ...; a plain queue refuses both."},
    {"__enter__", "(self)", "Returns the queue itself, for with statements."},
    {"__exit__", "(self, exc_type, exc_val, exc_tb)", "Does nothing; an exception in the with block goes on."},
    {"clear", "(self)", "Empty the program and the variable table; frames and envelopes stay."},
    {"length", nullptr, "Number of recorded items; a nested block counts as one."},
    {"ins_frame", "(self, freq, idx=None)",
     "Refused here (RuntimeError): frames are declared on the channel, InsChannel.ins_frame."},
    {"ins_envelope", "(self, envelope, idx=None)",
     "Refused here (RuntimeError): envelopes are declared on the channel, InsChannel.ins_envelope."},
    {"evlp_gaussian", "(self, width, srate=8000000000.0)",
     "Declare a Gaussian envelope `width` seconds long, peak 1 in the middle and 1/16 at the ends, "
     "sampled at `srate` samples per second; returns its Envelope."},
    {"evlp_cospulse", "(self, width)",
     "Declare a cosine-pulse envelope `width` seconds long (needs the waveforms library)."},
    {"evlp_square", "(self, width)", "Declare a square envelope `width` seconds long (needs the waveforms library)."},
    {"wait_for_trigger", "(self)",
     "Record a trigger wait (QInsWaitTrig): the program stops here until the next trigger."},
    {"ins_variable", "(self, reg, value)",
     "Set the variable named `reg` (a str) to the integer `value` (QInsMov \"=\"); a new name takes "
     "the next of the channel's 16 registers."},
    {"ins_add", "(self, reg, value)", "Add the integer `value` to the variable named `reg` (QInsMov \"+\")."},
    {"ins_reset_frame", "(self, flag, frame)",
     "Reset the frame of the Frame handle `frame`; `flag` is \"all\", \"single\" or \"phase\" (QInsResetF)."},
    {"inc_phase", "(self, frame, phase)", "Add `phase` radians to the Frame handle `frame` (QInsIncPhase)."},
    {"play_wave", "(self, wave, amp=1, freq=0, phase=0)",
     "Play the Signal `wave` (a Frame times an Envelope) at `amp`, a fraction of full scale from 0 up to "
     "2 (encoded times 32768), with `freq` hertz and `phase` radians added (QInsPlayWave)."},
    {"play_zero", "(self, width)",
     "Hold the output at zero for `width` seconds, in steps of 4 ns (QInsPlayZero): the timed pause; a "
     "width of fewer than 0 or more than 4294967295 steps is refused."},
    {"wait", "(self)",
     "Record a wait (QInsWait), a command word that takes no output time; for a timed pause use play_zero."},
    {"end", "(self)", "Record the program's end (QInsEnd), after a wait unless the last item is one."},
    {"capture", "(self, width, delay=0)",
     "Capture `width` seconds (at most 2.048e-6, in steps of 16 ns), starting `delay` seconds later on the "
     "probe side (QInsCapture); refused inside if, else and loop blocks."},
    {"_compile", "(self)", "The program as a flat list: copies of the records, blocks laid out."},
    {"compile", "(self)",
     "The command list for Assembler.set_chnl_cmdq: frames, envelopes, the program with its blocks laid "
     "out, then a wait and an end where the program lacks them."},
    {"lookup", "(self)", "Print the compiled list as indented JSON; returns None."},
};

inline constexpr MemberDoc kChannelDocs[] = {
    {"__init__", "(self, freqs=None, envelopes=None)",
     "The program of one drive channel, with a frame for each frequency of `freqs` (hertz) and an "
     "envelope for each item of `envelopes`, numbered from 0."},
    {"clear", "(self)", "Start a new program on the same frames and envelopes."},
    {"ins_frame", "(self, freq, idx=None)",
     "File a new Frame of `freq` hertz under the integer `idx` (the next free one when None) and return it."},
    {"ins_envelope", "(self, envelope, idx=None)",
     "File a new Envelope of the samples `envelope` (fractions of full scale) under the integer `idx` "
     "(the next free one when None) and return it."},
    {"ins_if", "(self, formula)",
     "Open an if block on the formula \"[name] == [value]\": a channel variable and an integer, or a "
     "judgement bit FREQ_0 ... FREQ_5 and 0 or 1. Returns the block, for a with statement."},
    {"ins_else", "(self)", "Open the else block of the if block recorded last; returns it."},
    {"ins_loop", "(self, times)", "Open a block that runs `times` times, an integer from 1 to 4294967295; returns it."},
};

inline constexpr MemberDoc kIfDocs[] = {
    {"__init__", "(self, freqs=None, envelopes=None)", "An if block; made by InsChannel.ins_if."},
    {"from_channel", "(cls, channel)", "A new block of this class on `channel`."},
    {"formula", nullptr,
     "Write-only: \"[name] == [value]\" on a channel variable or a judgement bit FREQ_0 ... FREQ_5."},
    {"capture", "(self, width, delay=0)", "Refused: no capture in a branch (RuntimeError)."},
};

inline constexpr MemberDoc kElseDocs[] = {
    {"__init__", "(self, freqs=None, envelopes=None)", "An else block; made by InsChannel.ins_else."},
    {"from_channel", "(cls, channel)", "A new block of this class on `channel`."},
    {"capture", "(self, width, delay=0)", "Refused: no capture in a branch (RuntimeError)."},
};

inline constexpr MemberDoc kLoopDocs[] = {
    {"__init__", "(self, freqs=None, envelopes=None)", "A loop block; made by InsChannel.ins_loop."},
    {"from_channel", "(cls, channel)", "A new block of this class on `channel`."},
    {"__enter__", "(self)", "Mark the channel as looping (no second loop on it) and return the block."},
    {"__exit__", "(self, exc_type, exc_val, exc_tb)", "Mark the channel as no longer looping."},
    {"capture", "(self, width, delay=0)", "Refused: no capture in a loop (RuntimeError)."},
};

inline constexpr MemberDoc kWaveDocs[] = {
    {"__init__", "(self, ins_obj, ins_id)", "A handle of the queue `ins_obj`; `ins_id` must be a dict."},
    {"__repr__", "(self)", "The handle's class and its queue, as <class::queue>."},
};

inline constexpr MemberDoc kFrameDocs[] = {
    {"__init__", "(self, ins_obj, ins_id, freq)",
     "The frame `ins_id` of the queue `ins_obj` at `freq` hertz; made by InsChannel.ins_frame."},
    {"freq", nullptr, "Carrier frequency, hertz; setting it gives the frame a new QInsFrame record."},
    {"__mul__", "(self, other)", "Frame * Envelope (or * Signal): the Signal that play_wave plays."},
    {"format", "(self)", "The frame's current QInsFrame record."},
};

inline constexpr MemberDoc kEnvelopeDocs[] = {
    {"__init__", "(self, ins_obj, ins_id, content)",
     "The envelope `ins_id` of the queue `ins_obj` with the samples `content`; made by InsChannel.ins_envelope."},
    {"content", nullptr, "The envelope; setting it gives the handle a new QInsEnvelop record."},
    {"__mul__", "(self, other)", "Envelope * Frame (or * Signal): the Signal that play_wave plays."},
    {"format", "(self)", "The envelope's current QInsEnvelop record."},
};

inline constexpr MemberDoc kSignalDocs[] = {
    {"__init__", "(self, ins_obj, ins_id)", "An empty Signal of the queue `ins_obj`; made by Frame * Envelope."},
};

}  // namespace tvk::builder

// help() texts of the Assembler (docs/builder.md is the guide).
#pragma once

#include "common/helptext.hpp"

namespace tvk::assembler {

inline constexpr MemberDoc kAssemblerDocs[] = {
    {"__init__", "(self, ch_map=None)",
     "An assembler for the channel map `ch_map`, probe channel to its drive channels; by default "
     "{1: [3, 4, 5, 6, 7, 8], 2: [11, 12, 13, 14, 15, 16]}."},
    {"set_drive_delay", "(self, ch_id, delay)",
     "Delay the drive channel `ch_id` by `delay` seconds after each trigger wait; set it before "
     "loading the channel (a delay that is 0 at loading makes no delay words)."},
    {"set_probe_delay", "(self, ch_id, delay)",
     "Delay the probe channel `ch_id` by `delay` seconds after each trigger wait."},
    {"probe_points", "(self, probe_ch)", "The sum of the capture widths of probe channel `probe_ch`, seconds."},
    {"longest_points", "(self, probe_ch)", "The longest capture width of probe channel `probe_ch`, seconds."},
    {"probe_count", "(self, probe_ch)", "The number of captures of probe channel `probe_ch`."},
    {"probe_list", "(self, probe_ch)",
     "The capture widths of probe channel `probe_ch` in order, seconds, leaving out widths of 0."},
    {"trigger_count", "(self, probe_ch)",
     "The number of trigger waits of the drive channel loaded last for probe channel `probe_ch`; -1 before any."},
    {"set_chnl_cmdq", "(self, ch_id, cmdq)",
     "Load the drive channel `ch_id` with the command list `cmdq` (what InsChannel.compile returns): "
     "lay out its envelopes, number its frames, link it and derive its probe channel's probe queue, in "
     "which each drive command counts as many times as it runs (loop passes, one of two equal branch "
     "paths). A capture the probe queue cannot keep in step with is refused with AssemblyError."},
    {"extract_envelop", "(self, ch_id, cmdq)",
     "Lay the envelope records of `cmdq` into the envelope memory of `ch_id`; returns (envelope table, the "
     "other records copied)."},
    {"extract_frame", "(cmdq)", "Number the frame records of `cmdq` in order; returns the frame table."},
    {"divide_cmd", "(self, ch_id, cmdq)",
     "Link the drive queue of `ch_id` and derive its probe queue; returns (drive queue, probe queue, drive "
     "table, probe table)."},
    {"assemble", "(self)",
     "Encode everything loaded into three dicts keyed by probe channel: the envelope memories (int16, "
     "one row of 102400 samples per drive channel), the drive words (uint32, one row of 81920 words per "
     "drive channel) and the probe words (int32, one dimension)."},
};

}  // namespace tvk::assembler

// block_decoder.h -- decodes one entry's raw deflate stream into the window.
#pragma once

// 0 when the final block has been decoded and the window flushed; otherwise the first
// failure: 1 invalid data, 2 block type 3 or over-subscribed lengths, 3 out of memory.
// Expects input_pos and input_size at 0, remaining_compressed set to the entry's
// compressed size and the CRC register reset.
int decode_deflate_stream();

#pragma once
// The time a silent update (-S) of a scanner over USB must take by the
// pauses and the pacing of its protocol alone, computed from the sizes of
// the uploads: what a run can be measured against. Nothing here is measured.
//
// The road, with the pauses it takes:
//  - start: the silent timer's tick (1000 ms) opens USB; the connect request
//    is one send (every USB send is followed by a 100 ms pause); the
//    greeting starts the silent timer again, whose tick (1000 ms) starts the
//    update;
//  - the register write: 150 ms, then its send;
//  - each stage: ten settling pauses of 50 ms; its upload (if any): the
//    announcement, the first block of the data, a pause of 200 ms (1000 ms
//    for data of 2048 blocks and more), then chunks of 512,000 bytes, each
//    one send; 1500 ms; the verification phase: a request, three more, one
//    per 500 ms tick after the previous one's send, the tick that finds four
//    answers, and the stage-change timer (500 ms); the stage change pauses
//    ten times 100 ms;
//  - the end: the end of session (100 ms, its send, 100 ms), the silent
//    timer's tick (1000 ms) after the disconnect, and the close's last pause
//    of 100 ms.
// The scanner is taken to answer at once, and every send to complete within
// the pause that follows it.

#include <cstdint>
#include <optional>
#include <vector>

namespace nimbrel::bench {

inline constexpr std::int64_t kSendPauseMs = 100;
inline constexpr std::int64_t kChunkBytes = 512000;

// The pauses of one upload of `payload` bytes: announcement and data.
inline std::int64_t UploadPausesMs(std::int64_t payload) {
  const std::int64_t length = (payload + 511) / 512 * 512 + 512;  // header and padded payload
  const std::int64_t blocks = length / 512;
  std::int64_t ms = kSendPauseMs;  // the announcement
  ms += kSendPauseMs;              // the first block of the data
  ms += blocks > 2047 ? 1000 : 200;
  const std::int64_t rest = length - 512;
  ms += (rest + kChunkBytes - 1) / kChunkBytes * kSendPauseMs;
  return ms;
}

// Stages in their order, each with the payload size of its upload, or none
// for a stage that sends nothing (a boot loader that is current, GUI
// resources skipped).
inline std::int64_t SilentUpdatePausesMs(const std::vector<std::optional<std::int64_t>>& stages) {
  std::int64_t ms = 1000 + kSendPauseMs + 1000;  // silent tick, connect request, tick after the greeting
  ms += 150 + kSendPauseMs;                      // register 265
  const std::int64_t verification = kSendPauseMs + 3 * (500 + kSendPauseMs) + 500 + 500;
  for (const auto& payload : stages) {
    ms += 10 * 50;
    if (payload) ms += UploadPausesMs(*payload);
    ms += 1500 + verification;
    ms += 10 * 100;
  }
  ms += 100 + kSendPauseMs + 100;  // end of session
  ms += 1000 + 100;                // the silent close
  return ms;
}

}  // namespace nimbrel::bench

#pragma once
// What a backup worker tells its parent about one job, typed, as frames of its result channel
// (WorkerChannel's framing): first the transfer's frame, as soon as the transfer has ended (the
// router is free for the next one then), with its exit status and its outcome; then, when there was a
// copy to put into place, the placement's frame. A frame is a kind and its fields, all as text:
//   "transfer", exit status, and the outcome: "" when the transfer gave none, or "1" and its 13 fields
//               router, operation, file_number, local_file, ok, code, class, message, router_text,
//               bytes, seconds, changed, detail (a field that may be absent is "" when absent and
//               "=" and its value when present; ok and changed as "0" or "1"; numbers in decimal,
//               seconds in the shortest form that reads back to the same double)
//   "placed",   "changed", "unchanged" or "failed", and the error of a failed placement

#include <optional>
#include <string>
#include <vector>

#include "TransferEntry.h"

inline constexpr int kNoExitStatus = -1;  // the worker ended before it told one

struct JobReport {
    int nExit = kNoExitStatus;          // the transfer's exit status
    std::optional<CliOutcome> transfer;  // the transfer's outcome; none: it gave none
    std::string placed;                  // "changed", "unchanged", "failed"; empty: no copy was placed
    std::string strPlaceError;           // why a placement failed
};

std::string EncodeTransferFrame(int nExit, const std::optional<CliOutcome>& outcome);
std::string EncodePlacedFrame(const std::string& placed, const std::string& strError);

// One frame of a job into its report. False for a frame that is not one of the two kinds, or whose
// fields do not read; bJobEnded: nothing more comes for this job (the placement, or a transfer that
// failed and so placed nothing).
bool ApplyJobFrame(const std::vector<std::string>& fields, JobReport& report, bool& bJobEnded);

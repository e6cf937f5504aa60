// The fixed texts the module prints, logs and fails with. Callers match on
// them, so they stay exactly as they are, spelling included ("happend" is
// the text a decode of an unknown id fails with): do not correct them.
#pragma once

namespace velkor::messages {

// Failures.
inline constexpr char kUnknownId[] = "This should not happend";
inline constexpr char kMergeHalfWithoutBytes[] = "This should not happen";
inline constexpr char kNoOov[] = "called `Option::unwrap()` on a `None` value";
inline constexpr char kShouldWork[] = "Should work";
inline constexpr char kToWork[] = "To Work";
inline constexpr char kTrainFileMissing[] = "Train File Not Existed";
inline constexpr char kLogsFileError[] = "Logs File throws an error To Work";

// Console lines and log texts of training.
inline constexpr char kLogStarted[] = "Started \n ";
inline constexpr char kJustStarted[] = "Just Started\n";
inline constexpr char kChunkConverted[] = "Finish converting new read chunk to tokens\n";
inline constexpr char kFoundPrefix[] =
    "Found a match between the max occur with already learned | Pair is ";
inline constexpr char kMissPrefix[] =
    "Failed to find a match between the max occur with already learned | Failed Count ";
inline constexpr char kNoNewsPrefix[] = "No News Loop count is ";
inline constexpr char kSavedBanner[] =
    "--------------------------------------------- \n Saved Successfully "
    "\n---------------------------------------------\n";
inline constexpr char kChunkSeparator[] =
    "\n-----------------------------------------------------------------------------------\n";

}  // namespace velkor::messages

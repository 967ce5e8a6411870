#pragma once

namespace engine {

// The texts of the window's second status line.
inline constexpr const char* kStatusAbortSet = "Abort flag is set, no processing can be performed";
inline constexpr const char* kStatusNotRunning = "Korvane must be running to process batches";
inline constexpr const char* kStatusQueueBusy = "Korvane process queue is busy";
// Followed by the batch's title and a closing quote.
inline constexpr const char* kStatusProcessingPrefix = "Processing batch '";
// Around the title of a batch that ran or failed and waits to be filed.
inline constexpr const char* kStatusNotFiledPrefix = "Batch '";
inline constexpr const char* kStatusNotFiledSuffix = "' could not be filed, retrying";
inline constexpr const char* kStatusQueueInUse = "Queue directory is in use by another Tesmaro";
inline constexpr const char* kStatusQueueLocked =
    "Queue directory is locked by another program, no processing can be performed";
inline constexpr const char* kStatusRecordUnwritable =
    "Run record cannot be written, no processing can be performed";
inline constexpr const char* kStatusRecordDamaged =
    "Run record is damaged or unreadable, no processing can be performed";
// Around the path of another user's link on the way to the queue, Processed
// or Failed directory.
inline constexpr const char* kStatusSteeredPrefix = "Link '";
inline constexpr const char* kStatusSteeredSuffix =
    "' belongs to another user, no processing can be performed";

} // namespace engine

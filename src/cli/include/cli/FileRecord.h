#pragma once

#include <string>

#include "Engine/Batch.h"

namespace vesh {

// One line of JSON for --json: source, target, status ("written", "skipped",
// "failed", "not processed", "cancelled"), error (why it was skipped, failed
// or not processed; null otherwise), duration (seconds of audio written;
// null unless written) and seconds (time spent on the file).
//
// A name that is not valid UTF-8 cannot be a JSON string as it is: its text
// field shows each invalid byte as U+FFFD, and a field of the same name with
// "_base64" appended ("source_base64", "target_base64") holds the original
// bytes in base64. Every record is thus valid UTF-8 JSON without lone
// surrogates, and every name can be recovered exactly.
std::string fileRecord(const FileOutcome& outcome);

}  // namespace vesh

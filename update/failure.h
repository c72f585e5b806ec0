// Why a job on one port did not do what it was asked, and where: the one cause its log,
// its short reports and its exit status are all read from.
#pragma once

namespace k7 {

enum class Failure {
    kNone,      // the job did what it was asked
    kNotFound,  // the port did not open, or no receiver talks there
    kStopped,   // Link::Cancel ended it
    kFailed,    // the receiver did not do its part
    kDiffers,   // verify: the receiver's memory does not hold the image
};

// Where a job failed, in the order a job meets them.
enum class Step {
    kNone,
    kOpen,
    kProbe,
    kVersion,
    kAddress,
    kErase,
    kProgram,
    kCompare,
    kRead,
    kCheck
};

// "open", "probe", ...; empty for kNone.
const char* StepName(Step step);

}  // namespace k7

#include "update/failure.h"

namespace k7 {

const char* StepName(Step step) {
    switch (step) {
        case Step::kNone:
            break;
        case Step::kOpen:
            return "open";
        case Step::kProbe:
            return "probe";
        case Step::kVersion:
            return "version";
        case Step::kAddress:
            return "address";
        case Step::kErase:
            return "erase";
        case Step::kProgram:
            return "program";
        case Step::kCompare:
            return "compare";
        case Step::kRead:
            return "read";
        case Step::kCheck:
            return "check";
    }
    return "";
}

}  // namespace k7

// The run sequence.
#include "app/run_sequence.h"

int RunSequence() { return kExitOk; }

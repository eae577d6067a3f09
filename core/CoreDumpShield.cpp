#include "CoreDumpShield.h"

#include <sys/prctl.h>

namespace {
int g_shields = 0;
int g_dumpableBefore = 1;
}  // namespace

CoreDumpShield::CoreDumpShield() {
    if (g_shields++ == 0) {
        g_dumpableBefore = prctl(PR_GET_DUMPABLE);
        prctl(PR_SET_DUMPABLE, 0);
    }
}

CoreDumpShield::~CoreDumpShield() {
    if (--g_shields == 0 && g_dumpableBefore > 0) prctl(PR_SET_DUMPABLE, g_dumpableBefore);
}

bool CoreDumpShield::processDumpable() { return prctl(PR_GET_DUMPABLE) > 0; }

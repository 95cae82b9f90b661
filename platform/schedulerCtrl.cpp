#include "platform/schedulerCtrl.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <sched.h>

namespace {

// The platform policy of a caller's code, or -1.
int platformPolicy(int policyCode)
{
    switch (policyCode) {
    case SCHED_POLICY_FIFO: return SCHED_FIFO;
    case SCHED_POLICY_RR: return SCHED_RR;
    case SCHED_POLICY_OTHER: return SCHED_OTHER;
    default: return -1;
    }
}

}  // namespace

int getPolicyMinMaxPriority(int policyCode, bool wantMax)
{
    int policy = platformPolicy(policyCode);
    if (policy < 0) {
        fileLog("Unknown Scheduler Policy %d\n", policyCode);
        return -1;
    }
    return wantMax ? sched_get_priority_max(policy) : sched_get_priority_min(policy);
}

int setSchedulerPriority(int processId, int policyCode, int priority)
{
    int policy = platformPolicy(policyCode);
    if (policy < 0) {
        fileLog("Unknown Scheduler Policy %d\n", policyCode);
        return -1;
    }
    struct sched_param param = {};
    param.sched_priority = priority;
    // On Linux, id 0 is the calling thread, not the whole process.
    if (sched_setscheduler((pid_t)processId, policy, &param) != 0) {
        int err = errno;
        fileLog("sched_setscheduler returned %d\n", err);
        errno = err;
        return -1;
    }
    return 0;
}

int getScheduler(int processId)
{
    return sched_getscheduler((pid_t)processId);
}

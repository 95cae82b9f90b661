#ifndef KORBALT_PLATFORM_SCHEDULERCTRL_H
#define KORBALT_PLATFORM_SCHEDULERCTRL_H

// Policy codes of the callers.
enum {
    SCHED_POLICY_FIFO = 0,
    SCHED_POLICY_RR = 1,
    SCHED_POLICY_OTHER = 2
};

// Maximum (wantMax) or minimum priority of the policy; -1 for an unknown code.
int getPolicyMinMaxPriority(int policyCode, bool wantMax);
// Policy and priority of processId, 0 meaning the calling thread. 0, or -1 after
// logging (unknown code, or the call was refused).
int setSchedulerPriority(int processId, int policyCode, int priority);
// The current policy as the platform numbers it (SCHED_OTHER, SCHED_FIFO, ...), or -1.
int getScheduler(int processId);

#endif

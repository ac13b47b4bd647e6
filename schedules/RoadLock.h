#pragma once
// The road lock: one process-wide, non-recursive lock that serialises the
// whole processing road of a limit (hand-over to the schedule store,
// evaluation, publication into the model, the XML file, listener calls).
//
// It is taken exactly once, with RoadLock::Guard, at each entry of the road:
// the control handler, each power-limit write entry point, resendLpc, each
// task of the main loop, the reads of the schedule store by the core's seam,
// the changes of the listener registry and the construction of the schedule
// handling. Everything below an entry assumes it is held and never takes it
// again; such functions say so and call RoadLock::assertHeld().
//
// Debug builds (NDEBUG not defined) remember where each thread took the
// lock: taking it again on the same thread, or running an inner function
// without it, stops the process with a message naming both places. Release
// builds keep only the mutex.
//
// Never hold it while an interface object is created or destroyed: their
// constructors and destructors wait for threads that take it.

class RoadLock {
public:
    // A place in the source, filled in at the caller by the defaults below
    // (the compilers' builtins, which every supported compiler has).
    struct Site {
        const char* file;
        unsigned line;
        const char* function;
    };

    // Holds the road for its lifetime; the defaults name where it is entered.
    class Guard {
    public:
        explicit Guard(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                       const char* function = __builtin_FUNCTION());
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    };

    // Debug builds: stops the process when the calling thread does not hold
    // the road. Release builds: nothing.
    static void assertHeld(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                           const char* function = __builtin_FUNCTION());
    // Debug builds: whether the calling thread holds the road. Release
    // builds cannot tell and answer true.
    static bool heldByThisThread();
};

#pragma once
// The road lock: one process-wide recursive mutex that serialises the whole
// processing road of a limit (hand-over to the schedule store, evaluation,
// publication into the model, listener calls). Every thread that writes a
// limit or re-evaluates a CLS takes it; it may be taken again on the same
// thread. Never hold it while an interface object is created or destroyed:
// their constructors and destructors wait for threads that take it.

#include <mutex>

std::recursive_mutex& roadLock();

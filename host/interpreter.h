// Where the module meets the interpreter's life: native work without the
// interpreter lock, machines freed on the main thread, and interpreter exit.
#pragma once

#include <Python.h>

class NESUnit;

// Releases the interpreter lock for a scope when this thread holds it. Once
// interpreter exit has begun, a thread other than the exiting one and the
// emulation threads never takes the lock back: it would be ended inside a
// C++ frame (and the process aborted) as the interpreter finalizes, so it
// waits for the process to end instead, the machine untouched from then on.
class Unlocked {
public:
    Unlocked();
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    void count_out();

    PyThreadState* state = nullptr;
    bool counted = false;
};

// Whether interpreter exit has begun (the module's exit hook has run).
bool interpreter_exiting();

// Hands the last reference to a machine to the interpreter's main thread,
// which frees it (a machine cannot join its own emulation thread). Any
// number may be waiting; the interpreter lock is held.
void free_on_main_thread(PyObject* machine);

// The machines alive, for the exit hook.
void enlist(NESUnit* machine);
void delist(NESUnit* machine);

// The exit hook, run while the interpreter still runs: lets the other threads
// finish the native work they are in, ends every emulation thread, and writes
// every battery machine's RAM file.
void finish_machines_at_exit();

// VeskSession: the host class over one core Session.
//
// Each method converts its arguments, takes the session's own lock, calls
// one core operation, copies any checkpoint it returns while still locked,
// releases the lock and builds the result objects. Core errors become
// RuntimeError with exactly their message. An internal fault (a condition
// the core treats as impossible) raises InternalFault, a BaseException that
// is not an Exception, and abandons the session: every later call on it
// raises the same, while other sessions go on.
//
// The interpreter lock is held throughout every call, waits for the runner
// and shell commands included, so calls from several threads are serialised.
// The exception is a call that finds its session being parked by the parker
// thread (parking.h): it waits for the park to end with the interpreter lock
// released.
#ifndef VESK_PYTHON_SESSION_TYPE_H_
#define VESK_PYTHON_SESSION_TYPE_H_

#include <Python.h>

namespace vesk::py {

// Creates the class from its spec; a new reference, or null with an error.
PyObject* create_session_type();

}  // namespace vesk::py

#endif  // VESK_PYTHON_SESSION_TYPE_H_

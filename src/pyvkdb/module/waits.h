// Letting other Python threads run while the client library waits.
#ifndef PYVKDB_MODULE_WAITS_H
#define PYVKDB_MODULE_WAITS_H

namespace vk {

// Register with the library the callbacks that release the interpreter
// lock for the length of each blocking wait (a lock held by another
// connection, a server round trip) and take it back after.  Only the waits
// are covered: everything else the library does runs with the lock held,
// and the library touches none of the caller's memory during a wait.
void install_wait_callbacks();

}  // namespace vk

#endif

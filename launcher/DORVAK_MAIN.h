// Lifecycle operations of the dorvak launcher. main is their only caller in
// the program; they are public so that the instance can be managed from
// elsewhere in the same process.
#ifndef DORVAK_MAIN_H
#define DORVAK_MAIN_H

#include "kvlkrtrt71.h"

// Creates the component instance unless one exists. True when an instance
// exists on return. While an instance exists the call changes nothing: the
// instance keeps the handlers it was created with.
bool dorvakInitializeWithHandlers(kvlOutputHandler errorHandler, kvlOutputHandler printHandler);

// dorvakInitializeWithHandlers with the default handlers, which write to
// standard error and standard output.
bool dorvakInitialize();

// Terminates the instance if there is one.
void dorvakTerminate();

#endif // DORVAK_MAIN_H

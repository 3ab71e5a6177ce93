// The module's view of the client library: its C interface and the few
// module-side names for its codes.
#ifndef PYVKDB_CLIENT_CLIENT_H
#define PYVKDB_CLIENT_CLIENT_H

#include "vesksql.h"

#endif

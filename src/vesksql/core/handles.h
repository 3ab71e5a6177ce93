// What the opaque handles of vesksql.h hold.
#ifndef VESKSQL_CORE_HANDLES_H
#define VESKSQL_CORE_HANDLES_H

#include <string>
#include <vector>

#include "engine.h"
#include "vesksql.h"

struct vesk_conn {
  vesk::ConnectParams params;  // as opened: params.host is the host that answered
  std::string hosts;           // the IP field as given (a list for a multi-address connect)
  bool autocommit = true;      // as last set: a connection opened afresh keeps it
  vesk::ErrorSlotPtr errors = std::make_shared<vesk::ErrorSlot>();
  vesk::EnginePtr engine;  // empty after a failed reconnect: the handle is closed
  vesk::ParamStore binds;
  vesk::ArrayStore arrays;
};

struct vesk_result {
  vesk::ResultPtr impl;
};

struct vesk_lob {
  std::string data;
};

struct vesk_addr_attrs {
  std::vector<std::string> hosts;
  int used = -1;  // index of the host that answered
};

#endif

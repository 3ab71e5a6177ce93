// queues.cpp -- the engine's state, the per-operation response queues and the
// default overrides.
#include "engine.h"

namespace vks {

Engine &engine() {
  // Deliberately never destroyed: its log holds Python objects that must not
  // be released after the interpreter has finished.
  static Engine *const the_engine = new Engine();
  return *the_engine;
}

void Engine::reset() {
  log.clear();
  for (auto &q : queues) q.clear();
  for (auto &d : defaults) d = Response();
  tables.clear();
  lobs.clear();
  bound.clear();
  problems.clear();
  calls_made = 0;
  fault.reset();
  live = Live();
  next_conn = 1;
  next_attrs = 501;
  next_lob = 1000;
  logging = true;
}

void Engine::problem(const std::string &what) {
  // Bounded: a runaway loop in a module under test must not eat memory.
  if (problems.size() < 1000) problems.push_back(what);
}

Response take_response(int op) {
  Engine &e = engine();
  Response r;
  auto &q = e.queues[static_cast<size_t>(op)];
  if (!q.empty()) {
    r = std::move(q.front());
    q.pop_front();
  }
  r.merge_over(e.defaults[static_cast<size_t>(op)]);
  const size_t index = e.calls_made++;
  if (e.fault && !e.fault->fired && e.fault->at == index) {
    Response planted = e.fault->response;
    if (!e.fault->replace) planted.merge_over(r);
    e.fault->fired = true;
    return planted;
  }
  return r;
}

}  // namespace vks

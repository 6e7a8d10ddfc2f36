// One unit of work for a thread. Whoever runs a unit calls Run() and then Release(), on the
// same thread; a unit that will never run is handed back with Abandon().
#pragma once

namespace Corvane::Model {

class IThreadParameter {
 public:
  virtual ~IThreadParameter() = default;
  virtual void Run() = 0;
  virtual void Release() { delete this; }
  // Called instead of Run() and Release() when no thread could be started for the unit:
  // the unit answers its caller that nothing was done, then destroys itself.
  virtual void Abandon() { Release(); }
};

}  // namespace Corvane::Model

// A phase of units of work that must each end whole (add a printer and set
// it, or undo it): up to a few run at once, each on a thread of its own. A
// time limit or Ctrl+C cuts the phase between units, never inside one: no
// unit starts once it is cut, those under way get a grace to end, and one
// still running after it is abandoned and undone.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace kestrun {

struct UnitPhase {
  size_t count = 0;
  unsigned atOnce = 8;
  const std::atomic<bool>* stop = nullptr;  // set: the phase is cut
  ULONGLONG deadline = 0;                   // GetTickCount64 past which it is cut; 0: none
  DWORD graceMs = 10000;                    // how long units under way may still take
  DWORD abandonedEndMs = 5000;              // how long abandoned units are waited for
};

enum class UnitEnd { NotStarted, Done, Abandoned };

struct UnitOutcome {
  UnitEnd end = UnitEnd::NotStarted;
  DWORD error = 0;  // the unit's own result when Done; ERROR_TIMEOUT when abandoned
};

// What a unit asks while it runs.
class UnitState;
class UnitCheck {
 public:
  UnitCheck(std::shared_ptr<UnitState> state, size_t index)
      : state_(std::move(state)), index_(index) {}
  // True once the phase gave the unit up: it undoes what it made and returns.
  bool Abandoned() const;
  // Marks the unit done unless it was abandoned first (then false: undo).
  bool Finish() const;

 private:
  std::shared_ptr<UnitState> state_;
  size_t index_;
};

// A unit: its index and its check, returning 0 or the code. It may outlive
// RunUnits (a call that never returns), so it must own what it touches.
using Unit = std::function<DWORD(size_t index, const UnitCheck& check)>;

// Runs the units and returns each one's outcome once every unit has ended,
// been abandoned (after `abandon(index)` was called for it on this thread,
// to undo it from outside) or was never started.
std::vector<UnitOutcome> RunUnits(const UnitPhase& phase, Unit unit,
                                  const std::function<void(size_t)>& abandon);

}  // namespace kestrun

// Runs a number of independent steps a few at a time: the calls that wait on
// a server (a share's file calls, a spooler's calls) overlap instead of
// queueing one after another.
#pragma once

#include <cstddef>
#include <functional>

namespace kestrun {

// Calls `step` once for each index below `count`, on at most `most` threads
// at once (the calling one among them), and returns when every call has
// returned. The calling thread takes the first step alone, and helpers from
// the system's thread pool join only when the steps left would take long at
// its pace. Where the pool takes no more work, fewer run at once.
void RunAtOnce(size_t count, unsigned most, const std::function<void(size_t)>& step);

// The same with the helpers from the first step on: for steps that each wait
// on a server (a remote machine's registry), where the pace is known.
void RunTogether(size_t count, unsigned most, const std::function<void(size_t)>& step);

}  // namespace kestrun

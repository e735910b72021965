// The view commands: the list narrowed to the non-native drivers, or to the
// non-native drivers no printer uses, and the list of every driver again. Both rebuild the rows
// from the inventory in memory, without asking the target machine again.
#pragma once

namespace kestrun {

// Both refuse (with a beep) while an enumeration or deletion runs: the list
// and the inventory belong to that run until it ends. True when the view ran.
bool ShowNonNativeOnly();
bool ResetView();

// Refused with an information box naming the reason while the printers of
// the listing could not be read: the list then stays as it is.
bool ShowUnusedNonNativeOnly();

}  // namespace kestrun

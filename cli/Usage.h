// The usage texts of the updater, written to standard error: the short usage,
// and for full help the parameters and commands, the extended options and
// the sample command lines.
#pragma once

// full: everything after the short usage; extended (with full): the extended
// parameters and commands too.
void _display_usage(bool extended, bool full);

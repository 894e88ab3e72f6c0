#pragma once

/// The processors this process may run on (its affinity, which `taskset` or a batch system's
/// binding narrows), at least 1; 1 when the system cannot say.
int usable_processors();

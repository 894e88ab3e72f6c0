#include "reconstruction/snapshots.h"

#include "reconstruction/recording_format.h"

snapshot_table snapshots(channel_count);

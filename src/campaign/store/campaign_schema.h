#pragma once

#include <string>
#include <vector>

/// The schema version this build reads and writes; kept in PRAGMA user_version and in the meta
/// table's "schema_version".
inline constexpr int campaign_schema_version = 4;

/// The value of the meta table's "schema" row in every campaign database.
inline constexpr const char* campaign_schema_name = "varnel-campaign";

/// The statements that create an empty campaign database of campaign_schema_version, without the
/// meta rows (see docs/campaign.md); the channels table's columns are those of channel_fields().
std::string campaign_schema_sql();

/// The columns of the channels table, recording_id and channel first, then one per field of
/// channel_fields(), in their order.
std::vector<std::string> channel_column_names();

/// The table characterisation, which version 1 lacked too.
extern const char* const campaign_characterisation_sql;

/// The views current_recordings and current_channels.
extern const char* const campaign_views_sql;

/// Drops the two views, where there are, before the table under them is made again.
extern const char* const campaign_drop_views_sql;

/// The statement that creates the recordings table of this version under `name`.
std::string campaign_recordings_sql(const std::string& name);

/// The recordings' indexes: by chip and configuration, and the two identities of a recording
/// (where it was analysed and its path; its path, size and content), each unique.
extern const char* const campaign_recordings_indexes_sql;

/// A query of every column of the current recordings (as the view current_recordings takes
/// them) among the recordings `where` selects, a condition on chip and configuration only, so
/// that whole chips and configurations are selected: with an index, a chip's current recordings
/// without the whole campaign's ranking.
std::string current_recordings_where(const std::string& where);

/// The statements that bring a version-1 database's tables to version 2; its views and its
/// recordings' recorded_at are the caller's to add.
std::string campaign_upgrade_from_1_sql();

/// The statements that bring a version-2 database's tables to version 3: the columns
/// of the misfit, pedestal and headroom, the common-mode noise, the gaps in the first pulse
/// window and the configuration check, NULL (or '') in the rows stored before.
std::string campaign_upgrade_from_2_sql();

#pragma once

/// Runs varnel-campaign's command line `argv` (argv[0] the program's name) in this process: the
/// subcommand's lines on standard output and standard error, as the program prints them. Returns
/// the exit status: 0 done, 1 a recording or chip failed, 2 a usage error, 3 an unusable database.
int campaign_command(int argc, char** argv);

#ifndef TABULON_DRIVER_COMMAND_LINE_H_
#define TABULON_DRIVER_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/types.h"
#include "driver/exclusion.h"
#include "platform/platform.h"

namespace tabulon {

// Scans one parameter of a one-string command line from `*pos`: blanks,
// control characters and empty quoted pairs before it are skipped, a quoted
// stretch is taken whole without its quotes, and there is no escape
// character. Moves `*pos` to where the scan stopped; the result is empty
// only at the end of the line.
std::string NextParameter(std::string_view line, std::size_t* pos);

// The number of parameters after the program's own name.
int ParameterCount(std::string_view line);

// The k-th parameter (k >= 1) after the program's own name, or empty.
std::string Parameter(std::string_view line, int k);

// The parameters after the program's name, in order: split by the rules
// above from a one-string line (up to its first NUL), or the arguments as
// handed over with empty ones skipped.
std::vector<std::string> ParametersOf(const CommandLine& command_line);

// What the parameters ask for: the first "--help" or "-h" (or "/?" as the
// first parameter) the usage, the first "--version" the version, wherever
// they stand before a "--"; else a run.
enum class Request { kRun, kShowHelp, kShowVersion };
Request RequestOf(const std::vector<std::string>& parameters);

// Fixes the run settings from the parameters. Wherever they stand before a
// "--", the program's options are taken and removed: "/t" or "/T" selects
// mTree, "--json" sets Json, "--quiet" or "-q" sets Quiet, and the text after
// "--exclude=", "--jobs=" or "--charset=" goes to Exclude, JobCounts or
// Charsets. A parameter shaped like an option that is none goes to Unknown:
// one that begins with "--", a dash and one letter, or a dash and an
// option's name without its other dash ("-json"); any other word after one
// dash ("-old") is ordinary. The first "--" ends the options. Of the
// ordinary parameters, in their order, the first is the start directory
// (else `current_directory`) and the second the base address. FromDir always
// ends with `separator`. Jobs is left at 0.
RunSettings SettingsFrom(std::vector<std::string> parameters,
                         const std::string& current_directory, char separator);

// The option meant by `parameter`, an unknown option, as the usage names it
// ("/t", "--exclude=PATTERN"), when one is close: the same name but for
// dashes, slashes, letter case and a value; else the only option whose name
// begins with it, or of two letters or more begins it; else the only one a
// slip of a key or two away. Else empty.
std::string OptionMeant(std::string_view parameter);

// The usage lines of the options, CR LF ended, in the order of the one
// table the parameters are read by.
std::string OptionsUsage();

// Reads the N of --jobs=N: decimal digits giving a whole number from 1 to
// 256 (leading zeros allowed), stored in *jobs. Else a failure "bad job
// count" at `text` with the reason it is refused, and *jobs unchanged.
Status ParseJobCount(std::string_view text, int* jobs);

// Reads the value of --charset=: "utf-8" or "windows-1251", letter case
// aside (as HTML reads a charset), stored in *charset. Else a failure "bad
// charset" at `text` with the reason it is refused, and *charset unchanged.
Status ParseCharset(std::string_view text, TCharset* charset);

// The job count without --jobs=: one a processor and one more (which
// works while another waits, on a page's write say), 2 to 16, where the
// system tells the disk reads (StorageReads) and the run grows while they
// wait on a disk: more only cost processor time where the disk is warm
// (the switching between them). Elsewhere three times `processors`, 4 to
// 16, as threads that wait on a cold disk leave others the processors.
int DefaultJobCount(int processors, bool sees_storage_reads);
// Without --jobs=, the run grows to this many jobs while they wait on the
// file system (a network share answers many requests at once).
constexpr int kMostDefaultJobs = 64;

// Checks the switches of `settings`: adds its patterns to `exclusions`, sets
// its Jobs and MostJobs (the last --jobs=N for both, else
// DefaultJobCount(processors, sees_storage_reads) and kMostDefaultJobs)
// and its Charset (the last --charset=). Returns the failure "unknown
// option" of each of its Unknown, naming the option meant where one is
// close, then of each bad pattern, in order, then of each bad job count,
// then of each bad charset; when there is any, no page may be written.
std::vector<Status> ApplySwitches(RunSettings* settings, int processors,
                                  bool sees_storage_reads,
                                  Exclusions* exclusions);

}  // namespace tabulon

#endif  // TABULON_DRIVER_COMMAND_LINE_H_
